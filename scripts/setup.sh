#!/usr/bin/env bash
# Installs the Debian packages quilltap needs (only those missing) and builds it.
# Usage: scripts/setup.sh [preset]   (default: default)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config
  libjack-jackd2-dev jackd2
  libsndfile1-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 fuse3 libfuse3-dev sox e2fsprogs exfat-fuse exfatprogs
  pipewire pipewire-jack
  clang clang-format libclang-rt-14-dev
  libcpp-httplib-dev chromium python3-websocket
)
packages+=("${QUILLTAP_EXTRA_PACKAGES[@]:-}")

missing=()
for p in "${packages[@]}"; do
  [ -n "$p" ] || continue
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  # jackd2 asks about real-time priority; the answer does not matter for a dummy server.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo_cmd[@]}" debconf-set-selections
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

preset="${1:-default}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
