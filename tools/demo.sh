#!/usr/bin/env bash
# Builds the project (release preset) and shows the skarn tool's main jobs on
# tools/samples/sample.txt: info, find, and an edit round trip.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release
cmake --build --preset release

skarn=build/release/tools/skarn
sample=tools/samples/sample.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step() { printf '\n== %s\n' "$*"; }

step "skarn info $sample"
"$skarn" info "$sample"

step "skarn find -i the $sample   (offsets of every 'the', any case)"
"$skarn" find -i the "$sample"

step "skarn find --hex 0d0a $sample   (the CR LF line ends)"
"$skarn" find --hex 0d0a "$sample"

step "skarn edit: replace a phrase and upper-case the first word, into a new file"
"$skarn" edit "$sample" -o "$work/edited.txt" --replace "quick brown=slow red" --upper 3:5
"$skarn" dump "$work/edited.txt"

step "skarn edit: take both edits back and compare with the sample"
"$skarn" edit "$work/edited.txt" -o "$work/restored.txt" --replace "slow red=quick brown" --lower 3:5
cmp "$sample" "$work/restored.txt"
echo "restored.txt is byte-identical to $sample"
