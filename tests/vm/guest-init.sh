#!/bin/busybox sh
# The hardware lab's guest: /init of the initramfs that tests/vm/lab.sh builds.
# Runs the scenarios in sequence, as root, with the production helper and
# ravik-device-client, and reports each one on the serial console as
# "@@result NAME pass|fail|known-failure SECONDS TEXT" (a known failure
# waits for a fix elsewhere and names it). Hardware changes are asked of the
# host with "@@unplug ID" (returns at once), "@@unplugged ID" (until QEMU has
# let go of it), "@@plug ID" and "@@throttle ID RATE", each answered on the
# console's input. "lab.only=A,B" on the kernel command line runs only
# the named scenarios. The sticks by xHCI port: 1 "stick" (512-byte blocks,
# starts with a FAT partition), 2 "stick4k" (4096-byte blocks), 3 "pull"
# (throttled by the host when it is to be pulled mid-operation).
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin:/usr/libexec/ravik
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
stty -echo 2>/dev/null
# The kernel's own messages stay in its log (dumped per scenario below); the
# console carries the lab's lines only.
dmesg -n 1

for module in xhci-pci usb-storage sd_mod sdhci-pci mmc_block virtio_pci virtio_blk nvme \
  dm-mod vfat nls_cp437 nls_ascii nls_utf8; do
  modprobe "$module"
done

uptime_now() { cut -d ' ' -f 1 /proc/uptime; }
elapsed() { awk -v a="$1" -v b="$(uptime_now)" 'BEGIN { printf "%.1f", b - a }'; }
say() { echo "lab: $*"; }

# host REQUEST: asks the host for a hardware change and waits for its answer.
host() {
  echo "@@$*"
  read -r reply
  [ "$reply" = ok ] || { say "host refused '$*': $reply"; return 1; }
}

# The kernel name of the disk on xHCI port $1, empty when there is none.
stick_on_port() {
  for disk in /sys/block/sd*; do
    [ -e "$disk" ] || continue
    case "$(readlink -f "$disk/device")" in
      */usb*/[0-9]-"$1"/*) basename "$disk"; return ;;
    esac
  done
}

# wait_for CONDITION...: polls a shell condition for up to 30 s.
wait_for() {
  tries=0
  until eval "$*"; do
    tries=$((tries + 1))
    [ $tries -ge 300 ] && return 1
    sleep 0.1
  done
}

wait_for '[ -e /sys/block/vda ] && [ -e /sys/block/vdb ] && [ -e /sys/block/nvme0n1 ]' &&
  wait_for '[ -e /sys/block/mmcblk0 ]' &&
  wait_for '[ -n "$(stick_on_port 1)" ] && [ -n "$(stick_on_port 2)" ] && [ -n "$(stick_on_port 3)" ]' ||
  say "not every disk appeared: $(ls /sys/block)"
# The system disks by their virtio serial numbers.
for disk in /sys/block/vd*; do
  case "$(cat "$disk/serial" 2>/dev/null)" in
    boot) boot_disk=$(basename "$disk") ;;
    swap) swap_disk=$(basename "$disk") ;;
  esac
done
mkdir -p /var/lib
mount -t vfat "/dev/$boot_disk" /boot || dmesg | tail -n 5
swapon "/dev/$swap_disk" || dmesg | tail -n 5
# What the package's post-install step does.
ravik-unix-device-helper --maintenance-provision >/dev/null ||
  say "could not provision the maintenance lock"
say "disks: $(for disk in /sys/block/*; do printf '%s(%s) ' "${disk##*/}" "$(cat "$disk/queue/logical_block_size")"; done)"

# The kernel's block uevents, each with the disk sequence it announces, for
# each scenario's log.
cat >/tmp/uevent-log <<'EOF'
#!/bin/sh
case "$SUBSYSTEM" in
  block | scsi | mmc) echo "$(cut -d ' ' -f 1 /proc/uptime) $ACTION $DEVPATH${DISKSEQ:+ diskseq=$DISKSEQ}${DISK_MEDIA_CHANGE:+ media_change}" >>/tmp/uevents ;;
