// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "web/text.h"

// A small regular-expression object over PCRE2 with ECMAScript-like rules:
// "." matches neither "\r" nor "\n", ^ and $ work at both with Multiline,
// \uXXXX works, a group that took no part reads as empty. Patterns and
// subjects are code-page-936 text; matching runs on their Unicode form, so a
// trail byte never takes part in a match; every text read back is
// code-page-936 text again. Indexes are 1-based.
//
// Patterns may come from a remote page: match and depth limits bound every
// search, and a search that hits a limit finds nothing.
//
// Not thread-safe: one object is used by one thread at a time, for a whole
// Create-Search-read sequence (see MatcherLock).

namespace kestrune {

struct RegexEngine;   // compiled pattern and its options
struct MatchResults;  // the matches of one Search

class RegexMatcher {
 public:
  RegexMatcher();
  virtual ~RegexMatcher();
  // Shares the engine and the matches with the original.
  RegexMatcher(const RegexMatcher& other);
  RegexMatcher& operator=(const RegexMatcher& other);

  // Options not given default to true. Returns whether an engine exists
  // afterwards; a pattern that does not compile leaves an engine that finds
  // nothing.
  virtual bool Create(const Text& pattern, std::optional<bool> ignoreCase = std::nullopt,
                      std::optional<bool> multiline = std::nullopt, std::optional<bool> global = std::nullopt);
  virtual Text GetPattern() const;
  // The engine's replace ($1.. and $& in the replacement) with the pattern's options.
  virtual Text Replace(const Text& source, const Text& replacement) const;
  virtual int Search(const Text& text);
  virtual int GetMatchCount() const;
  virtual Text GetMatchText(int i) const;
  virtual Text GetSubMatchText(int i, int j) const;
  virtual int GetSubMatchCount() const;

 private:
  std::shared_ptr<RegexEngine> engine_;
  std::shared_ptr<MatchResults> matches_;
  int count_ = 0;
};

}  // namespace kestrune
