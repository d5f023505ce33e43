#!/usr/bin/env bash
# Installs every Debian package needed to build, test and demo the project.
# Idempotent; run as root on Debian 12.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "install-deps.sh: run as root" >&2
  exit 1
fi
packages=(
  build-essential g++ cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev zlib1g-dev libusb-1.0-0-dev libhidapi-dev libudev-dev
  libzmq3-dev libczmq-dev libcpp-httplib-dev libssl-dev
  clang libclang-rt-14-dev clang-format
  python3 python3-crcmod iproute2 util-linux curl coreutils procps time
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "install-deps.sh: all packages present"
