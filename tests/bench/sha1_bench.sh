#!/usr/bin/env bash
# SHA-1 throughput of CSHA1 against sha1sum on the same 512 MiB file, in the same run.
# Each round times both programs as whole processes (start, read from the page cache,
# hash), in alternating order; prints the medians and the ratio CSHA1 / sha1sum.
# Usage: tests/bench/sha1_bench.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 5)
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD_DIR=${1:-build}
ROUNDS=${2:-5}
BENCH=$BUILD_DIR/bin/sha1_file_bench
SIZE_MIB=512
if [ ! -x "$BENCH" ]; then
    echo "sha1_bench: $BENCH is missing; build it with: cmake --build $BUILD_DIR --target sha1_file_bench" >&2
    exit 1
fi

source "$(dirname "$0")/benchlib.sh"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
FILE=$WORK/data.bin
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom >"$FILE"
# Warm the page cache so that neither side pays for the disk.
cat "$FILE" >/dev/null

run_csha1() {
    local start end digest
    start=$(bench_now_ns)
    digest=$("$BENCH" "$FILE" | cut -d' ' -f1)
    end=$(bench_now_ns)
    echo "$digest $(((end - start) / 1000000))"
}

run_sha1sum() {
    local start end digest
    start=$(bench_now_ns)
    digest=$(sha1sum "$FILE" | cut -d' ' -f1)
    end=$(bench_now_ns)
    echo "$digest $(((end - start) / 1000000))"
}

csha1_ms=()
sha1sum_ms=()
for ((i = 1; i <= ROUNDS; i++)); do
    if ((i % 2)); then
        read -r d1 t1 < <(run_csha1)
        read -r d2 t2 < <(run_sha1sum)
    else
        read -r d2 t2 < <(run_sha1sum)
        read -r d1 t1 < <(run_csha1)
    fi
    if [ "$d1" != "$d2" ]; then
        echo "sha1_bench: digests differ: CSHA1 $d1, sha1sum $d2" >&2
        exit 1
    fi
    csha1_ms+=("$t1")
    sha1sum_ms+=("$t2")
    echo "round $i: CSHA1 ${t1} ms, sha1sum ${t2} ms"
done

m1=$(printf '%s\n' "${csha1_ms[@]}" | bench_median)
m2=$(printf '%s\n' "${sha1sum_ms[@]}" | bench_median)
awk -v m1="$m1" -v m2="$m2" -v mib="$SIZE_MIB" -v n="$ROUNDS" 'BEGIN {
    printf "median of %d rounds over %d MiB: CSHA1 %.0f ms (%.0f MiB/s), sha1sum %.0f ms (%.0f MiB/s)\n",
        n, mib, m1, mib * 1000 / m1, m2, mib * 1000 / m2
    printf "ratio CSHA1 / sha1sum: %.2f (below 1: CSHA1 is faster)\n", m1 / m2
}'
