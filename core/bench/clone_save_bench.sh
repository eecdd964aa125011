#!/usr/bin/env bash
# Times a one-byte change to a 4 GiB file saved by temporary file and rename
# on a loop-mounted XFS with reflink, where the save clones the file's blocks,
# against cp --reflink=always of the same file there, and against the same
# save on an XFS made without reflink, where it writes every byte.
#
#   clone_save_bench.sh <build tree> [parent of the scratch directory]
#
# Builds nothing: the build tree (Release, -DSKARN_BUILD_BENCH=ON) must hold
# core/bench/one_byte_save_tool. Needs root, for the loop mounts, and
# mkfs.xfs (Debian's xfsprogs); without them it says so and exits 0. The
# scratch directory (default: /tmp) holds the two images, sparse, up to about
# 14 GiB of disk in all; everything is unmounted and removed at the end.
#
# Each of 7 rounds times the three commands once, in an order that rotates
# from round to round, so that a noisy moment of the shared machine falls on
# all of them alike. Before each command the outputs are removed and the
# dirty pages written back (sync). The inputs stay in the page cache.
# Reported: medians of the whole commands and of the save as the tool times
# it, the ratios, and the load at the start and at the end.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 <build tree> [parent of the scratch directory]" >&2
    exit 2
fi
tool="$(cd "$1" && pwd)/core/bench/one_byte_save_tool"
if [[ ! -x "$tool" ]]; then
    echo "no $tool: configure the tree with -DSKARN_BUILD_BENCH=ON and build one_byte_save_tool" >&2
    exit 1
fi
if [[ $(id -u) -ne 0 ]] || ! command -v mkfs.xfs >/dev/null; then
    echo "skipped: needs root and mkfs.xfs (Debian's xfsprogs) to loop-mount XFS images"
    exit 0
fi
rounds=7
size_mib=4096

work=$(mktemp -d "${2:-/tmp}/clone_save_bench.XXXXXX")
cleanup() {
    for mnt in "$work/reflink" "$work/plain"; do mountpoint -q "$mnt" && umount "$mnt"; done
    rm -rf "$work"
}
trap cleanup EXIT

# An XFS with (reflink=1) or without (reflink=0) shared extents, mounted at $work/<name>.
make_volume() {
    local name=$1 reflink=$2
    truncate -s 16G "$work/$name.img"
    mkfs.xfs -q -m "reflink=$reflink" "$work/$name.img"
    mkdir "$work/$name"
    if ! mount -o loop "$work/$name.img" "$work/$name"; then
        echo "skipped: cannot loop-mount an XFS image here"
        exit 0
    fi
}
make_volume reflink 1
make_volume plain 0

echo "load at the start: $(uptime)"
echo "writing the ${size_mib} MiB inputs..."
head -c $((4 << 20)) /dev/urandom >"$work/chunk"
for volume in reflink plain; do
    for ((i = 0; i < size_mib / 4; ++i)); do cat "$work/chunk"; done >"$work/$volume/input.bin"
done
sync

now_ms() { echo $(($(date +%s%N) / 1000000)); }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

names=(cp_reflink save_reflink save_plain)
# One timed run of command `name`: whole-command milliseconds to $work/<name>.total,
# the tool's own save time to $work/<name>.save.
run_one() {
    local name=$1 volume=${1#*_} start end
    local input="$work/$volume/input.bin" output="$work/$volume/$name.bin"
    rm -f "$output"
    sync
    start=$(now_ms)
    case $name in
        cp_*) cp --reflink=always "$input" "$output" ;;
        *) "$tool" "$input" "$output" 2>"$work/stderr" ;;
    esac
    end=$(now_ms)
    echo $((end - start)) >>"$work/$name.total"
    [[ $name == cp_reflink ]] || awk '$1 == "save" { print $2 }' "$work/stderr" >>"$work/$name.save"
}

for ((round = 0; round < rounds; ++round)); do
    for ((k = 0; k < ${#names[@]}; ++k)); do run_one "${names[(round + k) % ${#names[@]}]}"; done
done
for volume in reflink plain; do
    differing=$(cmp -l "$work/$volume/input.bin" "$work/$volume/save_$volume.bin" | wc -l || true)
    [[ $differing -eq 1 ]] || echo "warning: the save on $volume differs from its input in $differing bytes, not 1"
done

declare -A total save
for name in "${names[@]}"; do total[$name]=$(median <"$work/$name.total"); done
for name in save_reflink save_plain; do save[$name]=$(median <"$work/$name.save"); done
echo
echo "medians of $rounds alternating rounds, milliseconds (one byte changed in ${size_mib} MiB, saved by rename):"
awk -v cp="${total[cp_reflink]}" -v sr="${total[save_reflink]}" -v sp="${total[save_plain]}" \
    -v pr="${save[save_reflink]}" -v pp="${save[save_plain]}" 'BEGIN {
    printf "  cp --reflink=always (XFS, reflink)     whole %8.1f\n", cp
    printf "  save (XFS, reflink: cloned)           whole %8.1f (%.2fx cp)   save %8.1f\n", sr, sr / cp, pr
    printf "  save (XFS, no reflink: written)       whole %8.1f (%.1fx cp)   save %8.1f (%.0fx the cloned save)\n", sp, sp / cp, pp, pp / pr
    printf "target: the cloned save under 100 ms: %s\n", pr < 100 ? "met" : "NOT met"
}'
echo "load at the end: $(uptime)"
