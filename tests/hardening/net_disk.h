// SPDX-License-Identifier: MIT
#pragma once

// The net-disk service of the background chain, served by a HostileServer:
// its addresses, a well-behaved service, and the same with one step held at a
// gate so that the end of the program can come while a task waits there.

#include <string>

#include "hardening_support.h"
#include "hostile_pages.h"
#include "hostile_server.h"

namespace kestrune::test {

inline constexpr const char kConfig[] = "/config";
inline constexpr const char kListing[] = "/listing";
inline constexpr const char kUpdatePage[] = "/list-169-1-18-21-1-2";  // 按钮1's page

// GET and POST of the same address answered differently.
inline HostileScript ByMethod(HostileScript get, HostileScript post) {
  return [get = std::move(get), post = std::move(post)](HostileConnection& c) {
    if (c.RequestLine().rfind("POST ", 0) == 0)
      post(c);
    else
      get(c);
  };
}

// A well-behaved service whose version differs from the window's, so every
// chain asks its question and reads 按钮1's page; every list page is the
// normal one.
inline void ServeEverything(HostileServer& s, const std::string& latest = "2.0") {
  s.Page(kConfig, ConfigPage(ConfigEntry(latest + "|Folder|kestrune|Notes: 1. 2. 3.|否"), s.Url(kListing)));
  s.Route(kListing, ByMethod(Answer(FolderListing()), Answer(FileList(s.Url("/d")))));
  s.Page("/list", NormalPage(s.Url()));
}

// Where a task of the chain is when the end comes. The first four hold a
// request at the gate; at Question the update question stays open.
enum class Stage { ConfigRead, FolderRead, FileListRead, UpdatePageRead, Question };

inline const char* StageName(Stage stage) {
  switch (stage) {
    case Stage::ConfigRead:
      return "config read";
    case Stage::FolderRead:
      return "folder read";
    case Stage::FileListRead:
      return "file list read";
    case Stage::UpdatePageRead:
      return "update page read";
    case Stage::Question:
      return "question open";
  }
  return "";
}

// ServeEverything, with the request of `stage` held at the gate and then
// answered normally.
inline void HoldAt(HostileServer& s, Stage stage, Gate& gate) {
  ServeEverything(s);
  const auto held = [&gate](HostileScript then) {
    return HostileScript([&gate, then = std::move(then)](HostileConnection& c) {
      gate.Arrive();
      gate.Wait(c);
      then(c);
    });
  };
  const Text config = ConfigPage(ConfigEntry("2.0|Folder|kestrune|Notes: 1. 2. 3.|否"), s.Url(kListing));
  const Text files = FileList(s.Url("/d"));
  switch (stage) {
    case Stage::ConfigRead:
      s.Route(kConfig, held(Answer(config)));
      break;
    case Stage::FolderRead:
      s.Route(kListing, ByMethod(held(Answer(FolderListing())), Answer(files)));
      break;
    case Stage::FileListRead:
      s.Route(kListing, ByMethod(Answer(FolderListing()), held(Answer(files))));
      break;
    case Stage::UpdatePageRead:
      s.Route(kUpdatePage, held(Answer(NormalPage(s.Url()))));
      break;
    case Stage::Question:
      break;
  }
}

}  // namespace kestrune::test
