// SPDX-License-Identifier: MIT
#include "background/background_checks.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "app/names.h"
#include "catalogue/catalogue.h"
#include "web/codepage.h"
#include "web/http_reader.h"
#include "web/text.h"
#include "web/url.h"

namespace kestrune {

namespace {

constexpr const char kStartTimer[] = "时钟1";
constexpr const char kStatusTimer[] = "时钟3";
constexpr const char kUpdateLabel[] = "标签2";
constexpr const char kStatusBar[] = "状态条1";
constexpr const char kUpdateBrowser[] = "超文本浏览框1";
constexpr const char kPromoBrowser[] = "超文本浏览框2";
constexpr int kResultPanel = 1;

// A shutdown must never wait for a retry pause: the pause is slept in short
// steps, each followed by a look at the released flag.
constexpr std::chrono::milliseconds kPauseStep{50};

// Everything one run of the chain needs, shared by its tasks.
struct Run {
  AppContext ctx;
  BackgroundOptions options;
  // Taken on the window thread when 时钟1 ticks: the clean-up releases the
  // variable itself without a lock, so the workers never read it.
  Text localVersion;

  bool Ended() const { return ctx.state->released.load(); }

  Bytes Read(const Text& address, const Text& method = {}, const Text& postData = {}) const {
    HttpReaderOptions reader;
    reader.timeoutMs = options.readerTimeoutMs;
    Toolkit* toolkit = ctx.toolkit.get();  // kept alive by this run
    reader.processEvents = [toolkit] { toolkit->ProcessEvents(); };
    return HttpReadBytes(address, method, nullptr, {}, postData, nullptr, reader);
  }

  // Runs fn over the Matcher for one whole Create-Search-read sequence.
  // False when the program has ended and the Matcher is gone.
  template <typename Fn>
  bool WithMatcher(Fn&& fn) const {
    auto lock = ctx.state->LockMatcher();
    if (Ended() || !ctx.state->Matcher) return false;
    fn(*ctx.state->Matcher);
    return true;
  }

  // Runs fn over the background state. False once the clean-up has run.
  template <typename Fn>
  bool WithBackground(Fn&& fn) const {
    std::lock_guard<std::mutex> lock(ctx.state->backgroundLock);
    if (Ended()) return false;
    fn(*ctx.state);
    return true;
  }

  // Sleeps `pause`, ending early when the program ends. True when it ran out.
  bool Pause(std::chrono::milliseconds pause) const {
    const auto until = std::chrono::steady_clock::now() + pause;
    while (!Ended()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= until) return true;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, kPauseStep));
    }
    return false;
  }
};

// Item i (1-based), or the empty text where the list is shorter: a release
// note with fewer than four words still gives a whole message.
Text Item(const TextArray& items, std::size_t i) { return i <= items.size() ? items[i - 1] : Text(); }

Text UpdateMessage(const TextArray& noteLines, const Text& localVersion, const Text& latestVersion) {
  static const Text kLocal = Ansi("\r\n\r\n当前版本：");
  static const Text kLatest = Ansi("\r\n\r\n网络版本：");
  return Item(noteLines, 2) + "\r\n" + Item(noteLines, 3) + "\r\n" + Item(noteLines, 4) + kLocal + localVersion +
         kLatest + latestVersion;
}

void ConfigurationTask(const std::shared_ptr<Run>& run, int attempt);
void FolderLookupTask(const std::shared_ptr<Run>& run);
void FileLookupTask(const std::shared_ptr<Run>& run);

// Each task ends after starting the next, so the chain keeps one worker.
void StartNext(const std::shared_ptr<Run>& run, void (*task)(const std::shared_ptr<Run>&)) {
  if (run->Ended()) return;
  run->ctx.toolkit->StartThread([run, task] { task(run); });
}

