#!/usr/bin/env bash
# Installs the sample package set into a fresh directory exactly as an installation writes it
# onto a new disk, then shows the package database.
#   samples/demo.sh [BUILD_DIR]     (root: rpx install uses a private mount namespace)
set -euo pipefail
build=${1:-build}
rpx=$build/tools/rpx/rpx
samples=$build/samples
for needed in "$rpx" "$samples/system.rpx" "$samples/routing.rpx" "$samples/extras.rpx"; do
    [[ -e $needed ]] || { echo "demo: $needed is missing; build first (cmake --build $build)" >&2; exit 1; }
done
target=$(mktemp -d /tmp/rpx-demo-XXXXXX)
trap 'rm -rf "$target"' EXIT

echo "== rpx install --root $target system.rpx routing.rpx extras.rpx"
"$rpx" install --root "$target" "$samples/system.rpx" "$samples/routing.rpx" "$samples/extras.rpx" |
    sed -e 's/\x1b\[?25[lh]//g' -e 's/.*\r//'
echo
echo "== rpx list --root $target"
"$rpx" list --root "$target"
echo
echo "== files below $target"
(cd "$target" && find . -path ./var -prune -o -type f -print | sort)
echo "./var/pdb/system/image: $(stat -c %s "$target/var/pdb/system/image") bytes, the package file itself"
