// SPDX-License-Identifier: MIT
#include "app/qt/qt_toolkit.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "qt_test_support.h"
#include "support/loopback_server.h"
#include "web/codepage.h"

namespace kestrune {
namespace {

using test::OnWorker;
using test::PumpUntil;
using test::VisibleMessageBox;

constexpr const char kWindow[] = "TestWindow";
constexpr const char kDialog[] = "Dialog";

// A window with one control of every kind; its client area is 300 x 200.
WindowDef TestWindow() {
  WindowDef w;
  w.name = kWindow;
  w.caption = Ansi("测试窗口");
  w.left = 20;
  w.top = 30;
  w.width = 300 + QtToolkit::kFrameWidth;
  w.height = 200 + QtToolkit::kFrameHeight;
  w.controls.push_back(MakeControl("标签", ControlKind::Label, 10, 10, 100, 20, Ansi("标签文字")));
  w.controls.push_back(MakeControl("透明", ControlKind::TransparentLabel, 120, 10, 100, 20, Ansi("透明文字")));
  w.controls.push_back(MakeControl("按钮", ControlKind::Button, 10, 40, 80, 24, Ansi("按钮文字")));
  w.controls.push_back(MakeControl("编辑框", ControlKind::EditBox, 10, 70, 60, 40));
  ControlDef combo = MakeControl("组合框", ControlKind::ComboBox, 100, 40, 150, 20);
  combo.items = {Ansi("甲"), Ansi("乙"), Ansi("丙")};
  combo.selected = 0;
  w.controls.push_back(combo);
  w.controls.push_back(MakeControl("时钟", ControlKind::Timer, 0, 0, 0, 0));
  ControlDef bar = MakeControl("状态条", ControlKind::StatusBar, 0, 180, 300, 20);
  bar.panels = {{70, Ansi("一")}, {200, Ansi("二")}};
  w.controls.push_back(bar);
  w.controls.push_back(MakeControl("浏览框", ControlKind::WebBrowser, 500, 500, 100, 100));
  w.controls.push_back(MakeControl("外面", ControlKind::Button, 400, 400, 80, 24, Ansi("看不见")));
  return w;
}

WindowDef DialogWindow() {
  WindowDef w;
  w.name = kDialog;
  w.caption = Ansi("对话框");
  w.width = 200;
  w.height = 100;
  w.controls.push_back(MakeControl("关闭", ControlKind::Button, 10, 10, 80, 24, Ansi("关闭")));
  w.controls.push_back(MakeControl("时钟", ControlKind::Timer, 0, 0, 0, 0));
  return w;
}

class QtToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tk = QtToolkit::Create();
    ASSERT_TRUE(tk);
    tk->SetUrlOpener([this](const std::string& address) {
      std::lock_guard<std::mutex> lock(mutex);
      opened.push_back(address);
    });
    tk->DefineWindow(TestWindow());
    tk->DefineWindow(DialogWindow());
    tk->SetCleanup([this] { ++cleanups; });
  }

  void TearDown() override {
    tk->ExitProgram(0);
    EXPECT_TRUE(PumpUntil([&] { return tk->RunningThreads() == 0; }));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }

  template <typename W>
  W* Widget(const char* control) {
    return qobject_cast<W*>(tk->ControlWidget(kWindow, control));
  }

  QTimer* Timer(const char* window, const char* control) {
    QWidget* w = tk->WindowWidget(window);
    return w != nullptr ? w->findChild<QTimer*>(QString::fromUtf8(control)) : nullptr;
  }

  std::vector<std::string> Opened() {
    std::lock_guard<std::mutex> lock(mutex);
    return opened;
  }

  std::shared_ptr<QtToolkit> tk;
  std::mutex mutex;
  std::vector<std::string> opened;
  std::atomic<int> cleanups{0};
};

// ---- Building windows ----

