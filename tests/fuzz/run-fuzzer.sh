#!/bin/sh
# run-fuzzer.sh FUZZER CORPUS SECONDS FINDINGS [DICT]
# Runs FUZZER for SECONDS on a fresh copy of the seed corpus CORPUS (the
# tree's seeds are never written to), with DICT when given. A crash, leak,
# hang or broken property fails the run; its input is kept in FINDINGS.
set -eu
fuzzer=$1
corpus=$2
seconds=$3
findings=$4
dict=${5:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/zorvane-fuzz-run.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/corpus" "$findings"
if [ -d "$corpus" ]; then
    cp -R "$corpus/." "$work/corpus/"
fi

name=$(basename "$fuzzer")
set -- -max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$findings/$name-"
if [ -n "$dict" ]; then
    set -- "$@" -dict="$dict"
fi
# Qt keeps some allocations of its own until the process ends.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS UBSAN_OPTIONS
XDG_RUNTIME_DIR="$work/runtime"
XDG_CONFIG_HOME="$work/config"
TMPDIR="$work"
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR XDG_CONFIG_HOME TMPDIR
"$fuzzer" "$@" "$work/corpus"
