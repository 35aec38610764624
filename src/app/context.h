// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <string>

#include "app/build_config.h"
#include "app/shared_state.h"
#include "app/toolkit.h"
#include "web/text.h"

// What every part is handed at start-up: the toolkit, the shared state and
// the fixed addresses. Tests build one with loopback addresses.

namespace kestrune {

struct Endpoints {
  Text catalogueBaseUrl = build::kCatalogueBaseUrl;
  Text configPageUrl = build::kConfigPageUrl;
  Text netDiskLinkPrefix = build::kNetDiskLinkPrefix;
  Text promoPageUrl = build::kPromoPageUrl;
  int aria2RpcPort = build::kAria2RpcPort;
  std::string downloadDir;  // empty: the user's download folder (XDG)
  bool startDownloadManager = true;  // may start aria2c when none answers
  // The window waits for the list page, so its whole read (redirects
  // included) is bounded; a server that sends a byte now and then would
  // otherwise hold the window for ever.
  long listPageReadLimitMs = 60000;
};

struct AppContext {
  std::shared_ptr<Toolkit> toolkit;
  std::shared_ptr<SharedState> state;
  Endpoints endpoints;
};

}  // namespace kestrune
