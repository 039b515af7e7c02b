#!/usr/bin/env bash
# Usage: package_test.sh BUILD_DIR VERSION [DESKTOP]
# Builds the Debian package from the already built tree and checks its files,
# permissions, dependencies and post-install step; then installs the tree into
# a temporary DESTDIR and shows that the installed client starts the installed
# helper.
set -euo pipefail
build=$1
version=$2
desktop=${3:-OFF}
command -v dpkg-deb >/dev/null || { echo "dpkg-deb is missing"; exit 77; }

work=$(mktemp -d)
loop=""
cleanup() {
  if [ -n "$loop" ]; then losetup -d "$loop"; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# The package.
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log") ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pkg/*.deb)
[ "$(basename "$deb")" = "ravik-unix-device-helper_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package file name $(basename "$deb")"

# Exactly the two programs, root-owned and 0755, the client's completion and
# manual page, the copyright and changelog; the testing helper, tools, tests
# and benchmarks are never shipped.
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}')
# With the desktop application: the window, its launcher entry, AppStream
# metadata, icon and polkit action as well.
app_id=org.ravik.DeviceWriter
# A line for the desktop application's files only; nothing otherwise. (A
# bare `[ ] && echo` would end the assignment below with status 1 and stop
# the script under set -e.)
desktop_line() { if [ "$desktop" = ON ]; then echo "$1"; fi; }
expected="-rwxr-xr-x root/root ./usr/bin/ravik-device-client
$(desktop_line "-rwxr-xr-x root/root ./usr/bin/ravik-device-writer")
-rwxr-xr-x root/root ./usr/libexec/ravik/ravik-unix-device-helper
$(desktop_line "-rw-r--r-- root/root ./usr/share/applications/$app_id.desktop")
-rw-r--r-- root/root ./usr/share/bash-completion/completions/ravik-device-client
-rw-r--r-- root/root ./usr/share/doc/ravik-unix-device-helper/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/ravik-unix-device-helper/copyright
$(desktop_line "-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/$app_id.svg")
-rw-r--r-- root/root ./usr/share/man/man1/ravik-device-client.1.gz
$(desktop_line "-rw-r--r-- root/root ./usr/share/man/man1/ravik-device-writer.1.gz")
$(desktop_line "-rw-r--r-- root/root ./usr/share/metainfo/$app_id.metainfo.xml")
$(desktop_line "-rw-r--r-- root/root ./usr/share/polkit-1/actions/$app_id.policy")"
expected=$(grep -v '^$' <<<"$expected")
[ "$files" = "$expected" ] || fail "package files:
$files"

info=$(dpkg-deb --info "$deb")
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = ravik-unix-device-helper ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
depends=$(field Depends)
names=$(sed 's/ ([^)]*)//g; s/, /\n/g' <<<"$depends")
for needed in libc6 libstdc++6 libssl3 libmount1 libcap2 libseccomp2 libarchive13 liblzma5 libzstd1 \
  zlib1g sudo; do
  grep -qFx "$needed" <<<"$names" || fail "Depends lacks $needed: $depends"
done
grep -Eq '^ +[0-9]+ bytes, +[0-9]+ lines +\* +postinst ' <<<"$info" ||
  fail "no executable postinst:
$info"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst >"$work/postinst"
grep -qx '    /usr/libexec/ravik/ravik-unix-device-helper --maintenance-provision' \
  "$work/postinst" || fail "postinst does not provision: $(cat "$work/postinst")"
sh -n "$work/postinst" || fail "postinst is not valid sh"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postrm >"$work/postrm"
grep -qx '    rm -rf /var/lib/ravik' "$work/postrm" || fail "postrm does not purge"

# A staged installation of the same tree.
stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
installed=$(cd "$stage" && find . -type f | sort)
[ "$installed" = "$(awk '{print $3}' <<<"$expected")" ] || fail "installed files: $installed"
if [ "$desktop" = ON ]; then
  # The desktop files as the desktop's own validators judge them (AppStream
  # without network, so that no URL is fetched), and the polkit action: the
  # only program pkexec may run for it is the installed helper, with the
  # authentication kept for the job's further disks.
  share=$stage/usr/share
  desktop-file-validate "$share/applications/$app_id.desktop" ||
    fail "desktop-file-validate"
  appstreamcli validate --no-net --pedantic "$share/metainfo/$app_id.metainfo.xml" ||
    fail "appstreamcli validate"
  policy=$share/polkit-1/actions/$app_id.policy
  /usr/bin/python3 - "$policy" <<'PY' || fail "polkit action: $(cat "$policy")"
import sys
import xml.etree.ElementTree as tree

action = tree.parse(sys.argv[1]).getroot().find("action")
assert action.get("id") == "org.ravik.DeviceWriter.helper", action.get("id")
assert action.findtext("defaults/allow_active") == "auth_admin_keep"
assert "erase" in action.findtext("message")
paths = [a.text for a in action.findall("annotate")
         if a.get("key") == "org.freedesktop.policykit.exec.path"]
assert paths == ["/usr/libexec/ravik/ravik-unix-device-helper"], paths
PY
  /usr/bin/python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
    "$share/icons/hicolor/scalable/apps/$app_id.svg" || fail "icon is no well-formed SVG"
fi
# The changelog's newest entry is this version, and the copyright file is
# machine-readable and grants no licence the project never gave.
doc=$stage/usr/share/doc/ravik-unix-device-helper
gzip -dc "$doc/changelog.gz" | head -n 1 | grep -qF "ravik-unix-device-helper ($version) " ||
  fail "changelog: $(gzip -dc "$doc/changelog.gz" | head -n 1)"
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$doc/copyright" && grep -qx 'License: UNLICENSED' "$doc/copyright" ||
  fail "copyright: $(cat "$doc/copyright")"
helper=$stage/usr/libexec/ravik/ravik-unix-device-helper
[ "$("$helper" --version)" = "$version" ] || fail "installed helper --version"

if [ "$(id -u)" != 0 ]; then
  echo "not root: the installed client's run on a loop device is skipped"
  exit 77
fi
# The installed client picks the installed helper for a block device by
# itself: knowing it is the production helper, it refuses a loop device
# before anything starts, and with that helper gone it names the exact path
# it tried.
"$helper" --maintenance-provision >/dev/null
head -c 1048576 /dev/urandom >"$work/image"
truncate -s 4M "$work/disk"
loop=$(losetup --find --show "$work/disk")
client=$stage/usr/bin/ravik-device-client
if "$client" write --yes "$work/image" "$loop" >/dev/null 2>"$work/err"; then fail "write succeeded"; fi
grep -qF "$loop is a loop device, which only the testing helper takes" "$work/err" ||
  fail "client did not refuse the loop device: $(cat "$work/err")"
mv "$helper" "$helper.moved"
if "$client" write --yes "$work/image" "$loop" >/dev/null 2>"$work/err"; then fail "write succeeded"; fi
grep -qF "the helper $helper cannot be run: " "$work/err" ||
  fail "client did not look for the installed helper: $(cat "$work/err")"
echo "package and staged installation checked"
