// SPDX-License-Identifier: MIT
#include "download/package_buttons.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/names.h"
#include "download/aria2_test_support.h"
#include "support/loopback_server.h"
#include "support/memory_toolkit.h"
#include "web/codepage.h"

namespace kestrune {
namespace {

constexpr const char* kMain = names::kMainWindow;
constexpr const char* kDownload = names::kDownloadWindow;

std::string Button(int n) { return "按钮" + std::to_string(n); }

// What the download window saw when it opened.
struct Opening {
  Text link, fileName, caption, label;
  std::size_t linkParts = 0;
};

class PackageButtonsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_.rpcPort = test::DeadPort();
    manager_.startIfMissing = false;
    manager_.downloadFolder = folder_.path();
    manager_.secretFile = secrets_ / "aria2.conf";
    toolkit_->DefineWindow(MainWindowDefinition());
    InstallPackageButtons(AppContext{toolkit_, state_, Endpoints{}}, manager_);
    toolkit_->LoadWindow(kMain, false);
    toolkit_->modalScript = [this](std::string_view window) {
      openings_.push_back({state_->SelectedLink, state_->SelectedFileName, state_->SelectedCaption,
                           toolkit_->GetText(kDownload, "标签1", Property::Caption), state_->LinkParts.size()});
      EXPECT_EQ(window, kDownload);
      // The handler holds no lock while the window is open.
      std::unique_lock<std::mutex> lock(state_->matcherLock, std::try_to_lock);
      EXPECT_TRUE(lock.owns_lock()) << "the matcher is still locked while the window is open";
      if (script_) script_();
    };
  }

  void SetPackage(int button, const Text& link, const Text& caption) {
    state_->PackageLink(button) = link;
    toolkit_->SetProperty(kMain, Button(button), Property::Caption, caption);
  }

  // A choice made earlier, which a click that opens nothing must leave alone.
  void SetEarlierChoice() {
    state_->LinkParts = {"earlier"};
    state_->SelectedLink = "http://earlier/";
    state_->SelectedFileName = "earlier.tgz";
    state_->SelectedCaption = "earlier";
  }

  void ExpectEarlierChoice() {
    EXPECT_EQ(state_->LinkParts, TextArray{"earlier"});
    EXPECT_EQ(state_->SelectedLink, "http://earlier/");
    EXPECT_EQ(state_->SelectedFileName, "earlier.tgz");
    EXPECT_EQ(state_->SelectedCaption, "earlier");
  }

  std::shared_ptr<test::MemoryToolkit> toolkit_ = std::make_shared<test::MemoryToolkit>();
  std::shared_ptr<SharedState> state_ = CreateSharedState();
  test::TempFolder folder_, secrets_;
  DownloadManagerConfig manager_;
  std::vector<Opening> openings_;
  std::function<void()> script_;
};

struct LinkCase {
  const char* name;
  int button;
  Text link;
  std::optional<Text> fileName;  // nullopt: no window opens
  std::size_t linkParts = 0;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

class PackageLinkTest : public PackageButtonsTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(PackageLinkTest, FileNameComesFromTheFifthPartOfTheLink) {
  const LinkCase& c = GetParam();
  const Text caption = Ansi("线刷包 (1.2G)");
  SetPackage(c.button, c.link, caption);
  SetEarlierChoice();

  toolkit_->Click(kMain, Button(c.button));

