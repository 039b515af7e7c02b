#!/usr/bin/env bash
# The hardware lab: the production helper and ravik-device-client, as root in
# a QEMU guest whose disks are real device classes (USB mass storage with 512-
# and 4096-byte blocks, an SD card, NVMe, virtio disks for /boot and swap),
# each backed by a file of the build tree. One guest runs every scenario in
# sequence (tests/vm/guest-init.sh); tests/vm/driver.py starts it, answers its
# requests to pull and re-attach sticks through QMP and judges the results.
#
# Usage: tests/vm/lab.sh [BUILD_DIR] [SCENARIO...]
# With no scenario every one runs. RAVIK_REQUIRE_VM=1 turns a missing QEMU or
# kernel into a failure; otherwise the lab is skipped with a message.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
work=$build/vm
mkdir -p "$work"

unavailable() {
  if [[ ${RAVIK_REQUIRE_VM:-0} == 1 ]]; then
    echo "hardware lab: $1" >&2
    exit 1
  fi
  echo "hardware lab: skipped: $1"
  exit 0
}

command -v qemu-system-x86_64 >/dev/null ||
  unavailable "qemu-system-x86_64 is not installed (scripts/install-deps.sh installs it)"
for tool in busybox depmod modprobe cpio sfdisk mkfs.fat fsck.fat mkswap mtools dmsetup; do
  command -v "$tool" >/dev/null || unavailable "$tool is not installed"
done
for binary in ravik-unix-device-helper ravik-device-client; do
  [[ -x $build/bin/$binary ]] || unavailable "$build/bin/$binary is not built"
done

# The kernel: the package the Debian meta-package points at, unpacked (only
# the boot image and the storage, USB, MMC, FAT and device-mapper modules)
# into the build tree and kept there; it is never installed on the host.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
kimg=$(find "$work" -maxdepth 1 -name 'kernel-linux-image-*' -type d 2>/dev/null | sort | tail -n 1)
if [[ -z $kimg || ! -f $kimg/.complete ]]; then
  package=$(kernel_package)
  if [[ -z $package && $(id -u) == 0 ]]; then
    apt-get update -qq >/dev/null 2>&1 || true
    package=$(kernel_package)
  fi
  [[ -n $package ]] || unavailable "no linux-image-amd64 kernel package is known to apt"
  kimg=$work/kernel-$package
  rm -rf "$kimg" "$work"/download && mkdir -p "$kimg" "$work/download"
  (cd "$work/download" && apt-get download "$package" >/dev/null 2>&1) ||
    unavailable "could not download $package"
  dpkg-deb --fsys-tarfile "$work"/download/"$package"_*.deb |
    tar -x -C "$kimg" --wildcards './boot/vmlinuz-*' './lib/modules/*/modules.order' \
      './lib/modules/*/modules.builtin*' \
      './lib/modules/*/kernel/'{drivers/usb,drivers/scsi,drivers/mmc,drivers/nvme}'/*' \
      './lib/modules/*/kernel/'{drivers/block,drivers/md,drivers/virtio,drivers/char}'/*' \
      './lib/modules/*/kernel/'{fs/fat,fs/nls,lib,block,crypto}'/*'
  depmod -b "$kimg" "$(ls "$kimg/lib/modules")"
  rm -rf "$work/download"
  touch "$kimg/.complete"
fi
kver=$(ls "$kimg/lib/modules")
vmlinuz=$kimg/boot/vmlinuz-$kver

# The initramfs, rebuilt each run from the build tree in a few seconds.
rootfs=$work/rootfs
rm -rf "$rootfs"
mkdir -p "$rootfs"/{bin,sbin,usr/bin,usr/sbin,lib64,proc,sys,dev,tmp,boot,mnt,images,etc}
cp "$(command -v busybox)" "$rootfs/bin/busybox"
modules=(usb-storage xhci-pci sd_mod sdhci-pci mmc_block virtio_pci virtio_blk nvme
  dm-mod vfat nls_cp437 nls_ascii nls_utf8 loop)
mkdir -p "$rootfs/lib/modules/$kver"
cp "$kimg/lib/modules/$kver"/modules.{order,builtin,builtin.modinfo} "$rootfs/lib/modules/$kver/"
for module in "${modules[@]}"; do
  modprobe -d "$kimg" -S "$kver" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
