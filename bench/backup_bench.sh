#!/usr/bin/env bash
# The backup of a throttled stick against the shell's way of doing it. A
# loop device over a file in /dev/shm (half random bytes, half zeros, as a
# stick with free space is) whose reads the blkio cgroup (v1
# blkio.throttle) limits to READ_BPS (default 80 MB/s); in that cgroup,
# alternating, RUNS times (default 3):
#   ravik-device-client backup LOOP out.zst (through the testing helper)
#   dd if=LOOP iflag=direct bs=1M | zstd -3
# and the medians compared. Needs root; detaches its loop device and
# removes its cgroup on exit.
#
# Usage: bench/backup_bench.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${RUNS:-3}
read_bps=${READ_BPS:-80000000}
size=$((${SIZE_MIB:-256} * 1048576))
client=$build/bin/ravik-device-client
helper=$build/bin/ravik-unix-device-helper-testing

work=$(mktemp -d /dev/shm/ravik-backup-bench.XXXXXX)
group=/sys/fs/cgroup/blkio/ravik-backup-bench.$$
loop=
cleanup() {
  [[ -n $loop ]] && losetup -d "$loop"
  [[ -d $group ]] && rmdir "$group"
  rm -rf "$work"
}
trap cleanup EXIT

openssl rand -out "$work/medium" $((size / 2)) 2>/dev/null
truncate -s "$size" "$work/medium"
loop=$(losetup --find --show "$work/medium")
majmin=$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ')
mkdir "$group"
echo "$majmin $read_bps" >"$group/blkio.throttle.read_bps_device"

load() { cut -d' ' -f1 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
# Seconds that the command in "$@" takes inside the cgroup.
timed() {
  bash -c 'echo $$ >"$1/cgroup.procs"; shift
    begin=$(date +%s%N); "$@" >/dev/null; end=$(date +%s%N)
    awk -v ns=$((end - begin)) "BEGIN { printf \"%.3f\n\", ns / 1e9 }"' _ "$group" "$@"
}

client_times=()
shell_times=()
for run in $(seq "$runs"); do
  rm -f "$work"/out.zst "$work"/out.zst.sha256 "$work"/shell.zst
  c=$(timed "$client" backup "$loop" "$work/out.zst" --helper "$helper" --end close -q)
  s=$(timed bash -c "dd if=$loop iflag=direct bs=1M status=none | zstd -3 -q -o $work/shell.zst")
  client_times+=("$c")
  shell_times+=("$s")
  echo "run $run (load $(load)): client ${c} s ($(stat -c %s "$work/out.zst") B)," \
    "dd | zstd -3 ${s} s ($(stat -c %s "$work/shell.zst") B)"
done
zstd -dc "$work/out.zst" | cmp - "$loop"
c=$(median "${client_times[@]}")
s=$(median "${shell_times[@]}")
awk -v c="$c" -v s="$s" -v b="$size" -v r="$read_bps" -v load="$(load)" 'BEGIN {
  printf "backup of %d MiB at %d MB/s to .zst: client %.3f s, dd | zstd -3 %.3f s (%+.1f%%), medium limit %.3f s (load %s)\n",
    b / 1048576, r / 1e6, c, s, (c / s - 1) * 100, b / r, load }'
