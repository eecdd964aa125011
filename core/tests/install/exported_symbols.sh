#!/usr/bin/env bash
# Checks that the shared library exports exactly the functions that the public
# headers declare with SKARN_API: nothing undeclared leaks out, and nothing
# declared is missing.
# Usage: exported_symbols.sh <nm> <library> <public include directory>
set -euo pipefail

if [[ $# -ne 3 ]]; then
    echo "usage: $0 <nm> <library> <public include directory>" >&2
    exit 2
fi
nm_command=$1
library=$2
include_dir=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/skarn_symbols.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Declared names: drop block comments (newlines are masked so that a comment
# may span lines), line comments and preprocessor lines, join the rest into
# one line, then take the identifier that opens the parameter list after each
# SKARN_API.
find "$include_dir" \( -name '*.h' -o -name '*.hpp' \) -print0 | sort -z | xargs -0 cat |
    tr '\n' '\001' | sed -E 's:/\*[^*]*\*+([^/*][^*]*\*+)*/::g' | tr '\001' '\n' |
    sed 's://.*$::' | grep -v '^[[:space:]]*#' | tr '\n' ' ' |
    grep -o 'SKARN_API[^;{}(]*(' |
    sed -E 's/^.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\($/\1/' |
    sort -u >"$work/declared"
if [[ ! -s $work/declared ]]; then
    echo "FAILED: no SKARN_API declarations found under $include_dir" >&2
    exit 1
fi

# Exported names: global code and data symbols (T, D, B, R, W, and the weak
# object, unique and indirect kinds V, u, i), demangled; the linker's own
# markers are not the library's.
"$nm_command" -D --defined-only --demangle "$library" >"$work/nm"
awk '$2 ~ /^[TDBRWVui]$/ { line = $0; sub(/^[^ ]* +[^ ]+ +/, "", line); print line }' "$work/nm" |
    sed -E 's/@.*$//' |
    grep -v -x -E '_init|_fini|_edata|_end|__bss_start' |
    sort -u >"$work/exported_full" || true
# The bare name of a C++ symbol: cut at the parameter list or an ABI tag.
sed -E 's/[[(].*$//' "$work/exported_full" | sort -u >"$work/exported"
if [[ ! -s $work/exported ]]; then
    echo "FAILED: $library exports no symbols" >&2
    exit 1
fi

status=0
comm -23 "$work/exported" "$work/declared" >"$work/undeclared"
if [[ -s $work/undeclared ]]; then
    echo "FAILED: exported but not declared with SKARN_API ($(wc -l <"$work/undeclared")):" >&2
    while IFS= read -r name; do
        awk -v name="$name" 'index($0, name) == 1 && substr($0, length(name) + 1, 1) ~ /^([[(]|)$/' \
            "$work/exported_full" | sed 's/^/    /' >&2
    done <"$work/undeclared"
    status=1
fi
comm -13 "$work/exported" "$work/declared" >"$work/missing"
if [[ -s $work/missing ]]; then
    echo "FAILED: declared with SKARN_API but not exported ($(wc -l <"$work/missing")):" >&2
    sed 's/^/    /' "$work/missing" >&2
    status=1
fi
echo "declared: $(wc -l <"$work/declared"), exported: $(wc -l <"$work/exported")"
exit $status
