#!/usr/bin/env bash
# The update of one changed package in a large installation against downloading that
# package alone, in the same run. A build of 4 GiB in 20,000 files (64 packages of 64 MiB,
# incompressible) is published with ferro-publish, served by nginx on 127.0.0.1 and
# installed once by the launcher (not timed). Version 2 changes a few files of one folder,
# so exactly one package differs (checked with "ferro-publish diff"). Each round, in
# alternating order:
#   launcher: arvolauncher -textclient -download ferro://ExitFerro on the installation of
#             version 1, updating it to version 2 (start to exit: manifest, verification
#             of the installed files, download, digest, unpacking, commit, bookkeeping);
#   peer:     curl downloading the changed package's archive from the same nginx.
# Between rounds the installation goes back to version 1 by the same kind of update (not
# timed). Prints both medians, the difference launcher - curl, their ratio, the core count
# and the load. Goal: the difference at most 1 s.
# The build is published in parts (ferro-publish build of some of the folders each, one per
# core at once) whose package entries are joined into one manifest signed with
# "ferro-publish sign"; version 2 is version 1 with the entry of a build of the changed
# folder alone: publishing the whole 4 GiB again would cost minutes of compression for
# archives that come out the same. Every manifest of the run is newer than the one before.
# Usage: tests/bench/incremental_bench.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 3)
# The working folder (about 13 GiB) goes under INCREMENTAL_BENCH_DIR (default /tmp), which
# must be on a disk, not a memory file system. INCREMENTAL_BENCH_PACKAGE_MIB makes the
# packages smaller (the same files, smaller) for a quick check of the script itself.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."

BUILD_DIR=${1:-build}
ROUNDS=${2:-3}
LAUNCHER=$BUILD_DIR/bin/arvolauncher
PUBLISH=$BUILD_DIR/bin/ferro-publish
PACKAGES=64
FILES=20000
PACKAGE_MIB=${INCREMENTAL_BENCH_PACKAGE_MIB:-64}
CHANGED=pkg37
CHANGED_FILES=4
# The build, its archives, the installed files and the launcher's copies of the archives,
# and room to spare.
NEEDED_GIB=$((PACKAGES * PACKAGE_MIB * 7 / 2 / 1024 + 1))
PARENT=${INCREMENTAL_BENCH_DIR:-/tmp}
source "$(dirname "$0")/benchlib.sh"
bench_require incremental_bench "nginx curl python3 df diff /usr/bin/time" "$LAUNCHER" "$PUBLISH"

if [ "$(stat -f -c %T "$PARENT")" = tmpfs ]; then
    echo "incremental_bench: $PARENT is a memory file system; the benchmark writes about" \
        "$NEEDED_GIB GiB: set INCREMENTAL_BENCH_DIR to a folder on a disk" >&2
    exit 1
fi
bench_require_space incremental_bench "$PARENT" "$NEEDED_GIB"
bench_make_workdir "$PARENT"
echo "incremental_bench: working in $WORK; load $(bench_load)"
setup_start=$(bench_now_ns)

# The build: FILES files of equal size in PACKAGES folders. Each file is a header naming it
# and a slice of one random pool: every archive item is compressed on its own, so the
# slices stay incompressible while only the pool comes from the random source.
python3 - "$WORK/staging" "$PACKAGES" "$FILES" "$PACKAGE_MIB" <<'PYEOF'
import os, sys
staging, packages, files, package_mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
size = packages * package_mib * 1024 * 1024 // files
pool = os.urandom(64 * 1024 * 1024)
for i in range(files):
    folder = os.path.join(staging, "pkg%02d" % (i % packages), "d%d" % (i % 8))
    os.makedirs(folder, exist_ok=True)
    header = b"file %08d\n" % i
    offset = (i * 7919 * 4099) % (len(pool) - size)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(header)
        f.write(pool[offset:offset + size - len(header)])
