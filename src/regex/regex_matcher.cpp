// SPDX-License-Identifier: MIT
#include "regex/regex_matcher.h"

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "web/codepage.h"

namespace kestrune {

namespace {

// A lazy group needs about one match call per character it spans, and the
// match limit counts per start position: 10 M lets a group span ~10 MB.
constexpr std::uint32_t kMatchLimit = 10'000'000;
// Backtracking depth grows with each iteration of a repeated group: a few
// thousand keeps ordinary repeats working and stops nested-alternation bombs
// at once, before they fill the heap with frames. Compiled patterns ignore the
// depth limit; their stack size plays its part (128 KiB holds about as much).
constexpr std::uint32_t kDepthLimit = 5000;
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 128 * 1024;
// The two limits above restart at every start position, so a pattern that
// stays just under them at each position can still run for minutes over a
// long text. The whole search therefore also has a budget of work, counted in
// automatic callouts (about one per pattern item tried) plus one per match.
// Ordinary searches need one or two per byte of the subject. The fuzz build
// lowers the base so that a pathological input costs milliseconds, not
// seconds, and the fuzzer spends its time elsewhere.
#ifndef KESTRUNE_REGEX_WORK_BASE
#define KESTRUNE_REGEX_WORK_BASE 10'000'000
#endif
constexpr std::uint64_t kWorkBase = KESTRUNE_REGEX_WORK_BASE;
constexpr std::uint64_t kWorkPerByte = 8;

struct WorkBudget {
  std::uint64_t left;
};

int SpendWork(pcre2_callout_block*, void* data) {
  auto* budget = static_cast<WorkBudget*>(data);
  if (budget->left == 0) return PCRE2_ERROR_CALLOUT;
  --budget->left;
  return 0;
}

std::size_t NextCharacter(std::string_view subject, std::size_t at) {
  ++at;
  while (at < subject.size() && (static_cast<unsigned char>(subject[at]) & 0xC0) == 0x80) ++at;
  return at;
}

}  // namespace

struct RegexEngine {
  std::string pattern;          // UTF-8
  bool global = true;
  pcre2_code* code = nullptr;   // null when the pattern does not compile
  std::uint32_t groups = 0;
  bool jit = false;             // compiled to machine code

  RegexEngine() = default;
  RegexEngine(const RegexEngine&) = delete;
  RegexEngine& operator=(const RegexEngine&) = delete;
  ~RegexEngine() { pcre2_code_free(code); }

  // Calls onMatch(ovector) for each match in turn. Returns false when the
  // search fails (a limit, the work budget, invalid UTF-8); the caller then
  // discards whatever onMatch collected.
  template <typename OnMatch>
  bool ForEachMatch(const std::string& subject, OnMatch onMatch) const {
    if (code == nullptr) return false;
    pcre2_match_context* context = pcre2_match_context_create(nullptr);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    pcre2_jit_stack* stack = jit ? pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr) : nullptr;
    bool ok = context != nullptr && data != nullptr;
    if (ok) {
      if (stack != nullptr) pcre2_jit_stack_assign(context, nullptr, stack);
      WorkBudget budget{kWorkBase + kWorkPerByte * subject.size()};
      pcre2_set_match_limit(context, kMatchLimit);
      pcre2_set_depth_limit(context, kDepthLimit);
      pcre2_set_callout(context, SpendWork, &budget);
      const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data());
      std::size_t start = 0;
      std::uint32_t options = 0;  // the first call validates the UTF-8 once
      for (;;) {
        int rc = pcre2_match(code, text, subject.size(), start, options, data, context);
        if (rc == PCRE2_ERROR_NOMATCH) break;
        if (rc < 0 || budget.left == 0) {
          ok = false;
          break;
        }
        --budget.left;
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        onMatch(ovector);
        if (!global) break;
        std::size_t next = ovector[1];
        // An empty match (or one that ends where the attempt began) moves
        // on by one whole character so the next attempt starts elsewhere.
        if (ovector[0] == ovector[1] || next <= start) {
          if (ovector[1] >= subject.size()) break;
          next = NextCharacter(subject, ovector[1] > start ? ovector[1] : start);
        }
        start = next;
        options = PCRE2_NO_UTF_CHECK;
      }
    }
    pcre2_match_data_free(data);
    pcre2_match_context_free(context);
    pcre2_jit_stack_free(stack);
    return ok;
  }
};

