// SPDX-License-Identifier: MIT
#include "support/memory_toolkit.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "web/text.h"
#include "web/url.h"

namespace kestrune::test {

namespace {

std::string Key(std::string_view window, std::string_view control, Event event) {
  return std::string(window) + '\x1f' + std::string(control) + '\x1f' + std::to_string(static_cast<int>(event));
}

int Clamp(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

int AsInt(const Value& v) {
  if (const int* i = std::get_if<int>(&v)) return *i;
  return ToNumber(std::get<Text>(v));
}

Text AsText(const Value& v) {
  if (const Text* t = std::get_if<Text>(&v)) return *t;
  return std::to_string(std::get<int>(v));
}

}  // namespace

MemoryToolkit::MemoryToolkit() : windowThread_(std::this_thread::get_id()) {}

MemoryToolkit::~MemoryToolkit() { WaitForThreads(); }

void MemoryToolkit::DefineWindow(const WindowDef& def) {
  std::lock_guard<std::mutex> lock(mutex_);
  defs_[def.name] = def;
}

void MemoryToolkit::SetHandler(std::string_view window, std::string_view control, Event event, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_[Key(window, control, event)] = std::move(handler);
}

void MemoryToolkit::SetCleanup(Routine cleanup) {
  std::lock_guard<std::mutex> lock(mutex_);
  cleanup_ = std::move(cleanup);
}

MemoryToolkit::Control* MemoryToolkit::FindControl(std::string_view window, std::string_view control) {
  auto w = windows_.find(window);
  if (w == windows_.end() || !w->second.open) return nullptr;
  auto c = w->second.controls.find(control);
  return c == w->second.controls.end() ? nullptr : &c->second;
}

const MemoryToolkit::Control* MemoryToolkit::FindControl(std::string_view window, std::string_view control) const {
  return const_cast<MemoryToolkit*>(this)->FindControl(window, control);
}

Toolkit::Handler MemoryToolkit::FindHandler(std::string_view window, std::string_view control, Event event) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto h = handlers_.find(Key(window, control, event));
  return h == handlers_.end() ? Handler() : h->second;
}

Value MemoryToolkit::GetProperty(std::string_view window, std::string_view control, Property property) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Control* c = FindControl(window, control);
  if (!c) return property == Property::Caption || property == Property::Text || property == Property::Address
                    ? Value(Text())
                    : Value(0);
  switch (property) {
    case Property::Caption:
    case Property::Text: return c->text;
    case Property::Address: return c->address;
    case Property::Left: return c->left;
    case Property::Top: return c->top;
    case Property::Width: return c->width;
    case Property::Height: return c->height;
    case Property::Visible: return c->visible;
    case Property::Disabled: return c->disabled;
    case Property::TimerPeriod: return c->timerPeriod;
    case Property::CurrentSelection: return c->selection;
  }
  return 0;
}

void MemoryToolkit::SetProperty(std::string_view window, std::string_view control, Property property,
                                const Value& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control* c = FindControl(window, control);
  if (!c || ending_) return;
  switch (property) {
    case Property::Caption:
    case Property::Text: c->text = AsText(value); break;
    case Property::Address: c->address = AsText(value); break;
    case Property::Left: c->left = Clamp(AsInt(value), -32627, 32627); break;
    case Property::Top: c->top = Clamp(AsInt(value), -32627, 32627); break;
    case Property::Width: c->width = Clamp(AsInt(value), 0, 32627); break;
    case Property::Height: c->height = Clamp(AsInt(value), 0, 32627); break;
    case Property::Visible: c->visible = AsInt(value) != 0; break;
    case Property::Disabled: c->disabled = AsInt(value) != 0; break;
    case Property::TimerPeriod: {
      int period = AsInt(value);
      if (period <= 0) {
        c->timerPeriod = 0;
      } else if (period != c->timerPeriod) {
        c->timerPeriod = period;
        c->timerDue = now_ + period;
      }
      break;
    }
    case Property::CurrentSelection: {
      int i = AsInt(value);
      c->selection = (i >= 0 && i < static_cast<int>(c->def.items.size())) ? i : -1;
      break;
    }
  }
}

void MemoryToolkit::LoadWindow(std::string_view window, bool modal) {
  std::unique_lock<std::recursive_mutex> ui(window_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto d = defs_.find(window);
    if (d == defs_.end() || ending_) return;
    Window w;
    for (const ControlDef& def : d->second.controls) {
      Control c;
      c.def = def;
      c.text = def.caption;
      c.left = def.left;
      c.top = def.top;
      c.width = def.width;
      c.height = def.height;
      c.selection = def.kind == ControlKind::ComboBox ? def.selected : -1;
      for (const StatusPanel& p : def.panels) c.panels.push_back(p.text);
      if (def.kind == ControlKind::Timer && def.timerPeriod > 0) {
        c.timerPeriod = def.timerPeriod;
        c.timerDue = now_ + def.timerPeriod;
      }
      w.controls.emplace(def.name, std::move(c));
    }
    w.open = true;
    windows_[std::string(window)] = std::move(w);
  }
  if (Handler created = FindHandler(window, "", Event::Created)) created();
  if (!modal) return;
  if (modalScript) modalScript(window);
  std::lock_guard<std::mutex> lock(mutex_);
  auto w = windows_.find(window);
  if (w != windows_.end()) w->second.open = false;
}

