// SPDX-License-Identifier: MIT
#include "app/shared_state.h"

namespace kestrune {

std::shared_ptr<SharedState> CreateSharedState() {
  auto state = std::make_shared<SharedState>();
  state->Matcher = std::make_unique<RegexMatcher>();
  state->LinkParts.clear();
  state->ConfigFields.clear();
  state->UpdateNoteLines.clear();
  return state;
}

namespace {

void Release(Text& t) { Text().swap(t); }
void Release(TextArray& a) { TextArray().swap(a); }

}  // namespace

bool ReleaseSharedState(SharedState& s) {
  if (s.released.exchange(true)) return false;
  Release(s.LocalVersion);
  Release(s.PackageLink(8));
  {
    auto lock = s.LockMatcher();
    s.Matcher.reset();
  }
  Release(s.LinkParts);
  Release(s.SelectedFileName);
  Release(s.SelectedLink);
  Release(s.SelectedCaption);
  Release(s.PackageLink(6));
  Release(s.PackageLink(5));
  Release(s.ListPageUrl);
  Release(s.ListPageHtml);
  for (int button : {2, 3, 4, 7, 9, 10, 11}) Release(s.PackageLink(button));
  std::lock_guard<std::mutex> lock(s.backgroundLock);
  Release(s.RemoteText);
  Release(s.ConfigFields);
  Release(s.LatestVersion);
  Release(s.UpdateFolder);
  Release(s.UpdateFileKey);
  Release(s.UpdateNotes);
  Release(s.PromoSwitch);
  Release(s.ListingUrl);
  Release(s.UpdateNoteLines);
  Release(s.FolderId);
  Release(s.UpdateLink);
  return true;
}

}  // namespace kestrune
