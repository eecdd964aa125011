#!/usr/bin/env bash
# No program or library built in the tree may carry an empty entry in its run
# path (an empty entry, like a leading, trailing or doubled ':', makes the
# loader search the current directory).
# Usage: run_paths.sh <readelf> <build dir>
set -euo pipefail
readelf=$1
build_dir=$2
checked=0
bad=0
while IFS= read -r -d '' file; do
    head -c 4 "$file" 2>/dev/null | grep -q $'^\x7fELF' || continue
    checked=$((checked + 1))
    while IFS= read -r path; do
        if [[ -z $path || $path == :* || $path == *: || $path == *::* ]]; then
            echo "$file: run path '$path' has an empty entry" >&2
            bad=1
        fi
    done < <("$readelf" -d "$file" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
done < <(find "$build_dir" -type f \( -perm -u+x -o -name '*.so*' \) -not -path '*/CMakeFiles/*' -print0)
if ((checked == 0)); then
    echo "no programs or libraries found under $build_dir" >&2
    exit 1
fi
echo "checked the run paths of $checked files"
exit $bad
