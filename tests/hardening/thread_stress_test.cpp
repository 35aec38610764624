// SPDX-License-Identifier: MIT
// The program's threads under stress on the in-memory toolkit: the user's
// picks and clicks while background chains and other workers ask for list
// page reads, and the end of the program while a task is in flight, many
// times over. Meant to run under ThreadSanitizer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hardening_support.h"
#include "hostile_pages.h"
#include "hostile_server.h"
#include "net_disk.h"

namespace kestrune::test {
namespace {

using ::testing::Each;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// Starts one more chain, as the tick of 时钟1 does.
void StartChain(MemoryToolkit& toolkit) {
  toolkit.SetProperty(kMain, "时钟1", Property::TimerPeriod, 1);
  toolkit.AdvanceTime(1);
}

TEST(ThreadStress, PicksAndClicksWhileChainsAndWorkersReadListPages) {
  ProgramOnMemory p;
  ServeEverything(p.server);
  const std::string host = p.server.Url();
  std::mt19937 random(7);

  // Another worker reads list pages too, through the entry points meant for
  // any thread.
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    for (int i = 0; i < 40 && !stop; ++i) {
      if (i % 3 == 0)
        ClickTestButton1(p.ctx);
      else if (i % 3 == 1)
        ReadListPage(p.ctx);
      else
        CutEntries(p.ctx);
    }
  });

  // Any row, the prompt included; now and then a test button, 按钮12 walking
  // on down the page it holds.
  const int rows = static_cast<int>(CatalogueRows().size());
  const std::array<const char*, 3> testButtons = {"按钮1", "按钮100", "按钮12"};
  int chains = 0;
  for (int i = 0; i < 150; ++i) {
    if (i % 15 == 0) {
      StartChain(*p.toolkit);
      ++chains;
    }
    p.Pick(static_cast<int>(random() % rows));
    if (i % 7 == 0) p.toolkit->Click(kMain, testButtons[random() % testButtons.size()]);
    p.toolkit->Click(kMain, ButtonName(kButtons[random() % kButtons.size()]));
    if (i % 10 == 0) p.toolkit->AdvanceTime(static_cast<int>(random() % 40));
  }
  stop = true;
  reader.join();
  ASSERT_TRUE(p.toolkit->WaitForThreads(60000));

  // Every chain asked its question; every package that went out was a link
  // of the page, handed to the browser and the download manager alike.
  EXPECT_EQ(static_cast<int>(p.toolkit->Messages().size()), chains);
  EXPECT_EQ(p.toolkit->StatusText(kMain, "状态条1", 1), Ansi("发现软件有新版本！！"));
  EXPECT_THAT(p.toolkit->AskedToOpen(), Each(StartsWith(host + "/pkg/")));
  EXPECT_EQ(p.toolkit->AskedToOpen().size(), p.manager.Handed().size());
  EXPECT_GT(p.toolkit->AskedToOpen().size(), 100u) << "a click finds a link unless the prompt row came first";
  p.Pick(kNormalRow);
  ExpectNormalPage(p.Read(), host);
}

TEST(ThreadStress, EndWhileATaskIsInFlightCleansUpOnceAndNothingIsTouchedAfter) {
  for (int i = 0; i < 40; ++i) {
    const Stage stage = static_cast<Stage>(i % 4);
    // The window thread ends the program itself, except while it is busy
    // with a worker's read: then a worker asks for the end.
    const bool fromWorker = (i / 4) % 2 == 1 || stage == Stage::UpdatePageRead;
    SCOPED_TRACE(std::string(StageName(stage)) + (fromWorker ? ", end from a worker" : ", end on the window thread") +
                 ", round " + std::to_string(i));
    const int code = 10 + i;
    Gate gate;
    {
      ProgramOnMemory p;
      HoldAt(p.server, stage, gate);
      p.toolkit->AdvanceTime(3000);
      ASSERT_TRUE(gate.WaitForArrival());

      std::thread ender;
      if (fromWorker)
        ender = std::thread([&] { p.toolkit->ExitProgram(code); });
      else
        p.toolkit->ExitProgram(code);
      // A worker's end waits for the window thread while that reads 按钮1's
      // page; everywhere else the end comes first and the answer after.
      if (stage != Stage::UpdatePageRead) {
        ASSERT_TRUE(WaitUntil([&] { return p.toolkit->Ending(); }));
      }
      const std::size_t requests = p.server.RequestCount();
      gate.Open();
      if (ender.joinable()) ender.join();
      ASSERT_TRUE(p.toolkit->WaitForThreads(15000));

      EXPECT_EQ(gate.Arrived(), 1) << "the task was in flight";
      EXPECT_EQ(p.toolkit->CleanupRuns(), 1);
      EXPECT_EQ(p.toolkit->ExitCode(), code);
      SharedState& state = *p.ctx.state;
      EXPECT_TRUE(state.released);
      EXPECT_TRUE(state.ListPageHtml.empty());
      EXPECT_THAT(state.PackageLinks, Each(IsEmpty()));
      std::lock_guard<std::mutex> lock(state.backgroundLock);
      EXPECT_TRUE(state.RemoteText.empty());
      EXPECT_TRUE(state.FolderId.empty());
      EXPECT_TRUE(state.UpdateLink.empty());
      EXPECT_EQ(p.server.RequestCount(), requests) << "a task went on after the end";
    }
  }
}

}  // namespace
}  // namespace kestrune::test