struct MatchResults {
  std::string subject;              // UTF-8
  std::uint32_t groups = 0;
  // Per match, groups + 1 pairs of byte offsets into subject; a group that
  // took no part holds PCRE2_UNSET.
  std::vector<PCRE2_SIZE> spans;

  std::size_t Stride() const { return 2 * (static_cast<std::size_t>(groups) + 1); }
  std::size_t Count() const { return spans.size() / Stride(); }
  Text Part(std::size_t match, std::size_t group) const {
    const PCRE2_SIZE* pair = &spans[match * Stride() + 2 * group];
    if (pair[0] == PCRE2_UNSET || pair[1] < pair[0]) return {};
    return Utf8ToAnsi(std::string_view(subject).substr(pair[0], pair[1] - pair[0]));
  }
};

namespace {

// ECMAScript replacement patterns: $$, $&, $`, $', $n and $nn (01..99). A
// reference to a group the pattern lacks stays as written.
void AppendReplacement(std::string& out, std::string_view replacement, std::string_view subject,
                       const PCRE2_SIZE* ovector, std::uint32_t groups) {
  auto group = [&](std::uint32_t n) {
    PCRE2_SIZE from = ovector[2 * n];
    PCRE2_SIZE to = ovector[2 * n + 1];
    if (from != PCRE2_UNSET && to >= from) out.append(subject.substr(from, to - from));
  };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < replacement.size(); ++i) {
    char c = replacement[i];
    if (c != '$' || i + 1 == replacement.size()) {
      out.push_back(c);
      continue;
    }
    char next = replacement[i + 1];
    if (next == '$') {
      out.push_back('$');
      ++i;
    } else if (next == '&') {
      group(0);
      ++i;
    } else if (next == '`') {
      out.append(subject.substr(0, ovector[0]));
      ++i;
    } else if (next == '\'') {
      out.append(subject.substr(ovector[1]));
      ++i;
    } else if (digit(next)) {
      std::uint32_t one = static_cast<std::uint32_t>(next - '0');
      if (i + 2 < replacement.size() && digit(replacement[i + 2])) {
        std::uint32_t two = one * 10 + static_cast<std::uint32_t>(replacement[i + 2] - '0');
        if (two >= 1 && two <= groups) {
          group(two);
          i += 2;
          continue;
        }
      }
      if (one >= 1 && one <= groups) {
        group(one);
        ++i;
      } else {
        out.push_back('$');
      }
    } else {
      out.push_back('$');
    }
  }
}

}  // namespace

RegexMatcher::RegexMatcher() = default;

RegexMatcher::~RegexMatcher() {
  engine_.reset();
  matches_.reset();
}

RegexMatcher::RegexMatcher(const RegexMatcher& other) = default;
RegexMatcher& RegexMatcher::operator=(const RegexMatcher& other) = default;