std::chrono::milliseconds RetryPause(const BackgroundOptions& options, int attempt) {
  auto pause = std::max(options.firstRetryPause, std::chrono::milliseconds(0));
  for (int i = 0; i < attempt && pause < options.maxRetryPause; ++i) pause *= 2;
  return std::min(pause, options.maxRetryPause);
}

void ConfigurationTask(const std::shared_ptr<Run>& run, int attempt) {
  static const Text kEntryPattern = Ansi("配5【(.*?)】");
  static const Text kListingPattern = "src=\"(.*?)\" style=\"display:none;\"";

  if (run->Ended()) return;
  const Text remote = BytesToText(run->Read(run->ctx.endpoints.configPageUrl));
  if (!run->WithBackground([&](SharedState& s) { s.RemoteText = remote; })) return;

  if (remote.empty()) {
    // The page is unreachable or empty: ask again, without limit, but never
    // in a tight loop, and always on the next worker after this one ended.
    if (!run->Pause(RetryPause(run->options, attempt))) return;
    run->ctx.toolkit->StartThread([run, attempt] { ConfigurationTask(run, attempt + 1); });
    return;
  }

  Text entry, listingUrl;
  if (!run->WithMatcher([&](RegexMatcher& m) {
        m.Create(kEntryPattern);
        m.Search(remote);
        entry = m.GetSubMatchText(1, 1);
        m.Create(kListingPattern);
        m.Search(remote);
        listingUrl = m.GetSubMatchText(1, 1);
      }))
    return;

  const TextArray fields = Split(entry, "|");
  const bool complete = fields.size() >= 5;
  const TextArray noteLines = complete ? Split(fields[3], " ") : TextArray();
  const bool stored = run->WithBackground([&](SharedState& s) {
    s.ConfigFields = fields;
    Text* settings[] = {&s.LatestVersion, &s.UpdateFolder, &s.UpdateFileKey, &s.UpdateNotes, &s.PromoSwitch};
    for (std::size_t i = 0; i < std::size(settings) && i < fields.size(); ++i) *settings[i] = fields[i];
    if (!complete) return;
    s.ListingUrl = listingUrl;
    s.UpdateNoteLines = noteLines;
  });
  // Without all five settings there is nothing sound to check against.
  if (!stored || !complete) return;
  StartNext(run, FolderLookupTask);
}

void FolderLookupTask(const std::shared_ptr<Run>& run) {
  Text listingUrl, folder;
  if (!run->WithBackground([&](SharedState& s) {
        listingUrl = s.ListingUrl;
        folder = s.UpdateFolder;
      }))
    return;

  const Text remote = BytesToText(run->Read(listingUrl));
  if (!run->WithBackground([&](SharedState& s) { s.RemoteText = remote; })) return;

  // The title goes into the pattern as it stands; a title that is no valid
  // pattern, or one that would backtrack without end, finds no folder.
  const Text pattern =
      "'>" + folder + "</a><label>(.*?)</label><ul style='display:none;' id='ZMm_(.*?)' ";
  Text folderId;
  if (!run->WithMatcher([&](RegexMatcher& m) {
        m.Create(pattern);
        m.Search(remote);
        folderId = m.GetSubMatchText(1, 2);
      }))
    return;

  if (!run->WithBackground([&](SharedState& s) { s.FolderId = folderId; })) return;
  StartNext(run, FileLookupTask);
}

