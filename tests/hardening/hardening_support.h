// SPDX-License-Identifier: MIT
#pragma once

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/main_window.h"
#include "app/names.h"
#include "app/shared_state.h"
#include "background/background_checks.h"
#include "catalogue/catalogue.h"
#include "download/download_window.h"
#include "download/package_buttons.h"
#include "hostile_server.h"
#include "support/loopback_server.h"
#include "support/memory_toolkit.h"
#include "web/codepage.h"
#include "web/text.h"

// What the hardening tests share: the program wired as start-up wires it, but
// with the test's bounds; list pages and net-disk pages to serve; a download
// manager stand-in that records what it is handed; and the checks of what the
// main window shows after a read.

namespace kestrune::test {

inline constexpr const char* kMain = names::kMainWindow;
inline constexpr const char* kDownload = names::kDownloadWindow;
inline constexpr std::array<const char*, 5> kLabels = {"标签1", "标签2", "标签3", "标签4", "标签5"};
inline constexpr std::array<int, 10> kButtons = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

inline std::string ButtonName(int button) { return "按钮" + std::to_string(button); }

// ---- The program ----

// Start-up as the program does it (definitions, state, every part, clean-up,
// MainWindow), with the background chain's bounds and the download manager
// of the test's choosing.
inline AppContext WireProgram(const std::shared_ptr<Toolkit>& toolkit, const Endpoints& endpoints,
                              const BackgroundOptions& background, const DownloadManagerConfig& manager) {
  toolkit->DefineWindow(MainWindowDefinition(CatalogueItems()));
  AppContext ctx{toolkit, CreateSharedState(), endpoints};
  InstallMainWindow(ctx);
  InstallCatalogue(ctx);
  InstallPackageButtons(ctx, manager);
  InstallBackgroundChecks(ctx, background);
  toolkit->SetCleanup([state = ctx.state] { ReleaseSharedState(*state); });
  toolkit->LoadWindow(kMain, false);
  return ctx;
}

// Every fixed address on the test's server; the download manager is never
// started.
inline Endpoints LoopbackEndpoints(const HostileServer& server) {
  Endpoints endpoints;
  endpoints.catalogueBaseUrl = server.Url();
  endpoints.configPageUrl = server.Url("/config");
  endpoints.netDiskLinkPrefix = server.Url("/d");
  endpoints.promoPageUrl = server.Url("/promo");
  endpoints.startDownloadManager = false;
  return endpoints;
}

// Bounds that keep a hostile background read short.
inline BackgroundOptions ShortBackground() {
  BackgroundOptions options;
  options.firstRetryPause = std::chrono::milliseconds(20);
  options.maxRetryPause = std::chrono::milliseconds(200);
  options.readerTimeoutMs = 500;
  return options;
}

// The in-memory toolkit that also records every address it was asked to open
// (before its own filter) and every address written to a browser control.
class RecordingToolkit : public MemoryToolkit {
 public:
  void OpenUrl(const Text& address) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      asked_.push_back(address);
    }
    MemoryToolkit::OpenUrl(address);
  }
  void SetProperty(std::string_view window, std::string_view control, Property property, const Value& value) override {
    if (property == Property::Address) {
      std::lock_guard<std::mutex> lock(mutex_);
      browserAddresses_.push_back(std::get<Text>(value));
    }
    MemoryToolkit::SetProperty(window, control, property, value);
  }
  std::vector<Text> AskedToOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
  }
  std::vector<Text> BrowserAddresses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return browserAddresses_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Text> asked_;
  std::vector<Text> browserAddresses_;
};

// Only a reader that does not come back on its own takes this long.
inline constexpr auto kHangBound = std::chrono::seconds(25);

