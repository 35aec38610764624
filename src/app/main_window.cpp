// SPDX-License-Identifier: MIT
#include "app/main_window.h"

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "app/names.h"
#include "web/codepage.h"
#include "web/fetch.h"

namespace kestrune {
namespace {

constexpr const char* kMain = names::kMainWindow;
constexpr const char kNotice[] = "公告栏";
constexpr const char kStatusBar[] = "状态条1";
constexpr int kStatusPanel = 1;

ControlDef Timer(std::string name, int period) {
  ControlDef c = MakeControl(std::move(name), ControlKind::Timer, 0, 0, 0, 0);
  c.timerPeriod = period;
  return c;
}

ControlDef PackageButton(std::string name, int left, int top, int width) {
  static const Text kPrompt = Ansi("请选择手机版本");
  ControlDef c = MakeControl(std::move(name), ControlKind::Button, left, top, width, 32, kPrompt);
  c.cursor = Cursor::Hand;
  return c;
}

// ---- The scrolling notice ----

void MoveNotice(Toolkit& tk, std::chrono::system_clock::time_point now) {
  static const Text kPrefix = Ansi("测试软件！");
  tk.SetProperty(kMain, kNotice, Property::Caption, kPrefix + NoticeDateTime(now));
  const auto length = tk.GetText(kMain, kNotice, Property::Caption).size();
  tk.SetProperty(kMain, kNotice, Property::Width, static_cast<int>(static_cast<double>(length) * 6.0));
  const double left = tk.GetInt(kMain, kNotice, Property::Left);
  const double width = tk.GetInt(kMain, kNotice, Property::Width);
  // The notice wraps when its right edge arrives at 0, and also when a width
  // change has carried it past 0: it moves left a pixel a tick and its width
  // never grows enough to bring the sum back, so waiting for an exact 0 would
  // lose the notice for good.
  if (left + width <= 0.0000001) tk.SetProperty(kMain, kNotice, Property::Left, 750);
  tk.SetProperty(kMain, kNotice, Property::Left, tk.GetInt(kMain, kNotice, Property::Left) - 1);
}

// ---- The catalogue site check behind the status texts ----

enum Outcome { kPending, kAnswered, kSilent };

struct ServerCheck {
  std::atomic<int> outcome{kPending};
  // Set by 时钟4 when it wants the result shown; whoever clears it shows it.
  std::atomic<bool> textWanted{false};
};

// Window thread only: the check that the last tick of 时钟3 started.
struct StatusChain {
  std::shared_ptr<ServerCheck> current;
};

bool ServerAnswers(const Text& address) {
  FetchLimits limits;
  limits.connectTimeoutMs = 5000;
  limits.stallTimeoutMs = 5000;
  Text responseHeaders;
  FetchPage(address, 0, {}, nullptr, nullptr, nullptr, nullptr, /*noRedirect=*/true, nullptr, nullptr, &responseHeaders,
            limits);
  // Any HTTP answer at all shows the site is there; an error status too.
  return responseHeaders.rfind("HTTP/", 0) == 0;
}

void ShowServerState(Toolkit& tk, bool answered) {
  static const Text kConnected = Ansi("已连接到小米服务器！");
  static const Text kUnreachable = Ansi("无法连接到小米服务器！");
  tk.SetStatusText(kMain, kStatusBar, kStatusPanel, answered ? kConnected : kUnreachable);
}

std::shared_ptr<ServerCheck> StartServerCheck(Toolkit& tk, const std::weak_ptr<Toolkit>& weak, const Text& address) {
  auto check = std::make_shared<ServerCheck>();
  tk.StartThread([weak, check, address] {
    const bool answered = ServerAnswers(address);
    check->outcome = answered ? kAnswered : kSilent;
    if (check->textWanted.exchange(false))
      if (auto toolkit = weak.lock()) ShowServerState(*toolkit, answered);
  });
  return check;
}

}  // namespace

Text NoticeDateTime(std::chrono::system_clock::time_point when) {
  static const Text kYear = Ansi("年"), kMonth = Ansi("月"), kDay = Ansi("日");
  static const Text kHour = Ansi("时"), kMinute = Ansi("分"), kSecond = Ansi("秒");
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  Text text = std::to_string(local.tm_year + 1900) + kYear + std::to_string(local.tm_mon + 1) + kMonth +
              std::to_string(local.tm_mday) + kDay;
  const Text hour = std::to_string(local.tm_hour) + kHour;
  const Text minute = std::to_string(local.tm_min) + kMinute;
  if (local.tm_sec != 0)
    text += hour + minute + std::to_string(local.tm_sec) + kSecond;
  else if (local.tm_min != 0)
    text += hour + minute;
  else if (local.tm_hour != 0)
    text += hour;
  return text;
}

WindowDef MainWindowDefinition() { return MainWindowDefinition({}); }

WindowDef MainWindowDefinition(const std::vector<Text>& modelItems) {
  WindowDef w;
  w.name = kMain;
  w.caption = Ansi("Kestrune（与官方同步）");
  w.width = 841;
  w.height = 235;
  w.centred = true;
  w.fixedFrame = true;
  w.minimizeButton = true;
  w.maximizeButton = false;
  w.iconResource = "kestrune";

  ControlDef combo = MakeControl("组合框1", ControlKind::ComboBox, 8, 8, 824, 20);
  combo.items = modelItems;
  combo.selected = modelItems.empty() ? -1 : 0;
  combo.hasTextColour = true;
  combo.textColour = {255, 0, 0};
  combo.hasBackground = true;
  combo.background = {0, 255, 0};
  combo.cursor = Cursor::Hand;
  w.controls.push_back(combo);

  w.controls.push_back(MakeControl("标签1", ControlKind::Label, 16, 40, 152, 24));
  w.controls.push_back(MakeControl("标签2", ControlKind::Label, 176, 40, 152, 24));
  w.controls.push_back(MakeControl("标签3", ControlKind::Label, 336, 40, 152, 24));
  w.controls.push_back(MakeControl("标签4", ControlKind::Label, 496, 40, 152, 24));
  w.controls.push_back(MakeControl("标签5", ControlKind::Label, 664, 40, 152, 24));

  w.controls.push_back(PackageButton("按钮2", 16, 72, 152));
  w.controls.push_back(PackageButton("按钮3", 16, 112, 152));
  w.controls.push_back(PackageButton("按钮4", 176, 72, 152));
  w.controls.push_back(PackageButton("按钮5", 176, 112, 152));
  w.controls.push_back(PackageButton("按钮6", 336, 72, 152));
  w.controls.push_back(PackageButton("按钮7", 336, 112, 152));
  w.controls.push_back(PackageButton("按钮8", 496, 72, 152));
  w.controls.push_back(PackageButton("按钮9", 496, 112, 152));
  w.controls.push_back(PackageButton("按钮10", 656, 72, 160));
  w.controls.push_back(PackageButton("按钮11", 656, 112, 160));

  ControlDef notice = MakeControl(kNotice, ControlKind::Label, 0, 160, 48, 24, Ansi("测试版本"));
  notice.hasBackground = true;
  notice.background = {255, 0, 0};
  w.controls.push_back(notice);

  w.controls.push_back(MakeControl("透明标签8", ControlKind::TransparentLabel, 656, 160, 120, 20, Ansi("v15.10.26")));

  ControlDef bar = MakeControl(kStatusBar, ControlKind::StatusBar, 0, 186, 836, 20);
  bar.panels = {{70, Ansi("服务器状态")}, {800, Ansi("正在检测软件版本....")}};
  w.controls.push_back(bar);

  w.controls.push_back(Timer("时钟1", 0));
  w.controls.push_back(Timer("时钟2", 20));
  w.controls.push_back(Timer("时钟3", 0));
  w.controls.push_back(Timer("时钟4", 0));

  // Outside the client area: test buttons, scratch edit boxes, browsers.
  w.controls.push_back(MakeControl("按钮1", ControlKind::Button, 392, 472, 160, 32, Ansi("小米Note 双网通")));
  w.controls.push_back(MakeControl("按钮100", ControlKind::Button, 568, 464, 160, 32, Ansi("小米Note顶配版-开发版")));
  w.controls.push_back(MakeControl("按钮12", ControlKind::Button, 856, 40, 80, 32));
  for (int i = 1; i <= 6; ++i)
    w.controls.push_back(
        MakeControl("编辑框" + std::to_string(i), ControlKind::EditBox, 128 + 40 * (i - 1), 480, 32, 32));
  w.controls.push_back(MakeControl("超文本浏览框1", ControlKind::WebBrowser, 248, 352, 100, 100));
  w.controls.push_back(MakeControl("超文本浏览框2", ControlKind::WebBrowser, 600, 288, 100, 100));
  return w;
}

void InstallMainWindow(const AppContext& ctx, LocalClock clock) {
  if (!clock) clock = [] { return std::chrono::system_clock::now(); };
  // Handlers hold the toolkit weakly: the toolkit holds the handlers.
  const std::weak_ptr<Toolkit> weak = ctx.toolkit;
  const std::shared_ptr<SharedState> state = ctx.state;
  Toolkit& tk = *ctx.toolkit;

  tk.SetHandler(kMain, "", Event::Created, [weak, state] {
    auto toolkit = weak.lock();
    if (!toolkit) return;
    // Read from the control: the window definition is the one place that
    // holds the program's version.
    state->LocalVersion = toolkit->GetText(kMain, "透明标签8", Property::Caption);
    toolkit->SetProperty(kMain, "时钟1", Property::TimerPeriod, 3000);
  });

  tk.SetHandler(kMain, "时钟2", Event::Tick, [weak, clock] {
    if (auto toolkit = weak.lock()) MoveNotice(*toolkit, clock());
  });

  auto chain = std::make_shared<StatusChain>();
  const Text siteAddress = ctx.endpoints.catalogueBaseUrl + "/";

  tk.SetHandler(kMain, "时钟3", Event::Tick, [weak, chain, siteAddress] {
    static const Text kChecking = Ansi("正在检测服务器状态！");
    auto toolkit = weak.lock();
    if (!toolkit) return;
    toolkit->SetProperty(kMain, "时钟3", Property::TimerPeriod, 0);
    toolkit->SetStatusText(kMain, kStatusBar, kStatusPanel, kChecking);
    chain->current = StartServerCheck(*toolkit, weak, siteAddress);
    toolkit->SetProperty(kMain, "时钟4", Property::TimerPeriod, 1500);
  });

  tk.SetHandler(kMain, "时钟4", Event::Tick, [weak, chain, siteAddress] {
    auto toolkit = weak.lock();
    if (!toolkit) return;
    toolkit->SetProperty(kMain, "时钟4", Property::TimerPeriod, 0);
    // Armed without a check of 时钟3 before it: check now, show it when done.
    if (!chain->current) chain->current = StartServerCheck(*toolkit, weak, siteAddress);
    const std::shared_ptr<ServerCheck> check = chain->current;
    check->textWanted = true;
    const int outcome = check->outcome;
    // Done already: show it here. Still running: the check shows it itself.
    if (outcome != kPending && check->textWanted.exchange(false)) ShowServerState(*toolkit, outcome == kAnswered);
  });
}

}  // namespace kestrune
