// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <optional>

#include "web/text.h"

// A small regular-expression object over PCRE2 with ECMAScript-like rules:
// "." matches neither "\r" nor "\n", ^ and $ work beside both with Multiline,
// \uXXXX works, [^] matches anything, a group that took no part reads as
// empty. Patterns and subjects are code-page-936 text; matching runs on their
// Unicode form, so a trail byte never takes part in a match; every text read
// back is code-page-936 text again. Indexes are 1-based; an index outside the
// matches or groups reads as "".
//
// Global searches collect every match; after an empty match the next attempt
// starts one whole character further on. Non-global searches stop at the
// first match.
//
// Patterns may come from a remote page, so every search is bounded: a depth
// limit, a match limit per start position and a budget of work for the whole
// search that grows with the subject's length. A search that runs into any of
// them finds nothing (count 0), as does a pattern that does not compile.
//
// Not thread-safe: one object is used by one thread at a time, for a whole
// Create-Search-read sequence (the shared Matcher: SharedState::LockMatcher).
// Copies share the compiled pattern and the results, which never change once
// made, so a copy may be used on another thread than its original.

namespace kestrune {

struct RegexEngine;   // compiled pattern and its options
struct MatchResults;  // the matches of one Search

class RegexMatcher {
 public:
  RegexMatcher();
  // Releases the engine, then the matches.
  virtual ~RegexMatcher();
  // Shares the engine, the matches and the count with the original.
  RegexMatcher(const RegexMatcher& other);
  RegexMatcher& operator=(const RegexMatcher& other);

  // Discards the previous engine and results. Options not given default to
  // true. Returns whether an engine exists afterwards; a pattern that does not
  // compile still leaves an engine, one whose searches find nothing.
  virtual bool Create(const Text& pattern, std::optional<bool> ignoreCase = std::nullopt,
                      std::optional<bool> multiline = std::nullopt, std::optional<bool> global = std::nullopt);
  // The pattern as the engine holds it; "" without an engine.
  virtual Text GetPattern() const;
  // The source with the match (Global: every match) replaced. The replacement
  // may hold $1..$99, $&, $`, $' and $$. "" without an engine, for a pattern
  // that does not compile, or when the search runs into a limit.
  virtual Text Replace(const Text& source, const Text& replacement) const;
  // Replaces the previous results; returns the new match count.
  virtual int Search(const Text& text);
  virtual int GetMatchCount() const;
  virtual Text GetMatchText(int i) const;
  // Group j of match i; "" for a group that took no part.
  virtual Text GetSubMatchText(int i, int j) const;
  // The number of capture groups of the first match; 0 without matches.
  virtual int GetSubMatchCount() const;

 private:
  std::shared_ptr<const RegexEngine> engine_;
  std::shared_ptr<const MatchResults> matches_;
  int count_ = 0;
};

}  // namespace kestrune