// "http://" or "https://" at the start, in any case.
inline bool StartsWithWebScheme(const Text& address) {
  const Text lower = ToLower(address);
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

// An address that is safe to hand to a browser: http or https, no control
// character anywhere.
inline bool IsSafeWebAddress(const Text& address) {
  if (!StartsWithWebScheme(address)) return false;
  for (unsigned char c : address)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

// ---- The download manager's stand-in ----

// Answers the JSON-RPC calls of the download manager client on loopback and
// records every address it is handed.
class FakeDownloadManager {
 public:
  FakeDownloadManager() {
    server_.server().Post("/jsonrpc", [this](const httplib::Request& req, httplib::Response& res) {
      nlohmann::json call = nlohmann::json::parse(req.body, nullptr, false);
      nlohmann::json answer = {{"jsonrpc", "2.0"}, {"id", "1"}};
      const std::string method = call.is_object() ? call.value("method", "") : "";
      if (method == "aria2.getVersion") {
        answer["result"] = {{"version", "1.36.0"}};
      } else if (method == "aria2.addUri") {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& uri : call["params"][0]) handed_.push_back(uri.get<std::string>());
        answer["result"] = "000000000000000" + std::to_string(handed_.size() % 10);
      } else {
        answer["result"] = "OK";
      }
      res.set_content(answer.dump(), "application/json");
    });
    server_.Start();
    folder_ = std::filesystem::temp_directory_path() / ("kestrune-hardening-" + std::to_string(server_.port()));
    std::filesystem::create_directories(folder_);
  }
  ~FakeDownloadManager() {
    server_.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  DownloadManagerConfig Config() const {
    DownloadManagerConfig config;
    config.rpcPort = server_.port();
    config.downloadFolder = folder_.string();
    config.startIfMissing = false;
    config.secretFile = (folder_ / "no-secret.conf").string();
    return config;
  }
  // UTF-8 addresses handed over with aria2.addUri.
  std::vector<std::string> Handed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handed_;
  }

 private:
  LoopbackServer server_;
  std::filesystem::path folder_;
  mutable std::mutex mutex_;
  std::vector<std::string> handed_;
};

// ---- List pages ----

struct Entry {
  std::string version;  // UTF-8
  Text fastbootLink;
  Text recoveryLink;
};

// One entry as the maker's list page writes it, in code page 936.
inline Text EntryHtml(const Entry& e) {
  return Ansi("<li><em>" + e.version + " 线刷包大小：1.2 GB     卡刷包大小：620 MB</em>\r\n<div><a href=\"") +
         e.fastbootLink + Ansi("\"><img alt=\"线刷包\" src=\"/img/f.png\"></a>&nbsp;<a href=\"") + e.recoveryLink +
         Ansi("\"><img alt=\"卡刷包\" src=\"/img/r.png\"></a></div>\r\n<span>更新日志</span></li>\r\n");
}

inline Text PageHead() { return Ansi("<!DOCTYPE html>\r\n<html><head><title>ROM下载</title></head><body><ul>\r\n"); }
inline Text PageTail() { return "</ul></body></html>\r\n"; }

// Entry n (1-based) of the well-behaved page served from `host`.
inline Entry NormalEntry(const std::string& host, int n) {
  const std::string v = "5.10." + std::to_string(n);
  return {"MIUI 7 " + v + " 开发版", host + "/pkg/images_" + v + ".tgz", host + "/pkg/miui_" + v + ".zip"};
}

inline Text NormalPage(const std::string& host) {
  Text page = PageHead();
  for (int n = 1; n <= 6; ++n) page += EntryHtml(NormalEntry(host, n));
  return page + PageTail();
}

// A page with one good entry, then `tail` as it stands.
inline Text FirstEntryThen(const std::string& host, const Text& tail) {
  return PageHead() + EntryHtml(NormalEntry(host, 1)) + tail;
}

// The model rows the tests pick: a hostile one and a well-behaved one, both
// away from the fixed pages of the test buttons.
inline constexpr int kHostileRow = 3;
inline constexpr int kNormalRow = 4;
inline std::string RowPath(int row) { return CatalogueRows().at(static_cast<std::size_t>(row)).path; }

// ---- What the main window shows ----

// Reads back what a read left on the main window, through the toolkit.
struct Shown {
  std::array<Text, 5> labels;
  std::array<Text, 10> captions;
  std::array<Text, 10> links;
  std::array<bool, 10> disabled{};

  static Shown Read(Toolkit& tk, const SharedState& state) {
    Shown s;
    for (std::size_t i = 0; i < 5; ++i) s.labels[i] = tk.GetText(kMain, kLabels[i], Property::Caption);
    for (std::size_t i = 0; i < 10; ++i) {
      const std::string name = ButtonName(kButtons[i]);
      s.captions[i] = tk.GetText(kMain, name, Property::Caption);
      s.disabled[i] = tk.GetInt(kMain, name, Property::Disabled) != 0;
      s.links[i] = state.PackageLinks[i];
    }
    return s;
  }
};

enum class Outcome {
  Nothing,     // no entry: every button says the package is missing and is disabled
  FirstEntry,  // the first entry and nothing after it
  Whatever,    // only the rules that hold after every read
};

// The rules that hold after every pick, whatever the page: a button is
// disabled exactly when it was left without a link, and no caption keeps a
// blank.
inline void ExpectConsistent(const Shown& s) {
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(s.disabled[i], s.links[i] == "about:blank") << ButtonName(kButtons[i]);
    EXPECT_EQ(s.captions[i].find(' '), Text::npos) << ButtonName(kButtons[i]);
  }
  for (const Text& label : s.labels) EXPECT_EQ(label.find(' '), Text::npos);
}

inline void ExpectSlotMissing(const Shown& s, std::size_t slot) {
  static const Text kNotFound = Ansi("官网未发现该ROM");
  EXPECT_EQ(s.labels[slot], "") << "slot " << slot + 1;
  for (std::size_t i = slot * 2; i < slot * 2 + 2; ++i) {
    EXPECT_EQ(s.captions[i], kNotFound) << ButtonName(kButtons[i]);
    EXPECT_TRUE(s.disabled[i]) << ButtonName(kButtons[i]);
    EXPECT_EQ(s.links[i], "about:blank") << ButtonName(kButtons[i]);
  }
}