int MemoryToolkit::RunMessageLoop() {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitCode_;
}

void MemoryToolkit::DestroyWindow(std::string_view window) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto w = windows_.find(window);
  if (w != windows_.end()) w->second.open = false;
}

bool MemoryToolkit::IsOpen(std::string_view window) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto w = windows_.find(window);
  return w != windows_.end() && w->second.open;
}

MessageAnswer MemoryToolkit::ShowMessage(const Text& text, MessageStyle style, const Text& title) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ending_) return MessageAnswer::Closed;
  messages_.push_back({text, style, title});
  MessageAnswer answer = style == MessageStyle::QuestionYesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
  if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  }
  return answer;
}

void MemoryToolkit::SetStatusText(std::string_view window, std::string_view statusBar, int panel, const Text& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control* c = FindControl(window, statusBar);
  if (!c || ending_ || panel < 0 || panel >= static_cast<int>(c->panels.size())) return;
  c->panels[static_cast<std::size_t>(panel)] = text;
}

Text MemoryToolkit::StatusText(std::string_view window, std::string_view statusBar, int panel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Control* c = FindControl(window, statusBar);
  if (!c || panel < 0 || panel >= static_cast<int>(c->panels.size())) return {};
  return c->panels[static_cast<std::size_t>(panel)];
}

void MemoryToolkit::SetClipboardText(const Text& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  clipboard_ = text;
}

void MemoryToolkit::OpenUrl(const Text& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (IsWebAddress(address)) opened_.push_back(address);
}

void MemoryToolkit::StartThread(Routine routine) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++runningThreads_;
  }
  std::thread([this, routine = std::move(routine)] {
    routine();
    std::lock_guard<std::mutex> lock(mutex_);
    if (--runningThreads_ == 0) threadsDone_.notify_all();
  }).detach();
}

bool MemoryToolkit::WaitForThreads(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return threadsDone_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return runningThreads_ == 0; });
}

void MemoryToolkit::ProcessEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++processEventsCalls_;
}

void MemoryToolkit::RunCleanupOnce(int code) {
  Routine cleanup;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ending_) return;
    ending_ = true;
    exitCode_ = code;
    ++cleanupRuns_;
    cleanup = cleanup_;
    for (auto& [name, w] : windows_) w.open = false;
  }
  if (cleanup) cleanup();
}

void MemoryToolkit::ExitProgram(int code) {
  std::unique_lock<std::recursive_mutex> ui(window_);
  RunCleanupOnce(code);
}

bool MemoryToolkit::RunOnWindowThread(const Routine& fn) {
  std::unique_lock<std::recursive_mutex> ui(window_);
  if (Ending()) return false;
  fn();
  return true;
}

bool MemoryToolkit::IsWindowThread() const { return std::this_thread::get_id() == windowThread_; }

void MemoryToolkit::Click(std::string_view window, std::string_view control) {
  std::unique_lock<std::recursive_mutex> ui(window_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Control* c = FindControl(window, control);
    if (!c || c->disabled || ending_) return;
  }
  if (Handler h = FindHandler(window, control, Event::Clicked)) h();
}

void MemoryToolkit::Select(std::string_view window, std::string_view control, int index) {
  std::unique_lock<std::recursive_mutex> ui(window_);
  SetProperty(window, control, Property::CurrentSelection, index);
  if (Ending()) return;
  if (Handler h = FindHandler(window, control, Event::Selected)) h();
}

void MemoryToolkit::AdvanceTime(int ms) {
  std::unique_lock<std::recursive_mutex> ui(window_);
  long long end;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    end = now_ + ms;
  }
  for (;;) {
    std::string window, timer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      long long due = LLONG_MAX;
      for (auto& [wname, w] : windows_) {
        if (!w.open) continue;
        for (auto& [cname, c] : w.controls) {
          if (c.def.kind == ControlKind::Timer && c.timerPeriod > 0 && c.timerDue < due) {
            due = c.timerDue;
            window = wname;
            timer = cname;
          }
        }
      }
      if (due > end || ending_) {
        now_ = end;
        return;
      }
      now_ = due;
      Control& c = windows_[window].controls.find(timer)->second;
      c.timerDue = due + c.timerPeriod;
    }
    if (Handler h = FindHandler(window, timer, Event::Tick)) h();
  }
}

void MemoryToolkit::QueueAnswer(MessageAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.push_back(answer);
}

std::vector<ShownMessage> MemoryToolkit::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<Text> MemoryToolkit::OpenedUrls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opened_;
}

Text MemoryToolkit::Clipboard() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clipboard_;
}

int MemoryToolkit::CleanupRuns() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cleanupRuns_;
}

int MemoryToolkit::ExitCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitCode_;
}

bool MemoryToolkit::Ending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ending_;
}

int MemoryToolkit::ProcessEventsCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return processEventsCalls_;
}

}  // namespace kestrune::test
