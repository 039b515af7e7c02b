#!/usr/bin/env bash
# Capacity probe duration: the testing helper probing a sparse loop device of
# 4 GiB and of 64 GiB (open_format, probeCapacity, close), against the plain
# route for the same bytes in the same run: dd oflag=direct of the probe's
# dense run at the start, conv=fsync, and its read-back with iflag=direct.
# The probe's single blocks (the comb) are what it costs beyond that. Three
# runs of each, interleaved; prints every time and the medians.
#
# Usage: sudo bench/capacity_probe_bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=3
helper=$build/bin/ravik-unix-device-helper-testing

cmake --build "$build" --target ravik-unix-device-helper-testing >/dev/null

work=$(mktemp -d /var/tmp/ravik-probe-bench.XXXXXX)
loop=
cleanup() {
  if [[ -n $loop ]]; then losetup -d "$loop" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# One probe session through the helper; prints its wall time in seconds and
# the answer line on standard error.
probe_once() {
  local device=$1 size=$2
  python3 - "$helper" "$device" "$size" <<'EOF'
import json, struct, subprocess, sys, time
helper, device, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
def frame(message):
    body = json.dumps(message, separators=(",", ":")).encode()
    return struct.pack(">I", len(body)) + body
ids = {"protocolVersion": 1, "requestId": "r", "sessionId": "s", "taskId": "t"}
target = {"platform": "linux", "deviceId": device.split("/")[-1],
          "devicePath": device, "sizeBytes": size}
child = subprocess.Popen([helper], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
def answer():
    while True:
        line = child.stdout.readline()
        if not line:
            sys.exit("the helper ended early")
        event = json.loads(line)
        if event["event"] != "progress":
            return event
child.stdin.write(frame({"type": "open_format", **ids, "target": target}))
child.stdin.flush()
if answer()["event"] != "ready":
    sys.exit("no ready event")
begin = time.monotonic()
child.stdin.write(frame({"type": "probeCapacity", "protocolVersion": 1,
                         "operationId": "p"}))
child.stdin.flush()
probed = answer()
elapsed = time.monotonic() - begin
child.stdin.write(frame({"type": "close", "protocolVersion": 1, "operationId": "c"}))
child.stdin.close()
answer()
child.wait()
print(json.dumps(probed), file=sys.stderr)
print(f"{elapsed:.3f}")
EOF
}

# dd of `mib` MiB to the start of the device and back, direct, in seconds.
dd_once() {
  local device=$1 mib=$2 begin end
  begin=$(date +%s.%N)
  dd if=/dev/urandom of="$work/dense" bs=1M count="$mib" status=none
  dd if="$work/dense" of="$device" bs=4M oflag=direct conv=fsync status=none
  dd if="$device" of=/dev/null bs=4M count=$((mib / 4)) iflag=direct status=none
  end=$(date +%s.%N)
  echo "$end - $begin" | bc
}

median() { printf '%s\n' "$@" | sort -n | sed -n "$(((${#} + 1) / 2))p"; }

for gib in 4 64; do
  size=$((gib * 1024 * 1024 * 1024))
  truncate -s "$size" "$work/disk.img"
  loop=$(losetup --find --show "$work/disk.img")
  # The dense run: about sqrt(capacity * 64 KiB), a power of two.
  dense_mib=$(python3 -c "
d = 1 << 20
while d < $size and (d // 65536) * d < $size: d *= 2
print(d >> 20)")
  probe_times=()
  dd_times=()
  for ((run = 1; run <= runs; ++run)); do
    probe_times+=("$(probe_once "$loop" "$size" 2>"$work/answer")")
    dd_times+=("$(dd_once "$loop" "$dense_mib")")
  done
  echo "${gib} GiB: probe ${probe_times[*]} s (median $(median "${probe_times[@]}")); " \
    "dd of the ${dense_mib} MiB dense run ${dd_times[*]} s (median $(median "${dd_times[@]}"))"
  echo "  answer: $(cat "$work/answer")"
  losetup -d "$loop"
  loop=
  rm -f "$work/disk.img"
done
