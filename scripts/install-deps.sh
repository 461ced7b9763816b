#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, when they are missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libsqlite3-dev sqlite3 zlib1g-dev
  libpq-dev postgresql
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libgl-dev
  libcpp-httplib-dev nlohmann-json3-dev
  chromium chromium-driver
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
