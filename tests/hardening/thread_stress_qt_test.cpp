// SPDX-License-Identifier: MIT
// The program's threads under stress on the Qt toolkit, where requests from
// workers cross to the window thread: the user's picks and clicks while
// background chains and other workers ask for list page reads, and the end of
// the program (the window closed, or an exit asked for by a worker) while a
// task is in flight, many times over. The test's thread is the window thread.
// Meant to run under ThreadSanitizer.
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/qt_toolkit.h"
#include "hardening_support.h"
#include "hostile_pages.h"
#include "hostile_server.h"
#include "net_disk.h"
#include "qt_support.h"

namespace kestrune::test {
namespace {

using ::testing::Each;
using ::testing::IsEmpty;
using ::testing::StartsWith;

TEST(QtThreadStress, PicksAndClicksWhileChainsAndWorkersReadListPages) {
  ProgramOnQt p;
  ServeEverything(p.server);
  const std::string host = p.server.Url();
  std::mt19937 random(11);

  std::atomic<bool> stop{false};
  std::atomic<bool> readerDone{false};
  std::thread reader([&] {
    for (int i = 0; i < 40 && !stop; ++i) {
      if (i % 3 == 0)
        ClickTestButton1(p.ctx);
      else if (i % 3 == 1)
        ReadListPage(p.ctx);
      else
        CutEntries(p.ctx);
    }
    readerDone = true;
  });

  int chains = 0;
  for (int i = 0; i < 100; ++i) {
    if (i % 10 == 0) {
      p.toolkit->SetNextMessageAnswer(MessageAnswer::Yes);
      p.toolkit->FireEvent(kMain, "时钟1", Event::Tick);
      ++chains;
    }
    p.Pick(1 + static_cast<int>(random() % 20));
    ClickPackage(*p.toolkit, kButtons[random() % kButtons.size()]);
    QTest::qWait(1);
  }
  stop = true;
  // The reader waits for the window thread: it is served until it is done.
  const bool settled = PumpUntil([&] { return readerDone && p.toolkit->RunningThreads() == 0; }, 60000);
  if (!settled) p.toolkit->ExitProgram(1);  // lets a waiting reader go
  reader.join();
  ASSERT_TRUE(settled);

  EXPECT_EQ(static_cast<int>(p.toolkit->Messages().size()), chains);
  EXPECT_TRUE(PumpUntil([&] { return p.opened.Get().size() == 100u; }, 5000));
  EXPECT_THAT(p.opened.Get(), Each(StartsWith(host + "/pkg/")));
  EXPECT_EQ(p.manager.Handed().size(), 100u);
  p.Pick(kNormalRow);
  ExpectNormalPage(p.Read(), host);
}

TEST(QtThreadStress, EndWhileATaskIsInFlightCleansUpOnceAndNothingIsTouchedAfter) {
  constexpr int kRounds = 30;
  for (int i = 0; i < kRounds; ++i) {
    const Stage stage = static_cast<Stage>(i % 5);
    const bool close = (i / 5) % 2 == 0;
    SCOPED_TRACE(std::string(StageName(stage)) + (close ? ", window closed" : ", exit from a worker") + ", round " +
                 std::to_string(i));
    const int code = close ? 0 : 10 + i;
    Gate gate;
    ProgramOnQt p;
    HoldAt(p.server, stage, gate);
    if (stage == Stage::Question) {
      // The question stays open until the end closes it.
    } else {
      p.toolkit->SetNextMessageAnswer(MessageAnswer::Yes);
    }
    QTimer::singleShot(0, [&] { p.toolkit->FireEvent(kMain, "时钟1", Event::Tick); });

    // The user (or the update check) ends the program while the task waits.
    std::atomic<bool> ended{false};
    std::thread driver([&] {
      if (stage == Stage::Question)
        WaitUntil([&] { return !p.toolkit->Messages().empty(); }, 20000);
      else
        gate.WaitForArrival();
      std::thread ender([&] {
        if (close)
          p.toolkit->RunOnWindowThread([&] { p.toolkit->WindowWidget(kMain)->close(); });
        else
          p.toolkit->ExitProgram(code);
        ended = true;
      });
      // While the window thread reads 按钮1's page, the end can only come
      // after it; everywhere else it comes first.
      if (stage != Stage::UpdatePageRead) WaitUntil([&] { return p.toolkit->Ending(); }, 20000);
      gate.Open();
      ender.join();
    });
    const int result = p.toolkit->RunMessageLoop();
    driver.join();

    EXPECT_TRUE(ended);
    if (stage == Stage::Question)
      EXPECT_EQ(p.toolkit->Messages().size(), 1u);
    else
      EXPECT_EQ(gate.Arrived(), 1) << "the task was in flight";
    EXPECT_EQ(result, code);
    EXPECT_EQ(p.toolkit->CleanupRuns(), 1);
    EXPECT_TRUE(p.ctx.state->released);
    // The update browser's load of the update file ("/d/...") may have been
    // started before the end and land after it; the chain's own reads may not.
    const auto chainRequests = [&] { return p.server.RequestCount() - p.server.RequestsFor("/d/"); };
    const std::size_t requests = chainRequests();
    ASSERT_TRUE(PumpUntil([&] { return p.toolkit->RunningThreads() == 0; }, 15000));
    EXPECT_EQ(chainRequests(), requests) << "a task went on after the end";
    SharedState& state = *p.ctx.state;
    EXPECT_TRUE(state.ListPageHtml.empty());
    EXPECT_THAT(state.PackageLinks, Each(IsEmpty()));
    std::lock_guard<std::mutex> lock(state.backgroundLock);
    EXPECT_TRUE(state.RemoteText.empty());
    EXPECT_TRUE(state.UpdateLink.empty());
  }
}

}  // namespace
}  // namespace kestrune::test
