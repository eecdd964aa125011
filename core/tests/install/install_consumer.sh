#!/usr/bin/env bash
# Installs the built tree into a fresh prefix and uses it the way a downstream
# project would:
#   (a) every public header compiles on its own as C11 and as C++20;
#   (b) consumer.c builds through pkg-config and runs;
#   (c) a CMake project finds the package, links skarn_edit::skarn_edit and runs.
# Usage: install_consumer.sh <cmake> <build dir> <C compiler> <C++ compiler> <CMake generator> [flag...]
# The trailing flags (the library's sanitizer flags, if any) are added to every
# consumer compile and link so that the programs load the same runtime.
set -euo pipefail

if [[ $# -lt 5 ]]; then
    echo "usage: $0 <cmake> <build dir> <C compiler> <C++ compiler> <CMake generator> [flag...]" >&2
    exit 2
fi
cmake_command=$1
build_dir=$2
c_compiler=$3
cxx_compiler=$4
generator=$5
shift 5
extra_flags=("$@")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/skarn_install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
mkdir -p "$work/checkpoints"

run_logged() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        echo "FAILED: $*" >&2
        cat "$log" >&2
        exit 1
    fi
}

echo "== install into $prefix"
run_logged "$work/install.log" "$cmake_command" --install "$build_dir" --prefix "$prefix"

umbrella=$(find "$prefix" -name skarn_edit.hpp -print -quit)
if [[ -z $umbrella ]]; then
    echo "FAILED: skarn_edit.hpp is not installed" >&2
    exit 1
fi
include_dir=$(dirname "$umbrella")
pc_file=$(find "$prefix" -name skarn_edit.pc -print -quit)
if [[ -z $pc_file ]]; then
    echo "FAILED: skarn_edit.pc is not installed" >&2
    exit 1
fi
pc_dir=$(dirname "$pc_file")
lib_dir=$(dirname "$pc_dir")
if [[ ! -e $lib_dir/libskarn_edit.so ]]; then
    echo "FAILED: libskarn_edit.so is not beside the pkgconfig directory ($lib_dir)" >&2
    exit 1
fi

echo "== (a) each public header alone, as C11 and as C++20"
headers=()
while IFS= read -r header; do
    headers+=("$header")
done < <(cd "$include_dir" && find . -name '*.h' -o -name '*.hpp' | sed 's:^\./::' | sort)
if [[ ! -f $include_dir/skarn_edit.h || ! -f $include_dir/skarn_edit/types.h ]]; then
    echo "FAILED: the C headers are not installed beside skarn_edit.hpp ($include_dir)" >&2
    exit 1
fi
for header in "${headers[@]}"; do
    # Included twice: the second inclusion checks the include guard.
    source_text=$(printf '#include <%s>\n#include <%s>\nint skarn_header_check_anchor;\n' "$header" "$header")
    if [[ $header == *.h ]]; then
        run_logged "$work/header.log" "$c_compiler" -std=c11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only \
            -I "$include_dir" -x c - <<<"$source_text"
    fi
    run_logged "$work/header.log" "$cxx_compiler" -std=c++20 -Wall -Wextra -Wpedantic -Werror -fsyntax-only \
        -I "$include_dir" -x c++ - <<<"$source_text"
    echo "   $header"
done

echo "== (b) consumer.c through pkg-config"
# The .pc file names the prefix chosen at configure time; point it at this one.
pkg_config=(env PKG_CONFIG_PATH="$pc_dir" pkg-config --define-variable=prefix="$prefix")
read -r -a pc_flags <<<"$("${pkg_config[@]}" --cflags --libs skarn_edit)"
if [[ " ${pc_flags[*]} " != *" -L$prefix/"* ]]; then
    echo "FAILED: pkg-config flags do not point into the prefix: ${pc_flags[*]}" >&2
    exit 1
fi
run_logged "$work/consumer_build.log" "$c_compiler" -std=c11 -Wall -Wextra -Wpedantic -Werror "${extra_flags[@]}" \
    "$here/consumer.c" -o "$work/consumer" "${pc_flags[@]}"
LD_LIBRARY_PATH="$lib_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$work/consumer" "$work/checkpoints"

echo "== (c) find_package(skarn_edit) from a CMake project"
run_logged "$work/cmake_configure.log" "$cmake_command" -S "$here/cmake_consumer" -B "$work/cmake_build" \
    -G "$generator" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
    -DCMAKE_CXX_COMPILER="$cxx_compiler" -DCMAKE_CXX_FLAGS="${extra_flags[*]}" \
    -DCMAKE_EXE_LINKER_FLAGS="${extra_flags[*]}"
found_dir=$(sed -n 's/^skarn_edit_DIR:PATH=//p' "$work/cmake_build/CMakeCache.txt")
if [[ $found_dir != "$prefix"/* ]]; then
    echo "FAILED: the package was found outside the prefix: $found_dir" >&2
    exit 1
fi
run_logged "$work/cmake_build.log" "$cmake_command" --build "$work/cmake_build"
# The build tree's run path leads to the installed library; no LD_LIBRARY_PATH.
"$work/cmake_build/app" "$work/checkpoints"

echo "== all install checks passed"
