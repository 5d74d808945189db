#!/usr/bin/env bash
# Installs the Debian packages that Brimloft builds and tests with, when any is missing.
set -euo pipefail
packages=(g++ cmake make pkg-config libcpp-httplib-dev nlohmann-json3-dev libgtest-dev curl tzdata iproute2)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq "${missing[@]}"