TEST_F(QtToolkitTest, BuildsEveryControlKindAtItsPlaceWithItsContent) {
  tk->LoadWindow(kWindow, false);
  QWidget* window = tk->WindowWidget(kWindow);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), QString::fromUtf8("测试窗口"));
  // The outer size holds the frame; the client area gets the rest.
  EXPECT_EQ(window->size(), QSize(300, 200));
  EXPECT_EQ(tk->GetInt(kWindow, "", Property::Width), 305);
  EXPECT_EQ(tk->GetInt(kWindow, "", Property::Height), 229);

  struct Case {
    const char* name;
    const char* className;
    QRect geometry;
  };
  const Case cases[] = {
      {"标签", "QLabel", {10, 10, 100, 20}},       {"透明", "QLabel", {120, 10, 100, 20}},
      {"按钮", "QPushButton", {10, 40, 80, 24}},   {"编辑框", "QPlainTextEdit", {10, 70, 60, 40}},
      {"组合框", "QComboBox", {100, 40, 150, 20}}, {"状态条", "QFrame", {0, 180, 300, 20}},
      {"浏览框", "QWidget", {500, 500, 100, 100}}, {"外面", "QPushButton", {400, 400, 80, 24}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget* w = tk->ControlWidget(kWindow, c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->metaObject()->className(), c.className);
    EXPECT_EQ(w->geometry(), c.geometry);
    EXPECT_EQ(tk->GetInt(kWindow, c.name, Property::Left), c.geometry.x());
    EXPECT_EQ(tk->GetInt(kWindow, c.name, Property::Top), c.geometry.y());
    EXPECT_EQ(tk->GetInt(kWindow, c.name, Property::Width), c.geometry.width());
    EXPECT_EQ(tk->GetInt(kWindow, c.name, Property::Height), c.geometry.height());
    EXPECT_EQ(tk->GetInt(kWindow, c.name, Property::Visible), 1);
    EXPECT_EQ(tk->GetInt(kWindow, c.name, Property::Disabled), 0);
  }
  EXPECT_EQ(tk->GetText(kWindow, "标签", Property::Caption), Ansi("标签文字"));
  EXPECT_EQ(Widget<QLabel>("标签")->text(), QString::fromUtf8("标签文字"));
  EXPECT_EQ(Widget<QPushButton>("按钮")->text(), QString::fromUtf8("按钮文字"));
  EXPECT_EQ(Widget<QComboBox>("组合框")->count(), 3);
  EXPECT_EQ(tk->GetInt(kWindow, "组合框", Property::CurrentSelection), 0);
  EXPECT_EQ(tk->StatusText(kWindow, "状态条", 0), Ansi("一"));
  EXPECT_EQ(tk->StatusText(kWindow, "状态条", 1), Ansi("二"));
  // The browser control shows nothing, whatever its Visible says.
  EXPECT_FALSE(tk->ControlWidget(kWindow, "浏览框")->isVisible());
  // Placed outside the client area: there, but clipped away.
  EXPECT_FALSE(window->rect().intersects(tk->ControlWidget(kWindow, "外面")->geometry()));
}

TEST_F(QtToolkitTest, LabelsShowMarkupAsPlainText) {
  tk->LoadWindow(kWindow, false);
  const Text markup = "<em>1.2G</em>";
  tk->SetProperty(kWindow, "标签", Property::Caption, markup);
  EXPECT_EQ(Widget<QLabel>("标签")->textFormat(), Qt::PlainText);
  EXPECT_EQ(tk->GetText(kWindow, "标签", Property::Caption), markup);
}

TEST_F(QtToolkitTest, UnknownWindowsAndControlsGiveEmptyValues) {
  tk->LoadWindow(kWindow, false);
  EXPECT_EQ(tk->GetProperty("NoSuchWindow", "标签", Property::Caption), Value(Text()));
  EXPECT_EQ(tk->GetProperty(kWindow, "无此控件", Property::Caption), Value(Text()));
  EXPECT_EQ(tk->GetProperty(kWindow, "无此控件", Property::Left), Value(0));
  tk->SetProperty(kWindow, "无此控件", Property::Caption, Text("x"));  // does nothing
  tk->SetStatusText("NoSuchWindow", "状态条", 0, "x");
}

// ---- Properties ----

TEST_F(QtToolkitTest, PlacesAndSizesAreClamped) {
  tk->LoadWindow(kWindow, false);
  struct Case {
    Property property;
    int written, read;
  };
  const Case cases[] = {
      {Property::Left, 40000, 32627},  {Property::Left, -40000, -32627}, {Property::Left, -210, -210},
      {Property::Top, 32628, 32627},   {Property::Top, -32628, -32627},  {Property::Width, -5, 0},
      {Property::Width, 40000, 32627}, {Property::Height, -1, 0},        {Property::Height, 32627, 32627},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.property) << " <- " << c.written);
    tk->SetProperty(kWindow, "标签", c.property, c.written);
    EXPECT_EQ(tk->GetInt(kWindow, "标签", c.property), c.read);
  }
  // A number written as text counts as that number.
  tk->SetProperty(kWindow, "标签", Property::Left, Text("12"));
  EXPECT_EQ(tk->GetInt(kWindow, "标签", Property::Left), 12);
}

