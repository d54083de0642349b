#!/usr/bin/env bash
# Many files in one directory against the same files spread over many: installing and
# verifying n files in one directory must cost about n times one file. Two builds of the
# same 30,000 small files are published with ferro-publish and served by nginx on
# 127.0.0.1: "flat" keeps them all in one directory, "spread" in 100 directories of 300.
# Each round installs each build (arvolauncher -textclient ferro://ExitFerro on an empty
# install directory: download, unpacking, commit, bookkeeping) and then starts it again on
# the installed build (the verification of every file), in alternating order.
# Prints the medians, their ratios flat / spread, the machine's core count and the load.
# Goal: install ratio at most 1.5.
# Usage: tests/bench/onedir_bench.sh [BUILD_DIR] [ROUNDS] [FILES]   (defaults: build, 3, 30000)
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD_DIR=${1:-build}
ROUNDS=${2:-3}
FILES=${3:-30000}
FOLDERS=100
LAUNCHER=$BUILD_DIR/bin/arvolauncher
PUBLISH=$BUILD_DIR/bin/ferro-publish
source "$(dirname "$0")/benchlib.sh"
bench_require onedir_bench "nginx curl python3 /usr/bin/time" "$LAUNCHER" "$PUBLISH"

bench_make_workdir "${ONEDIR_BENCH_DIR:-}"
echo "onedir_bench: working in $WORK"

# The two builds: the same names and contents, in one folder or in FOLDERS.
python3 - "$WORK" "$FILES" "$FOLDERS" <<'PYEOF'
import os, sys
work, files, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for layout in ("flat", "spread"):
    for i in range(files):
        folder = "data" if layout == "flat" else "data/d%03d" % (i % folders)
        os.makedirs(os.path.join(work, "staging-" + layout, folder), exist_ok=True)
        with open(os.path.join(work, "staging-" + layout, folder, "File%05d.dat" % i), "wb") as f:
            f.write(("%d " % i).encode() * (20 + i % 50))
PYEOF
for layout in flat spread; do
    bench_publish 1 "$WORK/staging-$layout" "$WORK/content-$layout"
done
# nginx serves whichever build the link names.
ln -s "$WORK/content-flat" "$WORK/content"
bench_start_nginx "$WORK/content" "/client/arvo_launcher_$BENCH_PLATFORM"

# Runs the launcher in the install directory; prints the milliseconds it took and the
# milliseconds of processor time it used (user and system: on a loaded machine the wall
# clock also counts the waits for a processor).
export BENCH_TIME_FORMAT="%U %S"
run_launcher() {
    local ms
    ms=$(bench_run_launcher "$1" "$WORK/launcher.log")
    echo "$ms,$(tail -1 "$WORK/launcher.time" | awk '{ printf "%d", ($1 + $2) * 1000 }')"
}

# Installs a build into a fresh directory, then starts again on it; prints both times.
install_and_verify() {
    local layout=$1 dir=$WORK/install-$1 t_install t_verify
    ln -sfn "$WORK/content-$layout" "$WORK/content"
    bench_new_install "$dir"
    t_install=$(run_launcher "$dir")
    if ! grep -q "Update complete" "$WORK/launcher.log" ||
        [ "$(find "$dir/data" -type f | wc -l)" -ne "$FILES" ]; then
        echo "onedir_bench: the $layout build was not installed:" >&2
        tail -20 "$WORK/launcher.log" >&2
        exit 1
    fi
    t_verify=$(run_launcher "$dir")
    if grep -q "Downloading" "$WORK/launcher.log"; then
        echo "onedir_bench: the installed $layout build did not verify:" >&2
        tail -20 "$WORK/launcher.log" >&2
        exit 1
    fi
    rm -rf "$dir"
    echo "$t_install $t_verify"
}

# Each value is "wall,cpu" in milliseconds.
declare -A times
for ((round = 1; round <= ROUNDS; round++)); do
    if ((round % 2)); then
        read -r fi fv < <(install_and_verify flat)
        read -r si sv < <(install_and_verify spread)
    else
        read -r si sv < <(install_and_verify spread)
        read -r fi fv < <(install_and_verify flat)
    fi
    times[flat_install]+="$fi " times[flat_verify]+="$fv " times[spread_install]+="$si "
    times[spread_verify]+="$sv "
    echo "round $round (wall,cpu ms): install flat $fi, spread $si; start on it flat $fv, spread $sv"
done

# The median of one field (1 wall, 2 processor) of a series.
series_median() { printf '%s\n' ${times[$1]} | cut -d, -f"$2" | bench_median; }
echo "== onedir_bench ($BUILD_DIR): $FILES files, median of $ROUNDS rounds; cores $(nproc), load $(bench_load)"
for field in 1 2; do
    name=$([ "$field" = 1 ] && echo "wall clock" || echo "processor time")
    awk -v fi="$(series_median flat_install $field)" -v si="$(series_median spread_install $field)" \
        -v fv="$(series_median flat_verify $field)" -v sv="$(series_median spread_verify $field)" \
        -v n="$FILES" -v d="$FOLDERS" -v name="$name" 'BEGIN {
        printf "%s: install of %d files in one directory %d ms, in %d directories %d ms, ratio %.2f (goal <= 1.50)\n", name, n, fi, d, si, si ? fi / si : 0
        printf "%s: start on the installed build, one directory %d ms, %d directories %d ms, ratio %.2f\n", name, fv, d, sv, sv ? fv / sv : 0
    }'
done
