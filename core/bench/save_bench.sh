#!/usr/bin/env bash
# Times saving a 1 GiB file through a session against cp of the same file.
#
#   save_bench.sh <release build tree> [parent of the scratch directory]
#
# Builds nothing: the build tree must hold core/bench/save_tool (configure with
# -DCMAKE_BUILD_TYPE=Release -DSKARN_BUILD_BENCH=ON, build the save_tool
# target). The scratch directory (default: inside the build tree) holds the
# input, the outputs and the sessions' checkpoints, all on one disk; it is
# removed at the end.
#
# Three commands, 5 timed runs each (medians reported):
#   (a) cp of the file;
#   (b) save_tool: a session over the file, saved unchanged to a new path;
#   (c) save_tool after 10,000 seeded random small edits.
# The page cache cannot be dropped reliably here, so the input is read once
# beforehand to warm it, every run reads it from memory, and before each run
# the dirty pages of the previous one are written back (sync) and the previous
# output is removed, so that no run pays for another's writes.
#
# A session copies its file into its checkpoint directory when it opens, so
# (b) and (c) as whole programs do that copy and then the save. save_tool
# reports the time of each phase; the save phase alone is the one that compares
# with cp (the same bytes read and written) and is reported beside the totals.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 <release build tree> [parent of the scratch directory]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
tool="$build/core/bench/save_tool"
if [[ ! -x "$tool" ]]; then
    echo "no $tool: configure the tree with -DSKARN_BUILD_BENCH=ON and build the save_tool target" >&2
    exit 1
fi
parent=${2:-$build}
runs=5
edits=10000
seed=42

work=$(mktemp -d "$parent/save_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
input="$work/input.bin"

echo "scratch directory: $work"
echo "creating 1 GiB of random data..."
head -c 1073741824 /dev/urandom >"$input"
sync
echo "warming the page cache with the input..."
cat "$input" >/dev/null

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
prepare="sync; rm -f '$work'/out_*.bin"

cp_cmd="cp '$input' '$work/out_cp.bin'"
save_cmd="'$tool' '$input' '$work/out_save.bin'"
edits_cmd="'$tool' '$input' '$work/out_edits.bin' $edits $seed"

# Whole commands: hyperfine when it is there (Debian package "hyperfine"),
# otherwise /usr/bin/time.
if ! command -v hyperfine >/dev/null && command -v apt-get >/dev/null && [[ $(id -u) -eq 0 ]]; then
    apt-get install -y hyperfine >/dev/null 2>&1 || true
fi
declare -A total
if command -v hyperfine >/dev/null; then
    hyperfine --runs "$runs" --prepare "$prepare" --export-json "$work/hyperfine.json" \
        -n cp "$cp_cmd" -n save "$save_cmd" -n save_after_edits "$edits_cmd"
    while read -r name value; do total[$name]=$value; done < <(
        python3 -c 'import json, sys
for r in json.load(open(sys.argv[1]))["results"]: print(r["command"], r["median"])' "$work/hyperfine.json")
else
    for name in cp save save_after_edits; do
        case $name in
            cp) cmd=$cp_cmd ;;
            save) cmd=$save_cmd ;;
            *) cmd=$edits_cmd ;;
        esac
        for ((i = 0; i < runs; ++i)); do
            bash -c "$prepare"
            /usr/bin/time -f "%e" -o "$work/time.txt" bash -c "$cmd" 2>/dev/null
            cat "$work/time.txt"
        done | median >"$work/median.txt"
        total[$name]=$(cat "$work/median.txt")
    done
fi

# The save phase alone, as save_tool reports it (milliseconds).
declare -A phase
for name in save save_after_edits; do
    [[ $name == save ]] && cmd=$save_cmd || cmd=$edits_cmd
    for ((i = 0; i < runs; ++i)); do
        bash -c "$prepare"
        bash -c "$cmd" 2>&1 >/dev/null | awk '{ for (i = 1; i < NF; ++i) if ($i == "save") print $(i + 1) / 1000 }'
    done | median >"$work/median.txt"
    phase[$name]=$(cat "$work/median.txt")
done

echo
echo "medians of $runs runs, seconds (warm input cache, outputs written back between runs):"
awk -v cp="${total[cp]}" -v s="${total[save]}" -v e="${total[save_after_edits]}" \
    -v ps="${phase[save]}" -v pe="${phase[save_after_edits]}" 'BEGIN {
    printf "  (a) cp                                   %7.3f\n", cp
    printf "  (b) save_tool, unchanged     total %7.3f (%.2fx cp)   save phase %7.3f (%.2fx cp)\n", s, s / cp, ps, ps / cp
    printf "  (c) save_tool, 10,000 edits  total %7.3f (%.2fx cp)   save phase %7.3f (%.2fx cp)\n", e, e / cp, pe, pe / cp
    printf "target: save phase within 1.5x of cp: %s\n", (ps <= 1.5 * cp && pe <= 1.5 * cp) ? "met" : "NOT met"
}'
