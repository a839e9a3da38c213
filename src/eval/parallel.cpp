#include "eval/parallel.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <version>  // names the C++ library
#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind, the C library ending a thread
#endif

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace tarvelon::eval {

namespace {

std::size_t cpus_available() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

/// One run being shared out. Lives on the calling thread's stack: the caller leaves only once
/// no worker is inside `share` any more.
struct Job {
  Job(const Program& p, std::span<const Program::In> i, std::span<const Program::Out> o,
      std::size_t count, std::size_t piece_length)
      : program(&p), in(i), out(o), n(count), piece_len(piece_length) {
    // The result of the whole run, not of one piece, decides: every piece streams or none.
    if (p.results().size() == 1) stream = n * storage_size(p.results()[0]) >= kStreamMinimum;
  }

  const Program* program;
  std::span<const Program::In> in;
  std::span<const Program::Out> out;
  std::size_t n;
  /// A whole number of blocks, so that every thread computes the blocks a lone thread would.
  /// Changed only while no worker shares the job.
  std::size_t piece_len;
  bool stream = false;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex error_mutex;
  std::exception_ptr error;

  /// Index vectors offset to one piece.
  struct Views {
    std::vector<Program::In> in;
    std::vector<Program::Out> out;
  };

  /// Computes `[start, start + len)`.
  void piece(std::size_t start, std::size_t len, Views& v, Program::Workspace& ws) const {
    // The first piece, often the whole of a short run, needs no offset and so no copies.
    if (start == 0) return program->run(in, out, len, ws, stream);
    const auto offset = static_cast<std::ptrdiff_t>(start);
    v.in.assign(in.begin(), in.end());
    v.out.assign(out.begin(), out.end());
    for (Program::In& i : v.in) i.data += offset * i.stride;
    for (Program::Out& o : v.out) o.data += offset * o.stride;
    program->run(v.in, v.out, len, ws, stream);
  }

  /// Takes pieces until none is left, the run is stopped or `most` pieces are done; the caller
  /// is asked before each of its own.
  void share(Program::Workspace& ws, const std::function<bool()>* keep_going,
             std::size_t most = static_cast<std::size_t>(-1)) {
    Views views;
    try {
      for (std::size_t taken = 0; taken < most && !stop.load(std::memory_order_relaxed); ++taken) {
        if (keep_going != nullptr && *keep_going && !(*keep_going)()) {
          stop.store(true, std::memory_order_relaxed);
          break;
        }
        const std::size_t start = next.fetch_add(piece_len, std::memory_order_relaxed);
        if (start >= n) break;
        piece(start, std::min(piece_len, n - start), views, ws);
      }
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
      throw;
#endif
    } catch (...) {
      std::lock_guard lock(error_mutex);
      if (!error) error = std::current_exception();
      stop.store(true, std::memory_order_relaxed);
    }
  }
};

/// How long a worker that has finished a run, or the caller that has finished its pieces, keeps
/// watching for the next step before it sleeps. A sleeping thread takes some microseconds to
/// wake, more than a run of a few hundred thousand elements on two threads saves; a thread that
/// watches answers within a fraction of one.
constexpr std::chrono::microseconds kWatch{100};

/// Watches `done()` for up to kWatch; true once it holds. Yields the processor between looks:
/// on a machine whose other cores are busy, the thread it waits for may be waiting for this
/// very core.
template <class Done>
bool watch_for(Done done) {
  auto deadline = std::chrono::steady_clock::time_point{};
  for (unsigned round = 0;; ++round) {
    if (done()) return true;
    if (round % 16 == 0) {
      const auto now = std::chrono::steady_clock::now();
      if (round == 0) {
        deadline = now + kWatch;
      } else if (now >= deadline) {
        return false;
      }
      sched_yield();
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

/// Worker threads that take part in one run at a time. Never destroyed: its threads wait on it
/// until the process ends, so nothing at exit has to stop them.
class Pool {
 public:
  /// Held by the caller whose run the workers share; other callers run alone.
  std::mutex caller;

  /// What handing a run to the workers costs the caller: far less while one of them is still
  /// watching for work than when all of them sleep.
  std::chrono::nanoseconds hand_off() const {
    return watching_.load(std::memory_order_relaxed) > 0 ? kHandOffWatching : kHandOffAsleep;
  }

  /// Runs `job` on the calling thread and up to `workers` worker threads. Needs `caller` held.
  void run(Job& job, std::size_t workers, const ParallelOptions& options, Program::Workspace& ws) {
    try {
      while (threads_ < workers) start_worker();
    } catch (const std::system_error&) {
      // A system out of threads computes with those it has.
    }
    bool asleep = false;
    {
      std::lock_guard lock(mutex_);
      job_ = &job;
      allowed_ = workers;
      generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
      asleep = sleeping_ > 0;
    }
    // A worker that watches the generation needs no call into the kernel.
    if (asleep) wake_.notify_all();
    // However the caller leaves (a thread the interpreter ends at its exit unwinds from inside
    // `keep_going`), it leaves only once no worker reads the job on its stack.
    struct Release {
      Pool& pool;
      Job& job;
      bool finished = false;
      ~Release() {
        if (!finished) job.stop.store(true, std::memory_order_relaxed);
        std::unique_lock lock(pool.mutex_);
        pool.allowed_ = 0;
        pool.done_.wait(lock, [&] { return pool.joined_ == 0; });
        pool.job_ = nullptr;
      }
    } release{*this, job};
    job.share(ws, &options.keep_going);
    {
      // No worker joins once the pieces are all taken; those inside finish their piece.
      std::lock_guard lock(mutex_);
      allowed_ = 0;
    }
    // The last pieces usually end within microseconds of the caller's own.
    watch_for([&] { return joined_.load(std::memory_order_acquire) == 0; });
    std::unique_lock lock(mutex_);
    while (joined_ != 0) {
      if (done_.wait_for(lock, options.interval, [&] { return joined_ == 0; })) break;
      if (options.keep_going && !job.stop.load(std::memory_order_relaxed)) {
        lock.unlock();
        if (!options.keep_going()) job.stop.store(true, std::memory_order_relaxed);
        lock.lock();
      }
    }
    release.finished = true;
  }

 private:
  /// Chosen on two cores from runs of 10^4 to 10^6 elements of cheap and of costly kernels on
  /// one thread and shared: a watching worker gave f32 x + 1 nothing at 10^5 elements (about
  /// 11 µs alone), a sleeping one costs 10 to 15 µs to wake.
  static constexpr std::chrono::nanoseconds kHandOffWatching{6'000};
  static constexpr std::chrono::nanoseconds kHandOffAsleep{20'000};

  void start_worker() {
    // Signals go to the interpreter's threads, never to a worker: block them all while the
    // thread is made, so it starts with every one blocked.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
      // The pool owns each worker's working memory, so it stays reachable (and is not taken for
      // a leak) in a child of fork, where the workers are gone.
      Program::Workspace& ws = workspaces_.emplace_back();
      std::thread(&Pool::work, this, &ws).detach();
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
      throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ++threads_;
  }

  void work(Program::Workspace* ws) {
    std::uint64_t seen = 0;
    for (;;) {
      watching_.fetch_add(1, std::memory_order_relaxed);
      watch_for([&] { return generation_.load(std::memory_order_acquire) != seen; });
      watching_.fetch_sub(1, std::memory_order_relaxed);
      std::unique_lock lock(mutex_);
      if (generation_.load(std::memory_order_relaxed) == seen) {
        ++sleeping_;
        wake_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
        --sleeping_;
      }
      seen = generation_.load(std::memory_order_relaxed);
      if (job_ == nullptr || joined_ >= allowed_) continue;
      joined_.fetch_add(1, std::memory_order_relaxed);
      Job* job = job_;
      lock.unlock();
      job->share(*ws, nullptr);
      lock.lock();
      if (joined_.fetch_sub(1, std::memory_order_release) == 1) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  Job* job_ = nullptr;
  /// Changed with `mutex_` held; read without it by the workers that watch for the next run.
  std::atomic<std::uint64_t> generation_{0};
  std::size_t allowed_ = 0;
  /// Changed with `mutex_` held; read without it by the caller that watches for the end.
  std::atomic<std::size_t> joined_{0};
  /// Workers waiting on `wake_`.
  std::size_t sleeping_ = 0;
  /// Workers watching `generation_`.
  std::atomic<std::size_t> watching_{0};
  /// Only touched with `caller` held.
  std::size_t threads_ = 0;
  /// One per worker, in a deque so that adding one moves none; only touched with `caller` held.
  std::deque<Program::Workspace> workspaces_;

 public:
  /// Pools a child of fork left behind, kept reachable from here.
  Pool* forgotten_before = nullptr;
};

std::atomic<Pool*> the_pool{nullptr};
/// The pools children of fork left behind, chained through `forgotten_before`.
Pool* forgotten_pools = nullptr;

/// A child of fork has none of its parent's workers, and the pool's locks may have been held by
/// threads that are gone: the child leaves that pool behind and makes its own on first need.
void forget_pool_in_child() {
  if (Pool* left = the_pool.exchange(nullptr, std::memory_order_relaxed)) {
    left->forgotten_before = forgotten_pools;
    forgotten_pools = left;
  }
}

Pool& pool() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
    return true;
  }();
  (void)registered;
  if (Pool* p = the_pool.load(std::memory_order_acquire)) return *p;
  auto* fresh = new Pool;
  Pool* expected = nullptr;
  if (the_pool.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *expected;
}

/// Pieces of a run on `threads` threads: about four for each thread, so that a thread slowed
/// by another process leaves little for the others to wait on, within kProbe and kPiece.
std::size_t piece_length(std::size_t n, std::size_t threads) {
  const std::size_t share = n / (4 * threads);
  return std::clamp((share + kBlock - 1) / kBlock * kBlock, kProbe, kPiece);
}

/// Computes the run's first kProbe elements on the calling thread and gives the time
/// they took per element; nothing when the run was stopped or is no longer than that.
std::optional<double> probe(Job& job, Program::Workspace& ws, const ParallelOptions& options) {
  const std::size_t rest_pieces = job.piece_len;
  job.piece_len = kProbe;
  const auto start = std::chrono::steady_clock::now();
  job.share(ws, &options.keep_going, 1);
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  job.piece_len = rest_pieces;
  if (job.stop.load(std::memory_order_relaxed) || job.n <= kProbe) return std::nullopt;
  return took.count() / kProbe;
}

/// Whether the rest of a run after the probe, shared by the caller and `workers` workers, ends
/// sooner than on the caller alone once handing it over is paid for. A cheap kernel needs many
/// more elements than a costly one before it does.
bool worth_sharing(const Job& job, double per_element, std::size_t workers, const Pool& pool) {
  const double alone = per_element * static_cast<double>(job.n - kProbe);
  const double saved = alone - alone / static_cast<double>(workers + 1);
  return saved > static_cast<double>(pool.hand_off().count());
}

}  // namespace

std::size_t thread_count() {
  static const std::size_t count = [] {
    if (const char* text = std::getenv("TARVELON_NUM_THREADS")) {
      const std::string_view s = text;
      std::size_t value = 0;
      const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
      if (ec == std::errc{} && end == s.data() + s.size() && value >= 1 && value <= kMaxThreads)
        return value;
    }
    return std::min(cpus_available(), kMaxThreads);
  }();
  return count;
}

bool run_parallel(const Program& program, std::span<const Program::In> in,
                  std::span<const Program::Out> out, std::size_t n, Program::Workspace& ws,
                  const ParallelOptions& options) {
  const std::size_t threads =
      std::min(options.threads == 0 ? thread_count() : options.threads, kMaxThreads);
  Job job(program, in, out, n, piece_length(n, threads));
  const std::size_t pieces = (n + job.piece_len - 1) / job.piece_len;
  const std::size_t workers = std::min(threads, pieces) - (pieces == 0 ? 0 : 1);
  const bool may_share = n >= options.minimum && workers > 0;
  std::optional<double> per_element;
  if (may_share && options.measure) per_element = probe(job, ws, options);
  if (may_share) {
    Pool& p = pool();
    std::unique_lock lock(p.caller, std::try_to_lock);
    if (lock.owns_lock() &&
        (!options.measure || (per_element && worth_sharing(job, *per_element, workers, p)))) {
      p.run(job, workers, options, ws);
    }
  }
  job.share(ws, &options.keep_going);
  if (job.error) std::rethrow_exception(job.error);
  return !job.stop.load(std::memory_order_relaxed);
}

}  // namespace tarvelon::eval
