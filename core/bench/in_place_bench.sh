#!/usr/bin/env bash
# Times saves in place through the journal against the standard tools, in the
# same run, alternating, so that load from other work on the machine falls on
# both alike:
#   - one byte overwritten in a 4 GiB file and in a sparse 100 GiB file,
#     against `dd conv=notrunc,fsync` writing the same byte (whole commands);
#   - 1,000 scattered one-byte overwrites in the 4 GiB file (the save alone);
#   - one byte inserted at offset 0 of the 4 GiB file, against `cp` of the
#     file and `cp` followed by `sync` of the copy (whole commands), with the
#     largest size the journal reaches on the way.
#
#   in_place_bench.sh <release build tree> [parent of the scratch directory] [runs]
#
# The build tree must hold core/bench/in_place_tool (configure with
# -DCMAKE_BUILD_TYPE=Release, build the in_place_tool target). Prints the
# medians, their ratios and the machine's load.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 3 ]]; then
    echo "usage: $0 <release build tree> [parent of the scratch directory] [runs]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
tool="$build/core/bench/in_place_tool"
[[ -x "$tool" ]] || { echo "no $tool: build the in_place_tool target" >&2; exit 1; }
parent=${2:-$build}
runs=${3:-7}

work=$(mktemp -d "$parent/in_place_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
big="$work/big.bin"
sparse="$work/sparse.bin"
echo "scratch directory: $work"
dd if=/dev/urandom of="$big" bs=16M count=256 status=none
truncate -s 100G "$sparse"
sync

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now() { date +%s%N; }
# Runs a command and prints how long it took, in milliseconds.
timed() {
    local start end
    start=$(now)
    "$@"
    end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f\n", (b - a) / 1e6 }'
}
field() { awk -v key="$1" '{ for (i = 1; i < NF; ++i) if ($i == key) print $(i + 1) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

overwrite_case() {
    local file=$1 label=$2
    : >"$work/dd.txt"
    : >"$work/tool.txt"
    : >"$work/save.txt"
    : >"$work/written.txt"
    for ((i = 0; i < runs; ++i)); do
        timed sh -c "printf X | dd of='$file' bs=1 seek=123456789 conv=notrunc,fsync status=none" >>"$work/dd.txt"
        timed "$tool" "$file" overwrite 1 "$i" 2>"$work/report.txt" >>"$work/tool.txt"
        field save <"$work/report.txt" >>"$work/save.txt"
        field written <"$work/report.txt" >>"$work/written.txt"
    done
    local dd tool save written
    dd=$(median <"$work/dd.txt")
    tool=$(median <"$work/tool.txt")
    save=$(median <"$work/save.txt")
    written=$(sort -g "$work/written.txt" | tail -1)
    echo "$label one-byte overwrite: in_place_tool ${tool} ms (save ${save} ms), dd ${dd} ms," \
        "ratio $(ratio "$tool" "$dd"); bytes written at most ${written}"
}

overwrite_case "$big" "4 GiB"
overwrite_case "$sparse" "sparse 100 GiB"

: >"$work/save.txt"
: >"$work/raw.txt"
for ((i = 0; i < runs; ++i)); do
    "$tool" "$big" overwrite 1000 "$i" 2>"$work/report.txt"
    field save <"$work/report.txt" >>"$work/save.txt"
    # The floor: the same number of one-byte writes at random offsets and one fsync, nothing else.
    python3 -c '
import os, random, sys, time
fd = os.open(sys.argv[1], os.O_RDWR); size = os.fstat(fd).st_size; random.seed(int(sys.argv[2]))
start = time.perf_counter()
for _ in range(1000): os.pwrite(fd, b"X", random.randrange(size))
os.fsync(fd); print("%.2f" % ((time.perf_counter() - start) * 1e3))' "$big" "$i" >>"$work/raw.txt"
done
save_median=$(median <"$work/save.txt")
raw_median=$(median <"$work/raw.txt")
echo "4 GiB 1,000 scattered overwrites: save ${save_median} ms; 1,000 bare pwrites + fsync ${raw_median} ms;" \
    "ratio $(ratio "$save_median" "$raw_median")"

# The journal's size, sampled while the save runs.
watch_journal() {
    local journal="$work/.big.bin.skarn-journal" largest=0 size
    while [[ ! -e "$work/stop" ]]; do
        size=$(stat -c %s "$journal" 2>/dev/null || echo 0)
        ((size > largest)) && largest=$size
        sleep 0.01
    done
    echo "$largest"
}
: >"$work/cp.txt"
: >"$work/cpsync.txt"
: >"$work/tool.txt"
: >"$work/journal.txt"
for ((i = 0; i < runs; ++i)); do
    timed cp "$big" "$work/copy.bin" >>"$work/cp.txt"
    rm -f "$work/copy.bin"
    sync
    timed sh -c "cp '$big' '$work/copy.bin' && sync '$work/copy.bin'" >>"$work/cpsync.txt"
    rm -f "$work/copy.bin" "$work/stop"
    sync
    watch_journal >"$work/largest.txt" &
    timed "$tool" "$big" insert-front 2>/dev/null >>"$work/tool.txt"
    touch "$work/stop"
    wait
    cat "$work/largest.txt" >>"$work/journal.txt"
done
cp_median=$(median <"$work/cp.txt")
cpsync_median=$(median <"$work/cpsync.txt")
tool_median=$(median <"$work/tool.txt")
echo "4 GiB one-byte insert at 0: in_place_tool ${tool_median} ms, cp ${cp_median} ms (ratio" \
    "$(ratio "$tool_median" "$cp_median")), cp + sync ${cpsync_median} ms (ratio" \
    "$(ratio "$tool_median" "$cpsync_median")); largest journal $(sort -g "$work/journal.txt" | tail -1) bytes"
echo "runs: $runs; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
