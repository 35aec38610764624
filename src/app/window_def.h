// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "web/text.h"

// Windows described as plain data. The toolkit builds the real window from a
// WindowDef; nothing outside the toolkit's implementation sees a widget.
//
// Names (window and control names) are identifiers written in UTF-8 in the
// source, as the window definitions name them ("组合框1"). Everything shown
// (captions, items, texts) is code-page-936 Text.

namespace kestrune {

enum class ControlKind {
  Label,
  TransparentLabel,
  Button,
  EditBox,      // multi-line with a vertical scroll bar, no length limit
  ComboBox,     // drop-down list, not editable
  Timer,        // no place, no size
  StatusBar,
  WebBrowser,   // never shown; loads its Address in the background
};

enum class Cursor { Default, Hand };

struct Rgb {
  int r = 0, g = 0, b = 0;
};

struct StatusPanel {
  int width = 0;
  Text text;
};

struct ControlDef {
  std::string name;
  ControlKind kind = ControlKind::Label;
  int left = 0, top = 0, width = 0, height = 0;
  Text caption;                  // label, transparent label, button
  std::vector<Text> items;       // combo box
  int selected = -1;             // combo box
  int timerPeriod = 0;           // timer
  std::vector<StatusPanel> panels;  // status bar
  bool hasTextColour = false;
  Rgb textColour;
  bool hasBackground = false;
  Rgb background;
  Cursor cursor = Cursor::Default;
};

// A control with its place and size; the other fields keep their defaults.
inline ControlDef MakeControl(std::string name, ControlKind kind, int left, int top, int width, int height,
                              Text caption = {}) {
  ControlDef c;
  c.name = std::move(name);
  c.kind = kind;
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  c.caption = std::move(caption);
  return c;
}

struct WindowDef {
  std::string name;
  Text caption;
  int left = 0, top = 0;
  int width = 0, height = 0;     // outer size
  bool centred = false;          // centred on the screen when created
  bool fixedFrame = true;        // not resizable
  bool minimizeButton = false;
  bool maximizeButton = false;
  std::string iconResource;      // empty: the toolkit's default icon
  std::vector<ControlDef> controls;
};

}  // namespace kestrune
