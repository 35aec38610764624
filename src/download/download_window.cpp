// SPDX-License-Identifier: MIT
#include "download/download_window.h"

#include <memory>
#include <string>
#include <utility>

#include "app/names.h"
#include "web/codepage.h"
#include "web/url.h"

namespace kestrune {
namespace {

constexpr const char* kWindow = names::kDownloadWindow;
constexpr const char kBrowserButton[] = "百度网盘下载";
constexpr const char kCopyButton[] = "复制下载地址";
constexpr const char kManagerButton[] = "启动软件下载";
constexpr const char kLabel[] = "标签1";
constexpr const char kTimer[] = "时钟4";

void HandToDownloadManager(Toolkit& tk, const SharedState& state, const DownloadManagerConfig& manager) {
  static const Text kCannotStart =
      Ansi("无法启动迅雷！\r\n\r\n1:可能你的电脑未安装迅雷软件\r\n\r\n2：如果无法启动，请手动开启");
  static const Text kTitle = Ansi("提示");
  std::unique_ptr<DownloadAgent> agent = DownloadAgent::Create(manager);
  if (!agent) tk.ShowMessage(kCannotStart, MessageStyle::InformationOk, kTitle);
  // Tried again in every case: a manager the user started while the message
  // was open is found now.
  agent = DownloadAgent::Create(manager);
  if (agent) {
    agent->AddTask(state.SelectedLink, state.SelectedFileName, Text());
    agent->CommitTasks2(1);
  }
  agent.reset();
  tk.DestroyWindow(kWindow);
}

}  // namespace

WindowDef DownloadWindowDefinition() {
  WindowDef w;
  w.name = kWindow;
  w.caption = Ansi("选择下载方式");
  w.left = 50;
  w.top = 50;
  w.width = 293;
  w.height = 112;
  w.controls.push_back(MakeControl(kBrowserButton, ControlKind::Button, 16, 16, 80, 32, Ansi("从浏览器下载")));
  w.controls.push_back(MakeControl(kCopyButton, ControlKind::Button, 104, 16, 80, 32, Ansi("复制下载地址")));
  w.controls.push_back(MakeControl(kManagerButton, ControlKind::Button, 192, 16, 80, 32, Ansi("启动迅雷下载")));
  w.controls.push_back(MakeControl(kLabel, ControlKind::Label, 0, 56, 288, 24, Ansi("正在获取文件大小，请稍等...")));
  w.controls.push_back(MakeControl(kTimer, ControlKind::Timer, 0, 0, 0, 0, Text()));
  return w;
}

DownloadManagerConfig DownloadManagerConfigFor(const Endpoints& endpoints) {
  DownloadManagerConfig config;
  config.rpcPort = endpoints.aria2RpcPort;
  config.downloadFolder = endpoints.downloadDir;
  config.startIfMissing = endpoints.startDownloadManager;
  return config;
}

void InstallDownloadWindow(const AppContext& ctx, const DownloadManagerConfig& manager) {
  // Handlers hold the toolkit weakly: the toolkit holds the handlers.
  const std::weak_ptr<Toolkit> weak = ctx.toolkit;
  const std::shared_ptr<SharedState> state = ctx.state;
  Toolkit& tk = *ctx.toolkit;
  tk.DefineWindow(DownloadWindowDefinition());

  tk.SetHandler(kWindow, "", Event::Created, [weak] {
    if (auto toolkit = weak.lock()) toolkit->SetProperty(kWindow, kTimer, Property::TimerPeriod, 1000);
  });

  tk.SetHandler(kWindow, kTimer, Event::Tick, [weak, state] {
    auto toolkit = weak.lock();
    if (!toolkit) return;
    toolkit->SetProperty(kWindow, kTimer, Property::TimerPeriod, 0);
    toolkit->SetProperty(kWindow, kLabel, Property::Caption, state->SelectedCaption);
  });

  tk.SetHandler(kWindow, kBrowserButton, Event::Clicked, [weak, state] {
    auto toolkit = weak.lock();
    // The shell would open anything it is given; only web links go to it.
    if (toolkit && HasWebScheme(state->SelectedLink)) toolkit->OpenUrl(state->SelectedLink);
  });

  tk.SetHandler(kWindow, kCopyButton, Event::Clicked, [weak, state] {
    static const Text kCopied = Ansi("文件下载地址已复制！");
    static const Text kTitle = Ansi("复制地址提示");
    auto toolkit = weak.lock();
    if (!toolkit) return;
    toolkit->SetClipboardText(state->SelectedLink);
    toolkit->ShowMessage(kCopied, MessageStyle::InformationOk, kTitle);
    toolkit->DestroyWindow(kWindow);
  });

  tk.SetHandler(kWindow, kManagerButton, Event::Clicked, [weak, state, manager] {
    if (auto toolkit = weak.lock()) HandToDownloadManager(*toolkit, *state, manager);
  });
}

}  // namespace kestrune
