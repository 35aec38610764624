// SPDX-License-Identifier: MIT
#include "catalogue/list_page_reader.h"

#include <array>
#include <string_view>

#include "app/names.h"
#include "catalogue/catalogue.h"
#include "web/codepage.h"
#include "web/fetch.h"
#include "web/text.h"

namespace kestrune {

namespace {

constexpr std::string_view kWindow = names::kMainWindow;

// One entry slot: where its text is kept and where it is shown.
struct Slot {
  std::string_view editBox;
  std::string_view label;
  std::string_view fastbootButton;
  int fastbootLink;  // button number, for SharedState::PackageLink
  std::string_view recoveryButton;
  int recoveryLink;
};

constexpr std::array<Slot, 5> kSlots = {{
    {"编辑框1", "标签1", "按钮2", 2, "按钮3", 3},
    {"编辑框2", "标签2", "按钮4", 4, "按钮5", 5},
    {"编辑框3", "标签3", "按钮6", 6, "按钮7", 7},
    {"编辑框4", "标签4", "按钮8", 8, "按钮9", 9},
    {"编辑框5", "标签5", "按钮10", 10, "按钮11", 11},
}};
constexpr std::string_view kSixthEditBox = "编辑框6";

// Fastboot buttons first, then recovery buttons.
constexpr std::array<int, 10> kDisableOrder = {2, 4, 6, 8, 10, 3, 5, 7, 9, 11};

constexpr std::array<std::string_view, 16> kCaptionsWithoutBlanks = {
    "标签1", "标签2", "标签3", "标签4", "标签5", "按钮1", "按钮2",  "按钮3",
    "按钮4", "按钮5", "按钮6", "按钮7", "按钮8", "按钮9", "按钮10", "按钮11",
};

// A fastboot size text shorter than this counts as "no package": the site
// leaves a few filler bytes where a package is missing.
constexpr std::size_t kShortestFastbootSize = 10;

// The markup markers, in code page 936.
struct Markers {
  Text pageMarker = Ansi("线刷包大小");
  Text entryStart = "<em>";
  Text entryEnd = "</span>";
  Text sixthCutStart = "em";
  Text fastbootSize = Ansi("线刷包大小：");
  Text fastbootSizeEnd = Ansi("卡");
  Text recoverySize = Ansi("卡刷包大小：");
  Text recoverySizeEnd = "</em>";
  Text fastbootLink = "<div><a href=\"";
  Text fastbootLinkSecondTry = "<p><a href=\"";
  Text recoveryLink = "&nbsp;<a href=\"";
  Text recoveryLinkSecondTry = "<div><a href=\"";
  Text linkEnd = "\"><img alt=";
  Text notFound = Ansi("官网未发现该ROM");
  Text noLink = "about:blank";
  Text blank = " ";
};

const Markers& M() {
  static const Markers markers;
  return markers;
}

class Cutter {
 public:
  explicit Cutter(const AppContext& ctx) : tk_(*ctx.toolkit), state_(*ctx.state) {}

  void Run() {
    for (const Slot& slot : kSlots) CutSlot(slot);
    CutSixth();
  }

 private:
  // Writes the entry text into its scratch edit box and gives back what the
  // box holds: every later step works on that text, not on the cut.
  Text Keep(std::string_view editBox, const Text& entry) {
    tk_.SetProperty(kWindow, editBox, Property::Text, entry);
    return tk_.GetText(kWindow, editBox, Property::Text);
  }

  // Takes every occurrence of the entry out of the page, so the next cut
  // finds the next entry.
  void Consume(const Text& entry) {
    // An edit box that gave nothing back (the window is gone) removes nothing.
    if (entry.empty()) return;
    RemoveTextsInPlace(state_.ListPageHtml, entry);
  }

  Text Entry(std::string_view editBox) { return tk_.GetText(kWindow, editBox, Property::Text); }

  void SetCaption(std::string_view control, const Text& caption) {
    tk_.SetProperty(kWindow, control, Property::Caption, caption);
  }

