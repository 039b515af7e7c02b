#!/usr/bin/env bash
# Write plus verify of a 1 GiB image to a loop device backed by /dev/shm:
# ravik-device-client (through the testing helper, which holds loop devices
# through the production block-device path) beside the shell way of doing
# the same job, dd with direct I/O and fsync followed by a SHA-256 of the
# image and of the device. Both run in the same invocation, alternating, and
# the medians are compared. Needs root and loop devices.
#
#   bench/linux_client_write_bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail

build=${1:-build-linux}
rounds=${2:-3}
client="$build/bin/ravik-device-client"
helper="$(cd "$build/bin" && pwd)/ravik-unix-device-helper-testing"
size=$((1024 * 1024 * 1024))

work=$(mktemp -d /dev/shm/ravik-linux-bench-XXXXXX)
loop=""
cleanup() {
  # Detach only a loop device that still serves our backing file.
  if [[ -n $loop && "$(cat /sys/class/block/${loop#/dev/}/loop/backing_file 2>/dev/null)" == "$work/disk" ]]; then
    losetup -d "$loop" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

head -c "$size" /dev/urandom >"$work/image"
truncate -s "$size" "$work/disk"

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

client_times=()
shell_times=()
for ((round = 1; round <= rounds; round++)); do
  : >"$work/disk" && truncate -s "$size" "$work/disk"
  loop=$(losetup --find --show "$work/disk")
  start=$(now)
  "$client" write "$work/image" "$loop" --helper "$helper" --yes >"$work/client.out" 2>/dev/null
  end=$(now)
  grep -q "matches" "$work/client.out"
  client_times+=("$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}')")
  # The client's release detached the device; attach it again for dd.
  loop=$(losetup --find --show "$work/disk")
  start=$(now)
  dd if="$work/image" of="$loop" bs=4M oflag=direct conv=fsync status=none
  image_sum=$(openssl dgst -sha256 -r "$work/image" | cut -d' ' -f1)
  device_sum=$(openssl dgst -sha256 -r "$loop" | cut -d' ' -f1)
  end=$(now)
  [[ $image_sum == "$device_sum" ]]
  shell_times+=("$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}')")
  losetup -d "$loop"
  loop=""
  echo "round $round: client ${client_times[-1]} s, dd+openssl ${shell_times[-1]} s"
done

client_median=$(printf '%s\n' "${client_times[@]}" | median)
shell_median=$(printf '%s\n' "${shell_times[@]}" | median)
echo "median: client ${client_median} s, dd+openssl ${shell_median} s"
awk -v s="$shell_median" -v c="$client_median" 'BEGIN {printf "ratio (dd+openssl / client): %.2f\n", s / c}'
