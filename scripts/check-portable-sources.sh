#!/usr/bin/env bash
# Fails when a source built on every system (the production helper's code
# outside the Linux backend and the *_linux.cc platform files) names a call
# that only Linux has, or when the CMake files stop selecting the macOS
# platform on macOS. Each such source is compiled for syntax as if for
# another system: __linux__ is hidden, so Linux-only branches drop out, and
# scripts/linux_only_calls.h poisons the Linux-only names that remain.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
compiler=${CXX:-c++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

flags=(-std=c++23 -U__linux__ -U__linux -Ulinux -U__gnu_linux__ -I"$root/src")
# The poisoning header is read once, as a precompiled header; poisoning a
# name the system defines as a macro is the point, so its warning is off.
cp "$root/scripts/linux_only_calls.h" "$work/"
"$compiler" "${flags[@]}" -w -x c++-header "$work/linux_only_calls.h" \
  -o "$work/linux_only_calls.h.gch"
flags+=(-Wall -Wextra -Werror -Winvalid-pch)

# Built on Linux only: the Linux backend, the job engine, the command line,
# the desktop application, the testing helper and the platform files. Built on macOS only (checked against stubs elsewhere):
# the Apple framework layer and the *_macos.cc platform files.
mapfile -t sources < <(cd "$root" && git ls-files 'src/*.cc' |
  grep -Ev '^src/(platform/linux|job|cli|desktop)/|_linux\.cc$|_macos\.cc$|^src/main/main_testing\.cc$|^src/platform/macos/apple_mac_system\.cc$')
echo "checking ${#sources[@]} sources built on every system for Linux-only calls"
# One translation unit per directory, as the unity builds compile them, so
# that the heavy headers are read a dozen times rather than a hundred.
for source in "${sources[@]}"; do
  unit=$work/$(dirname "$source" | tr / _).cc
  echo "#include \"$root/$source\"" >>"$unit"
done
printf '%s\n' "$work"/*.cc |
  xargs -P "$(nproc)" -I{} "$compiler" "${flags[@]}" -fsyntax-only \
    -include "$work/linux_only_calls.h" {}
echo "no Linux-only call in a source built on every system"

# The CMake files must select the macOS platform by system: a tree
# configured as for macOS (with this host's libraries standing in for the
# SDK's) builds the production helper over the frameworks, without libmount
# or the Linux backend.
lib=/usr/lib/$("$compiler" -print-multiarch)
cmake -S "$root" -B "$work/darwin" -G Ninja -DCMAKE_SYSTEM_NAME=Darwin \
  -DCMAKE_OSX_SYSROOT=/ -DZLIB_LIBRARY="$lib/libz.so" \
  -DOPENSSL_CRYPTO_LIBRARY="$lib/libcrypto.so" -DOPENSSL_SSL_LIBRARY="$lib/libssl.so" \
  >"$work/darwin.log" 2>&1 || { cat "$work/darwin.log"; exit 1; }
if grep -Eq 'libmount|ravik_platform_linux' "$work/darwin/build.ninja" ||
   ! grep -q 'framework DiskArbitration' "$work/darwin/build.ninja"; then
  echo "a tree configured for macOS does not select the macOS platform" >&2
  exit 1
fi
echo "a tree configured for macOS selects the macOS platform"
