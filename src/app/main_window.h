// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "app/context.h"
#include "app/window_def.h"

// MainWindow's definition, its created handler and the handlers of its own
// timers (the scrolling notice on 时钟2, the status texts on 时钟3 and 时钟4).

namespace kestrune {

// The window as designed, with the model list's items given by the caller
// (start-up hands in the catalogue's 89 items; item 0 is selected).
WindowDef MainWindowDefinition(const std::vector<Text>& modelItems);
// The same without list items, for callers that do not need the list.
WindowDef MainWindowDefinition();

// Tests inject the clock of the scrolling notice.
using LocalClock = std::function<std::chrono::system_clock::time_point()>;

// Registers the created handler (LocalVersion from 透明标签8, 时钟1 armed
// with 3000 ms) and the tick handlers of 时钟2, 时钟3 and 时钟4.
//
// 时钟3 and 时钟4 report the catalogue site's state from a real check: 时钟3
// shows "正在检测服务器状态！" and asks ctx.endpoints.catalogueBaseUrl + "/"
// on a worker; 时钟4, 1.5 s later, shows "已连接到小米服务器！" when any HTTP
// answer came back and "无法连接到小米服务器！" otherwise. A check still
// running when 时钟4 ticks shows its text as soon as it ends (within the
// check's 5-second connect and stall limits).
void InstallMainWindow(const AppContext& ctx, LocalClock clock = nullptr);

// The date-time text of the scrolling notice for a local time: "2026年12月10日"
// followed by "3时26分10秒", "4时5分", "4时" or nothing, as the seconds, the
// minutes and the hour are zero.
Text NoticeDateTime(std::chrono::system_clock::time_point when);

}  // namespace kestrune
