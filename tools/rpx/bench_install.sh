#!/usr/bin/env bash
# Benchmark (not a test): `rpx install` of a large package against `tar -xzf` of the same tree,
# side by side, into a fresh target on tmpfs and on an ext4 loop device; then the peak memory
# of an installation of a package of about 1 GB. Everything lives on a tmpfs of a private
# mount namespace and is gone afterwards.
#   tools/rpx/bench_install.sh [BUILD_DIR] [MEGABYTES] [FILES]     (root)
set -euo pipefail
if [[ ${BENCH_INSIDE:-} != 1 ]]; then
    [[ $(id -u) == 0 ]] || { echo "bench: needs root (tmpfs, loop devices, rpx install)" >&2; exit 1; }
    exec env BENCH_INSIDE=1 unshare --mount --propagation private "$0" "$@"
fi

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
megabytes=${2:-240}
files=${3:-3000}
rpx=$build/tools/rpx/rpx
key=$source_dir/keys/dev.sec
work=$(mktemp -d /tmp/rpx-bench-XXXXXX)
loops=()
cleanup() {
    for mountpoint in "$work"/ext4-*; do umount "$mountpoint" 2>/dev/null || true; done
    for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
    umount "$work" 2>/dev/null || true
    rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT
mount -t tmpfs -o size=6g bench "$work"
cd "$work"

echo "generating $files files, about $megabytes MB (half base64 text, half random bytes)"
python3 - "$megabytes" "$files" <<'PY'
import base64, os, random, sys
total, count = int(sys.argv[1]) << 20, int(sys.argv[2])
random.seed(7)
average = total // count
for i in range(count):
    folder = f"tree/usr/share/d{i // 100:03d}"
    os.makedirs(folder, exist_ok=True)
    size = random.randint(average // 4, average * 7 // 4)
    data = os.urandom(size) if i % 2 else base64.b64encode(os.urandom(size * 3 // 4))[:size]
    with open(f"{folder}/f{i:05d}", "wb") as out:
        out.write(data)
PY
cat > manifest <<'M'
name: bigpkg
version: 1.0
build-time: 1700000000
owner: 0 0
M
"$rpx" build --manifest manifest --tree tree --output big.rpx >/dev/null
"$rpx" sign --key "$key" big.rpx >/dev/null
tar -czf tree.tar.gz -C tree .
printf 'tree %s MB in %s files; package %s MB; tar.gz %s MB\n' \
    "$(du -sm tree | cut -f1)" "$(find tree -type f | wc -l)" \
    "$(( $(stat -c %s big.rpx) >> 20 ))" "$(( $(stat -c %s tree.tar.gz) >> 20 ))"

# seconds of one command, its target's file system synced as part of it
timed() {
    local target=$1; shift
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    sync -f "$target"
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}

ext4_target() {
    truncate -s 2G "$1.img"
    mkfs.ext4 -q -F "$1.img"
    local loop
    loop=$(losetup -f --show "$1.img")
    loops+=("$loop")
    mkdir -p "$1"
    mount "$loop" "$1"
}

printf '\n%-14s %14s %14s\n' target "rpx install" "tar -xzf"
for kind in tmpfs ext4; do
    for tool in rpx tar; do
        dir=$work/$kind-$tool
        if [[ $kind == ext4 ]]; then ext4_target "$dir"; else mkdir -p "$dir"; fi
    done
    rpx_seconds=$(timed "$work/$kind-rpx" "$rpx" install --root "$work/$kind-rpx" big.rpx)
    tar_seconds=$(timed "$work/$kind-tar" tar -xzf tree.tar.gz -C "$work/$kind-tar")
    printf '%-14s %12.2f s %12.2f s\n' "$kind" "$rpx_seconds" "$tar_seconds"
    cmp -s "$work/$kind-rpx/usr/share/d000/f00001" tree/usr/share/d000/f00001 ||
        echo "bench: $kind: installed files differ from the tree" >&2
    if [[ $kind == ext4 ]]; then
        umount "$work/$kind-rpx" "$work/$kind-tar"
    fi
    rm -rf "$work/$kind-rpx"* "$work/$kind-tar"*
done
rm -rf tree tree.tar.gz big.rpx

# Peak memory with a package of about 1 GB: 1 GB of payload (read, hashed and copied into the
# image) and 64 MB of files. The child streams, so its peak must not follow the package size.
echo
mkdir -p tree1g/data
head -c 64M /dev/urandom > tree1g/data/blob
truncate -s 1G payload.bin
cat > manifest1g <<'M'
name: huge
version: 1.0
build-time: 1700000000
owner: 0 0
payload: payload.bin
M
"$rpx" build --manifest manifest1g --tree tree1g --output huge.rpx >/dev/null
"$rpx" sign --key "$key" huge.rpx >/dev/null
rm -f payload.bin
mkdir -p target1g
/usr/bin/time -f '%M' -o peak.txt "$rpx" install --root target1g huge.rpx >/dev/null
printf 'package of %s MB: peak resident memory %s KB (rpx and its installer child)\n' \
    "$(( $(stat -c %s huge.rpx) >> 20 ))" "$(cat peak.txt)"
cmp -s huge.rpx target1g/var/pdb/huge/image && echo "image kept: identical to the package file"
small=$work/small
mkdir -p "$small/tree/x" "$small/target"
echo tiny > "$small/tree/x/file"
printf 'name: tiny\nversion: 1.0\nbuild-time: 1\n' > "$small/manifest"
"$rpx" build --manifest "$small/manifest" --tree "$small/tree" --output "$small/tiny.rpx" >/dev/null
"$rpx" sign --key "$key" "$small/tiny.rpx" >/dev/null
/usr/bin/time -f '%M' -o peak-small.txt "$rpx" install --root "$small/target" "$small/tiny.rpx" >/dev/null
printf 'package of 1 KB:   peak resident memory %s KB (the same processes, for comparison)\n' \
    "$(cat peak-small.txt)"