TEST_F(QtToolkitTest, VisibleAndDisabledAreTheControlsOwn) {
  tk->LoadWindow(kWindow, false);
  tk->SetProperty(kWindow, "按钮", Property::Visible, 0);
  EXPECT_EQ(tk->GetInt(kWindow, "按钮", Property::Visible), 0);
  EXPECT_TRUE(Widget<QPushButton>("按钮")->isHidden());
  tk->SetProperty(kWindow, "按钮", Property::Visible, 1);
  tk->SetProperty(kWindow, "按钮", Property::Disabled, 1);
  EXPECT_EQ(tk->GetInt(kWindow, "按钮", Property::Disabled), 1);
  EXPECT_FALSE(Widget<QPushButton>("按钮")->isEnabled());
  tk->SetProperty(kWindow, "按钮", Property::Disabled, 0);
  EXPECT_EQ(tk->GetInt(kWindow, "按钮", Property::Disabled), 0);
}

TEST_F(QtToolkitTest, EditBoxGivesBackExactlyWhatWasWritten) {
  tk->LoadWindow(kWindow, false);
  const Text texts[] = {
      "line one\r\nline two\r\n",
      "a bare\nline feed and a lone\rreturn",
      Ansi("<em>线刷包大小：1.2G卡刷包大小：1G</em>"),
      "\x81\x20 broken pair, lone lead at the end \x81",
      std::string(200000, 'x'),  // no length limit
  };
  for (const Text& text : texts) {
    tk->SetProperty(kWindow, "编辑框", Property::Text, text);
    EXPECT_EQ(tk->GetText(kWindow, "编辑框", Property::Text), text);
  }
  tk->SetProperty(kWindow, "编辑框", Property::Text, Text("a\r\nb"));
  EXPECT_EQ(Widget<QPlainTextEdit>("编辑框")->toPlainText(), QString("a\nb"));
}

TEST_F(QtToolkitTest, EditBoxGivesBackWhatTheUserTyped) {
  tk->LoadWindow(kWindow, false);
  tk->SetProperty(kWindow, "编辑框", Property::Text, Text("old"));
  auto* edit = Widget<QPlainTextEdit>("编辑框");
  edit->clear();
  QTest::keyClicks(edit, "ab");
  QTest::keyClick(edit, Qt::Key_Return);
  QTest::keyClicks(edit, "c");
  EXPECT_EQ(tk->GetText(kWindow, "编辑框", Property::Text), "ab\r\nc");
}

TEST_F(QtToolkitTest, TimerPeriodStopsRestartsAndIgnoresTheCurrentValue) {
  tk->LoadWindow(kWindow, false);
  QTimer* timer = Timer(kWindow, "时钟");
  ASSERT_NE(timer, nullptr);
  EXPECT_FALSE(timer->isActive());

  tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, 1000);
  ASSERT_TRUE(timer->isActive());
  ASSERT_TRUE(PumpUntil([&] { return timer->remainingTime() < 800; }));
  // The same value again leaves the running rhythm alone...
  tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, 1000);
  EXPECT_LT(timer->remainingTime(), 850);
  // ...another positive value starts it afresh.
  tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, 5000);
  EXPECT_GT(timer->remainingTime(), 4000);
  EXPECT_EQ(tk->GetInt(kWindow, "时钟", Property::TimerPeriod), 5000);

  for (int stop : {0, -5}) {
    tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, 1000);
    tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, stop);
    EXPECT_FALSE(timer->isActive());
    EXPECT_EQ(tk->GetInt(kWindow, "时钟", Property::TimerPeriod), 0);
  }
}

TEST_F(QtToolkitTest, TimerTicksRunTheirHandlerOnTheWindowThread) {
  std::atomic<int> ticks{0};
  bool onWindowThread = true;
  tk->SetHandler(kWindow, "时钟", Event::Tick, [&] {
    onWindowThread = onWindowThread && tk->IsWindowThread();
    ++ticks;
  });
  tk->LoadWindow(kWindow, false);
  tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, 10);
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
  EXPECT_TRUE(onWindowThread);
}