  void CutSlot(const Slot& slot) {
    const Markers& m = M();
    Text cut = TextBetween(state_.ListPageHtml, m.entryStart, m.entryEnd);
    Consume(Keep(slot.editBox, m.entryStart + cut));

    SetCaption(slot.label, TextBetween(Entry(slot.editBox), m.entryStart, m.fastbootSize));

    SetCaption(slot.fastbootButton, TextBetween(Entry(slot.editBox), m.fastbootSize, m.fastbootSizeEnd));
    Text fastbootSize = tk_.GetText(kWindow, slot.fastbootButton, Property::Caption);
    if (fastbootSize.size() < kShortestFastbootSize) {
      SetCaption(slot.fastbootButton, m.notFound);
    } else {
      SetCaption(slot.fastbootButton, m.fastbootSize + fastbootSize);
      Text& link = state_.PackageLink(slot.fastbootLink);
      link = TextBetween(Entry(slot.editBox), m.fastbootLink, m.linkEnd);
      if (link.empty()) link = TextBetween(Entry(slot.editBox), m.fastbootLinkSecondTry, m.linkEnd);
    }

    SetCaption(slot.recoveryButton, TextBetween(Entry(slot.editBox), m.recoverySize, m.recoverySizeEnd));
    Text recoverySize = tk_.GetText(kWindow, slot.recoveryButton, Property::Caption);
    if (recoverySize.empty()) {
      SetCaption(slot.recoveryButton, m.notFound);
    } else {
      SetCaption(slot.recoveryButton, m.recoverySize + recoverySize);
      Text& link = state_.PackageLink(slot.recoveryLink);
      link = TextBetween(Entry(slot.editBox), m.recoveryLink, m.linkEnd);
      if (link.empty()) link = TextBetween(Entry(slot.editBox), m.recoveryLinkSecondTry, m.linkEnd);
    }
  }

  // The cut after the five slots starts at the first "em" of any case, which
  // need not open an entry; it is kept and consumed like the others and shown
  // nowhere.
  void CutSixth() {
    const Markers& m = M();
    Text cut = TextBetween(state_.ListPageHtml, m.sixthCutStart, m.entryEnd);
    Consume(Keep(kSixthEditBox, m.entryStart + cut));
  }

  Toolkit& tk_;
  SharedState& state_;
};

}  // namespace

namespace detail {

void CutEntriesOnWindowThread(const AppContext& ctx) { Cutter(ctx).Run(); }

void ReadListPageOnWindowThread(const AppContext& ctx) {
  Toolkit& tk = *ctx.toolkit;
  SharedState& state = *ctx.state;
  const Markers& m = M();

  FetchLimits limits;
  limits.wholeFetchTimeoutMs = ctx.endpoints.listPageReadLimitMs;
  state.ListPageHtml = FetchPageText(state.ListPageUrl, limits);
  // A page that does not look like code page 936 is taken to be UTF-8 that
  // did not say so; an empty answer stays empty.
  if (Find(state.ListPageHtml, m.pageMarker) == -1) state.ListPageHtml = Utf8ToAnsi(state.ListPageHtml);

  CutEntriesOnWindowThread(ctx);

  for (int button : kDisableOrder) {
    Text& link = state.PackageLink(button);
    if (!link.empty()) continue;
    tk.SetProperty(kWindow, "按钮" + std::to_string(button), Property::Disabled, 1);
    link = m.noLink;
  }

  for (std::string_view control : kCaptionsWithoutBlanks) {
    Text caption = tk.GetText(kWindow, control, Property::Caption);
    tk.SetProperty(kWindow, control, Property::Caption, RemoveTexts(caption, m.blank));
  }
}

}  // namespace detail

void ReadListPage(const AppContext& ctx) {
  ctx.toolkit->RunOnWindowThread([&ctx] { detail::ReadListPageOnWindowThread(ctx); });
}

void CutEntries(const AppContext& ctx) {
  ctx.toolkit->RunOnWindowThread([&ctx] { detail::CutEntriesOnWindowThread(ctx); });
}

}  // namespace kestrune
