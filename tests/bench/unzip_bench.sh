#!/usr/bin/env bash
# Unpacking throughput of the installation (read the archive whole, BUnzipPackage) against
# unzip on the same 256 MiB archive, in the same run. Each round times both as whole
# processes writing into a fresh folder, in alternating order; prints the medians and the
# ratio installation / unzip.
# Usage: tests/bench/unzip_bench.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 3)
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD_DIR=${1:-build}
ROUNDS=${2:-3}
BENCH=$BUILD_DIR/bin/unzip_file_bench
SIZE_MIB=256
FILES=32
if [ ! -x "$BENCH" ]; then
    echo "unzip_bench: $BENCH is missing; build it with: cmake --build $BUILD_DIR --target unzip_file_bench" >&2
    exit 1
fi
command -v zip >/dev/null && command -v unzip >/dev/null || {
    echo "unzip_bench: needs zip and unzip (scripts/setup)" >&2
    exit 1
}

source "$(dirname "$0")/benchlib.sh"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# Text-like content that deflates to about three quarters, like the binaries of a build.
mkdir -p "$WORK/staging/bin"
for ((i = 0; i < FILES; i++)); do
    head -c $((SIZE_MIB * 1024 * 1024 * 3 / 4 / FILES)) /dev/urandom | base64 -w 0 >"$WORK/staging/bin/file$i.dat"
done
(cd "$WORK/staging" && zip -q -r "$WORK/build.zip" bin)
cat "$WORK/build.zip" >/dev/null
echo "archive: $(du -m "$WORK/build.zip" | cut -f1) MiB, unpacked $(du -sm "$WORK/staging" | cut -f1) MiB"

run_install() {
    rm -rf "$WORK/install"
    read -r total _read _bytes < <("$BENCH" "$WORK/build.zip" "$WORK/install")
    echo "$total"
}

run_unzip() {
    rm -rf "$WORK/out"
    local start end
    start=$(bench_now_ns)
    unzip -q -o "$WORK/build.zip" -d "$WORK/out"
    end=$(bench_now_ns)
    echo $(((end - start) / 1000000))
}

install_ms=()
unzip_ms=()
for ((i = 1; i <= ROUNDS; i++)); do
    if ((i % 2)); then
        install_ms+=("$(run_install)")
        unzip_ms+=("$(run_unzip)")
    else
        unzip_ms+=("$(run_unzip)")
        install_ms+=("$(run_install)")
    fi
done
# The unpacked files must be the same.
cmp -s "$WORK/out/bin/file0.dat" "$WORK/install/package/tmp/bin/file0.dat" || {
    echo "unzip_bench: unpacked files differ" >&2
    exit 1
}

m_install=$(printf '%s\n' "${install_ms[@]}" | bench_median)
m_unzip=$(printf '%s\n' "${unzip_ms[@]}" | bench_median)
echo "installation unpacking: ${m_install} ms (rounds: ${install_ms[*]})"
echo "unzip:                  ${m_unzip} ms (rounds: ${unzip_ms[*]})"
awk -v a="$m_install" -v b="$m_unzip" 'BEGIN { printf "ratio installation / unzip: %.2f\n", a / b }'