TEST_F(QtToolkitTest, OnlyTheUsersChoiceRaisesSelected) {
  int selected = 0;
  int selectionSeen = -2;
  tk->SetHandler(kWindow, "组合框", Event::Selected, [&] {
    ++selected;
    selectionSeen = tk->GetInt(kWindow, "组合框", Property::CurrentSelection);
  });
  tk->LoadWindow(kWindow, false);
  tk->SetProperty(kWindow, "组合框", Property::CurrentSelection, 2);
  EXPECT_EQ(tk->GetInt(kWindow, "组合框", Property::CurrentSelection), 2);
  EXPECT_EQ(selected, 0);
  tk->SetProperty(kWindow, "组合框", Property::CurrentSelection, 99);
  EXPECT_EQ(tk->GetInt(kWindow, "组合框", Property::CurrentSelection), -1);

  tk->SetProperty(kWindow, "组合框", Property::CurrentSelection, 0);
  auto* combo = Widget<QComboBox>("组合框");
  combo->setFocus();
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(selected, 1);
  EXPECT_EQ(selectionSeen, 1);
  EXPECT_EQ(tk->GetText(kWindow, "组合框", Property::Caption), Ansi("乙"));
}

TEST_F(QtToolkitTest, ClicksReachTheHandlerOfAnEnabledButtonOnly) {
  int clicks = 0;
  tk->SetHandler(kWindow, "按钮", Event::Clicked, [&] { ++clicks; });
  tk->LoadWindow(kWindow, false);
  test::Click(Widget<QPushButton>("按钮"));
  EXPECT_EQ(clicks, 1);
  tk->SetProperty(kWindow, "按钮", Property::Disabled, 1);
  test::Click(Widget<QPushButton>("按钮"));
  EXPECT_EQ(clicks, 1);
}

TEST_F(QtToolkitTest, StatusTextOutsideTheBarsPanelsDoesNothing) {
  tk->LoadWindow(kWindow, false);
  tk->SetStatusText(kWindow, "状态条", 1, Ansi("新的"));
  tk->SetStatusText(kWindow, "状态条", 2, Ansi("不在"));
  tk->SetStatusText(kWindow, "状态条", -1, Ansi("不在"));
  tk->SetStatusText(kWindow, "标签", 0, Ansi("不是状态条"));
  EXPECT_EQ(tk->StatusText(kWindow, "状态条", 0), Ansi("一"));
  EXPECT_EQ(tk->StatusText(kWindow, "状态条", 1), Ansi("新的"));
  EXPECT_EQ(tk->GetText(kWindow, "标签", Property::Caption), Ansi("标签文字"));
}

TEST_F(QtToolkitTest, ClipboardHoldsTheText) {
  tk->SetClipboardText(Ansi("http://例子/文件.tgz"));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromUtf8("http://例子/文件.tgz"));
}

TEST_F(QtToolkitTest, OpenUrlOpensWebAddressesOnly) {
  struct Case {
    const char* address;
    bool opened;
  };
  const Case cases[] = {
      {"http://example.test/a.tgz", true},
      {"HTTPS://example.test/", true},
      {"file:///etc/passwd", false},
      {"javascript:alert(1)", false},
      {"ftp://example.test/", false},
      {"about:blank", false},
      {"http://", false},
      {"http://example.test/\r\nx", false},
      {" http://example.test/", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    const auto before = Opened().size();
    tk->OpenUrl(c.address);
    QCoreApplication::processEvents();
    EXPECT_EQ(Opened().size(), before + (c.opened ? 1 : 0));
  }
}

// ---- Windows ----

TEST_F(QtToolkitTest, ModalWindowBlocksTheOthersWhileTimersTick) {
  tk->LoadWindow(kWindow, false);
  int mainClicks = 0, created = 0, mainTicks = 0;
  bool openDuringHandler = false;
  tk->SetHandler(kWindow, "按钮", Event::Clicked, [&] { ++mainClicks; });
  tk->SetHandler(kWindow, "时钟", Event::Tick, [&] { ++mainTicks; });
  tk->SetHandler(kDialog, "", Event::Created, [&] { ++created; });
  tk->SetHandler(kDialog, "关闭", Event::Clicked, [&] {
    tk->DestroyWindow(kDialog);
    openDuringHandler = tk->IsOpen(kDialog);
  });
  tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, 10);

  bool checked = false;
  QTimer::singleShot(0, [&] {
    const int ticksBefore = mainTicks;
    EXPECT_TRUE(PumpUntil([&] { return mainTicks >= ticksBefore + 3; }));
    test::Click(Widget<QPushButton>("按钮"));
    EXPECT_EQ(mainClicks, 0);
    EXPECT_FALSE(tk->WindowWidget(kWindow)->close());  // the user cannot close it either
    test::Click(qobject_cast<QPushButton*>(tk->ControlWidget(kDialog, "关闭")));
    checked = true;
  });
  tk->LoadWindow(kDialog, true);
  EXPECT_TRUE(checked);
  EXPECT_EQ(created, 1);
  EXPECT_TRUE(openDuringHandler);
  EXPECT_FALSE(tk->IsOpen(kDialog));
  EXPECT_TRUE(tk->IsOpen(kWindow));
  test::Click(Widget<QPushButton>("按钮"));
  EXPECT_EQ(mainClicks, 1);
}