bool RegexMatcher::Create(const Text& pattern, std::optional<bool> ignoreCase, std::optional<bool> multiline,
                          std::optional<bool> global) {
  matches_.reset();
  engine_.reset();
  // Without an engine there are no results either, so the count cannot stand.
  count_ = 0;

  auto engine = std::make_shared<RegexEngine>();
  pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
  if (context == nullptr) return false;
  // CR, LF and CRLF end a line: "." matches neither "\r" nor "\n", and with
  // Multiline ^ and $ stop beside either.
  pcre2_set_newline(context, PCRE2_NEWLINE_ANYCRLF);

  std::uint32_t options = PCRE2_UTF | PCRE2_ALT_BSUX | PCRE2_MATCH_UNSET_BACKREF | PCRE2_ALLOW_EMPTY_CLASS |
                          PCRE2_AUTO_CALLOUT |
                          // \C could end a match inside a character; the
                          // global search restarts there unchecked.
                          PCRE2_NEVER_BACKSLASH_C;
  if (ignoreCase.value_or(true)) options |= PCRE2_CASELESS;
  if (multiline.value_or(true)) {
    options |= PCRE2_MULTILINE;
  } else {
    options |= PCRE2_DOLLAR_ENDONLY;  // "$" is the very end, not before a final newline
  }
  engine->global = global.value_or(true);
  engine->pattern = AnsiToUtf8(pattern);

  int error = 0;
  PCRE2_SIZE errorOffset = 0;
  engine->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(engine->pattern.data()), engine->pattern.size(),
                               options, &error, &errorOffset, context);
  pcre2_compile_context_free(context);
  if (engine->code != nullptr) {
    pcre2_pattern_info(engine->code, PCRE2_INFO_CAPTURECOUNT, &engine->groups);
    // Machine code is an order of magnitude faster, and its search for the
    // first character of a caseless pattern does not rescan the rest of the
    // subject on every call of a global search as the interpreter's does.
    // Where it is not available the interpreter runs, under the same limits.
    std::size_t jitSize = 0;
    if (pcre2_jit_compile(engine->code, PCRE2_JIT_COMPLETE) == 0 &&
        pcre2_pattern_info(engine->code, PCRE2_INFO_JITSIZE, &jitSize) == 0)
      engine->jit = jitSize > 0;
  }

  engine_ = std::move(engine);
  return true;
}

Text RegexMatcher::GetPattern() const {
  if (!engine_) return {};
  return Utf8ToAnsi(engine_->pattern);
}

Text RegexMatcher::Replace(const Text& source, const Text& replacement) const {
  if (!engine_ || engine_->code == nullptr) return {};
  const std::string subject = AnsiToUtf8(source);
  const std::string with = AnsiToUtf8(replacement);
  std::string out;
  std::size_t copied = 0;
  const std::uint32_t groups = engine_->groups;
  bool ok = engine_->ForEachMatch(subject, [&](const PCRE2_SIZE* ovector) {
    out.append(subject, copied, ovector[0] - copied);
    AppendReplacement(out, with, subject, ovector, groups);
    copied = ovector[1];
  });
  if (!ok) return {};
  out.append(subject, copied);
  return Utf8ToAnsi(out);
}

int RegexMatcher::Search(const Text& text) {
  matches_.reset();
  count_ = 0;
  if (!engine_ || engine_->code == nullptr) return 0;

  auto results = std::make_shared<MatchResults>();
  results->subject = AnsiToUtf8(text);
  results->groups = engine_->groups;
  const std::size_t stride = results->Stride();
  bool ok = engine_->ForEachMatch(results->subject, [&](const PCRE2_SIZE* ovector) {
    results->spans.insert(results->spans.end(), ovector, ovector + stride);
  });
  if (!ok) return 0;

  std::size_t count = results->Count();
  count_ = count > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
  matches_ = std::move(results);
  return count_;
}

int RegexMatcher::GetMatchCount() const { return count_; }

Text RegexMatcher::GetMatchText(int i) const {
  if (!matches_ || i < 1 || static_cast<std::size_t>(i) > matches_->Count()) return {};
  return matches_->Part(static_cast<std::size_t>(i) - 1, 0);
}

Text RegexMatcher::GetSubMatchText(int i, int j) const {
  if (!matches_ || i < 1 || static_cast<std::size_t>(i) > matches_->Count()) return {};
  if (j < 1 || static_cast<std::uint32_t>(j) > matches_->groups) return {};
  return matches_->Part(static_cast<std::size_t>(i) - 1, static_cast<std::size_t>(j));
}

int RegexMatcher::GetSubMatchCount() const {
  if (count_ == 0 || !matches_) return 0;
  return static_cast<int>(matches_->groups);
}

}  // namespace kestrune
