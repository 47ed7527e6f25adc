#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent: when everything is
# already there it prints nothing and takes well under a second.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  libcurl4-openssl-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libvalijson-dev
  ca-certificates
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
