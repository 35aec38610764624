// SPDX-License-Identifier: MIT
// The download window on real widgets (Qt's offscreen platform), opened by a
// real click on a package button of the main window.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/names.h"
#include "app/qt/qt_toolkit.h"
#include "app/qt_test_support.h"
#include "download/aria2_test_support.h"
#include "download/package_buttons.h"
#include "support/loopback_server.h"
#include "web/codepage.h"

namespace kestrune {
namespace {

constexpr const char* kMain = names::kMainWindow;
constexpr const char* kDownload = names::kDownloadWindow;

// One QApplication for the whole test process.
class QtApplication : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "download_window_qt_test";
    static char* argv[] = {name, nullptr};
    application_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { application_.reset(); }

 private:
  std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] const auto* const kApplication = ::testing::AddGlobalTestEnvironment(new QtApplication);

QString Shown(const Text& text) { return QString::fromUtf8(AnsiToUtf8(text)); }

class DownloadWindowWidgetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tk_ = QtToolkit::Create();
    ASSERT_TRUE(tk_);
    tk_->SetUrlOpener([this](const std::string& address) {
      std::lock_guard<std::mutex> lock(mutex_);
      opened_.push_back(address);
    });
    manager_.rpcPort = test::DeadPort();
    manager_.startIfMissing = false;
    manager_.downloadFolder = folder_.path();
    manager_.secretFile = secrets_ / "aria2.conf";
    tk_->DefineWindow(MainWindowDefinition());
  }

  void TearDown() override {
    tk_->ExitProgram(0);
    EXPECT_TRUE(test::PumpUntil([&] { return tk_->RunningThreads() == 0; }));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }

  // Installs the buttons, shows the main window and gives 按钮2 a package.
  void ShowPackage(const Text& link, const Text& caption) {
    InstallPackageButtons(AppContext{tk_, state_, Endpoints{}}, manager_);
    tk_->LoadWindow(kMain, false);
    state_->PackageLink(2) = link;
    tk_->SetProperty(kMain, "按钮2", Property::Caption, caption);
  }

  // Clicks 按钮2; `script` runs inside the modal window once it is shown.
  void ClickPackage(const std::function<void()>& script) {
    bool ran = false;
    QTimer::singleShot(0, [&] {
      ASSERT_TRUE(test::PumpUntil([&] { return tk_->IsOpen(kDownload); }));
      script();
      ran = true;
    });
    test::Click(qobject_cast<QPushButton*>(tk_->ControlWidget(kMain, "按钮2")));
    EXPECT_TRUE(ran);
    EXPECT_FALSE(tk_->IsOpen(kDownload));
  }

  QPushButton* Button(const char* name) { return qobject_cast<QPushButton*>(tk_->ControlWidget(kDownload, name)); }
  QLabel* Label() { return qobject_cast<QLabel*>(tk_->ControlWidget(kDownload, "标签1")); }

  std::vector<std::string> Opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
  }

  std::shared_ptr<QtToolkit> tk_;
  std::shared_ptr<SharedState> state_ = CreateSharedState();
  test::TempFolder folder_, secrets_;
  DownloadManagerConfig manager_;
  std::mutex mutex_;
  std::vector<std::string> opened_;
};

TEST_F(DownloadWindowWidgetsTest, BrowserTwiceTheCaptionAfterASecondThenCopyAndClose) {
  const Text link = "http://bigota.example.com/V7.0.5.0/cancro_images_V7.0.5.0.tgz";
  const Text caption = Ansi("线刷包 (1.2G)");
  ShowPackage(link, caption);

  ClickPackage([&] {
    EXPECT_EQ(tk_->WindowWidget(kDownload)->windowTitle(), QString::fromUtf8("选择下载方式"));
    ASSERT_NE(Button("百度网盘下载"), nullptr);
    EXPECT_EQ(Button("百度网盘下载")->text(), QString::fromUtf8("从浏览器下载"));
    EXPECT_EQ(Button("复制下载地址")->text(), QString::fromUtf8("复制下载地址"));
    EXPECT_EQ(Button("启动软件下载")->text(), QString::fromUtf8("启动迅雷下载"));
    EXPECT_EQ(Label()->text(), QString::fromUtf8("正在获取文件大小，请稍等..."));

    test::Click(Button("百度网盘下载"));
    test::Click(Button("百度网盘下载"));
    EXPECT_TRUE(tk_->IsOpen(kDownload));
    EXPECT_TRUE(test::PumpUntil([&] { return Label()->text() == Shown(caption); }));

    tk_->SetNextMessageAnswer(MessageAnswer::Ok);
    test::Click(Button("复制下载地址"));
  });

  EXPECT_EQ(Opened(), std::vector<std::string>(2, link));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromUtf8(link.c_str()));
  ASSERT_EQ(tk_->Messages().size(), 1u);
  EXPECT_EQ(tk_->Messages()[0].text, Ansi("文件下载地址已复制！"));
  EXPECT_EQ(tk_->Messages()[0].title, Ansi("复制地址提示"));
}

TEST_F(DownloadWindowWidgetsTest, TheDownloadManagerButtonSavesThePackage) {
  test::LoopbackServer server;
  const std::string package(128 * 1024, '\x7f');
  server.Page("/V7.0.5.0/cancro_images_V7.0.5.0.tgz", package, "application/octet-stream");
  server.Start();
  test::Aria2Process manager(folder_.path());
  ASSERT_TRUE(manager.answering());
  manager_.rpcPort = manager.port();
  ShowPackage(server.Url("/V7.0.5.0/cancro_images_V7.0.5.0.tgz"), "c");

  ClickPackage([&] { test::Click(Button("启动软件下载")); });

  EXPECT_TRUE(tk_->Messages().empty());
  EXPECT_TRUE(test::WaitForDownload(folder_ / "cancro_images_V7.0.5.0.tgz", package));
}

TEST_F(DownloadWindowWidgetsTest, WithNoDownloadManagerTheWarningComesOnceAndTheWindowCloses) {
  ShowPackage("http://h.example.com/a/rom.tgz", "c");
  ClickPackage([&] {
    tk_->SetNextMessageAnswer(MessageAnswer::Ok);
    test::Click(Button("启动软件下载"));
  });
  ASSERT_EQ(tk_->Messages().size(), 1u);
  EXPECT_EQ(tk_->Messages()[0].title, Ansi("提示"));
}

}  // namespace
}  // namespace kestrune