esac
EOF
chmod +x /tmp/uevent-log
uevent /tmp/uevent-log &

only=$(sed -n 's/.*lab\.only=\([^ ]*\).*/\1/p' /proc/cmdline)
wanted() {
  [ -z "$only" ] && return 0
  case ",$only," in *",$1,"*) return 0 ;; esac
  return 1
}

# Each scenario's kernel messages, from a mark, for the console log.
kernel_log_since() { dmesg | awk -v from="$1" 'index($0, from) { on = 1; next } on'; }

# scenario NAME FUNCTION: runs FUNCTION and reports its verdict and time; the
# function sets `detail` and returns non-zero on failure.
scenario() {
  wanted "$1" || return 0
  say "=== $1"
  echo "lab-mark $1" >/dev/kmsg
  started=$(uptime_now)
  : >/tmp/uevents
  detail=""
  verdict_override=""
  if "$2"; then verdict=pass; else verdict=${verdict_override:-fail}; fi
  kernel_log_since "lab-mark $1" | sed 's/^/kernel: /'
  sed 's/^/uevent: /' /tmp/uevents
  echo "@@result $1 $verdict $(elapsed "$started") $detail"
}

# client ARGS...: the client as the application runs it; its JSON events in
# /tmp/events, its messages in /tmp/errors.
client() {
  ravik-device-client "$@" </dev/null >/tmp/events 2>/tmp/errors
  status=$?
  sed 's/^/client: /' /tmp/errors
  return $status
}
# write_image IMAGE TARGET [OPTIONS...]: the client's write with the image's
# digest given, as a published image has it (no hashing pass first). A
# repeatable option such as --boot-file goes last: it takes what follows.
write_image() {
  image=$1
  shift
  client write "$image" --sha256 "$(cut -d ' ' -f 1 "$image.sha256")" --yes "$@"
}
event_count() { grep -c "\"event\":\"$1\"" /tmp/events; }

