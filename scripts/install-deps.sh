#!/usr/bin/env bash
# Installs, idempotently, every Debian package that the build, the tests, the
# benchmarks, the fuzzers and the demo need. Runs apt-get update only when a
# package is missing, so a provisioned machine is left untouched.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ pkg-config ccache clang-format-14 dpkg-dev
  nlohmann-json3-dev libcli11-dev libssl-dev zlib1g-dev libmount-dev
  libcap-dev libseccomp-dev
  libarchive-dev liblzma-dev libzstd-dev libbz2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-16 libclang-rt-16-dev
  dosfstools mtools fdisk util-linux e2fsprogs
  openssl sudo xxd coreutils python3
  xz-utils zstd gzip bzip2 zip time
  bmap-tools strace help2man lintian
  qemu-system-x86 busybox-static kmod cpio dmsetup
  libgtkmm-4.0-dev libadwaita-1-dev libudev-dev
  xvfb dbus dbus-daemon at-spi2-core python3-pyatspi gir1.2-atspi-2.0 imagemagick
  pkexec polkitd desktop-file-utils appstream
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
echo "install-deps: installing ${missing[*]}" >&2
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
