#!/usr/bin/env bash
# Builds the Debian package of the helper and the client from the build tree
# (configured and built like scripts/test.sh does, in build/ unless a tree is
# given) and prints its metadata and contents.
# Usage: scripts/package.sh [BUILD_DIR [OUTPUT_DIR]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
out=$(realpath -m "${2:-$build/package}")

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DRAVIK_WERROR=ON >/dev/null
fi
targets=(ravik-unix-device-helper ravik-device-client ravik_package_changelog)
if grep -q '^RAVIK_BUILD_DESKTOP:BOOL=ON' "$build/CMakeCache.txt"; then
  targets+=(ravik-device-writer ravik_writer_man)
fi
# The manual page is made only where help2man is installed.
if command -v help2man >/dev/null; then targets+=(ravik_client_man); fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
mkdir -p "$out"
(cd "$out" && cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
deb=$(ls -t "$out"/*.deb | head -n 1)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "$deb"