TEST_F(QtToolkitTest, LoadingAWindowAgainGivesAFreshOne) {
  tk->LoadWindow(kWindow, false);
  tk->SetProperty(kWindow, "标签", Property::Caption, Text("changed"));
  tk->LoadWindow(kWindow, false);
  EXPECT_EQ(tk->GetText(kWindow, "标签", Property::Caption), Ansi("标签文字"));
}

// ---- Message boxes ----

TEST_F(QtToolkitTest, SeamAnswersTheNextBoxAndRecordsIt) {
  tk->SetNextMessageAnswer(MessageAnswer::No);
  EXPECT_EQ(tk->ShowMessage(Ansi("问题"), MessageStyle::QuestionYesNo, Ansi("标题")), MessageAnswer::No);
  EXPECT_EQ(VisibleMessageBox(), nullptr);
  ASSERT_EQ(tk->Messages().size(), 1u);
  EXPECT_EQ(tk->Messages()[0].text, Ansi("问题"));
  EXPECT_EQ(tk->Messages()[0].style, MessageStyle::QuestionYesNo);
  EXPECT_EQ(tk->Messages()[0].title, Ansi("标题"));
}

TEST_F(QtToolkitTest, BoxesLookAsOnAChineseDesktop) {
  struct Case {
    MessageStyle style;
    QMessageBox::Icon icon;
    QMessageBox::StandardButton press;
    const char* buttonText;
    MessageAnswer answer;
  };
  const Case cases[] = {
      {MessageStyle::QuestionYesNo, QMessageBox::Question, QMessageBox::Yes, "是(&Y)", MessageAnswer::Yes},
      {MessageStyle::QuestionYesNo, QMessageBox::Question, QMessageBox::No, "否(&N)", MessageAnswer::No},
      {MessageStyle::InformationOk, QMessageBox::Information, QMessageBox::Ok, "确定", MessageAnswer::Ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buttonText);
    std::promise<MessageAnswer> answer;
    std::thread worker([&] { answer.set_value(tk->ShowMessage(Ansi("第一行\r\n第二行"), c.style, Ansi("提示"))); });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = VisibleMessageBox()) != nullptr; }));
    EXPECT_EQ(box->icon(), c.icon);
    EXPECT_EQ(box->windowTitle(), QString::fromUtf8("提示"));
    EXPECT_EQ(box->text(), QString::fromUtf8("第一行\n第二行"));
    EXPECT_EQ(box->buttons().size(), c.style == MessageStyle::QuestionYesNo ? 2 : 1);
    ASSERT_NE(box->button(c.press), nullptr);
    EXPECT_EQ(box->button(c.press)->text(), QString::fromUtf8(c.buttonText));
    test::Click(box->button(c.press));
    auto future = answer.get_future();
    ASSERT_TRUE(PumpUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(future.get(), c.answer);
    worker.join();
  }
}

