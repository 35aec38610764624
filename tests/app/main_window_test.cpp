// SPDX-License-Identifier: MIT
#include "app/main_window.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <gtest/gtest.h>

#include <condition_variable>
#include <ctime>
#include <mutex>

#include "app/names.h"
#include "app/qt/qt_toolkit.h"
#include "qt_test_support.h"
#include "support/loopback_server.h"
#include "web/codepage.h"

namespace kestrune {
namespace {

using test::PumpUntil;
constexpr const char* kMain = names::kMainWindow;

std::chrono::system_clock::time_point LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

std::vector<Text> ModelItems() {
  std::vector<Text> items{Ansi("请选择手机版本")};
  for (int i = 1; i <= 88; ++i) items.push_back(Ansi("型号 ") + std::to_string(i));
  return items;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void Open(const Text& catalogueBaseUrl = "http://127.0.0.1:9", WindowDef def = MainWindowDefinition(ModelItems())) {
    tk = QtToolkit::Create();
    ASSERT_TRUE(tk);
    ctx.toolkit = tk;
    ctx.state = CreateSharedState();
    ctx.endpoints.catalogueBaseUrl = catalogueBaseUrl;
    tk->DefineWindow(def);
    InstallMainWindow(ctx, [this] { return now; });
    tk->LoadWindow(kMain, false);
  }

  void TearDown() override {
    if (!tk) return;
    tk->ExitProgram(0);
    EXPECT_TRUE(PumpUntil([&] { return tk->RunningThreads() == 0; }));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }

  int Int(const char* control, Property p) { return tk->GetInt(kMain, control, p); }
  Text Panel(int panel) { return tk->StatusText(kMain, "状态条1", panel); }
  void Tick(const char* timer) { tk->FireEvent(kMain, timer, Event::Tick); }

  std::shared_ptr<QtToolkit> tk;
  AppContext ctx;
  std::chrono::system_clock::time_point now = LocalTime(2026, 12, 10, 3, 26, 10);
};

// ---- The window as designed ----

TEST_F(MainWindowTest, WindowHasItsCaptionFixedFrameIconAndPlace) {
  Open();
  QWidget* window = tk->WindowWidget(kMain);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Kestrune（与官方同步）"));
  // Outer 841 x 235 less the frame; the status bar at 0,186 836 x 20 fits.
  EXPECT_EQ(window->size(), QSize(836, 206));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(window->windowIcon().isNull());
  EXPECT_TRUE(window->windowIcon().availableSizes().contains(QSize(32, 32)));
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_NEAR(window->x() + 841 / 2, screen.center().x(), 2);
  EXPECT_NEAR(window->y() + 235 / 2, screen.center().y(), 2);
}

TEST_F(MainWindowTest, ControlsHaveTheirPlaceSizeContentAndCursor) {
  Open();
  struct Case {
    const char* name;
    const char* className;
    QRect geometry;
    const char* caption;  // nullptr: not a captioned control
    bool hand;
  };
  const char* prompt = "请选择手机版本";
  const Case cases[] = {
      {"组合框1", "QComboBox", {8, 8, 824, 20}, nullptr, true},
      {"标签1", "QLabel", {16, 40, 152, 24}, "", false},
      {"标签2", "QLabel", {176, 40, 152, 24}, "", false},
      {"标签3", "QLabel", {336, 40, 152, 24}, "", false},
      {"标签4", "QLabel", {496, 40, 152, 24}, "", false},
      {"标签5", "QLabel", {664, 40, 152, 24}, "", false},
      {"按钮2", "QPushButton", {16, 72, 152, 32}, prompt, true},
      {"按钮3", "QPushButton", {16, 112, 152, 32}, prompt, true},
      {"按钮4", "QPushButton", {176, 72, 152, 32}, prompt, true},
      {"按钮5", "QPushButton", {176, 112, 152, 32}, prompt, true},
      {"按钮6", "QPushButton", {336, 72, 152, 32}, prompt, true},
      {"按钮7", "QPushButton", {336, 112, 152, 32}, prompt, true},
      {"按钮8", "QPushButton", {496, 72, 152, 32}, prompt, true},
      {"按钮9", "QPushButton", {496, 112, 152, 32}, prompt, true},
      {"按钮10", "QPushButton", {656, 72, 160, 32}, prompt, true},
      {"按钮11", "QPushButton", {656, 112, 160, 32}, prompt, true},
      {"公告栏", "QLabel", {0, 160, 48, 24}, "测试版本", false},
      {"透明标签8", "QLabel", {656, 160, 120, 20}, "v15.10.26", false},
      {"状态条1", "QFrame", {0, 186, 836, 20}, nullptr, false},
      {"按钮1", "QPushButton", {392, 472, 160, 32}, "小米Note 双网通", false},
      {"按钮100", "QPushButton", {568, 464, 160, 32}, "小米Note顶配版-开发版", false},
      {"按钮12", "QPushButton", {856, 40, 80, 32}, "", false},
      {"编辑框1", "QPlainTextEdit", {128, 480, 32, 32}, "", false},
      {"编辑框2", "QPlainTextEdit", {168, 480, 32, 32}, "", false},
      {"编辑框3", "QPlainTextEdit", {208, 480, 32, 32}, "", false},
      {"编辑框4", "QPlainTextEdit", {248, 480, 32, 32}, "", false},
      {"编辑框5", "QPlainTextEdit", {288, 480, 32, 32}, "", false},
      {"编辑框6", "QPlainTextEdit", {328, 480, 32, 32}, "", false},
      {"超文本浏览框1", "QWidget", {248, 352, 100, 100}, nullptr, false},
      {"超文本浏览框2", "QWidget", {600, 288, 100, 100}, nullptr, false},
  };
  const QRect client = tk->WindowWidget(kMain)->rect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget* w = tk->ControlWidget(kMain, c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->metaObject()->className(), c.className);
    EXPECT_EQ(w->geometry(), c.geometry);
    if (c.caption != nullptr) {
      EXPECT_EQ(tk->GetText(kMain, c.name, Property::Caption), Ansi(c.caption));
    }
    EXPECT_EQ(w->cursor().shape(), c.hand ? Qt::PointingHandCursor : Qt::ArrowCursor);
    EXPECT_EQ(Int(c.name, Property::Visible), 1);
    EXPECT_EQ(Int(c.name, Property::Disabled), 0);
    // Test buttons, scratch boxes and browsers lie outside the client area.
    const bool offWindow = std::string(c.name).find("编辑框") == 0 || std::string(c.name).find("超文本") == 0 ||
                           std::string(c.name) == "按钮1" || std::string(c.name) == "按钮100" ||
                           std::string(c.name) == "按钮12";
    EXPECT_EQ(client.contains(c.geometry), !offWindow);
  }
}

TEST_F(MainWindowTest, ModelListIsRedOnGreenWithThePromptSelected) {
  Open();
  auto* combo = qobject_cast<QComboBox*>(tk->ControlWidget(kMain, "组合框1"));
  ASSERT_NE(combo, nullptr);
  EXPECT_FALSE(combo->isEditable());
  EXPECT_EQ(combo->count(), 89);
  EXPECT_EQ(combo->currentText(), QString::fromUtf8("请选择手机版本"));
  EXPECT_EQ(Int("组合框1", Property::CurrentSelection), 0);
  EXPECT_EQ(combo->palette().color(QPalette::ButtonText), QColor(255, 0, 0));
  EXPECT_EQ(combo->palette().color(QPalette::Button), QColor(0, 255, 0));
  auto* notice = qobject_cast<QLabel*>(tk->ControlWidget(kMain, "公告栏"));
  EXPECT_TRUE(notice->autoFillBackground());
  EXPECT_EQ(notice->palette().color(QPalette::Window), QColor(255, 0, 0));
}

TEST_F(MainWindowTest, StatusBarHasItsTwoPanels) {
  Open();
  const auto panels = tk->ControlWidget(kMain, "状态条1")->findChildren<QLabel*>();
  ASSERT_EQ(panels.size(), 2);
  EXPECT_EQ(panels[0]->geometry(), QRect(0, 0, 70, 20));
  EXPECT_EQ(panels[1]->geometry(), QRect(70, 0, 800, 20));
  EXPECT_EQ(Panel(0), Ansi("服务器状态"));
  EXPECT_EQ(Panel(1), Ansi("正在检测软件版本...."));
  EXPECT_EQ(panels[1]->text(), QString::fromUtf8("正在检测软件版本...."));
}

TEST_F(MainWindowTest, CreatedHandlerTakesTheVersionFromTheControlAndArmsTheChecks) {
  Open();
  EXPECT_EQ(ctx.state->LocalVersion, "v15.10.26");
  EXPECT_EQ(Int("时钟1", Property::TimerPeriod), 3000);
  EXPECT_EQ(Int("时钟2", Property::TimerPeriod), 20);
  EXPECT_EQ(Int("时钟3", Property::TimerPeriod), 0);
  EXPECT_EQ(Int("时钟4", Property::TimerPeriod), 0);
}

TEST_F(MainWindowTest, VersionComesFromTheLabelNotFromAConstant) {
  WindowDef def = MainWindowDefinition(ModelItems());
  for (ControlDef& c : def.controls)
    if (c.name == "透明标签8") c.caption = "v9.9.9";
  Open("http://127.0.0.1:9", def);
  EXPECT_EQ(ctx.state->LocalVersion, "v9.9.9");
}

TEST_F(MainWindowTest, FirstTimerTicksOnceThreeSecondsAfterCreation) {
  const auto created = std::chrono::steady_clock::now();
  Open();
  int ticks = 0;
  std::chrono::steady_clock::duration after{};
  // As the background checks do: stop the timer, then start the work.
  tk->SetHandler(kMain, "时钟1", Event::Tick, [&] {
    tk->SetProperty(kMain, "时钟1", Property::TimerPeriod, 0);
    after = std::chrono::steady_clock::now() - created;
    ++ticks;
  });
  ASSERT_TRUE(PumpUntil([&] { return ticks == 1; }, 15000));
  EXPECT_GE(after, std::chrono::milliseconds(2900));
  EXPECT_EQ(Int("时钟1", Property::TimerPeriod), 0);
}

// ---- The scrolling notice ----

struct NoticeCase {
  const char* name;
  int hour, minute, second;
  const char* caption;
  std::size_t bytes;
};

void PrintTo(const NoticeCase& c, std::ostream* os) { *os << c.name; }

class NoticeTextTest : public MainWindowTest, public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(NoticeTextTest, CaptionAndWidthFollowTheTime) {
  const NoticeCase& c = GetParam();
  now = LocalTime(2026, 12, 10, c.hour, c.minute, c.second);
  Open();
  tk->SetProperty(kMain, "时钟2", Property::TimerPeriod, 0);  // ticks by hand only
  Tick("时钟2");
  const Text caption = tk->GetText(kMain, "公告栏", Property::Caption);
  EXPECT_EQ(caption, Ansi(c.caption));
  EXPECT_EQ(caption.size(), c.bytes);
  EXPECT_EQ(Int("公告栏", Property::Width), static_cast<int>(c.bytes) * 6);
  EXPECT_EQ(Int("公告栏", Property::Left), -1);  // from the designed place, 0
  EXPECT_EQ(qobject_cast<QLabel*>(tk->ControlWidget(kMain, "公告栏"))->text(), QString::fromUtf8(c.caption));
}

INSTANTIATE_TEST_SUITE_P(
    Times, NoticeTextTest,
    ::testing::Values(NoticeCase{"HourMinuteSecond", 3, 26, 10, "测试软件！2026年12月10日3时26分10秒", 35},
                      NoticeCase{"FullMinute", 4, 5, 0, "测试软件！2026年12月10日4时5分", 30},
                      NoticeCase{"FullHour", 4, 0, 0, "测试软件！2026年12月10日4时", 27},
                      NoticeCase{"Midnight", 0, 0, 0, "测试软件！2026年12月10日", 24},
                      NoticeCase{"TwoDigitHour", 13, 0, 7, "测试软件！2026年12月10日13时0分7秒", 34}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, NoticeWrapsWhenItsRightEdgeReachesOrPassesZero) {
  Open();
  tk->SetProperty(kMain, "时钟2", Property::TimerPeriod, 0);
  const auto width210 = LocalTime(2026, 12, 10, 3, 26, 10);   // 35 bytes
  const auto width216 = LocalTime(2026, 12, 10, 13, 26, 10);  // 36 bytes
  const auto width180 = LocalTime(2026, 12, 10, 4, 5, 0);     // 30 bytes
  struct Step {
    std::chrono::system_clock::time_point time;
    int leftBefore;  // 1 = leave as it is
    int leftAfter;
  };
  const Step steps[] = {
      {width210, -210, 749},                           // -210 + 210 = 0: back to 750, then one pixel
      {width210, 1, 748},    {width210, -209, -210},   // 1: runs on
      {width216, 1, -211},                             // the width grew: -210 + 216 = 6, runs on
      {width180, 1, 749},                              // shrank past 0: -211 + 180 = -31 would never
                                                       // come back to 0, so it wraps as well
      {width210, -214, 749},                           // -4: wraps
  };
  int index = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(index++);
    now = s.time;
    if (s.leftBefore != 1) tk->SetProperty(kMain, "公告栏", Property::Left, s.leftBefore);
    Tick("时钟2");
    EXPECT_EQ(Int("公告栏", Property::Left), s.leftAfter);
  }
}

TEST_F(MainWindowTest, NoticeMovesAPixelPerTickOfItsTimer) {
  Open();
  const int start = Int("公告栏", Property::Left);
  ASSERT_TRUE(PumpUntil([&] { return Int("公告栏", Property::Left) <= start - 5; }));
  EXPECT_EQ(Int("公告栏", Property::Width), 210);
}

// ---- Status texts: the catalogue site check ----

class ServerStatusTest : public MainWindowTest {
 protected:
  void SetUp() override {
    server.server().Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;  // any answer counts
      res.set_content("not here", "text/html");
    });
    server.server().Get("/slow/", [this](const httplib::Request&, httplib::Response& res) {
      std::unique_lock<std::mutex> lock(mutex);
      released.wait(lock, [&] { return release; });
      res.set_content("late", "text/html");
    });
    server.Start();
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      release = true;
    }
    released.notify_all();
    MainWindowTest::TearDown();
  }

  test::LoopbackServer server;
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
};

