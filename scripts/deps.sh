# SPDX-License-Identifier: MIT
# Sourced by the other scripts: installs the Debian packages Kestrune needs,
# only those that are missing, so a second run costs nothing.
KESTRUNE_PACKAGES=(
  cmake ninja-build g++ clang pkg-config
  qt6-base-dev qt6-translations-l10n libgl1-mesa-dev
  libcurl4-openssl-dev libicu-dev libpcre2-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  libx11-dev aria2 xvfb xauth fonts-wqy-microhei imagemagick python3
)

kestrune_install_deps() {
  local missing=()
  for p in "${KESTRUNE_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