TEST_F(QtToolkitTest, WorkersQuestionLeavesTheMainWindowUsable) {
  int clicks = 0;
  tk->SetHandler(kWindow, "按钮", Event::Clicked, [&] { ++clicks; });
  tk->LoadWindow(kWindow, false);
  std::atomic<bool> answered{false};
  MessageAnswer answer = MessageAnswer::Closed;
  std::thread worker([&] {
    answer = tk->ShowMessage(Ansi("发现新版本"), MessageStyle::QuestionYesNo, Ansi("发现新版本"));
    answered = true;
  });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = VisibleMessageBox()) != nullptr; }));
  test::Click(Widget<QPushButton>("按钮"));
  test::Click(Widget<QPushButton>("按钮"));
  EXPECT_EQ(clicks, 2);
  EXPECT_FALSE(answered);
  test::Click(box->button(QMessageBox::Yes));
  ASSERT_TRUE(PumpUntil([&] { return answered.load(); }));
  worker.join();
  EXPECT_EQ(answer, MessageAnswer::Yes);
}

TEST_F(QtToolkitTest, BoxOnTheWindowThreadIsModalToTheProgramsWindows) {
  int clicks = 0;
  tk->SetHandler(kWindow, "按钮", Event::Clicked, [&] { ++clicks; });
  tk->LoadWindow(kWindow, false);
  QTimer::singleShot(0, [&] {
    QMessageBox* box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = VisibleMessageBox()) != nullptr; }));
    test::Click(Widget<QPushButton>("按钮"));
    test::Click(box->button(QMessageBox::No));
  });
  EXPECT_EQ(tk->ShowMessage(Ansi("问题"), MessageStyle::QuestionYesNo, Ansi("标题")), MessageAnswer::No);
  EXPECT_EQ(clicks, 0);
}

// ---- Threads ----

TEST_F(QtToolkitTest, EveryOperationWorksFromAWorker) {
  int clicks = 0;
  tk->SetHandler(kWindow, "按钮", Event::Clicked, [&] { ++clicks; });
  Text caption, edit, status;
  int left = 0, period = 0;
  bool ranOnWindowThread = false, isWindowThread = true;
  std::atomic<bool> startedFromWorker{false};
  ASSERT_TRUE(OnWorker([&] {
    isWindowThread = tk->IsWindowThread();
    tk->LoadWindow(kWindow, false);
    tk->SetProperty(kWindow, "标签", Property::Caption, Ansi("来自工作线程"));
    caption = tk->GetText(kWindow, "标签", Property::Caption);
    tk->SetProperty(kWindow, "编辑框", Property::Text, Text("a\r\nb"));
    edit = tk->GetText(kWindow, "编辑框", Property::Text);
    tk->SetProperty(kWindow, "标签", Property::Left, -40000);
    left = tk->GetInt(kWindow, "标签", Property::Left);
    tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, 1500);
    period = tk->GetInt(kWindow, "时钟", Property::TimerPeriod);
    tk->SetStatusText(kWindow, "状态条", 1, Ansi("当前是最新版本！"));
    status = tk->StatusText(kWindow, "状态条", 1);
    tk->SetClipboardText(Text("copied"));
    tk->OpenUrl(Text("http://example.test/"));
    tk->ProcessEvents();  // a worker has no events of its own: returns at once
    tk->RunOnWindowThread([&] {
      ranOnWindowThread = tk->IsWindowThread();
      test::Click(qobject_cast<QPushButton*>(tk->ControlWidget(kWindow, "按钮")));
    });
    tk->SetNextMessageAnswer(MessageAnswer::Yes);
    EXPECT_EQ(tk->ShowMessage(Text("q"), MessageStyle::QuestionYesNo, Text("t")), MessageAnswer::Yes);
    tk->StartThread([&] { startedFromWorker = true; });
    tk->DestroyWindow(kWindow);
  }));
  EXPECT_TRUE(PumpUntil([&] { return startedFromWorker.load(); }));
  EXPECT_FALSE(isWindowThread);
  EXPECT_EQ(caption, Ansi("来自工作线程"));
  EXPECT_EQ(edit, "a\r\nb");
  EXPECT_EQ(left, -32627);
  EXPECT_EQ(period, 1500);
  EXPECT_EQ(status, Ansi("当前是最新版本！"));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("copied"));
  EXPECT_TRUE(PumpUntil([&] { return Opened().size() == 1; }));
  EXPECT_TRUE(ranOnWindowThread);
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(PumpUntil([&] { return !tk->IsOpen(kWindow); }));
}