PYEOF
# Publishing compresses every byte at zlib's best level, minutes of one core for 4 GiB: the
# folders are published in one part per core at once, and make_manifest joins the parts'
# package entries into one signed manifest. Folders a little over 64 MiB stay one package.
MAX_PACKAGE=$(((PACKAGE_MIB + 16) * 1024 * 1024))
PARTS=$(nproc)
# Every manifest of the run is newer than the one before: its timestamp is this plus its
# version.
TIMESTAMP=$(($(date +%s) - 1000))
mkdir -p "$WORK/content/client"
publish_part() {
    local name=$1 version=$2 staging=$3
    bench_publish "$version" "$staging" "$WORK/part-$name" --max-package-size "$MAX_PACKAGE" \
        --timestamp "$TIMESTAMP"
    mv "$WORK/part-$name"/client/*.zip.* "$WORK/content/client/"
}
for ((i = 0; i < PACKAGES; i++)); do
    mkdir -p "$WORK/staging-$((i % PARTS))"
    mv "$WORK/staging/$(printf 'pkg%02d' "$i")" "$WORK/staging-$((i % PARTS))/"
done
pids=()
for ((part = 0; part < PARTS; part++)); do
    publish_part "$part" 1 "$WORK/staging-$part" &
    pids+=($!)
done
for pid in "${pids[@]}"; do
    wait "$pid"
done
V1_PARTS=("$WORK"/part-*/client/arvo_launcher_$BENCH_PLATFORM)

# Version 2 of the changed folder: a few of its files rewritten, the same sizes. Of the
# build only this folder is kept, in both versions, for the checks after each update.
mkdir -p "$WORK/staging-v2" "$WORK/v1"
cp -r "$WORK"/staging-[0-9]*/"$CHANGED" "$WORK/staging-v2/"
mv "$WORK"/staging-[0-9]*/"$CHANGED" "$WORK/v1/"
rm -rf "$WORK"/staging-[0-9]* "$WORK/staging"
python3 - "$WORK/staging-v2/$CHANGED" "$CHANGED_FILES" <<'PYEOF'
import os, sys
folder, count = sys.argv[1], int(sys.argv[2])
paths = sorted(os.path.join(d, f) for d, _, names in os.walk(folder) for f in names)[:count]
for path in paths:
    size = os.path.getsize(path)
    with open(path, "wb") as f:
        f.write(os.urandom(size))
PYEOF
publish_part v2 2 "$WORK/staging-v2"
V2_PART=$WORK/part-v2/client/arvo_launcher_$BENCH_PLATFORM
CHANGED_ARCHIVE=$(bench_manifest_archives "$V2_PART")

# make_manifest VERSION OUT PART_MANIFEST...: a signed manifest of the package entries of
# the parts (a later part's entry replaces an earlier one of the same name).
make_manifest() {
    local version=$1 out=$2
    shift 2
    python3 - "$version" "$((TIMESTAMP + version))" "$@" >"$WORK/manifest.unsigned" <<'PYEOF'
import re, sys
version, timestamp, parts = sys.argv[1], sys.argv[2], sys.argv[3:]
header, entries = {}, {}
for path in parts:
    body = open(path).read().split('"kvsignatures"')[0]
    header.update(re.findall(r'^\t"(\w+)"\t\t"([^"]*)"$', body, re.M))
    for name, block in re.findall(r'^\t"([^"]+)"\n(\t\{\n.*?\n\t\}\n)', body, re.M | re.S):
        entries[name] = block
header.update(version=version, timestamp=timestamp)
out = ['"manifest"\n{\n']
out += ['\t"%s"\t\t"%s"\n' % item for item in header.items()]
out += ['\t"%s"\n%s' % (name, entries[name]) for name in sorted(entries)]
sys.stdout.write("".join(out) + "}\n")
PYEOF
    "$PUBLISH" sign --key "$BENCH_SOURCE_DIR/tests/keys/dev_manifest_private.der" "$WORK/manifest.unsigned" \
        "$out" >/dev/null
    "$PUBLISH" verify --pubkey-file "$BENCH_SOURCE_DIR/tests/keys/dev_manifest_public.hex" "$out" |
        grep -q '^valid'
}
MANIFEST=$WORK/content/client/arvo_launcher_$BENCH_PLATFORM
make_manifest 1 "$MANIFEST" "${V1_PARTS[@]}"
if [ "$(bench_manifest_archives "$MANIFEST" | wc -l)" -ne "$PACKAGES" ]; then
    echo "incremental_bench: expected $PACKAGES packages in version 1" >&2
    exit 1
fi
serve_manifest() {
    cp "$1" "$MANIFEST.new"
    chmod a+r "$MANIFEST.new"
    mv "$MANIFEST.new" "$MANIFEST"
}

make_manifest 2 "$WORK/manifest-check" "${V1_PARTS[@]}" "$V2_PART"
if ! "$PUBLISH" diff "$MANIFEST" "$WORK/manifest-check" | grep -q "^total: 1 of $PACKAGES packages"; then
    echo "incremental_bench: version 2 does not differ from version 1 in exactly one package:" >&2
    "$PUBLISH" diff "$MANIFEST" "$WORK/manifest-check" >&2
    exit 1
