#!/usr/bin/env bash
# Builds the RFC 3339 fuzzer into fuzz/out/ and runs it $1 seconds (60) on a
# scratch copy of the corpus: the checked-in seeds are never rewritten.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/fuzz/out"

if ! command -v clang++ >/dev/null 2>&1; then
    echo "error: clang++ not found; libFuzzer needs clang (Debian/Ubuntu: apt-get install clang)" >&2
    exit 1
fi

mkdir -p "$out"
cd "$root"
clang++ -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -std=c++20 -O1 -g -Isrc -Itests/native \
    fuzz/rfc3339_fuzz.cpp src/helpers/pure/instant.cpp src/helpers/pure/rfc3339.cpp \
    -o "$out/rfc3339_fuzz"

rm -rf "$out/corpus"
cp -r fuzz/corpus "$out/corpus"
"$out/rfc3339_fuzz" -max_total_time="$seconds" -max_len=96 -print_final_stats=1 \
    -artifact_prefix="$out/" "$out/corpus"