inline void ExpectSlotShown(const Shown& s, std::size_t slot, const Entry& e) {
  EXPECT_EQ(s.labels[slot], RemoveTexts(Ansi(e.version), " ")) << "slot " << slot + 1;
  EXPECT_EQ(s.captions[slot * 2], Ansi("线刷包大小：1.2GB"));
  EXPECT_EQ(s.captions[slot * 2 + 1], Ansi("卡刷包大小：620MB"));
  EXPECT_EQ(s.links[slot * 2], e.fastbootLink);
  EXPECT_EQ(s.links[slot * 2 + 1], e.recoveryLink);
  EXPECT_FALSE(s.disabled[slot * 2]);
  EXPECT_FALSE(s.disabled[slot * 2 + 1]);
}

inline void ExpectOutcome(const Shown& s, Outcome outcome, const std::string& host) {
  ExpectConsistent(s);
  switch (outcome) {
    case Outcome::Nothing:
      for (std::size_t slot = 0; slot < 5; ++slot) ExpectSlotMissing(s, slot);
      break;
    case Outcome::FirstEntry:
      ExpectSlotShown(s, 0, NormalEntry(host, 1));
      for (std::size_t slot = 1; slot < 5; ++slot) ExpectSlotMissing(s, slot);
      break;
    case Outcome::Whatever:
      break;
  }
}

// The well-behaved page, read right after a hostile one.
inline void ExpectNormalPage(const Shown& s, const std::string& host) {
  ExpectConsistent(s);
  for (std::size_t slot = 0; slot < 5; ++slot) ExpectSlotShown(s, slot, NormalEntry(host, static_cast<int>(slot) + 1));
}

// ---- A gate for holding a request in flight ----

// Scripts wait at the gate until the test opens it; the test can wait for the
// first arrival.
class Gate {
 public:
  void Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++arrived_;
    changed_.notify_all();
  }
  // Waits in the script, in short steps, so a stopping server is not held up.
  void Wait(HostileConnection& c) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_) return;
      }
      if (!c.Pause(std::chrono::milliseconds(5))) return;
    }
  }
  bool WaitForArrival(int timeoutMs = 20000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return arrived_ > 0; });
  }
  int Arrived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrived_;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
  bool open_ = false;
};

// ---- The net-disk pages of the background chain ----

inline Text ConfigEntry(const std::string& utf8Fields) { return Ansi("配5【") + Ansi(utf8Fields) + Ansi("】"); }

inline Text ConfigPage(const Text& entry, const std::string& listingUrl) {
  return Ansi("<html><head><title>网盘分享</title></head><body><div class=\"share\">") + entry +
         "</div>\r\n<iframe src=\"" + listingUrl + "\" style=\"display:none;\"></iframe></body></html>";
}

inline Text FolderListing() {
  return "<ul class='tree'><li><a href='javascript:;' class='dir'>Folder</a><label>(3)</label>"
         "<ul style='display:none;' id='ZMm_222' ></ul></li>\r\n</ul>";
}

inline Text FileList(const std::string& prefix) {
  return "<ul class='files'><li><a href='" + prefix +
         "/l/kestrune-2.0.zip' title='kestrune-2.0.zip'>file</a></li>"
         "</ul>";
}

// ---- The program on the in-memory toolkit ----

// MainWindow with every part, on the in-memory toolkit, reading its list
// pages from a hostile server. A package button's download window is used at
// once: its browser button, then its download manager button.
class ProgramOnMemory {
 public:
  explicit ProgramOnMemory(long listPageReadLimitMs = Endpoints{}.listPageReadLimitMs) {
    Endpoints endpoints = LoopbackEndpoints(server);
    endpoints.listPageReadLimitMs = listPageReadLimitMs;
    ctx = WireProgram(toolkit, endpoints, ShortBackground(), manager.Config());
    toolkit->modalScript = [this](std::string_view window) {
      toolkit->Click(window, "百度网盘下载");
      toolkit->Click(window, "启动软件下载");
    };
  }
  // A worker still in a transfer ends once the server has stopped.
  ~ProgramOnMemory() {
    toolkit->ExitProgram(0);
    server.Stop();
    EXPECT_TRUE(toolkit->WaitForThreads(15000));
  }

  void Pick(int row) { toolkit->Select(kMain, "组合框1", row); }
  Shown Read() { return Shown::Read(*toolkit, *ctx.state); }

  FakeDownloadManager manager;
  HostileServer server;
  std::shared_ptr<RecordingToolkit> toolkit = std::make_shared<RecordingToolkit>();
  AppContext ctx;
};

// The version the main window shows, which the chain compares with.
inline const char* kLocalVersion = "v15.10.26";

}  // namespace kestrune::test
