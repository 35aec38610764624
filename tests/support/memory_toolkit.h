// SPDX-License-Identifier: MIT
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/toolkit.h"

// An in-memory toolkit for testing the parts without Qt. Windows and controls
// are records; the test thread plays the window thread and drives events
// (Click, Select, AdvanceTime). Work that a worker sends to the window thread
// runs under one window lock, so it never overlaps a handler the test drives.
//
// Message boxes are answered from a queue (QueueAnswer), Yes/Ok by default.
// A modal LoadWindow calls the modal script, which acts on the open window
// (clicks, time) and must leave it closed; a window still open afterwards is
// closed as if by the user.

namespace kestrune::test {

struct ShownMessage {
  Text text;
  MessageStyle style;
  Text title;
};

class MemoryToolkit : public Toolkit {
 public:
  MemoryToolkit();
  ~MemoryToolkit() override;

  // Toolkit
  void DefineWindow(const WindowDef& def) override;
  void SetHandler(std::string_view window, std::string_view control, Event event, Handler handler) override;
  void SetCleanup(Routine cleanup) override;
  Value GetProperty(std::string_view window, std::string_view control, Property property) override;
  void SetProperty(std::string_view window, std::string_view control, Property property, const Value& value) override;
  void LoadWindow(std::string_view window, bool modal) override;
  int RunMessageLoop() override;
  void DestroyWindow(std::string_view window) override;
  MessageAnswer ShowMessage(const Text& text, MessageStyle style, const Text& title) override;
  void SetStatusText(std::string_view window, std::string_view statusBar, int panel, const Text& text) override;
  void SetClipboardText(const Text& text) override;
  void OpenUrl(const Text& address) override;
  void StartThread(Routine routine) override;
  void ProcessEvents() override;
  void ExitProgram(int code) override;
  bool RunOnWindowThread(const Routine& fn) override;
  bool IsWindowThread() const override;

  // Driving, from the test thread.
  void Click(std::string_view window, std::string_view control);  // only when enabled
  void Select(std::string_view window, std::string_view control, int index);
  // Moves the clock on and fires every timer that falls due, in time order.
  void AdvanceTime(int ms);
  bool IsOpen(std::string_view window) const;
  std::function<void(std::string_view window)> modalScript;

  // Waits until every thread started through StartThread (and the threads they
  // started) has ended; false on timeout.
  bool WaitForThreads(int timeoutMs = 30000);

  // Observations.
  void QueueAnswer(MessageAnswer answer);
  std::vector<ShownMessage> Messages() const;
  std::vector<Text> OpenedUrls() const;
  Text Clipboard() const;
  Text StatusText(std::string_view window, std::string_view statusBar, int panel) const;
  int CleanupRuns() const;
  int ExitCode() const;  // -1 while running
  bool Ending() const;
  int ProcessEventsCalls() const;

 private:
  struct Control {
    ControlDef def;
    Text text;
    int left = 0, top = 0, width = 0, height = 0;
    int visible = 1, disabled = 0;
    int timerPeriod = 0;
    long long timerDue = 0;
    int selection = -1;
    Text address;
    std::vector<Text> panels;
  };
  struct Window {
    std::map<std::string, Control, std::less<>> controls;
    bool open = false;
  };

  Control* FindControl(std::string_view window, std::string_view control);
  const Control* FindControl(std::string_view window, std::string_view control) const;
  Handler FindHandler(std::string_view window, std::string_view control, Event event) const;
  void RunCleanupOnce(int code);

  mutable std::mutex mutex_;             // guards the records below
  mutable std::recursive_mutex window_;  // the "window thread"
  std::thread::id windowThread_;
  std::map<std::string, WindowDef, std::less<>> defs_;
  std::map<std::string, Window, std::less<>> windows_;
  std::map<std::string, Handler, std::less<>> handlers_;
  Routine cleanup_;
  std::deque<MessageAnswer> answers_;
  std::vector<ShownMessage> messages_;
  std::vector<Text> opened_;
  Text clipboard_;
  long long now_ = 0;
  int cleanupRuns_ = 0;
  int exitCode_ = -1;
  bool ending_ = false;
  int processEventsCalls_ = 0;
  int runningThreads_ = 0;
  std::condition_variable threadsDone_;
};

}  // namespace kestrune::test
