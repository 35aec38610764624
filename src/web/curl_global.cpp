// SPDX-License-Identifier: MIT
#include "web/curl_global.h"

#include <mutex>

#include <curl/curl.h>

namespace kestrune {

void EnsureCurlReady() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace kestrune
