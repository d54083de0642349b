#!/usr/bin/env bash
# A fresh install by the launcher against the same work done with standard tools, in the
# same run. A build of about 1 GiB in 24 packages of incompressible data is published with
# ferro-publish and served by nginx on 127.0.0.1. Each round times three sides, the order
# rotating from round to round:
#   launcher:    arvolauncher -textclient ferro://ExitFerro on an empty install directory
#                (the launcher and a ferro.cfg pointing at the service): manifest, downloads,
#                digests, unpacking, commit, bookkeeping;
#   sequential:  for each package in turn: curl it, sha1sum -c it, unzip it into a temporary
#                folder; then mv everything into place;
#   3 at a time: the same steps for each package, three packages at a time (xargs -P 3),
#                then mv.
# Every installed tree is compared with the build. Prints the medians, the ratios of the
# launcher to each script, the launcher's peak resident memory (/usr/bin/time), the core
# count and the load. Goals: launcher / sequential at most 0.30, launcher / 3 at a time at
# most 0.60, peak under 128 MiB.
# Usage: tests/bench/install_bench.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 3)
# INSTALL_BENCH_DIR names the working folder's parent (default /dev/shm).
set -euo pipefail
# A failure inside $(...) stops the script too.
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."

BUILD_DIR=${1:-build}
ROUNDS=${2:-3}
LAUNCHER=$BUILD_DIR/bin/arvolauncher
PUBLISH=$BUILD_DIR/bin/ferro-publish
PACKAGES=24
PACKAGE_MIB=42
source "$(dirname "$0")/benchlib.sh"
bench_require install_bench "nginx curl unzip sha1sum xargs /usr/bin/time python3" "$LAUNCHER" "$PUBLISH"

# On a memory file system when there is one: the content, the archives and the installed
# files are 3 GiB per side, and a shared machine's disk would time the disk, not the
# installers.
bench_make_workdir "${INSTALL_BENCH_DIR:-}"
echo "install_bench: working in $WORK"

# The build: one directory per package, two files each.
for ((i = 0; i < PACKAGES; i++)); do
    dir=$(printf '%s/staging/pkg%02d' "$WORK" "$i")
    mkdir -p "$dir/sub"
    head -c $((PACKAGE_MIB * 1024 * 1024 * 3 / 4)) /dev/urandom >"$dir/main.bin"
    head -c $((PACKAGE_MIB * 1024 * 1024 / 4)) /dev/urandom >"$dir/sub/extra.bin"
done
bench_publish 1 "$WORK/staging" "$WORK/content"
MANIFEST_PATH=/client/arvo_launcher_$BENCH_PLATFORM
bench_start_nginx "$WORK/content" "$MANIFEST_PATH"

mapfile -t ARCHIVES < <(bench_manifest_archives "$WORK/content$MANIFEST_PATH")
if [ "${#ARCHIVES[@]}" -ne "$PACKAGES" ]; then
    echo "install_bench: expected $PACKAGES packages in the manifest, found ${#ARCHIVES[@]}" >&2
    exit 1