# The write, verification, boot-file edit and release of IMAGE onto the disk
# on PORT, then its departure, re-attachment and the guest's own vfat reading
# the edited file.
write_edit_release() {  # PORT IMAGE STICK_ID_OR_EMPTY
  port=$1 image=$2 id=$3
  if [ -n "$id" ]; then disk=$(stick_on_port "$port"); else disk=mmcblk0; fi
  [ -n "$disk" ] || { detail="no disk on port $port"; return 1; }
  printf 'edited on %s\n' "$disk" >/tmp/edited.txt
  say "$disk diskseq $(cat /sys/block/$disk/diskseq) before the write"
  if ! write_image "/images/$image" "/dev/$disk" --json --end release \
    --boot-file config.txt=/tmp/edited.txt; then
    detail="write to $disk failed: $(tail -n 1 /tmp/errors)"
    return 1
  fi
  [ "$(event_count released)" = 1 ] || { detail="no released event"; return 1; }
  [ -e "/sys/block/$disk" ] && { detail="$disk still present after release"; return 1; }
  if [ -n "$id" ]; then
    host unplug "$id" && host unplugged "$id" && host plug "$id" ||
      { detail="re-attach failed"; return 1; }
    wait_for '[ -n "$(stick_on_port "$port")" ] && [ -e /dev/$(stick_on_port "$port")1 ]' ||
      { detail="$image: the stick did not come back"; return 1; }
    disk=$(stick_on_port "$port")
    part=/dev/${disk}1
  else
    echo mmc0:0001 >/sys/bus/mmc/drivers/mmcblk/bind 2>/dev/null ||
      for card in /sys/bus/mmc/devices/*; do basename "$card" >/sys/bus/mmc/drivers/mmcblk/bind; done
    wait_for '[ -e /dev/mmcblk0p1 ]' || { detail="the card did not come back"; return 1; }
    part=/dev/mmcblk0p1
  fi
  mkdir -p /mnt/check
  mount -t vfat -o ro "$part" /mnt/check || { detail="vfat refused $part"; return 1; }
  if cmp -s /mnt/check/config.txt /tmp/edited.txt; then
    detail="$image on $disk: written, verified, edited, released, departed; vfat reads the edit"
    ok=0
  else
    detail="$image on $disk: vfat reads '$(cat /mnt/check/config.txt)'"
    ok=1
  fi
  umount /mnt/check
  return $ok
}

usb_mbr() { write_edit_release 1 mbr.img stick; }
usb_4k() { write_edit_release 2 mbr4k.img stick4k; }
sd_gpt() { write_edit_release "" gpt.img ""; }

# What the disk list offers, and why it withholds the system disks.
list_disks() {
  ravik-device-client list --all --json </dev/null >/tmp/list 2>/tmp/errors || {
    detail="list failed: $(cat /tmp/errors)"
    return 1
  }
  sed 's/^/list: /' /tmp/list
  ok=0
  for disk in "$(stick_on_port 1)" "$(stick_on_port 2)" "$(stick_on_port 3)" mmcblk0; do
    grep -q "\"devicePath\":\"/dev/$disk\".*\"offered\":true" /tmp/list ||
      { detail="$detail /dev/$disk not offered;"; ok=1; }
  done
  for disk in nvme0n1 "$boot_disk" "$swap_disk"; do
    grep -q "\"devicePath\":\"/dev/$disk\".*\"offered\":false,\"reason\":\"[^\"]" /tmp/list ||
      { detail="$detail /dev/$disk offered or without a reason;"; ok=1; }
  done
  [ $ok = 0 ] && detail="sticks and SD card offered; NVMe, /boot and swap withheld with reasons"
  return $ok
}

# refuse TARGET: a write that must be refused before anything is written.
refuse() {
  before=$(dd if="$2" bs=1M count=4 2>/dev/null | sha256sum)
  if write_image /images/small.img "$1" --json; then
    detail="$detail $1 was written;"
    return 1
  fi
  if [ "$(event_count written)" != 0 ] || [ "$(dd if="$2" bs=1M count=4 2>/dev/null | sha256sum)" != "$before" ]; then
    detail="$detail $1 changed;"
    return 1
  fi
  say "refused $1: $(tail -n 1 /tmp/errors)"
}

refusals() {
  pull=$(stick_on_port 3)
  stick=$(stick_on_port 1)
  ok=0
  refuse /dev/nvme0n1 /dev/nvme0n1 || ok=1
  refuse "/dev/$boot_disk" "/dev/$boot_disk" || ok=1
  refuse "/dev/$swap_disk" "/dev/$swap_disk" || ok=1
  refuse "/dev/${stick}1" "/dev/$stick" || ok=1
  # A stick that a device-mapper map is built on, as LVM or an encrypted
  # volume would hold it.
  dmsetup create lab-member --table "0 8192 linear /dev/$pull 0" ||
    { detail="dmsetup failed"; return 1; }
  say "holders of $pull: $(ls /sys/block/$pull/holders)"
  refuse "/dev/$pull" "/dev/$pull" || ok=1
  dmsetup remove lab-member
  [ $ok = 0 ] && detail="NVMe, /boot, swap, a partition and a device-mapper member refused, unchanged"
  return $ok
}

# A stick whose partition the desktop mounted: it is unmounted by device
# number, written, and nothing else is unmounted.
automount() {
  stick=$(stick_on_port 1)
  mkdir -p /media/stick
  mount -t vfat "/dev/${stick}1" /media/stick || { detail="could not mount ${stick}1"; return 1; }
  others=$(grep -v "^/dev/${stick}1 " /proc/mounts)
  swaps=$(cat /proc/swaps)
  write_image /images/gpt.img "/dev/$stick" --json --end close ||
    { detail="write failed: $(tail -n 1 /tmp/errors)"; return 1; }
  if grep -q "^/dev/${stick}1 " /proc/mounts; then
    detail="${stick}1 still mounted"
    return 1
  fi
  if [ "$(cat /proc/mounts)" != "$others" ] || [ "$(cat /proc/swaps)" != "$swaps" ]; then
    detail="other mounts or swap changed"
    return 1
  fi
  detail="${stick}1 unmounted, GPT image written and verified, /boot and swap kept"
}

# wait_for_event NAME [STAGE]: until the client's events show NAME, while
# the client ($writer) runs.
wait_for_event() {
  pattern="\"event\":\"$1\"${2:+.*\"stage\":\"$2\"}"
  wait_for "grep -q '$pattern' /tmp/events || ! kill -0 $writer 2>/dev/null"
  grep -q "$pattern" /tmp/events
}

# While the helper holds the stick, another exclusive opener (device mapper
# claims its disks exclusively) and a mount of its partition fail.
exclusive() {
  pull=$(stick_on_port 3)
  host throttle pull 2097152 || return 1
  : >/tmp/events
  write_image /images/small.img "/dev/$pull" --json --end close &
  writer=$!
  wait_for_event progress WRITE || { detail="the write did not start"; return 1; }
  ok=0
  # The session is confined: no new privileges, a seccomp filter, and only
  # CAP_SYS_ADMIN (bit 21) left: the other scenarios show that the SCSI eject,
  # the sysfs removals and the unmount need no more.
  # The session and its unmounting process run the same executable; the
  # session's parent is the client's launcher, the unmounting process's the
  # session.
  helper="" unmounter=""
  program=/usr/libexec/ravik/ravik-unix-device-helper
  for process in /proc/[0-9]*; do
    [ "$(readlink "$process/exe")" = $program ] || continue
    parent=$(awk '$1 == "PPid:" { print $2 }' "$process/status")
    if [ "$(readlink "/proc/$parent/exe")" = $program ]; then
      unmounter=${process#/proc/}
    else
      helper=${process#/proc/}
    fi
  done
  confinement=$(grep -E '^(NoNewPrivs|Seccomp|CapEff|CapPrm|CapBnd):' "/proc/$helper/status" | tr -s ' \t\n' ' ')
  say "helper $helper: $confinement"
  case "$confinement" in
    *"NoNewPrivs: 1 Seccomp: 2 "*) ;;
    *) detail="helper not confined: $confinement;"; ok=1 ;;
  esac
  for set in CapEff CapPrm CapBnd; do
    case "$confinement" in
      *"$set: 0000000000200000"*) ;;
      *) detail="$detail helper $set is not CAP_SYS_ADMIN alone;"; ok=1 ;;
    esac
  done
  # The kernel shows no Landlock domain per process; what it does show: the
  # module is active, and the session started the unmounting process it
  # starts only to confine its files in Landlock layers before the first frame.
  [ -e /sys/kernel/security/lsm ] || mount -t securityfs securityfs /sys/kernel/security
  modules=$(cat /sys/kernel/security/lsm 2>/dev/null)
  say "security modules: $modules; $(dmesg | grep -i 'landlock:' | tail -n 1)"
  case ",$modules," in
    *,landlock,*) ;;
    *) detail="$detail Landlock is not among the kernel's security modules;"; ok=1 ;;
  esac
  if [ -n "$unmounter" ]; then
    say "unmounting process $unmounter: $(grep -E '^(NoNewPrivs|Seccomp|CapEff):' "/proc/$unmounter/status" | tr -s ' \t\n' ' ')"
  else
    detail="$detail the session started no unmounting process;"; ok=1
  fi
  if dmsetup create lab-claim --table "0 8192 linear /dev/$pull 0" 2>/tmp/dm-error; then
    detail="device mapper claimed the held stick;"
    dmsetup remove lab-claim
    ok=1
  fi
  mkdir -p /media/pull
  if mount -t vfat "/dev/${pull}1" /media/pull 2>/tmp/mount-error; then
    detail="$detail its partition was mounted;"
    umount /media/pull
    ok=1
  fi
  host throttle pull 0
  wait $writer || { detail="$detail the write failed: $(tail -n 1 /tmp/errors)"; ok=1; }
  [ $ok = 0 ] && detail="confined (NoNewPrivs, Seccomp 2, CAP_SYS_ADMIN); while held: dmsetup '$(tail -n 1 /tmp/dm-error)'; mount '$(tail -n 1 /tmp/mount-error)'"
  return $ok
}

# pull_during STAGE EVENT IMAGE [OPTIONS...]: pulls the throttled stick once
# the client's events show EVENT (and STAGE) and $pull_delay seconds more,
# then waits for the client to end and plugs the stick back in.
pull_during() {
  stage=$1 event=$2 image=$3
  shift 3
  pull=$(stick_on_port 3)
  : >/tmp/events
  write_image "$image" "/dev/$pull" --json "$@" &
  writer=$!
  wait_for_event "$event" "$stage" || { kill $writer; detail="no $event $stage"; return 1; }
  sleep "${pull_delay:-0}"
  host unplug pull || return 1
  pulled=$(uptime_now)
  wait_for "! kill -0 $writer 2>/dev/null" || { detail="the client hangs"; kill $writer; return 1; }
  wait $writer
  status=$?
  took=$(elapsed "$pulled")
  host unplugged pull && host throttle pull 0 && host plug pull || return 1
  wait_for '[ -n "$(stick_on_port 3)" ]' || { detail="the stick did not come back"; return 1; }
  message=$(tail -n 1 /tmp/errors)
  if [ $status = 0 ]; then
    detail="the client succeeded although the stick was pulled"
    return 1
  fi
  # The client ends with what reached the disk; the cause is an earlier line.
  if ! grep -qE 'DEVICE_DISCONNECTED|WRITE_FAILED|VERIFY_FAILED|BOOT_' /tmp/errors; then
    detail="unexpected error: $(tr '\n' ' ' </tmp/errors)"; return 1
  fi
  detail="client ended ${took} s after the pull: $message"
}

pull_write() {
  host throttle pull 2097152 && pull_during WRITE progress /images/pull.img --end release
}
pull_verify() {
  # A separate verification pass: with the prefix held back the helper's own
  # readback would be the verification.
  host throttle pull 4194304 &&
    pull_during VERIFY progress /images/pull.img --protected-prefix 0 --end release
}
pull_boot() {
  head -c 1000000 /dev/urandom >/tmp/big.txt
  # The replacement starts with a recheck of the held disk; the pull lands in
  # the file's clusters, which take about a second at this rate.
  host throttle pull 1048576 && pull_delay=0.4 &&
    pull_during "" bootOpened /images/small.img --no-verify --end release \
      --boot-file config.txt=/tmp/big.txt || return 1
  pull=$(stick_on_port 3)
  mkdir -p /media/pull
  wait_for "[ -e /dev/${pull}1 ]" || { detail="$detail; no partition"; return 1; }
  fsck.fat -n "/dev/${pull}1" >/tmp/fsck 2>&1 || { detail="$detail; fsck.fat: $(tail -n 1 /tmp/fsck)"; return 1; }
  mount -t vfat -o ro "/dev/${pull}1" /media/pull || { detail="$detail; vfat refused it"; return 1; }
  if cmp -s /media/pull/config.txt /tmp/big.txt; then
    detail="$detail; afterwards config.txt is the new file, whole"
  elif [ "$(cat /media/pull/config.txt)" = "image=small" ]; then
    detail="$detail; afterwards config.txt is the old file, whole"
  else
    detail="$detail; config.txt is neither file ($(wc -c </media/pull/config.txt) bytes)"
    umount /media/pull
    return 1
  fi
  umount /media/pull
}

scenario list list_disks
scenario refusals refusals
scenario exclusive exclusive
scenario automount automount
scenario usb-mbr usb_mbr
scenario usb-4k usb_4k
scenario sd-gpt sd_gpt
scenario pull-write pull_write
scenario pull-verify pull_verify
scenario pull-boot pull_boot

# Leave the system disks as they were found, for the host's digests.
swapoff "/dev/$swap_disk"
umount /boot
echo "@@done"
poweroff -f
