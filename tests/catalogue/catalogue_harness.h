// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "app/main_window.h"
#include "app/names.h"
#include "app/shared_state.h"
#include "catalogue/catalogue.h"
#include "support/loopback_server.h"
#include "support/memory_toolkit.h"
#include "web/codepage.h"
#include "web/text.h"

// What the catalogue tests share: list page fixtures, a loopback catalogue
// site that answers every path from a table, and MainWindow on the in-memory
// toolkit with the catalogue installed.

namespace kestrune::test {

enum class Served { Ansi, Utf8 };

// A fixture page as the site would serve it: CRLF line ends, "@HOST@" replaced
// by `host`, "@META@" by `meta`, in code page 936 unless served as UTF-8.
inline std::string ListPageFixture(const std::string& name, Served served, const std::string& host,
                                   const std::string& meta = "") {
  std::ifstream in(std::string(KESTRUNE_FIXTURE_DIR) + "/catalogue/" + name, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string page = buffer.str();
  if (page.empty()) throw std::runtime_error("missing fixture " + name);
  page = ReplaceAll(page, "@HOST@", host);
  page = ReplaceAll(page, "@META@", meta);
  page = ReplaceAll(page, "\n", "\r\n");
  return served == Served::Ansi ? Ansi(page) : page;
}

struct Reply {
  std::string body;
  int status = 200;
  int delayMs = 0;
};

// A catalogue site on loopback: every GET is answered from the table by path,
// else with the default reply; it records the paths asked for and how many
// requests were ever in flight at once.
class CatalogueSite {
 public:
  CatalogueSite() {
    server_.server().Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.push_back(req.path);
      }
      ++started_;
      int now = ++inFlight_;
      for (int seen = maxInFlight_.load(); now > seen && !maxInFlight_.compare_exchange_weak(seen, now);) {
      }
      Reply reply = Take(req.path);
      if (reply.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
      res.status = reply.status;
      res.set_content(reply.body, "text/html");
      --inFlight_;
    });
    server_.Start();
  }

  std::string Url(const std::string& path = "") const { return server_.Url(path); }

  void Serve(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    byPath_[path] = {std::move(reply)};
  }
  // Answers the next requests for `path` in turn; the last stays.
  void ServeInTurn(const std::string& path, std::vector<Reply> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    byPath_[path] = std::move(replies);
  }
  void ServeDefault(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_ = std::move(reply);
  }

  // The paths asked for, in order, recorded before each answer leaves.
  std::vector<std::string> Paths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_;
  }
  int MaxInFlight() const { return maxInFlight_.load(); }
  // Requests that have arrived, answered or not.
  int Started() const { return started_.load(); }

 private:
  Reply Take(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = byPath_.find(path);
    if (found == byPath_.end() || found->second.empty()) return default_;
    Reply reply = found->second.front();
    if (found->second.size() > 1) found->second.erase(found->second.begin());
    return reply;
  }

  LoopbackServer server_;
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Reply>> byPath_;
  std::vector<std::string> paths_;
  Reply default_{"", 404, 0};
  std::atomic<int> started_{0};
  std::atomic<int> inFlight_{0};
  std::atomic<int> maxInFlight_{0};
};

inline const std::array<const char*, 5> kLabels = {"标签1", "标签2", "标签3", "标签4", "标签5"};
// Slot order: fastboot then recovery button of each slot.
inline const std::array<const char*, 10> kPackageButtons = {"按钮2", "按钮3", "按钮4", "按钮5",  "按钮6",
                                                            "按钮7", "按钮8", "按钮9", "按钮10", "按钮11"};

// MainWindow on the in-memory toolkit, pointed at a CatalogueSite.
class CatalogueHarness {
 public:
  CatalogueHarness() : toolkit(std::make_shared<MemoryToolkit>()), state(CreateSharedState()), ctx{toolkit, state, {}} {
    ctx.endpoints.catalogueBaseUrl = site.Url();
    toolkit->DefineWindow(MainWindowDefinition(CatalogueItems()));
    InstallCatalogue(ctx);
    toolkit->LoadWindow(names::kMainWindow, false);
  }

  void Select(int index) { toolkit->Select(names::kMainWindow, "组合框1", index); }
  void Click(const char* control) { toolkit->Click(names::kMainWindow, control); }

  Text Caption(const char* control) { return toolkit->GetText(names::kMainWindow, control, Property::Caption); }
  Text EditBox(int n) { return toolkit->GetText(names::kMainWindow, "编辑框" + std::to_string(n), Property::Text); }
  bool Disabled(const char* control) { return toolkit->GetInt(names::kMainWindow, control, Property::Disabled) != 0; }

  std::vector<Text> Labels() {
    std::vector<Text> out;
    for (const char* c : kLabels) out.push_back(Caption(c));
    return out;
  }
  std::vector<Text> ButtonCaptions() {
    std::vector<Text> out;
    for (const char* c : kPackageButtons) out.push_back(Caption(c));
    return out;
  }
  std::vector<Text> Links() { return {state->PackageLinks.begin(), state->PackageLinks.end()}; }
  std::vector<bool> DisabledButtons() {
    std::vector<bool> out;
    for (const char* c : kPackageButtons) out.push_back(Disabled(c));
    return out;
  }

  CatalogueSite site;
  std::shared_ptr<MemoryToolkit> toolkit;
  std::shared_ptr<SharedState> state;
  AppContext ctx;
};

// Expected values are written as UTF-8 in the tests.
inline std::vector<Text> AnsiAll(const std::vector<std::string>& utf8) {
  std::vector<Text> out;
  for (const std::string& s : utf8) out.push_back(Ansi(s));
  return out;
}

}  // namespace kestrune::test
