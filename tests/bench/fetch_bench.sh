#!/usr/bin/env bash
# Download throughput of ferro-fetch (the launcher's HTTP client and network layer) against
# curl, both fetching the same 16 files of 32 MiB from nginx on 127.0.0.1 into a
# directory, 3 transfers at a time (the launcher's limit per host; curl --parallel
# --parallel-max 3), in the same run. Each round times both as whole processes, in
# alternating order; prints the medians, the ratio ferro-fetch / curl, and the peak
# resident memory of ferro-fetch against the bodies in flight (3 x 32 MiB) plus 16 MiB.
# Usage: tests/bench/fetch_bench.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 5)
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD_DIR=${1:-build}
ROUNDS=${2:-5}
FETCH=$BUILD_DIR/bin/ferro-fetch
FILES=16
FILE_MIB=32
IN_FLIGHT=3
for tool in nginx curl /usr/bin/time; do
    if ! command -v "$tool" >/dev/null; then
        echo "fetch_bench: $tool is missing" >&2
        exit 1
    fi
done
if [ ! -x "$FETCH" ]; then
    echo "fetch_bench: $FETCH is missing; build it with: cmake --build $BUILD_DIR --target ferro-fetch" >&2
    exit 1
fi

# On a memory file system when there is one: on a shared machine's disk the writes of the
# 512 MiB would time the disk, not the two HTTP clients. FETCH_BENCH_DIR chooses another place.
source "$(dirname "$0")/benchlib.sh"
bench_make_workdir "${FETCH_BENCH_DIR:-}"

mkdir -p "$WORK/www" "$WORK/out-fetch" "$WORK/out-curl"
for ((i = 0; i < FILES; i++)); do
    head -c $((FILE_MIB * 1024 * 1024)) /dev/urandom >"$WORK/www/file$i.bin"
done

bench_start_nginx "$WORK/www" /file0.bin

URLS=()
for ((i = 0; i < FILES; i++)); do
    URLS+=("http://127.0.0.1:$PORT/file$i.bin")
done
# Warm the page cache so that neither side pays for the disk.
cat "$WORK"/www/*.bin >/dev/null

# Prints "<milliseconds> <peak resident KiB>".
run_fetch() {
    rm -f "$WORK"/out-fetch/*
    local start end
    start=$(bench_now_ns)
    /usr/bin/time -f "%M" -o "$WORK/time-fetch" "$FETCH" --out "$WORK/out-fetch" "${URLS[@]}" >"$WORK/fetch.log"
    end=$(bench_now_ns)
    echo "$(((end - start) / 1000000)) $(cat "$WORK/time-fetch")"
}

run_curl() {
    rm -f "$WORK"/out-curl/*
    local start end
    start=$(bench_now_ns)
    (cd "$WORK/out-curl" &&
        curl -s -f --no-progress-meter --parallel --parallel-max $IN_FLIGHT --remote-name-all "${URLS[@]}")
    end=$(bench_now_ns)
    echo "$(((end - start) / 1000000))"
}

check_outputs() {
    for ((i = 0; i < FILES; i++)); do
        if ! cmp -s "$WORK/www/file$i.bin" "$WORK/out-fetch/file$i.bin" ||
            ! cmp -s "$WORK/www/file$i.bin" "$WORK/out-curl/file$i.bin"; then
            echo "fetch_bench: file$i.bin differs from the served file" >&2
            exit 1
        fi
    done
}

fetch_ms=()
curl_ms=()
peak_kib=()
for ((round = 1; round <= ROUNDS; round++)); do
    if ((round % 2)); then
        read -r t1 m1 < <(run_fetch)
        t2=$(run_curl)
    else
        t2=$(run_curl)
        read -r t1 m1 < <(run_fetch)
    fi
    check_outputs
    fetch_ms+=("$t1")
    curl_ms+=("$t2")
    peak_kib+=("$m1")
    echo "round $round: ferro-fetch ${t1} ms (peak ${m1} KiB), curl ${t2} ms"
done

m1=$(printf '%s\n' "${fetch_ms[@]}" | bench_median)
m2=$(printf '%s\n' "${curl_ms[@]}" | bench_median)
peak=$(printf '%s\n' "${peak_kib[@]}" | sort -n | tail -1)
awk -v m1="$m1" -v m2="$m2" -v n="$ROUNDS" -v files="$FILES" -v mib="$FILE_MIB" -v peak="$peak" \
    -v inflight="$IN_FLIGHT" 'BEGIN {
    total = files * mib
    printf "median of %d rounds over %d x %d MiB: ferro-fetch %.0f ms (%.0f MiB/s), curl %.0f ms (%.0f MiB/s)\n",
        n, files, mib, m1, total * 1000 / m1, m2, total * 1000 / m2
    printf "ratio ferro-fetch / curl: %.2f (goal: at most 1.25)\n", m1 / m2
    budget = (inflight * mib + 16) * 1024
    printf "peak resident memory of ferro-fetch: %.1f MiB (goal: at most %d x %d MiB in flight + 16 MiB = %.0f MiB)\n",
        peak / 1024, inflight, mib, budget / 1024
}'
