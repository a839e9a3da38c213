#include "support/releaser.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

namespace tarvelon::support {
namespace {

/// Blocks every signal on the calling thread for its lifetime. A thread started meanwhile keeps
/// the mask, so that Ctrl-C always reaches a thread that can act on it.
class BlockedSignals {
 public:
  BlockedSignals() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

 private:
  sigset_t saved_;
};

struct Job {
  void* object;
  void (*destroy)(void*);
};

/// The releaser thread and its queue. Started on first use; at exit it finishes the queue and is
/// joined. A child forked after it started has no such thread: there releases run on the caller.
/// Never destroyed: in such a child, destroying a condition variable that the parent's thread
/// waited on would wait for that thread forever.
class Releaser {
 public:
  Releaser() = default;
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;

  /// Runs what is queued and joins the thread; for the process's exit.
  void shutdown() noexcept {
    if (!started_) return;
    if (forked()) {
      // The thread's handle belongs to the parent process; the queue is this process's own.
      for (const Job& job : queue_) job.destroy(job.object);
      return;
    }
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread().join();
    thread().~thread();
    started_ = false;
  }

  void submit(Job job) noexcept {
    if (forked()) {
      job.destroy(job.object);
      return;
    }
    try {
      std::unique_lock lock(mutex_);
      if (stopping_) {
        lock.unlock();
        job.destroy(job.object);
        return;
      }
      if (!started_) {
        const BlockedSignals blocked;
        new (&thread_storage_) std::thread([this] { work(); });
        owner_.store(::getpid(), std::memory_order_relaxed);
        started_.store(true, std::memory_order_release);
      }
      queue_.push_back(job);
      ++submitted_;
    } catch (...) {
      // No thread or no room in the queue: the caller pays for the release instead.
      job.destroy(job.object);
      return;
    }
    wake_.notify_one();
  }

  void wait() noexcept {
    if (!started_ || forked()) return;
    std::unique_lock lock(mutex_);
    const std::uint64_t target = submitted_;
    done_cv_.wait(lock, [&] { return done_ >= target; });
  }

 private:
  /// True in a child forked after the thread started, whose lock may have been copied held.
  bool forked() const {
    return started_.load(std::memory_order_acquire) &&
           owner_.load(std::memory_order_relaxed) != ::getpid();
  }

  std::thread& thread() { return *std::launder(reinterpret_cast<std::thread*>(&thread_storage_)); }

  void work() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      const Job job = queue_.front();
      queue_.pop_front();
      lock.unlock();
      job.destroy(job.object);
      lock.lock();
      ++done_;
      done_cv_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_cv_;
  std::deque<Job> queue_;
  std::uint64_t submitted_ = 0;
  std::uint64_t done_ = 0;
  bool stopping_ = false;
  std::atomic<bool> started_ = false;
  std::atomic<pid_t> owner_ = 0;
  /// Holds the thread once started; raw storage, so that a forked child, where the thread does
  /// not exist, never joins nor destroys it.
  alignas(std::thread) unsigned char thread_storage_[sizeof(std::thread)];
};

Releaser& releaser() {
  static Releaser* const instance = new Releaser;
  return *instance;
}

/// Drains and joins the releaser when the process exits, before leaks are counted.
struct ShutdownAtExit {
  ShutdownAtExit() = default;
  ShutdownAtExit(const ShutdownAtExit&) = delete;
  ShutdownAtExit& operator=(const ShutdownAtExit&) = delete;
  ~ShutdownAtExit() { releaser().shutdown(); }
};
const ShutdownAtExit shutdown_at_exit;

}  // namespace

namespace detail {

void release_in_background(void* object, void (*destroy)(void*)) noexcept {
  releaser().submit({object, destroy});
}

}  // namespace detail

void wait_for_releases() noexcept { releaser().wait(); }

}  // namespace tarvelon::support
