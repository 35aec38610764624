// SPDX-License-Identifier: MIT
#include "app/shared_state.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(SharedStateTest, StartsWithMatcherAndEverythingEmpty) {
  auto state = CreateSharedState();
  ASSERT_NE(state->Matcher, nullptr);
  EXPECT_TRUE(state->LinkParts.empty());
  EXPECT_TRUE(state->ConfigFields.empty());
  EXPECT_TRUE(state->UpdateNoteLines.empty());
  EXPECT_TRUE(state->LocalVersion.empty());
  for (const Text& link : state->PackageLinks) EXPECT_TRUE(link.empty());
  EXPECT_TRUE(state->ListPageUrl.empty());
  EXPECT_TRUE(state->UpdateLink.empty());
  EXPECT_FALSE(state->released);
}

TEST(SharedStateTest, ReleasesEverythingOnceAndOnlyOnce) {
  auto state = CreateSharedState();
  state->LocalVersion = "v15.10.26";
  state->PackageLink(8) = "http://a/b.tgz";
  state->LinkParts = {":", "", "host"};
  state->UpdateNoteLines = {"a", "b"};
  state->UpdateLink = "http://d/x";
  EXPECT_TRUE(ReleaseSharedState(*state));
  EXPECT_EQ(state->Matcher, nullptr);
  EXPECT_TRUE(state->LocalVersion.empty());
  EXPECT_TRUE(state->PackageLink(8).empty());
  EXPECT_TRUE(state->LinkParts.empty());
  EXPECT_TRUE(state->UpdateNoteLines.empty());
  EXPECT_TRUE(state->UpdateLink.empty());
  EXPECT_TRUE(state->released);
  EXPECT_FALSE(ReleaseSharedState(*state));
}

}  // namespace
}  // namespace kestrune
