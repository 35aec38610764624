// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "regex/regex_matcher.h"
#include "web/text.h"

// The process-wide shared state, created once at start-up and released once
// by the clean-up. It is passed explicitly; there is no global instance.
//
// Who may touch what:
// - Matcher: only while holding matcherLock, for a whole Create-Search-read
//   sequence (LockMatcher). Never hold it across a toolkit call, a network
//   call or a message box.
// - LocalVersion: written once by the created handler before any worker
//   exists, then only read.
// - The list-page state (ListPageUrl, ListPageHtml, PackageLinks) and the
//   selected texts: window thread only. A worker that needs a list-page read
//   runs it through Toolkit::RunOnWindowThread.
// - The background state (RemoteText .. UpdateLink): the one background
//   worker of the moment, and the clean-up; both hold backgroundLock while
//   they touch it (never across a network or toolkit call).
//
// Workers keep the state alive through a shared_ptr, so the clean-up can run
// while one is still in flight.

namespace kestrune {

struct SharedState {
  // 1
  Text LocalVersion;
  // Package links, one per package button 按钮2..按钮11.
  std::array<Text, 10> PackageLinks;
  Text& PackageLink(int button) { return PackageLinks.at(static_cast<std::size_t>(button - 2)); }
  // 3
  std::unique_ptr<RegexMatcher> Matcher;
  // 4-7
  TextArray LinkParts;
  Text SelectedFileName;
  Text SelectedLink;
  Text SelectedCaption;
  // 10, 11
  Text ListPageUrl;
  Text ListPageHtml;
  // 19-29
  Text RemoteText;
  TextArray ConfigFields;
  Text LatestVersion;
  Text UpdateFolder;
  Text UpdateFileKey;
  Text UpdateNotes;
  Text PromoSwitch;
  Text ListingUrl;
  TextArray UpdateNoteLines;
  Text FolderId;
  Text UpdateLink;

  std::mutex matcherLock;
  std::mutex backgroundLock;
  std::atomic<bool> released{false};

  std::unique_lock<std::mutex> LockMatcher() { return std::unique_lock<std::mutex>(matcherLock); }
};

// Start-up step 2: Matcher first, then the three empty text arrays.
std::shared_ptr<SharedState> CreateSharedState();

// The clean-up: releases every variable once, in declaration-table order
// (1 LocalVersion, 2 PackageLinks of 按钮8, 3 Matcher, ... 29 UpdateLink).
// A second call does nothing. Returns whether it released anything.
bool ReleaseSharedState(SharedState& state);

}  // namespace kestrune
