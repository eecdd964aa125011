#!/usr/bin/env bash
# Quick start: installs from Debian's packages what is missing for the build
# and for the test workflow (the Quick start's second command), builds the
# library and the skarn tool only (Release; the tests and benchmarks belong to
# the test workflow), then shows the tool's main jobs on
# tools/samples/sample.txt: info, find, dump and an edit round trip.
# `demo.sh --packages` prints the Debian packages it installs and does nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }

# The build; then what the test workflow needs (GoogleTest, Google Benchmark,
# the reference programs and Python of the tool's tests, pkg-config and make
# for the installed-library tests, mkfs.xfs for the copy-on-write save tests,
# Python's packaging tools for the Python package's offline install, ncurses
# and tmux for the terminal editor and its tests). .ci/run installs these too
# (through --packages), and the few that only CI needs.
packages=(cmake ninja-build g++
          libgtest-dev libgmock-dev libbenchmark-dev python3 xxd grep binutils pkg-config make xfsprogs
          python3-venv python3-pip python3-setuptools python3-wheel
          libncurses-dev tmux)
if [[ ${1-} == --packages ]]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
    step "installing from Debian's packages: ${missing[*]}"
    sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "demo.sh: run as root, or install sudo, to install ${missing[*]}" >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

started=$SECONDS
step "configuring the library and the tool (preset 'tool': Release, no tests, no benchmarks)"
cmake --preset tool
step "building them (about a minute on two cores)"
cmake --build --preset tool
skarn=build/tool/tools/skarn
echo "built $skarn in $((SECONDS - started)) s"

sample=tools/samples/sample.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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

step "done; the tool is $skarn (the README's examples: export PATH=\$PWD/${skarn%/*}:\$PATH); the tests: cmake --workflow --preset debug"
