#!/usr/bin/env bash
# Big files at tool speed: times opening, profiling and the skarn tool on
# files of 1, 2, 4 and 8 GiB against cp, a read-and-count loop, wc, xxd and
# grep, alternating the runs of each pair and reporting medians and ratios.
#
#   big_file_bench.sh <release build tree> [baseline build tree] [scratch parent]
#
# The build trees must hold core/bench/big_file_tool (or, for a baseline
# tree, BASELINE_TOOL in the environment naming a big_file_tool built against
# it) and tools/skarn. The scratch directory (default: /tmp) holds 1 GiB and
# 2 GiB text files, a sparse 4 GiB and a sparse 8 GiB file; it is removed at
# the end. The page cache is warmed first: every figure is a warm one.
# RUNS (default 5) sets the runs of each command; ONLY, a regular expression,
# keeps the comparisons whose label matches it.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 3 ]]; then
    echo "usage: $0 <release build tree> [baseline build tree] [scratch parent]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
baseline=${2:+$(cd "$2" && pwd)}
parent=${3:-/tmp}
runs=${RUNS:-5}
tool="$build/core/bench/big_file_tool"
skarn="$build/tools/skarn"
base_tool=${BASELINE_TOOL:-}
base_skarn=${baseline:+$baseline/tools/skarn}

work=$(mktemp -d "$parent/big_file_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "scratch: $work; load: $(cut -d' ' -f1-3 /proc/loadavg); runs: $runs"

# Text of lines of 1 to 120 bytes, some CR LF.
make_text() { # <file> <MiB>
    python3 - "$1" "$2" <<'PY'
import random, sys
random.seed(5)
lines = [bytes(random.choice(b"abcdefghij klmnop") for _ in range(random.randint(0, 118))) + random.choice([b"\n", b"\r\n"])
         for _ in range(4096)]
block = b"".join(lines)
with open(sys.argv[1], "wb") as out:
    left = int(sys.argv[2]) << 20
    while left > 0:
        out.write(block[:left]); left -= len(block)
PY
}
make_text "$work/1g.txt" 1024
make_text "$work/2g.txt" 2048
truncate -s 4G "$work/sparse4g.bin"
for at in 0 1000 3000; do printf 'block at %s MiB' $at | dd of="$work/sparse4g.bin" bs=1M seek=$at conv=notrunc status=none; done
truncate -s 8G "$work/sparse8g.bin"
sync
cat "$work/1g.txt" "$work/2g.txt" >/dev/null

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
wall() { local t0; t0=$(now_ms); eval "$1" >/dev/null 2>&1; echo $(( $(now_ms) - t0 )); }
# The number the tool prints for its timed phase.
phase() { eval "$1" 2>/dev/null | awk '{ print $2 }'; }

# compare <label> <kind of a> <command a> <kind of b> <command b>; kind is
# "wall" (whole command) or "phase" (the tool's own figure).
compare() {
    local label=$1 ka=$2 a=$3 kb=$4 b=$5 ta=() tb=()
    [[ -z "${ONLY:-}" || "$label" =~ $ONLY ]] || return 0
    for ((i = 0; i < runs; i++)); do
        sync; rm -f "$work"/out_*
        ta+=("$($ka "$a")")
        sync; rm -f "$work"/out_*
        tb+=("$($kb "$b")")
    done
    local ma mb
    ma=$(printf '%s\n' "${ta[@]}" | median)
    mb=$(printf '%s\n' "${tb[@]}" | median)
    printf '%-44s %9.1f ms  vs %9.1f ms  ratio %.2f\n' "$label" "$ma" "$mb" "$(echo "$ma / ($mb + 0.0001)" | bc -l)"
}

echo "== opening"
compare "open 1 GiB (private copy) vs cp" phase "'$tool' open '$work/1g.txt'" wall "cp '$work/1g.txt' '$work/out_cp'"
compare "open sparse 4 GiB vs cp --sparse=always" phase "'$tool' open '$work/sparse4g.bin'" \
    wall "cp --sparse=always '$work/sparse4g.bin' '$work/out_cp'"
compare "open 8 GiB in place vs open 1 GiB in place" phase "'$tool' open '$work/sparse8g.bin' in-place" \
    phase "'$tool' open '$work/1g.txt' in-place"
echo "disk use of the sparse file: $(du -k "$work/sparse4g.bin" | cut -f1) KiB; of its private $("$tool" open "$work/sparse4g.bin" 2>&1 >/dev/null)"

echo "== byte profile of 1 GiB"
compare "profile, no edits vs read+count" phase "'$tool' profile '$work/1g.txt' 0 in-place" \
    phase "'$tool' count '$work/1g.txt'"
compare "profile, 1e4 edits vs read+count" phase "'$tool' profile '$work/1g.txt' 10000 in-place" \
    phase "'$tool' count '$work/1g.txt'"

echo "== the skarn tool"
end=$(( (2 << 30) - 4096 ))
compare "skarn info 1 GiB vs wc -l" wall "'$skarn' info '$work/1g.txt'" wall "wc -l '$work/1g.txt'"
compare "skarn dump --offset end of 2 GiB vs xxd" wall "'$skarn' dump --offset $end --length 256 '$work/2g.txt'" \
    wall "xxd -s $end -l 256 '$work/2g.txt'"
compare "skarn find --max 10 in 2 GiB vs grep|head" wall "'$skarn' find --max 10 abc '$work/2g.txt'" \
    wall "grep -b -o abc '$work/2g.txt' | head -10"

if [[ -n "$baseline" ]]; then
    echo "== before (baseline tree) vs after"
    if [[ -n "$base_tool" ]]; then
        compare "open 1 GiB: before vs after" phase "'$base_tool' open '$work/1g.txt'" phase "'$tool' open '$work/1g.txt'"
        compare "profile 1 GiB, 1e4 edits: before vs after" phase "'$base_tool' profile '$work/1g.txt' 10000" \
            phase "'$tool' profile '$work/1g.txt' 10000 in-place"
    fi
    compare "skarn info 1 GiB: before vs after" wall "'$base_skarn' info '$work/1g.txt'" wall "'$skarn' info '$work/1g.txt'"
    compare "skarn dump end of 2 GiB: before vs after" wall "'$base_skarn' dump --offset $end --length 256 '$work/2g.txt'" \
        wall "'$skarn' dump --offset $end --length 256 '$work/2g.txt'"
    compare "skarn find --max 10: before vs after" wall "'$base_skarn' find --max 10 abc '$work/2g.txt'" \
        wall "'$skarn' find --max 10 abc '$work/2g.txt'"
fi
