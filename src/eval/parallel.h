#pragma once
// Splitting one long run of a program between the calling thread and a pool of worker threads.

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>

#include "eval/program.h"

namespace tarvelon::eval {

/// The most threads a run uses, the calling one included: the environment variable
/// TARVELON_NUM_THREADS when it holds an integer from 1 to kMaxThreads, otherwise the CPUs this
/// process may run on. Read once. One means no worker threads are ever started.
std::size_t thread_count();
inline constexpr std::size_t kMaxThreads = 256;

/// Runs shorter than this stay on the calling thread: handing work to another thread costs some
/// microseconds, which a shorter run does not repay even on the costliest kernels.
inline constexpr std::size_t kParallelMinimum = std::size_t{1} << 15;
/// The most elements a thread takes at a time: a whole number of blocks, short enough that the
/// calling thread answers `keep_going` promptly even on the slowest kernels.
inline constexpr std::size_t kPiece = 64 * kBlock;
/// The fewest elements a thread takes at a time, and the first piece of a run, which the calling
/// thread computes alone and times to judge whether the rest is worth sharing.
inline constexpr std::size_t kProbe = 16 * kBlock;

/// Bytes of a single result from which a run writes it past the caches (see Program::run): as
/// large as the last-level cache of a server processor, so that the result and its inputs
/// could not stay there together anyway.
inline constexpr std::size_t kStreamMinimum = std::size_t{32} << 20;

struct ParallelOptions {
  /// The most threads to use, the calling one included; 0 means thread_count().
  std::size_t threads = 0;
  /// Shorter runs stay on the calling thread.
  std::size_t minimum = kParallelMinimum;
  /// Called on the calling thread before each piece it takes (so at least once per run) and,
  /// while it waits for the workers, at least every `interval`; once it returns false no further
  /// piece starts.
  std::function<bool()> keep_going;
  std::chrono::milliseconds interval{20};
  /// Whether the calling thread times the run's first piece and keeps the run to itself when
  /// the rest, shared, would not end sooner (false: every run from `minimum` on is shared).
  bool measure = true;
};

/// Computes `n` elements exactly as `program.run(in, out, n, ws)` does, in pieces shared between
/// the calling thread (with `ws`) and the process's worker threads (each with its own
/// workspace). Every piece is a whole number of blocks, and every element is computed by the same
/// kernels whichever thread takes it, so the results are the same bits for any thread count. Runs
/// shorter than `options.minimum`, a limit of one thread, runs that find the workers busy with
/// another caller's run, and runs too cheap for the rest after the first piece to repay handing
/// it over compute on the calling thread alone.
///
/// The pool starts on first need, keeps its threads (which never take a signal) for the life of
/// the process, and is started afresh in a child process after fork.
///
/// Returns true when all `n` elements were computed and `keep_going` never said to stop; false
/// when it did, after every piece already started has finished (the outputs then hold the
/// elements of some pieces). Throws what Program::run throws (std::bad_alloc), once no worker
/// uses `in` or `out` any more.
bool run_parallel(const Program& program, std::span<const Program::In> in,
                  std::span<const Program::Out> out, std::size_t n, Program::Workspace& ws,
                  const ParallelOptions& options = {});

}  // namespace tarvelon::eval