TEST_F(QtToolkitTest, WorkerAskingWithoutPauseLeavesTheWindowThreadItsEvents) {
  std::atomic<int> ticks{0};
  tk->SetHandler(kWindow, "时钟", Event::Tick, [&] { ++ticks; });
  tk->LoadWindow(kWindow, false);
  tk->SetProperty(kWindow, "时钟", Property::TimerPeriod, 10);
  std::atomic<bool> stop{false};
  std::atomic<long> asked{0};
  std::thread worker([&] {
    while (!stop) {
      tk->GetProperty(kWindow, "标签", Property::Caption);
      ++asked;
    }
  });
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 10 && asked >= 100; }));
  stop = true;
  EXPECT_TRUE(OnWorker([&] { worker.join(); }));  // its last request needs the window thread
}

TEST_F(QtToolkitTest, RunOnWindowThreadRunsDirectlyOnTheWindowThread) {
  bool ran = false;
  EXPECT_TRUE(tk->RunOnWindowThread([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST_F(QtToolkitTest, StartThreadRunsTheRoutineOnANewThread) {
  std::promise<std::thread::id> id;
  tk->StartThread([&] { id.set_value(std::this_thread::get_id()); });
  auto future = id.get_future();
  ASSERT_TRUE(PumpUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  EXPECT_NE(future.get(), std::this_thread::get_id());
}

// ---- The end ----

TEST_F(QtToolkitTest, ClosingTheLastWindowEndsTheLoopWithCodeZero) {
  tk->LoadWindow(kWindow, false);
  QTimer::singleShot(0, [&] { tk->WindowWidget(kWindow)->close(); });
  EXPECT_EQ(tk->RunMessageLoop(), 0);
  EXPECT_EQ(cleanups, 1);
  tk->ExitProgram(3);  // a second end does nothing
  EXPECT_EQ(cleanups, 1);
  EXPECT_EQ(tk->ExitCode(), 0);
}

TEST_F(QtToolkitTest, ExitFromAWorkerIsCarriedOutByTheWindowThread) {
  tk->LoadWindow(kWindow, false);
  std::promise<bool> cleanupOnWindowThread;
  tk->SetCleanup([&] {
    ++cleanups;
    cleanupOnWindowThread.set_value(tk->IsWindowThread());
  });
  std::atomic<bool> afterwardsEmpty{false};
  tk->StartThread([&] {
    tk->ExitProgram(5);
    tk->ExitProgram(6);  // the first exit counts
    // The end has begun: everything answers empty at once.
    afterwardsEmpty = tk->GetText(kWindow, "标签", Property::Caption).empty() &&
                      tk->ShowMessage(Text("q"), MessageStyle::QuestionYesNo, Text("t")) == MessageAnswer::Closed &&
                      !tk->RunOnWindowThread([] {});
  });
  EXPECT_EQ(tk->RunMessageLoop(), 5);
  EXPECT_EQ(cleanups, 1);
  EXPECT_TRUE(cleanupOnWindowThread.get_future().get());
  EXPECT_TRUE(PumpUntil([&] { return tk->RunningThreads() == 0; }));
  EXPECT_TRUE(afterwardsEmpty);
}

TEST_F(QtToolkitTest, WorkerWaitingOnAQuestionIsAnsweredWhenTheProgramEnds) {
  tk->LoadWindow(kWindow, false);
  std::atomic<MessageAnswer> answer{MessageAnswer::Yes};
  tk->StartThread([&] { answer = tk->ShowMessage(Text("q"), MessageStyle::QuestionYesNo, Text("t")); });
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(PumpUntil([] { return VisibleMessageBox() != nullptr; }));
    tk->WindowWidget(kWindow)->close();
  });
  EXPECT_EQ(tk->RunMessageLoop(), 0);
  EXPECT_TRUE(PumpUntil([&] { return tk->RunningThreads() == 0; }));
  EXPECT_EQ(answer, MessageAnswer::Closed);
  EXPECT_EQ(VisibleMessageBox(), nullptr);
}

TEST_F(QtToolkitTest, WorkerBlockedOnTheWindowThreadIsReleasedByTheEnd) {
  tk->LoadWindow(kWindow, false);
  std::atomic<bool> calling{false}, returned{false};
  Text caption = "unset";
  std::thread worker([&] {
    calling = true;
    caption = tk->GetText(kWindow, "标签", Property::Caption);
    returned = true;
  });
  // The window thread serves nothing until the end: the request may or may
  // not be queued by then, and is answered empty either way.
  while (!calling) std::this_thread::yield();
  tk->ExitProgram(0);
  EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_TRUE(caption.empty() || caption == Ansi("标签文字"));
  bool ran = false;
  EXPECT_FALSE(tk->RunOnWindowThread([&] { ran = true; }));
  EXPECT_FALSE(ran);
  tk->StartThread([&] { ran = true; });
  EXPECT_EQ(tk->RunningThreads(), 0);
  EXPECT_EQ(cleanups, 1);
}

// ---- Web browser controls ----

class BrowserTest : public QtToolkitTest {
 protected:
  void SetUp() override {
    QtToolkitTest::SetUp();
    folder = std::filesystem::temp_directory_path() / ("kestrune-browser-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    tk->SetDownloadFolder(folder.string());
    server.Page("/page", "<html>page</html>", "text/html");
    server.server().Get("/update", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Disposition", "attachment; filename=\"kestrune-update.exe\"");
      res.set_content(std::string("MZ\0\1binary", 10), "application/octet-stream");
    });
    server.Start();
    tk->LoadWindow(kWindow, false);
  }
  void TearDown() override {
    QtToolkitTest::TearDown();
    std::filesystem::remove_all(folder);
  }

  QtToolkit::BrowserState Load(const Text& address) {
    tk->SetProperty(kWindow, "浏览框", Property::Address, address);
    QtToolkit::BrowserState state;
    EXPECT_TRUE(PumpUntil([&] {
      state = tk->Browser(kWindow, "浏览框");
      return state.status != QtToolkit::BrowserStatus::Loading;
    }));
    return state;
  }

  test::LoopbackServer server;
  std::filesystem::path folder;
};

TEST_F(BrowserTest, HoldsAPage) {
  const auto state = Load(server.Url("/page"));
  EXPECT_EQ(state.status, QtToolkit::BrowserStatus::Page);
  EXPECT_EQ(state.page, "<html>page</html>");
  EXPECT_EQ(tk->GetText(kWindow, "浏览框", Property::Address), server.Url("/page"));
  EXPECT_TRUE(tk->Messages().empty());
}

TEST_F(BrowserTest, OffersAFileAndSavesItOnYes) {
  tk->SetNextMessageAnswer(MessageAnswer::Yes);
  const auto state = Load(server.Url("/update"));
  ASSERT_EQ(state.status, QtToolkit::BrowserStatus::Saved);
  EXPECT_EQ(state.savedPath, (folder / "kestrune-update.exe").string());
  std::ifstream file(state.savedPath, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), std::string("MZ\0\1binary", 10));
  ASSERT_EQ(tk->Messages().size(), 1u);
  EXPECT_EQ(tk->Messages()[0].style, MessageStyle::QuestionYesNo);
  EXPECT_EQ(tk->Messages()[0].title, Ansi("文件下载"));
  EXPECT_NE(tk->Messages()[0].text.find("kestrune-update.exe"), std::string::npos);

  // A second download never replaces the first.
  tk->SetNextMessageAnswer(MessageAnswer::Yes);
  EXPECT_EQ(Load(server.Url("/update")).savedPath, (folder / "kestrune-update (1).exe").string());
}

TEST_F(BrowserTest, WritesNothingOnNo) {
  tk->SetNextMessageAnswer(MessageAnswer::No);
  EXPECT_EQ(Load(server.Url("/update")).status, QtToolkit::BrowserStatus::Declined);
  EXPECT_FALSE(std::filesystem::exists(folder / "kestrune-update.exe"));
}

TEST_F(BrowserTest, LoadsWebAddressesOnly) {
  for (const char* address : {"file:///etc/passwd", "javascript:alert(1)", ""}) {
    SCOPED_TRACE(address);
    EXPECT_EQ(Load(address).status, QtToolkit::BrowserStatus::Idle);
  }
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(BrowserTest, UnreachableAddressFails) {
  EXPECT_EQ(Load("http://127.0.0.1:" + std::to_string(test::ClosedPort()) + "/").status,
            QtToolkit::BrowserStatus::Failed);
}

}  // namespace
}  // namespace kestrune