TEST_F(ServerStatusTest, ShowsConnectedOnlyAfterTheSiteAnswered) {
  Open(server.Url());
  // As the update check does it, from its worker.
  ASSERT_TRUE(test::OnWorker([&] { tk->SetProperty(kMain, "时钟3", Property::TimerPeriod, 1500); }));
  ASSERT_TRUE(PumpUntil([&] { return Panel(1) == Ansi("正在检测服务器状态！"); }));
  EXPECT_EQ(Int("时钟3", Property::TimerPeriod), 0);
  EXPECT_EQ(Int("时钟4", Property::TimerPeriod), 1500);
  ASSERT_TRUE(PumpUntil([&] { return Panel(1) == Ansi("已连接到小米服务器！"); }));
  EXPECT_EQ(Int("时钟4", Property::TimerPeriod), 0);
  EXPECT_EQ(Panel(0), Ansi("服务器状态"));
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].method, "GET");
  EXPECT_EQ(server.Requests()[0].path, "/");
}

TEST_F(ServerStatusTest, UnreachableSiteIsNotReportedAsConnected) {
  Open("http://127.0.0.1:" + std::to_string(test::ClosedPort()));
  Tick("时钟3");
  EXPECT_EQ(Panel(1), Ansi("正在检测服务器状态！"));
  ASSERT_TRUE(PumpUntil([&] { return Int("时钟4", Property::TimerPeriod) == 0; }));
  ASSERT_TRUE(PumpUntil([&] { return Panel(1) != Ansi("正在检测服务器状态！"); }));
  EXPECT_EQ(Panel(1), Ansi("无法连接到小米服务器！"));
}

TEST_F(ServerStatusTest, SlowCheckShowsItsResultWhenItEnds) {
  Open(server.Url("/slow"));
  Tick("时钟3");
  // 时钟4 has ticked and the site has not answered yet: nothing is claimed.
  ASSERT_TRUE(PumpUntil([&] { return Int("时钟4", Property::TimerPeriod) == 0; }));
  EXPECT_EQ(Panel(1), Ansi("正在检测服务器状态！"));
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  released.notify_all();
  EXPECT_TRUE(PumpUntil([&] { return Panel(1) == Ansi("已连接到小米服务器！"); }));
}

TEST(NoticeDateTimeTest, NumbersHaveNoLeadingZeros) {
  EXPECT_EQ(NoticeDateTime(LocalTime(2027, 1, 2, 3, 4, 5)), Ansi("2027年1月2日3时4分5秒"));
  EXPECT_EQ(NoticeDateTime(LocalTime(2027, 1, 2, 23, 0, 1)), Ansi("2027年1月2日23时0分1秒"));
}

}  // namespace
}  // namespace kestrune
