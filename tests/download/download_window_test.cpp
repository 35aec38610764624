// SPDX-License-Identifier: MIT
#include "download/download_window.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "app/names.h"
#include "download/aria2_test_support.h"
#include "support/loopback_server.h"
#include "support/memory_toolkit.h"
#include "web/codepage.h"

namespace kestrune {
namespace {

constexpr const char* kWindow = names::kDownloadWindow;

// Records what the plain in-memory toolkit would swallow: every address
// handed to OpenUrl (refused ones too) and every property write, and lets a
// test act while a message box is open.
class RecordingToolkit : public test::MemoryToolkit {
 public:
  std::vector<Text> openCalls;
  std::vector<std::tuple<std::string, std::string, Property>> writes;
  std::function<void()> whileMessageOpen;

  void OpenUrl(const Text& address) override {
    openCalls.push_back(address);
    MemoryToolkit::OpenUrl(address);
  }
  void SetProperty(std::string_view window, std::string_view control, Property property,
                   const Value& value) override {
    writes.emplace_back(std::string(window), std::string(control), property);
    MemoryToolkit::SetProperty(window, control, property, value);
  }
  MessageAnswer ShowMessage(const Text& text, MessageStyle style, const Text& title) override {
    if (whileMessageOpen) whileMessageOpen();
    return MemoryToolkit::ShowMessage(text, style, title);
  }

  int LabelWrites() const {
    int n = 0;
    for (const auto& [window, control, property] : writes)
      if (window == kWindow && control == "标签1") ++n;
    return n;
  }
};

class DownloadWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = CreateSharedState();
    state_->SelectedLink = "http://bigota.example.com/V7.0.5.0/cancro_images_V7.0.5.0.tgz";
    state_->SelectedFileName = "cancro_images_V7.0.5.0.tgz";
    state_->SelectedCaption = Ansi("线刷包 V7.0.5.0 (1.2G)");
    manager_.rpcPort = test::DeadPort();
    manager_.startIfMissing = false;
    manager_.downloadFolder = folder_.path();
    manager_.secretFile = secrets_ / "aria2.conf";
  }

  void Install() { InstallDownloadWindow(AppContext{toolkit_, state_, Endpoints{}}, manager_); }

  // Opens the window modally; `script` acts while it is open.
  void Open(const std::function<void()>& script) {
    Install();
    toolkit_->modalScript = [&](std::string_view) { script(); };
    toolkit_->LoadWindow(kWindow, true);
    toolkit_->modalScript = nullptr;
  }

  Text Caption(const char* control) { return toolkit_->GetText(kWindow, control, Property::Caption); }
  bool IsOpen() { return toolkit_->IsOpen(kWindow); }

  // The selected texts are read, never written, by the window.
  void ExpectSelectionUnchanged() {
    EXPECT_EQ(state_->SelectedLink, "http://bigota.example.com/V7.0.5.0/cancro_images_V7.0.5.0.tgz");
    EXPECT_EQ(state_->SelectedFileName, "cancro_images_V7.0.5.0.tgz");
    EXPECT_EQ(state_->SelectedCaption, Ansi("线刷包 V7.0.5.0 (1.2G)"));
  }

  std::shared_ptr<RecordingToolkit> toolkit_ = std::make_shared<RecordingToolkit>();
  std::shared_ptr<SharedState> state_;
  test::TempFolder folder_, secrets_;
  DownloadManagerConfig manager_;
};

TEST_F(DownloadWindowTest, ShowsTheButtonsCaptionAfterOneSecondOnce) {
  Open([&] {
    EXPECT_EQ(Caption("百度网盘下载"), Ansi("从浏览器下载"));
    EXPECT_EQ(Caption("复制下载地址"), Ansi("复制下载地址"));
    EXPECT_EQ(Caption("启动软件下载"), Ansi("启动迅雷下载"));
    EXPECT_EQ(Caption("标签1"), Ansi("正在获取文件大小，请稍等..."));
    toolkit_->AdvanceTime(999);
    EXPECT_EQ(Caption("标签1"), Ansi("正在获取文件大小，请稍等..."));
    toolkit_->AdvanceTime(1);
    EXPECT_EQ(Caption("标签1"), state_->SelectedCaption);
    EXPECT_EQ(toolkit_->GetInt(kWindow, "时钟4", Property::TimerPeriod), 0);
    toolkit_->AdvanceTime(10000);
  });
  EXPECT_EQ(toolkit_->LabelWrites(), 1);
}

TEST_F(DownloadWindowTest, EachOpeningStartsFromTheDesignText) {
  Open([&] { toolkit_->AdvanceTime(1000); });
  toolkit_->modalScript = [&](std::string_view) {
    EXPECT_EQ(Caption("标签1"), Ansi("正在获取文件大小，请稍等..."));
    EXPECT_EQ(toolkit_->GetInt(kWindow, "时钟4", Property::TimerPeriod), 1000);
  };
  toolkit_->LoadWindow(kWindow, true);
}

class ClosingButtonTest : public DownloadWindowTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClosingButtonTest, ClickedWithinTheFirstSecondClosesTheWindowBeforeTheTick) {
  Open([&] {
    toolkit_->AdvanceTime(500);
    toolkit_->Click(kWindow, GetParam());
    EXPECT_FALSE(IsOpen());
    toolkit_->AdvanceTime(5000);
  });
  EXPECT_EQ(toolkit_->LabelWrites(), 0);
  ExpectSelectionUnchanged();
}

