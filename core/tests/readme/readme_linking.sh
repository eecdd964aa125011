#!/usr/bin/env bash
# Runs the "Linking" section of README.md as written: its shell blocks in
# order in one shell, its CMake block as the CMakeLists.txt beside app.c, and
# the README's C example as app.c. Two things are the test's own: HOME is a
# fresh directory (so the prefix is $HOME/opt/skarn there) and "build/tool",
# the Quick start's build tree, is this build tree. The programs must run and
# print what the README says the C example prints.
# Usage: readme_linking.sh <README.md> <build dir>
set -euo pipefail
readme=$1
build_dir=$2
source_dir=$(cd "$(dirname "$readme")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/skarn_readme_linking.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The fenced blocks of a README section, each into <dir>/block-<n>.<language>.
extract_blocks() {
    awk -v marker="$1" -v dir="$2" '
        $0 == "<!-- example: " marker " -->" { inside = 1; next }
        inside && $0 == "<!-- end example -->" { exit }
        inside && !fenced && /^```[a-z]+$/ { fenced = 1; n++; file = dir "/block-" n "." substr($0, 4); next }
        inside && fenced && /^```$/ { fenced = 0; close(file); next }
        inside && fenced { print > file }' "$readme"
}
mkdir -p "$work/blocks/c" "$work/home" "$work/pkg" "$work/cmake"
extract_blocks linking "$work/blocks"
blocks=("$work"/blocks/block-*)
if [[ ${#blocks[@]} -ne 4 || ! -f $work/blocks/block-3.cmake ]]; then
    echo "README.md: the linking section must hold sh, sh, cmake and sh blocks; found: ${blocks[*]##*/}" >&2
    exit 1
fi
extract_blocks c-session "$work/blocks/c"
cp "$work/blocks/c/block-1.c" "$work/pkg/app.c"
cp "$work/blocks/c/block-1.c" "$work/cmake/app.c"
cp "$work/blocks/block-3.cmake" "$work/cmake/CMakeLists.txt"

{
    echo 'set -euo pipefail'
    echo "cd '$source_dir'"
    sed "s|build/tool|'$build_dir'|g" "$work/blocks/block-1.sh"
    echo "cd '$work/pkg'"
    cat "$work/blocks/block-2.sh"
    echo "cd '$work/cmake'"
    cat "$work/blocks/block-4.sh"
} >"$work/script.sh"

output=$(env -u LD_LIBRARY_PATH -u PKG_CONFIG_PATH -u CMAKE_PREFIX_PATH HOME="$work/home" bash "$work/script.sh" 2>&1) || {
    echo "FAILED: the README's linking steps" >&2
    echo "$output" >&2
    exit 1
}
expected="after edits: >> Hello, skarn!"
count=$(grep -c -x -F "$expected" <<<"$output" || true)
if [[ $count -ne 2 ]]; then
    echo "expected both programs to print '$expected'; output:" >&2
    echo "$output" >&2
    exit 1
fi
# The prefix is the README's, under the test's HOME.
test -f "$work/home/opt/skarn/lib/pkgconfig/skarn_edit.pc"
echo "the README's linking steps work: pkg-config and CMake programs run from $work/home/opt/skarn"