fi
TOTAL_BYTES=$(cat "$WORK"/content/client/*.zip.* | wc -c)
echo "install_bench: $PACKAGES packages, $((TOTAL_BYTES / 1024 / 1024)) MiB of archives"
# Warm the page cache so that no side pays for reading the content.
cat "$WORK"/content/client/* >/dev/null

# One package of the scripts: download, digest (the archive's name ends in its SHA-1),
# unpacking into the temporary folder; the first step that fails ends it (also in the shells
# xargs starts, which do not stop on errors). Exported for those shells.
script_package() {
    local dir=$1 name=$2
    curl -s -f --no-progress-meter -o "$dir/package/$name" "http://127.0.0.1:$PORT/client/$name" &&
        (cd "$dir/package" && echo "${name##*.}  $name" | sha1sum -c --quiet -) &&
        unzip -q -o "$dir/package/$name" -d "$dir/package/tmp"
}
export -f script_package
export PORT

# The scripts' commit: every top-level entry of the temporary folder moves into place.
script_commit() {
    local dir=$1 entry
    for entry in "$dir"/package/tmp/*; do
        mv "$entry" "$dir/"
    done
}

# Each side prints "<milliseconds>" (the launcher also its peak resident KiB) and leaves
# its tree in $WORK/install-<side>.
run_launcher() {
    local dir=$WORK/install-launcher ms
    bench_new_install "$dir"
    ms=$(bench_run_launcher "$dir" "$WORK/launcher.log")
    bench_require_update "$WORK/launcher.log" install_bench "the install"
    echo "$ms $(tail -1 "$WORK/launcher.time")"
}

run_sequential() {
    local dir=$WORK/install-sequential start name
    rm -rf "$dir"
    mkdir -p "$dir/package/tmp"
    start=$(bench_now_ns)
    for name in "${ARCHIVES[@]}"; do
        script_package "$dir" "$name"
    done
    script_commit "$dir"
    echo $((($(bench_now_ns) - start) / 1000000))
}

run_parallel() {
    local dir=$WORK/install-parallel start
    rm -rf "$dir"
    mkdir -p "$dir/package/tmp"
    start=$(bench_now_ns)
    printf '%s\n' "${ARCHIVES[@]}" | xargs -P 3 -I '{}' bash -c 'script_package "$1" "$2"' _ "$dir" '{}'
    script_commit "$dir"
    echo $((($(bench_now_ns) - start) / 1000000))
}

# Each tree is compared with the build and removed before the next side runs: a side that
# ran while the others' trees held 4 GiB of memory would pay for pages the host has not
# given the machine yet (3 to 7 s instead of 3 s here), whichever side it is.
check_tree() {
    local side=$1
    if ! diff -r -q "$WORK/staging" "$WORK/install-$side" -x package -x logs -x arvolauncher \
        -x ferro.cfg >/dev/null; then
        echo "install_bench: the tree installed by the $side side differs from the build" >&2
        exit 1
    fi
    rm -rf "$WORK/install-$side"
}

SIDES=(launcher sequential parallel)
declare -A times this_round
peak_kib=()
for ((round = 0; round < ROUNDS; round++)); do
    for ((k = 0; k < ${#SIDES[@]}; k++)); do
        side=${SIDES[(round + k) % ${#SIDES[@]}]}
        out=$("run_$side")
        read -r ms kib <<<"$out"
        if [ "$side" = launcher ]; then
            peak_kib+=("$kib")
        fi
        this_round[$side]=$ms
        times[$side]+="$ms "
        check_tree "$side"
    done
    echo "round $((round + 1)) (ms): launcher ${this_round[launcher]} (peak $((peak_kib[-1] / 1024)) MiB)," \
        "sequential ${this_round[sequential]}, 3 at a time ${this_round[parallel]}; load $(bench_load)"
done

median_of() { printf '%s\n' ${times[$1]} | bench_median; }
launcher=$(median_of launcher) sequential=$(median_of sequential) parallel=$(median_of parallel)
peak=$(printf '%s\n' "${peak_kib[@]}" | sort -n | tail -1)
echo "== install_bench ($BUILD_DIR): fresh install of $((TOTAL_BYTES / 1024 / 1024)) MiB in $PACKAGES packages," \
    "median of $ROUNDS rounds; cores $(nproc), load $(bench_load)"
echo "launcher $launcher ms, sequential script $sequential ms, 3-at-a-time script $parallel ms"
echo "launcher / sequential: $(bench_ratio "$launcher" "$sequential") (goal <= 0.30)"
echo "launcher / 3 at a time: $(bench_ratio "$launcher" "$parallel") (goal <= 0.60)"
echo "launcher peak resident memory: $((peak / 1024)) MiB (goal < 128 MiB)"
