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
      std::size_t count)
      : program(&p), in(i), out(o), n(count) {}

  const Program* program;
  std::span<const Program::In> in;
  std::span<const Program::Out> out;
  std::size_t n;
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
    if (start == 0) return program->run(in, out, len, ws);
    const auto offset = static_cast<std::ptrdiff_t>(start);
    v.in.assign(in.begin(), in.end());
    v.out.assign(out.begin(), out.end());
    for (Program::In& i : v.in) i.data += offset * i.stride;
    for (Program::Out& o : v.out) o.data += offset * o.stride;
    program->run(v.in, v.out, len, ws);
  }

  /// Takes pieces until none is left or the run is stopped; the caller is asked before each of
  /// its own.
  void share(Program::Workspace& ws, const std::function<bool()>* keep_going) {
    Views views;
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        if (keep_going != nullptr && *keep_going && !(*keep_going)()) {
          stop.store(true, std::memory_order_relaxed);
          break;
        }
        const std::size_t start = next.fetch_add(kPiece, std::memory_order_relaxed);
        if (start >= n) break;
        piece(start, std::min(kPiece, n - start), views, ws);
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

/// Worker threads that take part in one run at a time. Never destroyed: its threads wait on it
/// until the process ends, so nothing at exit has to stop them.
class Pool {
 public:
  /// Held by the caller whose run the workers share; other callers run alone.
  std::mutex caller;

  /// Runs `job` on the calling thread and up to `workers` worker threads. Needs `caller` held.
  void run(Job& job, std::size_t workers, const ParallelOptions& options, Program::Workspace& ws) {
    try {
      while (threads_ < workers) start_worker();
    } catch (const std::system_error&) {
      // A system out of threads computes with those it has.
    }
    {
      std::lock_guard lock(mutex_);
      job_ = &job;
      allowed_ = workers;
      ++generation_;
    }
    wake_.notify_all();
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
    std::unique_lock lock(mutex_);
    // No worker joins once the pieces are all taken; those inside finish their piece.
    allowed_ = 0;
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
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return generation_ != seen; });
      seen = generation_;
      if (job_ == nullptr || joined_ >= allowed_) continue;
      ++joined_;
      Job* job = job_;
      lock.unlock();
      job->share(*ws, nullptr);
      lock.lock();
      if (--joined_ == 0) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  Job* job_ = nullptr;
  std::uint64_t generation_ = 0;
  std::size_t allowed_ = 0;
  std::size_t joined_ = 0;
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
  Job job(program, in, out, n);
  const std::size_t threads =
      std::min(options.threads == 0 ? thread_count() : options.threads, kMaxThreads);
  const std::size_t pieces = (n + kPiece - 1) / kPiece;
  const std::size_t workers = std::min(threads, pieces) - (pieces == 0 ? 0 : 1);
  bool shared = false;
  if (n >= options.minimum && workers > 0) {
    Pool& p = pool();
    std::unique_lock lock(p.caller, std::try_to_lock);
    if (lock.owns_lock()) {
      p.run(job, workers, options, ws);
      shared = true;
    }
  }
  if (!shared) job.share(ws, &options.keep_going);
  if (job.error) std::rethrow_exception(job.error);
  return !job.stop.load(std::memory_order_relaxed);
}

}  // namespace tarvelon::eval
