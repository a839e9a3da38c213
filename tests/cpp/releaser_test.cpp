#include "support/releaser.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace tarvelon {
namespace {

/// Records the thread that destroyed it, and whether that thread could take Ctrl-C.
struct Tracked {
  std::atomic<int>* destroyed;
  std::thread::id* by;
  bool* interruptible = nullptr;
  ~Tracked() {
    *by = std::this_thread::get_id();
    if (interruptible != nullptr) {
      sigset_t mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      *interruptible = sigismember(&mask, SIGINT) == 0;
    }
    destroyed->fetch_add(1);
  }
};

TEST(Releaser, SmallStructuresFreeAtOnceAndLargeOnesOnTheReleaserThread) {
  struct Case {
    std::size_t parts;
    bool in_background;
  };
  const Case cases[] = {{0, false},
                        {support::kBackgroundReleaseParts - 1, false},
                        {support::kBackgroundReleaseParts, true},
                        {std::size_t{1} << 30, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parts);
    std::atomic<int> destroyed = 0;
    std::thread::id by;
    bool interruptible = false;
    support::release(std::make_unique<Tracked>(&destroyed, &by, &interruptible), c.parts);
    if (!c.in_background) {
      EXPECT_EQ(destroyed.load(), 1);
    }
    support::wait_for_releases();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(by != std::this_thread::get_id(), c.in_background);
    // Signals go to the threads that compile, never to the releaser.
    EXPECT_EQ(interruptible, !c.in_background);
  }
}

TEST(Releaser, ReleasesFromManyThreadsAllRun) {
  std::atomic<int> destroyed = 0;
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread::id> by(kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        support::release(std::make_unique<Tracked>(&destroyed, &by[t * kEach + i]),
                         support::kBackgroundReleaseParts);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  support::wait_for_releases();
  EXPECT_EQ(destroyed.load(), kThreads * kEach);
}

TEST(Releaser, AChildForkedAfterItStartedReleasesOnItsOwnThreadAndExits) {
  std::atomic<int> destroyed = 0;
  std::thread::id by;
  support::release(std::make_unique<Tracked>(&destroyed, &by), support::kBackgroundReleaseParts);
  support::wait_for_releases();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    support::release(std::make_unique<Tracked>(&destroyed, &by), support::kBackgroundReleaseParts);
    support::wait_for_releases();
    // exit, not _exit: the releaser's own exit handling runs in the child too.
    std::exit(destroyed.load() == 2 && by == std::this_thread::get_id() ? 0 : 1);
  }
  int status = 0;
  pid_t done = 0;
  for (int waited_ms = 0; waited_ms < 20000 && done == 0; waited_ms += 10) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) kill(child, SIGKILL);
  ASSERT_EQ(done, child) << "the child hung at exit";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace tarvelon
