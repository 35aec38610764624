// SPDX-License-Identifier: MIT
// The catalogue on the real MainWindow, offscreen: a model picked in the
// drop-down list as a user picks it, the reader filling the real widgets, the
// test buttons, and a worker's read carried out by the window thread.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "app/main_window.h"
#include "app/names.h"
#include "app/qt/qt_toolkit.h"
#include "app/shared_state.h"
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_harness.h"
#include "web/codepage.h"

namespace kestrune::test {
namespace {

QString Q(const std::string& utf8) { return QString::fromUtf8(utf8.data(), static_cast<int>(utf8.size())); }

class CatalogueOnQt : public ::testing::Test {
 protected:
  // One QApplication for the suite, gone before the process's exit handlers
  // run, which Qt's own clean-up needs.
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "catalogue_qt_test";
    static char* argv[] = {name, nullptr};
    application = new QApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete application;
    application = nullptr;
  }

  void SetUp() override {
    toolkit = QtToolkit::Create();
    ctx = AppContext{toolkit, CreateSharedState(), {}};
    ctx.endpoints.catalogueBaseUrl = site.Url();
    toolkit->DefineWindow(MainWindowDefinition(CatalogueItems()));
    InstallCatalogue(ctx);
    toolkit->LoadWindow(names::kMainWindow, false);
  }

  void TearDown() override {
    toolkit->DestroyWindow(names::kMainWindow);
    QCoreApplication::processEvents();
    toolkit.reset();
  }

  template <typename W>
  W* Widget(const char* control) {
    return dynamic_cast<W*>(toolkit->ControlWidget(names::kMainWindow, control));
  }
  Text Get(const char* control, Property p) { return toolkit->GetText(names::kMainWindow, control, p); }
  bool Disabled(const char* control) { return toolkit->GetInt(names::kMainWindow, control, Property::Disabled) != 0; }

  static inline QApplication* application = nullptr;
  CatalogueSite site;
  std::shared_ptr<QtToolkit> toolkit;
  AppContext ctx;
};

TEST_F(CatalogueOnQt, PickingAModelFillsTheWindow) {
  std::string page = ListPageFixture("standard.html", Served::Ansi, site.Url());
  site.Serve("/list-169-1-18-21-1-1", {page});

  auto* list = Widget<QComboBox>("组合框1");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count(), 89);
  EXPECT_EQ(list->itemText(7), Q("小米Note 顶配版-双网通-开发版 "));
  EXPECT_EQ(list->itemText(67), Q(" 红米手机 WCDMA台湾版-开发版"));

  // One step down from the prompt, as the keyboard does it.
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);

  EXPECT_EQ(site.Paths(), std::vector<std::string>{"/list-169-1-18-21-1-1"});
  EXPECT_EQ(Widget<QLabel>("标签1")->text(), Q("MIUI75.10.29开发版"));
  EXPECT_EQ(Widget<QLabel>("标签2")->text(), Q("MIUI7　5.10.22开发版"));
  EXPECT_EQ(Widget<QAbstractButton>("按钮2")->text(), Q("线刷包大小：1.2GB"));
  EXPECT_EQ(Widget<QAbstractButton>("按钮11")->text(), Q("卡刷包大小：610MB"));
  EXPECT_EQ(Widget<QAbstractButton>("按钮1")->text(), Q("小米Note双网通"));
  EXPECT_EQ(ctx.state->PackageLink(3), site.Url("/pkg/miui_5.10.29.zip"));
  for (const char* button : kPackageButtons) EXPECT_FALSE(Disabled(button)) << button;

  // The scratch boxes give back the entry's bytes, line ends included, so
  // each cut takes its entry out of the page.
  std::size_t first = page.find("<em>");
  std::string entry1 = page.substr(first, page.find("</span>", first) - first);
  ASSERT_NE(entry1.find("\r\n"), std::string::npos);
  EXPECT_EQ(Get("编辑框1", Property::Text), entry1);
  EXPECT_EQ(ctx.state->ListPageHtml.find(entry1), std::string::npos);
  EXPECT_EQ(Widget<QPlainTextEdit>("编辑框1")->toPlainText().left(4), "<em>");

  // 按钮12 walks on to the sixth entry, blanks kept.
  Widget<QAbstractButton>("按钮12")->click();
  EXPECT_EQ(Get("标签1", Property::Caption), Ansi("MIUI 6 5.9.17 开发版 "));
  EXPECT_EQ(Get("按钮4", Property::Caption), Ansi("官网未发现该ROM"));
  EXPECT_EQ(site.Paths().size(), 1u);
}

TEST_F(CatalogueOnQt, TestButtonsAndAWorkersReadShareTheWindowThread) {
  site.Serve("/list-169-1-15-14-1-1", {ListPageFixture("partial.html", Served::Ansi, site.Url())});
  site.Serve("/list-169-1-18-21-1-2", {ListPageFixture("second_try.html", Served::Ansi, site.Url()), 200, 200});

  Widget<QAbstractButton>("按钮100")->click();
  EXPECT_EQ(Get("标签4", Property::Caption), Ansi("Tenbytes"));
  EXPECT_TRUE(Disabled("按钮3"));
  EXPECT_FALSE(Widget<QAbstractButton>("按钮3")->isEnabled());

  // The update check's worker asks for 按钮1's read; the window thread does
  // it while it keeps serving its events.
  std::atomic<bool> done{false};
  std::thread worker([&] {
    ClickTestButton1(ctx);
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  worker.join();

  EXPECT_EQ(ctx.state->ListPageUrl, site.Url("/list-169-1-18-21-1-2"));
  EXPECT_EQ(Widget<QLabel>("标签1")->text(), Q("Paragraph"));
  EXPECT_EQ(ctx.state->PackageLink(2), site.Url("/pkg/s1_images.tgz"));
  // Disabled by the first read, and a test-button read never enables.
  EXPECT_TRUE(Disabled("按钮3"));
  EXPECT_EQ(site.MaxInFlight(), 1);
}

}  // namespace
}  // namespace kestrune::test