done | sort -u | while read -r ko; do
  relative=${ko#"$kimg"/}
  mkdir -p "$rootfs/$(dirname "$relative")"
  cp "$ko" "$rootfs/$relative"
done
depmod -b "$rootfs" "$kver"

copy_with_libraries() {
  local binary=$1 destination=$2
  cp "$binary" "$rootfs/$destination"
  ldd "$binary" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }' | while read -r library; do
    mkdir -p "$rootfs/$(dirname "$library")"
    cp -L "$library" "$rootfs/$library"
  done
}
# The installed layout: the client finds the helper relative to itself.
mkdir -p "$rootfs/usr/libexec/ravik"
copy_with_libraries "$build/bin/ravik-unix-device-helper" usr/libexec/ravik/ravik-unix-device-helper
copy_with_libraries "$build/bin/ravik-device-client" usr/bin/ravik-device-client
copy_with_libraries "$(command -v sfdisk)" sbin/sfdisk
copy_with_libraries "$(command -v fsck.fat)" sbin/fsck.fat
copy_with_libraries "$(command -v dmsetup)" sbin/dmsetup
copy_with_libraries "$(command -v mtools)" usr/bin/mtools
for tool in mcopy mtype mdir; do ln -s mtools "$rootfs/usr/bin/$tool"; done
cp "$root/tests/vm/guest-init.sh" "$rootfs/init"
chmod 0755 "$rootfs/init"

# The images the guest writes, made here with the host's tools.
images=$rootfs/images
make_image() {  # make_image FILE LABEL_TYPE SECTOR_SIZE MIB CONFIG
  local file=$1 table=$2 sector=$3 mib=$4 config=$5 start=$((1048576 / $3))
  local length=$(((mib - 2) * 1048576 / sector))  # a MiB at each end
  truncate -s "${mib}M" "$file"
  if ((sector == 512)); then
    printf 'label: %s\nstart=%d, size=%d, type=%s\n' "$table" "$start" "$length" \
      "$([[ $table == dos ]] && echo e || echo EBD0A0A2-B9E5-4433-87C0-68B6B72699C7)" |
      sfdisk --quiet "$file"
  else
    # This sfdisk has no sector-size option: one MBR entry in device blocks.
    python3 -c 'import struct, sys
entry = struct.pack("<B3sB3sII", 0, b"\xfe\xff\xff", 0x0e, b"\xfe\xff\xff",
                    int(sys.argv[2]), int(sys.argv[3]) - int(sys.argv[2]))
with open(sys.argv[1], "r+b") as image:
    image.seek(446); image.write(entry); image.seek(510); image.write(b"\x55\xaa")' \
      "$file" "$start" $((start + length))
  fi
  # Small volumes, and 4096-byte sectors, hold too few clusters for FAT16.
  mkfs.fat -F "$((sector == 512 && mib > 8 ? 16 : 12))" -S "$sector" -n RAVIKLAB --offset "$start" \
    "$file" $(((mib - 2) * 1024)) >/dev/null 2>&1
  printf '%s' "$config" >"$work/config.txt"
  mcopy -i "$file@@1M" "$work/config.txt" ::config.txt
  # Non-zero bytes past the file system, so that a write that skips them shows.
  head -c 65536 /dev/urandom | dd of="$file" bs=64K seek=$((mib * 16 - 1)) conv=notrunc status=none
  sha256sum "$file" >"$file.sha256"
}
make_image "$images/mbr.img" dos 512 12 "image=mbr"$'\n'
make_image "$images/gpt.img" gpt 512 6 "image=gpt"$'\n'
make_image "$images/mbr4k.img" dos 4096 12 "image=mbr4k"$'\n'
make_image "$images/pull.img" dos 512 12 "image=pull"$'\n'
make_image "$images/small.img" dos 512 5 "image=small"
(cd "$rootfs" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"

# The guest's disks. The USB stick's backing file starts out with a FAT
# partition (the desktop automounts it); the others are blank or patterned.
disks=$work/disks
rm -rf "$disks" && mkdir -p "$disks"
cp "$images/mbr.img" "$disks/stick.img" && truncate -s 64M "$disks/stick.img"
cp "$images/mbr.img" "$disks/pull.img" && truncate -s 64M "$disks/pull.img"
truncate -s 64M "$disks/stick4k.img" "$disks/sd.img"
head -c 64M /dev/urandom >"$disks/nvme.img"
truncate -s 32M "$disks/boot.img" && mkfs.fat -F 16 -n BOOT "$disks/boot.img" >/dev/null
echo "kernel=vmlinuz" >"$work/config.txt" && mcopy -i "$disks/boot.img" "$work/config.txt" ::config.txt
head -c 16M /dev/zero >"$disks/swap.img" && mkswap "$disks/swap.img" >/dev/null 2>&1

exec python3 "$root/tests/vm/driver.py" --kernel "$vmlinuz" --initrd "$work/initramfs.cpio" \
  --disks "$disks" --log "$work/console.log" "$@"
