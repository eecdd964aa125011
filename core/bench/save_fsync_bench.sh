#!/usr/bin/env bash
# Times saving an unchanged 1 GiB file, fsync included, against
# dd bs=1M conv=fsync of the same file.
#
#   save_fsync_bench.sh <release build tree> [parent of the scratch directory] [runs]
#
# The build tree must hold core/bench/save_tool (configure with
# -DCMAKE_BUILD_TYPE=Release -DSKARN_BUILD_BENCH=ON, build the save_tool
# target). The two commands run alternately, so that load from other work on
# the machine falls on both alike; before each run the previous outputs are
# removed and dirty pages written back (sync). The input is read once
# beforehand, so both read it from the page cache. For save_tool the time is
# the save phase it reports (a session's creation copies the file first, which
# dd has no counterpart for); for dd the whole command.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 3 ]]; then
    echo "usage: $0 <release build tree> [parent of the scratch directory] [runs]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
tool="$build/core/bench/save_tool"
if [[ ! -x "$tool" ]]; then
    echo "no $tool: configure the tree with -DSKARN_BUILD_BENCH=ON and build the save_tool target" >&2
    exit 1
fi
parent=${2:-$build}
runs=${3:-5}

work=$(mktemp -d "$parent/save_fsync_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
input="$work/input.bin"
echo "scratch directory: $work"
head -c 1073741824 /dev/urandom >"$input"
sync
cat "$input" >/dev/null

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now() { date +%s.%N; }

: >"$work/dd.txt"
: >"$work/save.txt"
for ((i = 0; i < runs; ++i)); do
    rm -f "$work"/out_*.bin
    sync
    start=$(now)
    dd if="$input" of="$work/out_dd.bin" bs=1M conv=fsync status=none
    end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }' >>"$work/dd.txt"

    rm -f "$work"/out_*.bin
    sync
    "$tool" "$input" "$work/out_save.bin" 2>&1 >/dev/null |
        awk '{ for (i = 1; i < NF; ++i) if ($i == "save") printf "%.3f\n", $(i + 1) / 1000 }' >>"$work/save.txt"
    cmp -s "$input" "$work/out_save.bin" || { echo "saved file differs from the input" >&2; exit 1; }
done

dd_median=$(median <"$work/dd.txt")
save_median=$(median <"$work/save.txt")
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "dd runs (s):   $(tr '\n' ' ' <"$work/dd.txt")"
echo "save runs (s): $(tr '\n' ' ' <"$work/save.txt")"
awk -v d="$dd_median" -v s="$save_median" -v n="$runs" 'BEGIN {
    printf "medians of %d alternating runs: dd bs=1M conv=fsync %.3f s, save (fsync included) %.3f s, ratio %.2fx\n", n, d, s, s / d
    printf "target: save within 1.2x of dd: %s\n", (s <= 1.2 * d) ? "met" : "NOT met"
}'
