#!/usr/bin/env bash
# Installs what the build and the tests need: Debian packages (only the missing ones) and the
# chat page's npm packages from page/package-lock.json (only when the lock file changed).
# Idempotent: when everything is there it prints nothing and takes well under a second.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config
  libcurl4-openssl-dev nlohmann-json3-dev ca-certificates
  # unit tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libvalijson-dev
  # the chat page and its tests in a real browser; fonts for Korean text and emoji
  chromium fonts-noto-cjk fonts-noto-color-emoji
  # the window (Qt 6 Widgets + WebEngine) and its tests under a virtual display
  qt6-base-dev qt6-webengine-dev xvfb xauth
  # Qt's own texts (file dialogs, standard buttons) in Korean on a Korean desktop
  qt6-translations-l10n
  # WebP thumbnails of attached images
  qt6-image-formats-plugins
  # the fuzz targets: clang and its libFuzzer and sanitizer runtimes (only recommended by clang)
  clang libclang-rt-14-dev
  # text of PDF attachments for the providers that take no files
  libpoppler-cpp-dev
  # the Windows-only sources checked with the cross compiler
  g++-mingw-w64-x86-64-posix
  # the Debian package: its library dependencies, and checks of the desktop entry
  dpkg-dev desktop-file-utils
  # the start-up benchmark's script
  python3
)
command -v node >/dev/null 2>&1 || PACKAGES+=(nodejs)
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The page's libraries, pinned by the lock file; reinstalled only when it changes.
stamp=page/node_modules/.lock-sha256
want=$(sha256sum page/package-lock.json | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "setup: installing the chat page's npm packages"
  (cd page && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  echo "$want" >"$stamp"
fi