  if (!c.fileName) {
    EXPECT_TRUE(openings_.empty());
    ExpectEarlierChoice();
    return;
  }
  ASSERT_EQ(openings_.size(), 1u);
  EXPECT_EQ(openings_[0].fileName, *c.fileName);
  EXPECT_EQ(openings_[0].link, c.link);
  EXPECT_EQ(openings_[0].caption, caption);
  EXPECT_EQ(openings_[0].linkParts, c.linkParts);
  EXPECT_EQ(openings_[0].label, Ansi("正在获取文件大小，请稍等...")) << "a fresh window";
  EXPECT_FALSE(toolkit_->IsOpen(kDownload));
  EXPECT_EQ(state_->SelectedFileName, *c.fileName) << "kept after the window closed";
}

INSTANTIATE_TEST_SUITE_P(
    Links, PackageLinkTest,
    ::testing::Values(
        LinkCase{"OneFolder", 2, "http://bigota.d.miui.com/V7.0.5.0.KXCCNCI/cancro_images_V7.0.5.0.tgz",
                 Text("cancro_images_V7.0.5.0.tgz"), 5},
        LinkCase{"RecoveryPackage", 3, "http://bigota.d.miui.com/V7.0.5.0/miui_MI3_V7.0.5.0_5.0.zip",
                 Text("miui_MI3_V7.0.5.0_5.0.zip"), 5},
        LinkCase{"Https", 11, "https://h.example.com/6.1.8/miui_6.1.8.zip", Text("miui_6.1.8.zip"), 5},
        LinkCase{"TwoFoldersNameTheSecondFolder", 4, "http://h.example.com/a/6.1.8/rom.tgz", Text("6.1.8tgz"), 6},
        LinkCase{"CapitalEndingGivesALowerCaseOne", 6, "HTTP://H.EXAMPLE.COM/F/ROM_V7.TGZ", Text("ROM_V7.tgz"), 5},
        LinkCase{"ChineseFileName", 8, Ansi("http://h.example.com/固件/线刷包_稳定版.tgz"),
                 Ansi("线刷包_稳定版.tgz"), 5},
        LinkCase{"EndingInAFolderCutsEarly", 10, "http://h.example.com/a/b/xtgz/c/rom.tgz", Text("btgz"), 6},
        LinkCase{"EndingInTheHostLeavesTooFewParts", 2, "http://tgz.example.com/a/b/rom.tgz", std::nullopt},
        LinkCase{"NoFolderLeavesTooFewParts", 2, "http://h.example.com/rom.tgz", std::nullopt},
        LinkCase{"WrongEndingForTheButton", 3, "http://h.example.com/a/rom.tgz", std::nullopt},
        LinkCase{"NoHttp", 2, "ftp://h.example.com/a/b/rom.tgz", std::nullopt},
        LinkCase{"DisabledButtonsLink", 5, "about:blank", std::nullopt},
        LinkCase{"EmptyLink", 7, "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackageButtonsTest, EvenButtonsTakeTgzAndOddButtonsZip) {
  for (int button = 2; button <= 11; ++button) {
    const Text ending = button % 2 == 0 ? "tgz" : "zip";
    SetPackage(button, "http://h.example.com/f/rom" + std::to_string(button) + "." + ending, "c");
  }
  for (int button = 2; button <= 11; ++button) toolkit_->Click(kMain, Button(button));
  ASSERT_EQ(openings_.size(), 10u);
  for (int button = 2; button <= 11; ++button)
    EXPECT_EQ(openings_[static_cast<std::size_t>(button - 2)].fileName,
              "rom" + std::to_string(button) + (button % 2 == 0 ? ".tgz" : ".zip"));
}

TEST_F(PackageButtonsTest, TwoClicksLeaveTheSecondChoice) {
  SetPackage(2, "http://h.example.com/a/first.tgz", "first");
  SetPackage(9, "http://h.example.com/b/second.zip", "second");
  toolkit_->Click(kMain, "按钮2");
  toolkit_->Click(kMain, "按钮9");
  ASSERT_EQ(openings_.size(), 2u);
  EXPECT_EQ(state_->SelectedLink, "http://h.example.com/b/second.zip");
  EXPECT_EQ(state_->SelectedFileName, "second.zip");
  EXPECT_EQ(state_->SelectedCaption, "second");
  EXPECT_EQ(state_->LinkParts, (TextArray{":", "", "h.example.com", "b", "second."}));
}

TEST_F(PackageButtonsTest, TheWindowShowsTheCaptionOfTheClickedButton) {
  SetPackage(5, "http://h.example.com/a/rom.zip", Ansi("卡刷包 (800M)"));
  script_ = [&] {
    toolkit_->AdvanceTime(1000);
    openings_.back().label = toolkit_->GetText(kDownload, "标签1", Property::Caption);
  };
  toolkit_->Click(kMain, "按钮5");
  ASSERT_EQ(openings_.size(), 1u);
  EXPECT_EQ(openings_[0].label, Ansi("卡刷包 (800M)"));
}

TEST_F(PackageButtonsTest, AfterTheCleanUpAClickOpensNothing) {
  SetPackage(2, "http://h.example.com/a/rom.tgz", "c");
  ReleaseSharedState(*state_);
  state_->PackageLink(2) = "http://h.example.com/a/rom.tgz";
  toolkit_->Click(kMain, "按钮2");
  EXPECT_TRUE(openings_.empty());
}

// The whole road: a package button, the download window, the download manager.
TEST_F(PackageButtonsTest, TheDownloadManagerButtonSavesThePackageUnderItsFileName) {
  test::LoopbackServer server;
  std::string package;
  for (int i = 0; i < 200000; ++i) package += static_cast<char>(i % 251);
  server.Page("/V7.0.5.0/cancro_images_V7.0.5.0_5.0.tgz", package, "application/octet-stream");
  server.Start();
  test::Aria2Process manager(folder_.path());
  ASSERT_TRUE(manager.answering());
  manager_.rpcPort = manager.port();
  InstallPackageButtons(AppContext{toolkit_, state_, Endpoints{}}, manager_);
  test::WriteFile(folder_ / "cancro_images_V7.0.5.0_5.0.tgz", "downloaded yesterday");

  SetPackage(2, server.Url("/V7.0.5.0/cancro_images_V7.0.5.0_5.0.tgz"), "c");
  script_ = [&] { toolkit_->Click(kDownload, "启动软件下载"); };
  toolkit_->Click(kMain, "按钮2");

  ASSERT_EQ(openings_.size(), 1u);
  EXPECT_TRUE(toolkit_->Messages().empty());
  EXPECT_TRUE(test::WaitForDownload(folder_ / "cancro_images_V7.0.5.0_5.0.1.tgz", package));
  EXPECT_EQ(test::ReadFile(folder_ / "cancro_images_V7.0.5.0_5.0.tgz"), "downloaded yesterday");
}

TEST_F(PackageButtonsTest, WithoutADownloadManagerTheClickWarnsOnceAndReturns) {
  SetPackage(3, "http://h.example.com/a/rom.zip", "c");
  script_ = [&] { toolkit_->Click(kDownload, "启动软件下载"); };
  toolkit_->Click(kMain, "按钮3");
  ASSERT_EQ(openings_.size(), 1u);
  EXPECT_EQ(toolkit_->Messages().size(), 1u);
  EXPECT_FALSE(toolkit_->IsOpen(kDownload));
}

}  // namespace
}  // namespace kestrune
