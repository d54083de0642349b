#!/usr/bin/env bash
# A fresh install by the launcher against the same work done with standard tools, in the
# same run. A build of about 1 GiB in 24 packages of incompressible data is published with
# ferro-publish and served by nginx on 127.0.0.1. Each round times, in alternating order:
#   launcher: arvolauncher -textclient ferro://ExitFerro on an empty install directory
#             (the launcher and a ferro.cfg pointing at the service): manifest, parallel
#             downloads, SHA-1 of every archive, unpacking, commit, bookkeeping;
#   baseline: curl --parallel --parallel-max 3 of the manifest's packages, sha1sum -c,
#             unzip of each archive into a temporary folder, mv into place.
# Prints both medians, their ratio, and the launcher's peak resident memory (/usr/bin/time).
# Goals: ratio at most 1.2, peak under 400 MiB.
# Usage: tests/bench/install_bench.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 3)
set -euo pipefail
cd "$(dirname "$0")/../.."
SOURCE_DIR=$(pwd)

BUILD_DIR=${1:-build}
ROUNDS=${2:-3}
LAUNCHER=$BUILD_DIR/bin/arvolauncher
PUBLISH=$BUILD_DIR/bin/ferro-publish
PACKAGES=24
PACKAGE_MIB=42
PLATFORM=linux
source "$(dirname "$0")/benchlib.sh"
bench_require install_bench "nginx curl unzip sha1sum /usr/bin/time python3" "$LAUNCHER" "$PUBLISH"

# On a memory file system when there is one: the content, the archives and the installed
# files are 3 GiB per side, and a shared machine's disk would time the disk, not the
# installers. INSTALL_BENCH_DIR chooses another place.
bench_make_workdir "${INSTALL_BENCH_DIR:-}"
echo "install_bench: working in $WORK"

# The build: one directory per package, two files each.
mkdir -p "$WORK/staging" "$WORK/content" "$WORK/registry"
for ((i = 0; i < PACKAGES; i++)); do
    dir=$(printf '%s/staging/pkg%02d' "$WORK" "$i")
    mkdir -p "$dir/sub"
    head -c $((PACKAGE_MIB * 1024 * 1024 * 3 / 4)) /dev/urandom >"$dir/main.bin"
    head -c $((PACKAGE_MIB * 1024 * 1024 / 4)) /dev/urandom >"$dir/sub/extra.bin"
done
"$PUBLISH" build --key "$SOURCE_DIR/tests/keys/dev_manifest_private.der" --version 1 \
    --input "$WORK/staging" --output "$WORK/content" >/dev/null
MANIFEST=$WORK/content/client/arvo_launcher_$PLATFORM
chmod -R a+rX "$WORK/content"

bench_start_nginx "$WORK/content" "/client/arvo_launcher_$PLATFORM"

# The manifest's archives: "<file> <size>" lines.
mapfile -t ARCHIVES < <(awk -F'"' '$2 == "file" { f = $4 } $2 == "size" && f != "" { print f; f = "" }' "$MANIFEST")
if [ "${#ARCHIVES[@]}" -ne "$PACKAGES" ]; then
    echo "install_bench: expected $PACKAGES packages in the manifest, found ${#ARCHIVES[@]}" >&2
    exit 1
fi
TOTAL_BYTES=$(cat "$WORK"/content/client/*.zip.* | wc -c)
echo "install_bench: $PACKAGES packages, $((TOTAL_BYTES / 1024 / 1024)) MiB of archives"
# Warm the page cache so that neither side pays for reading the content.
cat "$WORK"/content/client/* >/dev/null

now_ns() { date +%s%N; }

# Prints "<milliseconds> <peak resident KiB>".
run_launcher() {
    local dir=$WORK/install-launcher start end
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$LAUNCHER" "$dir/"
    echo "ClientDownloadHost=127.0.0.1:$PORT" >"$dir/ferro.cfg"
    start=$(now_ns)
    (cd "$dir" && FERRO_ASSUME_ADMIN=0 FERRO_REGISTRY_DIR="$WORK/registry" FERRO_IPC_NAMESPACE="install-bench-$$" \
        /usr/bin/time -f "%M" -o "$WORK/time-launcher" ./arvolauncher -textclient ferro://ExitFerro \
        >"$WORK/launcher.log" 2>&1) || true
    end=$(now_ns)
    if ! grep -q "Update complete" "$WORK/launcher.log"; then
        echo "install_bench: the launcher did not complete the install:" >&2
        tail -20 "$WORK/launcher.log" >&2
        exit 1
    fi
    echo "$(((end - start) / 1000000)) $(tail -1 "$WORK/time-launcher")"
}

run_baseline() {
    local dir=$WORK/install-baseline start end urls=() sums=() name
    rm -rf "$dir"
    mkdir -p "$dir/package/tmp"
    for name in "${ARCHIVES[@]}"; do
        urls+=("http://127.0.0.1:$PORT/client/$name")
        sums+=("${name##*.}  $name")
    done
    start=$(now_ns)
    curl -s -f --no-progress-meter --parallel --parallel-max 3 --output-dir "$dir/package" \
        --remote-name-all "${urls[@]}"
    (cd "$dir/package" && printf '%s\n' "${sums[@]}" | sha1sum -c --quiet -)
    for name in "${ARCHIVES[@]}"; do
        unzip -q -o "$dir/package/$name" -d "$dir/package/tmp"
    done
    for entry in "$dir"/package/tmp/*; do
        mv "$entry" "$dir/"
    done
    end=$(now_ns)
    echo "$(((end - start) / 1000000))"
}

check_outputs() {
    if ! diff -r -q "$WORK/staging" "$WORK/install-baseline" -x package >/dev/null ||
        ! diff -r -q "$WORK/staging" "$WORK/install-launcher" -x package -x logs -x arvolauncher \
            -x ferro.cfg >/dev/null; then
        echo "install_bench: an installed tree differs from the build" >&2
        exit 1
    fi
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

launcher_ms=()
baseline_ms=()
peak_kib=()
for ((round = 1; round <= ROUNDS; round++)); do
    if ((round % 2)); then
        read -r t1 m1 < <(run_launcher)
        t2=$(run_baseline)
    else
        t2=$(run_baseline)
        read -r t1 m1 < <(run_launcher)
    fi
    check_outputs
    rm -rf "$WORK/install-launcher" "$WORK/install-baseline"
    launcher_ms+=("$t1")
    baseline_ms+=("$t2")
    peak_kib+=("$m1")
    echo "round $round: launcher ${t1} ms (peak $((m1 / 1024)) MiB), baseline ${t2} ms"
done

m1=$(printf '%s\n' "${launcher_ms[@]}" | median)
m2=$(printf '%s\n' "${baseline_ms[@]}" | median)
peak=$(printf '%s\n' "${peak_kib[@]}" | sort -n | tail -1)
ratio=$(awk -v a="$m1" -v b="$m2" 'BEGIN { printf "%.2f", a / b }')
echo "median: launcher $m1 ms, baseline $m2 ms, ratio $ratio (goal <= 1.20)"
echo "launcher peak resident memory: $((peak / 1024)) MiB (goal < 400 MiB)"