INSTANTIATE_TEST_SUITE_P(Buttons, ClosingButtonTest, ::testing::Values("复制下载地址", "启动软件下载"),
                         [](const auto& info) { return info.index == 0 ? "Copy" : "DownloadManager"; });

TEST_F(DownloadWindowTest, TheBrowserButtonOpensTheLinkEachTimeAndKeepsTheWindow) {
  Open([&] {
    toolkit_->Click(kWindow, "百度网盘下载");
    toolkit_->Click(kWindow, "百度网盘下载");
    EXPECT_TRUE(IsOpen());
  });
  EXPECT_EQ(toolkit_->OpenedUrls(), std::vector<Text>(2, state_->SelectedLink));
  EXPECT_TRUE(toolkit_->Messages().empty());
  EXPECT_EQ(toolkit_->Clipboard(), "");
  ExpectSelectionUnchanged();
}

TEST_F(DownloadWindowTest, TheBrowserButtonOpensOnlyWebLinks) {
  for (const char* link : {"file:///etc/passwd", "FILE:///etc/passwd", "javascript:alert(1)", "about:blank",
                           "/usr/bin/xterm", "smb://host/share/rom.tgz", ""}) {
    state_->SelectedLink = link;
    Open([&] { toolkit_->Click(kWindow, "百度网盘下载"); });
    EXPECT_TRUE(toolkit_->openCalls.empty()) << link;
  }
  state_->SelectedLink = "HTTPS://bigota.example.com/rom.tgz";
  Open([&] { toolkit_->Click(kWindow, "百度网盘下载"); });
  EXPECT_EQ(toolkit_->openCalls, std::vector<Text>{state_->SelectedLink});
}

TEST_F(DownloadWindowTest, TheCopyButtonCopiesJustTheLinkReportsItAndCloses) {
  Open([&] {
    toolkit_->whileMessageOpen = [&] {
      EXPECT_EQ(toolkit_->Clipboard(), state_->SelectedLink) << "copied before the message";
      EXPECT_TRUE(IsOpen());
    };
    toolkit_->Click(kWindow, "复制下载地址");
    EXPECT_FALSE(IsOpen());
  });
  EXPECT_EQ(toolkit_->Clipboard(), state_->SelectedLink);
  ASSERT_EQ(toolkit_->Messages().size(), 1u);
  EXPECT_EQ(toolkit_->Messages()[0].text, Ansi("文件下载地址已复制！"));
  EXPECT_EQ(toolkit_->Messages()[0].title, Ansi("复制地址提示"));
  EXPECT_EQ(toolkit_->Messages()[0].style, MessageStyle::InformationOk);
  EXPECT_TRUE(toolkit_->openCalls.empty());
  ExpectSelectionUnchanged();
}

TEST_F(DownloadWindowTest, WithNoDownloadManagerOneClickWarnsOnceAndCloses) {
  manager_.startIfMissing = true;
  manager_.executable = "/nonexistent/aria2c";
  Open([&] {
    toolkit_->Click(kWindow, "启动软件下载");
    EXPECT_FALSE(IsOpen());
  });
  ASSERT_EQ(toolkit_->Messages().size(), 1u);
  EXPECT_EQ(toolkit_->Messages()[0].text,
            Ansi("无法启动迅雷！\r\n\r\n1:可能你的电脑未安装迅雷软件\r\n\r\n2：如果无法启动，请手动开启"));
  EXPECT_EQ(toolkit_->Messages()[0].title, Ansi("提示"));
  EXPECT_EQ(toolkit_->Messages()[0].style, MessageStyle::InformationOk);
  EXPECT_TRUE(test::FileNames(folder_.path()).empty());
  ExpectSelectionUnchanged();
}

TEST_F(DownloadWindowTest, AManagerStartedWhileTheWarningIsOpenGetsTheDownload) {
  test::LoopbackServer server;
  const std::string package(64 * 1024, '\x5a');
  server.Page("/rom/miui_V7.zip", package, "application/zip");
  server.Start();
  state_->SelectedLink = server.Url("/rom/miui_V7.zip");
  state_->SelectedFileName = Ansi("卡刷包.zip");

  std::unique_ptr<test::Aria2Process> started;
  toolkit_->whileMessageOpen = [&] {
    started = std::make_unique<test::Aria2Process>(folder_.path(), manager_.rpcPort);
  };
  Open([&] { toolkit_->Click(kWindow, "启动软件下载"); });

  ASSERT_TRUE(started && started->answering());
  EXPECT_EQ(toolkit_->Messages().size(), 1u);
  EXPECT_TRUE(test::WaitForDownload(folder_ / "卡刷包.zip", package));
}

TEST_F(DownloadWindowTest, ClosedByTheUserItDoesNothing) {
  Open([] {});
  EXPECT_FALSE(IsOpen());
  EXPECT_TRUE(toolkit_->Messages().empty());
  EXPECT_TRUE(toolkit_->openCalls.empty());
  EXPECT_EQ(toolkit_->Clipboard(), "");
  ExpectSelectionUnchanged();
}

}  // namespace
}  // namespace kestrune
