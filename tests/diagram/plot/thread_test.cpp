// The drawing helper thread: work shared through atomics is done once, a
// Run never returns while the helper still uses the job, failures come back
// to the caller, and a helper that went to sleep still takes part.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "diagram/plot/sgr_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

void BusyFor(std::chrono::microseconds d) {
  const auto until = Clock::now() + d;
  while (Clock::now() < until) CpuRelax();
}

struct DrawHelper : ::testing::Test {
  Tsp_DrawHelper* helper = Tsp_DrawHelper::Get();
  void SetUp() override {
    if (!helper) GTEST_SKIP() << "no second processor";
  }
};

TEST_F(DrawHelper, SharedWorkIsDoneOnceAndRunOutlastsTheHelpersCall) {
  constexpr int kItems = 48;
  int helped = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  for (int round = 0; round < 300 || (helped == 0 && Clock::now() < deadline); ++round) {
    std::vector<int> done(kItems, 0);
    std::atomic<int> next{0}, inHelper{0}, helperItems{0};
    helper->Run([&](bool onHelper) {
      if (onHelper) inHelper = 1;
      for (int i; (i = next.fetch_add(1)) < kItems;) {
        BusyFor(std::chrono::microseconds(2));
        ++done[i];
        if (onHelper) ++helperItems;
      }
      if (onHelper) {
        // Still busy after the work ran out: the caller must wait for this.
        BusyFor(std::chrono::microseconds(200));
        inHelper = 0;
      }
    });
    EXPECT_EQ(inHelper.load(), 0) << "round " << round;
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(done[i], 1) << "item " << i << ", round " << round;
    helped += helperItems.load() > 0;
  }
  EXPECT_GT(helped, 0) << "the helper never took part";
}

TEST_F(DrawHelper, AFailureOnTheCallersSideComesBackAfterTheHelperIsDone) {
  std::atomic<bool> helperRunning{false};
  for (int round = 0; round < 50; ++round) {
    EXPECT_THROW(helper->Run([&](bool onHelper) {
      if (onHelper) {
        helperRunning = true;
        BusyFor(std::chrono::microseconds(300));
        helperRunning = false;
        return;
      }
      BusyFor(std::chrono::microseconds(50));
      throw std::runtime_error("drawing failed");
    }),
                 std::runtime_error);
    EXPECT_FALSE(helperRunning.load());
  }
  // Still usable afterwards.
  std::atomic<int> calls{0};
  helper->Run([&](bool) { ++calls; });
  EXPECT_GE(calls.load(), 1);
}

TEST_F(DrawHelper, ARunLongAfterTheLastIsDoneByTheCallerAlone) {
  for (int round = 0; round < 20; ++round) {
    // Readings over a real line come this far apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    helper->Prepare();
    std::atomic<int> onHelper{0}, calls{0};
    helper->Run([&](bool h) {
      ++calls;
      if (h) ++onHelper;
      BusyFor(std::chrono::microseconds(200));
    });
    EXPECT_EQ(calls.load(), 1) << "round " << round;
    EXPECT_EQ(onHelper.load(), 0) << "round " << round;
  }
}

TEST_F(DrawHelper, ASleepingHelperIsWokenAndTakesPartAgain) {
  helper->SetEveryRun(true);
  // Other tests may keep the second processor busy for a while: rounds go
  // on until the helper took part three times, or for at most 20 s.
  int helped = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (helped < 3 && Clock::now() < deadline) {
    // Long enough for it to stop watching and sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    helper->Prepare();
    BusyFor(std::chrono::microseconds(300));
    std::atomic<bool> took{false};
    helper->Run([&](bool onHelper) {
      if (onHelper) took = true;
      BusyFor(std::chrono::microseconds(200));
    });
    helped += took.load();
  }
  helper->SetEveryRun(false);
  EXPECT_GE(helped, 3);
}

}  // namespace