void FileLookupTask(const std::shared_ptr<Run>& run) {
  static const Text kTitle = Ansi("发现新版本");
  static const Text kNewVersion = Ansi("发现软件有新版本！！");
  static const Text kUpToDate = Ansi("当前是最新版本！");
  static const Text kPromoOn = Ansi("真");

  Text listingUrl, folderId, fileKey, latestVersion, promoSwitch;
  TextArray noteLines;
  if (!run->WithBackground([&](SharedState& s) {
        listingUrl = s.ListingUrl;
        folderId = s.FolderId;
        fileKey = s.UpdateFileKey;
        latestVersion = s.LatestVersion;
        noteLines = s.UpdateNoteLines;
        promoSwitch = s.PromoSwitch;
      }))
    return;

  const Text form = "Yz0=dq&Yz1=" + folderId + "&Yz2=&Yz3=&Yz4=";
  const Text remote = BytesToText(run->Read(listingUrl, "POST", form));
  if (!run->WithBackground([&](SharedState& s) { s.RemoteText = remote; })) return;

  const Text& prefix = run->ctx.endpoints.netDiskLinkPrefix;
  std::optional<Text> updateLink;
  if (!run->WithMatcher([&](RegexMatcher& m) {
        m.Create(prefix + "(.*?)' title='");
        const int n = m.Search(remote);
        for (int i = 1; i <= n; ++i) {
          Text rest = m.GetSubMatchText(i, 1);
          if (Find(rest, fileKey, 1, Case::Sensitive) > 0) {
            updateLink = prefix + rest;
            break;
          }
        }
      }))
    return;

  Toolkit& toolkit = *run->ctx.toolkit;
  const char* window = names::kMainWindow;
  if (updateLink) {
    if (!run->WithBackground([&](SharedState& s) { s.UpdateLink = *updateLink; })) return;
    if (run->localVersion != latestVersion) {
      const MessageAnswer answer = toolkit.ShowMessage(UpdateMessage(noteLines, run->localVersion, latestVersion),
                                                       MessageStyle::QuestionYesNo, kTitle);
      if (run->Ended()) return;
      if (answer != MessageAnswer::Yes) {
        toolkit.ExitProgram(0);
        return;
      }
      toolkit.SetProperty(window, kUpdateLabel, Property::Visible, 1);
      toolkit.SetProperty(window, kUpdateLabel, Property::Width, 450);
      toolkit.SetProperty(window, kUpdateLabel, Property::Height, 168);
      toolkit.SetStatusText(window, kStatusBar, kResultPanel, kNewVersion);
      if (IsWebAddress(*updateLink)) toolkit.SetProperty(window, kUpdateBrowser, Property::Address, *updateLink);
      if (run->Ended()) return;
      // List-page reads are serialised on the window thread.
      const AppContext& ctx = run->ctx;
      toolkit.RunOnWindowThread([&ctx] { ClickTestButton1(ctx); });
    } else {
      toolkit.SetStatusText(window, kStatusBar, kResultPanel, kUpToDate);
    }
    if (run->Ended()) return;
    toolkit.SetProperty(window, kStatusTimer, Property::TimerPeriod, 1500);
  }

  if (run->Ended()) return;
  const Text& promo = run->ctx.endpoints.promoPageUrl;
  if (promoSwitch == kPromoOn && IsWebAddress(promo)) toolkit.SetProperty(window, kPromoBrowser, Property::Address, promo);
}

}  // namespace

void InstallBackgroundChecks(const AppContext& ctx) { InstallBackgroundChecks(ctx, BackgroundOptions{}); }

void InstallBackgroundChecks(const AppContext& ctx, const BackgroundOptions& options) {
  // The toolkit keeps this handler; a weak reference back to it avoids a
  // cycle that would keep both alive for ever.
  std::weak_ptr<Toolkit> weakToolkit = ctx.toolkit;
  std::shared_ptr<SharedState> state = ctx.state;
  Endpoints endpoints = ctx.endpoints;
  ctx.toolkit->SetHandler(names::kMainWindow, kStartTimer, Event::Tick, [=] {
    std::shared_ptr<Toolkit> toolkit = weakToolkit.lock();
    if (!toolkit || state->released) return;
    toolkit->SetProperty(names::kMainWindow, kStartTimer, Property::TimerPeriod, 0);
    auto run = std::make_shared<Run>(Run{AppContext{toolkit, state, endpoints}, options, state->LocalVersion});
    toolkit->StartThread([run] { ConfigurationTask(run, 0); });
  });
}

}  // namespace kestrune
