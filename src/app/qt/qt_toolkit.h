// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/toolkit.h"
#include "web/text.h"

class QWidget;

// The toolkit over Qt 6 Widgets. This header includes no Qt, so start-up and
// main() can create the toolkit without seeing Qt.
//
// Threads. The window thread is the thread of the QApplication. Widgets are
// touched there only. A worker's request travels through a queue of our own
// (a mutex and an eventfd watched by the window thread): workers never call
// into Qt, and the window thread never waits for a worker. A worker waiting
// for its request is always answered: by the window thread running it, or by
// the end of the program cancelling it. Once the end has begun (ExitProgram,
// the last window closed), requests from workers return empty values at once
// and StartThread starts nothing.
//
// Windows. LoadWindow builds a fresh window from its WindowDef. The outer size
// of a definition includes a frame of kFrameWidth x kFrameHeight pixels (the
// classic frame the layouts were drawn around); the client area gets the
// rest, whether or not a window manager draws a frame, so every control of a
// definition lands where its Left and Top say. Controls placed outside the
// client area exist and keep their properties, but are clipped away.
//
// Modal windows and message boxes shown on the window thread block input to
// the program's other windows (their controls keep their Disabled state);
// boxes asked for by workers stay usable, so a worker's question can be
// answered while a modal window is open, and the main window stays usable
// while a worker's question waits. Timers keep ticking throughout.
//
// The end. ExitProgram, or closing the last window while RunMessageLoop runs,
// begins it: workers' requests are cancelled, open message boxes answer
// Closed, modal waits and the message loop return. The clean-up then runs
// once, on the window thread, once the loop has unwound (at once when no loop
// runs), the windows go, and RunMessageLoop returns the exit code. Handlers
// are dropped with the windows, so the context they hold is released.
//
// Events. Created, Clicked (button clicked), Tick, Selected. Selected is
// raised only when the user picks a list item; writing CurrentSelection
// raises nothing, since handlers read the choice of the user.
//
// Texts are code-page-936 at this interface; they become Unicode only at the
// widgets. Captions and edit box texts read back exactly what was written
// (the widgets show a Unicode copy), also texts with "\r\n".
//
// Web browser controls show nothing. Writing Address loads an http or https
// address on a worker, as a browser would in the background: a page is held;
// an answer that is a file to download (Content-Disposition "attachment" or a
// content type that a browser does not display) is offered to the user with a
// Yes/No message, and saved into the download folder on Yes.

namespace kestrune {

struct ShownMessage {
  Text text;
  MessageStyle style;
  Text title;
};

class QtToolkit final : public Toolkit, public std::enable_shared_from_this<QtToolkit> {
 public:
  static constexpr int kFrameWidth = 5;
  static constexpr int kFrameHeight = 29;

  // For the program: creates the QApplication (the program takes no
  // arguments) and owns it. Call on the thread that is to be the window
  // thread, once per process.
  static std::shared_ptr<QtToolkit> CreateWithApplication();
  // Over a QApplication that already exists on the calling thread (tests
  // create one per process and a toolkit per test).
  static std::shared_ptr<QtToolkit> Create();

  ~QtToolkit() override;
  QtToolkit(const QtToolkit&) = delete;
  QtToolkit& operator=(const QtToolkit&) = delete;

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

  // --- Seams for tests (any thread unless noted) ---

  // Answers the next message box without showing it; answers queue up.
  void SetNextMessageAnswer(MessageAnswer answer);
  // Every message asked for, answered by a seam or shown, in order.
  std::vector<ShownMessage> Messages() const;
  // Replaces the system's open action (the default browser) for OpenUrl.
  void SetUrlOpener(std::function<void(const std::string& utf8Address)> opener);
  // Where web browser controls save downloads; default: the user's download folder.
  void SetDownloadFolder(std::string folder);

  // Window thread only: runs the handler of an event as the toolkit would.
  void FireEvent(std::string_view window, std::string_view control, Event event);
  // Window thread only: the widgets, found by name; nullptr when absent.
  QWidget* WindowWidget(std::string_view window) const;
  QWidget* ControlWidget(std::string_view window, std::string_view control) const;
  Text StatusText(std::string_view window, std::string_view statusBar, int panel);
  bool IsOpen(std::string_view window);

  enum class BrowserStatus { Idle, Loading, Page, Saved, Declined, Failed };
  struct BrowserState {
    BrowserStatus status = BrowserStatus::Idle;
    Text address;
    Bytes page;             // the page held (Page)
    std::string savedPath;  // the file written (Saved)
  };
  BrowserState Browser(std::string_view window, std::string_view control);

  int CleanupRuns() const;
  bool Ending() const;
  int ExitCode() const;  // -1 until the end has begun
  int RunningThreads() const;

 private:
  struct Impl;
  QtToolkit();
  std::unique_ptr<Impl> d_;
};

}  // namespace kestrune