fi
CHANGED_BYTES=$(stat -c %s "$WORK/content/client/$CHANGED_ARCHIVE")
echo "incremental_bench: build published; $CHANGED ($((CHANGED_BYTES / 1024 / 1024)) MiB) changes," \
    "$(($(bench_now_ns) / 1000000000 - setup_start / 1000000000)) s so far"

bench_start_nginx "$WORK/content" "/client/arvo_launcher_$BENCH_PLATFORM"
INSTALL=$WORK/install
bench_new_install "$INSTALL"
ms=$(bench_run_launcher "$INSTALL" "$WORK/launcher.log")
bench_require_update "$WORK/launcher.log" incremental_bench "the first install"
installed=$(find "$INSTALL" -path "$INSTALL/pkg*" -type f | wc -l)
if [ "$installed" -ne "$FILES" ]; then
    echo "incremental_bench: the first install holds $installed files, not $FILES" >&2
    exit 1
fi
echo "incremental_bench: version 1 installed in $ms ms; setup took" \
    "$(($(bench_now_ns) / 1000000000 - setup_start / 1000000000)) s"

# The changed folder of the installation against one version of it.
check_changed() {
    if ! diff -r -q "$1" "$INSTALL/$CHANGED" >/dev/null; then
        echo "incremental_bench: $CHANGED of the installation is not $2" >&2
        exit 1
    fi
}

# "-download": in the public universe only a start asked to check for an update at once.
run_launcher() {
    bench_run_launcher "$INSTALL" "$WORK/launcher.log" -download
    bench_require_update "$WORK/launcher.log" incremental_bench "the update"
}
run_peer() {
    local start
    start=$(bench_now_ns)
    curl -s -f --no-progress-meter -o "$WORK/peer.zip" "http://127.0.0.1:$PORT/client/$CHANGED_ARCHIVE"
    echo $((($(bench_now_ns) - start) / 1000000))
    rm -f "$WORK/peer.zip"
}

launcher_ms=()
peer_ms=()
version=1
for ((round = 1; round <= ROUNDS; round++)); do
    version=$((version + 1))
    make_manifest "$version" "$WORK/manifest-next" "${V1_PARTS[@]}" "$V2_PART"
    serve_manifest "$WORK/manifest-next"
    if [ -e "$INSTALL/package/$CHANGED_ARCHIVE" ]; then
        echo "incremental_bench: the changed archive is in the package folder before the update" >&2
        exit 1
    fi
    # Both sides read the changed archive from the page cache.
    cat "$WORK/content/client/$CHANGED_ARCHIVE" >/dev/null
    if ((round % 2)); then
        t1=$(run_launcher)
        t2=$(run_peer)
    else
        t2=$(run_peer)
        t1=$(run_launcher)
    fi
    check_changed "$WORK/staging-v2/$CHANGED" "version 2 after the update"
    launcher_ms+=("$t1")
    peer_ms+=("$t2")
    echo "round $round (ms): launcher $t1 (peak $(($(tail -1 "$WORK/launcher.time") / 1024)) MiB)," \
        "curl $t2; load $(bench_load)"

    version=$((version + 1))
    make_manifest "$version" "$WORK/manifest-next" "${V1_PARTS[@]}"
    serve_manifest "$WORK/manifest-next"
    run_launcher >/dev/null
    check_changed "$WORK/v1/$CHANGED" "version 1 after the update back"
done

launcher=$(printf '%s\n' "${launcher_ms[@]}" | bench_median)
peer=$(printf '%s\n' "${peer_ms[@]}" | bench_median)
echo "== incremental_bench ($BUILD_DIR): update of one $((CHANGED_BYTES / 1024 / 1024)) MiB package in" \
    "$PACKAGES packages, $FILES files, $((PACKAGES * PACKAGE_MIB)) MiB; median of $ROUNDS rounds;" \
    "cores $(nproc), load $(bench_load)"
echo "launcher $launcher ms, curl of the changed archive $peer ms"
echo "launcher - curl: $(awk -v a="$launcher" -v b="$peer" 'BEGIN { printf "%d", a - b }') ms (goal <= 1000 ms);" \
    "launcher / curl: $(bench_ratio "$launcher" "$peer")"
