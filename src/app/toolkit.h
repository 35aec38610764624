// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "app/window_def.h"
#include "web/text.h"

// The window toolkit operations every part uses. Only the Qt implementation
// (app/qt) includes Qt; the parts see windows and controls by name.
//
// Threads: the window thread owns every widget. Every operation may be called
// from any thread; one called from a worker is carried out on the window
// thread and the worker waits for its result, except where noted. After the
// program has begun to end (clean-up run), operations from workers do nothing
// and return empty values; they never block for ever.

namespace kestrune {

enum class Property {
  Caption,           // label, transparent label, button: Text
  Text,              // edit box: Text
  Left, Top,         // any: int, writes clamped to -32627..32627
  Width, Height,     // any: int, writes clamped to 0..32627
  Visible,           // any: 1 shown, 0 hidden
  Disabled,          // any: 1 disabled, 0 enabled
  TimerPeriod,       // timer: ms; <= 0 stops, > 0 restarts, the current value changes nothing
  CurrentSelection,  // combo box: 0-based, -1 none
  Address,           // web browser control: writing it loads that address
};

using Value = std::variant<int, kestrune::Text>;

enum class Event { Created, Clicked, Tick, Selected };

enum class MessageStyle {
  InformationOk,    // information icon, OK
  QuestionYesNo,    // question icon, Yes and No (style 36)
};

enum class MessageAnswer { Ok, Yes, No, Closed };

class Toolkit {
 public:
  using Handler = std::function<void()>;
  using Routine = std::function<void()>;

  virtual ~Toolkit() = default;

  // Window definitions are registered once at start-up; LoadWindow creates a
  // fresh window from its definition each time.
  virtual void DefineWindow(const WindowDef& def) = 0;
  // Handlers run on the window thread. Control "" with Event::Created is the
  // window's own created event.
  virtual void SetHandler(std::string_view window, std::string_view control, Event event, Handler handler) = 0;
  // Runs once when the program ends (window closed or ExitProgram), on the
  // window thread, before the process exits.
  virtual void SetCleanup(Routine cleanup) = 0;

  virtual Value GetProperty(std::string_view window, std::string_view control, Property property) = 0;
  virtual void SetProperty(std::string_view window, std::string_view control, Property property,
                           const Value& value) = 0;

  // Creates the window and its controls, runs its created handler, shows it.
  // Modal: returns after the window closed (other top-level windows disabled,
  // timers keep ticking). Not modal: returns at once.
  virtual void LoadWindow(std::string_view window, bool modal) = 0;
  // Returns when the program quits; the clean-up has run by then.
  virtual int RunMessageLoop() = 0;
  // The window closes once the running handler returns.
  virtual void DestroyWindow(std::string_view window) = 0;
  // Blocks the caller only: on a worker the main window stays usable.
  virtual MessageAnswer ShowMessage(const Text& text, MessageStyle style, const Text& title) = 0;
  // Panel index outside the bar's panels does nothing.
  virtual void SetStatusText(std::string_view window, std::string_view statusBar, int panel, const Text& text) = 0;
  virtual void SetClipboardText(const Text& text) = 0;
  // Opens http and https addresses in the default browser; anything else is
  // ignored. Returns at once.
  virtual void OpenUrl(const Text& address) = 0;
  // Runs the routine on a new thread; returns at once.
  virtual void StartThread(Routine routine) = 0;
  // Dispatches the calling thread's own pending events; never waits for the
  // window thread.
  virtual void ProcessEvents() = 0;
  // Runs the clean-up once and ends the program with `code`. From a worker the
  // window thread carries it out and the worker returns.
  virtual void ExitProgram(int code) = 0;

  // Runs fn on the window thread and waits for it (directly when already
  // there). Used to serialise work, such as list-page reads, with the window
  // thread. Returns false, without running fn, once the program is ending.
  virtual bool RunOnWindowThread(const Routine& fn) = 0;
  virtual bool IsWindowThread() const = 0;

  // Convenience over GetProperty.
  int GetInt(std::string_view window, std::string_view control, Property property);
  Text GetText(std::string_view window, std::string_view control, Property property);
};

}  // namespace kestrune
