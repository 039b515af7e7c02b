#!/usr/bin/env bash
# The main job end to end, as the application drives it: installs what the
# build needs, builds the client and the testing helper, makes a 64 MiB disk
# image (MBR, FAT32 partition 1 at 1 MiB holding config.txt), writes it with
# the client to a regular-file target in a temporary directory, verifies,
# replaces config.txt on the target's boot partition through the helper,
# releases, and shows what landed on the target. Cleans up after itself.
#
# The testing helper stands in for the installed one because only it accepts
# a regular file as target; it keeps its maintenance lock inside the build
# tree. Run as root (the lock directory must be root-owned).
#
# Usage: scripts/demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
start=$(date +%s)

step() { printf '\n== %s\n' "$*"; }

step "Dependencies"
"$root/scripts/install-deps.sh"

step "Build (client and testing helper) in $build"
cmake -S "$root" -B "$build" -DRAVIK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target ravik-device-client \
  ravik-unix-device-helper-testing >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/ravik-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

step "Sample image: 64 MiB, MBR, FAT32 partition 1 at 1 MiB with config.txt"
image=$work/sample.img
truncate -s 64M "$image"
printf 'label: dos\nstart=2048, type=c\n' | sfdisk --quiet "$image"
# Partition 1 spans sectors 2048 to the end: 63 MiB.
mkfs.fat -F 32 -s 1 -n RAVIKDEMO --offset 2048 "$image" $((63 * 1024)) >/dev/null
printf 'arm_64bit=1\nenable_uart=1\n' >"$work/config.txt"
mcopy -i "$image@@1M" "$work/config.txt" ::config.txt
sfdisk --dump "$image" | sed -n '/^\//p'

step "Target: a 96 MiB regular file standing in for the removable disk"
target=$work/target.img
truncate -s 96M "$target"
ls -l "$target"

step "Write, verify, replace config.txt and release with ravik-device-client"
printf 'arm_64bit=1\nenable_uart=1\n# customised by the helper after the write\nhdmi_safe=1\n' \
  >"$work/new-config.txt"
"$build/bin/ravik-device-client" write "$image" "$target" \
  --boot-file "config.txt=$work/new-config.txt" --end release

step "What landed on the target"
cmp -n $((1024 * 1024)) "$image" "$target" && echo "partition table area (first MiB) identical to the image"
dd if="$target" of="$work/partition1.img" bs=1M skip=1 count=63 status=none
fsck.fat -n "$work/partition1.img"
mdir -i "$target@@1M" ::
echo "--- config.txt as mtools reads it from the target (the image held the old one):"
mtype -i "$target@@1M" ::config.txt
cmp <(mtype -i "$target@@1M" ::config.txt) "$work/new-config.txt" &&
  echo "config.txt is the replacement"

step "Done in $(( $(date +%s) - start )) s"
