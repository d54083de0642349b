#!/usr/bin/env bash
# The start of an intact installation: how long a player waits between starting the launcher
# and the client's first line, when there is nothing to update. The installation holds
# 5,000 files in 50 folders, all named by the installed file list, and the sample client
# libraries. Each round starts, in alternating order:
#   launcher: arvolauncher -textclient (no update check: the public universe checks in the
#             background only), timed from the start of the process to the sample client's
#             first line on standard output;
#   reference: /bin/true, timed from its start to its end (what starting any process costs
#             here).
#   peer:     with PEER_BUILD_DIR, the launcher of another build (an older one) on a copy of
#             the same installation, timed the same way, and the ratio of the two medians.
# Prints the medians, the machine's core count and the shared libraries the launcher loads
# (ldd, and those loaded by the run itself) and the load. Goal: launcher median under 50 ms.
# Usage: tests/bench/start_bench.sh [BUILD_DIR] [ROUNDS] [PEER_BUILD_DIR]   (defaults: build, 21)
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD_DIR=${1:-build}
ROUNDS=${2:-21}
PEER_BUILD_DIR=${3:-}
BIN_DIR=$BUILD_DIR/bin
FILES=5000
FOLDERS=50
for program in arvolauncher ferro.so ferroui.so ferroconsole.so; do
    if [ ! -e "$BIN_DIR/$program" ]; then
        echo "start_bench: $BIN_DIR/$program is missing; build it first" >&2
        exit 1
    fi
done

source "$(dirname "$0")/benchlib.sh"
bench_make_workdir "${START_BENCH_DIR:-}"
echo "start_bench: working in $WORK"

# The installation: the launcher with what ships beside it, the client libraries, the
# language files, and the files of the installed list with their sizes.
INSTALL=$WORK/install
mkdir -p "$INSTALL/package"
cp "$BIN_DIR/arvolauncher" "$BIN_DIR/ferro.so" "$BIN_DIR/ferroui.so" "$BIN_DIR/ferroconsole.so" "$INSTALL/"
for module in "$BIN_DIR"/arvolauncher_*.so; do
    [ -e "$module" ] && cp "$module" "$INSTALL/"
done
cp -r "$BIN_DIR/public" "$INSTALL/"
python3 - "$INSTALL" "$FILES" "$FOLDERS" <<'EOF'
import os, sys
install, files, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
lines = []
for i in range(files):
    path = "content/dir%02d/file%05d.dat" % (i % folders, i)
    os.makedirs(os.path.join(install, os.path.dirname(path)), exist_ok=True)
    size = 100 + (i * 7919) % 4000
    with open(os.path.join(install, path), "wb") as f:
        f.write(b"x" * size)
    lines.append("%s,%d\n" % (path, size))
with open(os.path.join(install, "package", "arvo_launcher_linux.installed"), "w") as f:
    f.writelines(lines)
EOF

# The peer's launcher and client libraries on a copy of the installation.
if [ -n "$PEER_BUILD_DIR" ]; then
    cp -r "$INSTALL" "$WORK/peer"
    rm -f "$WORK"/peer/arvolauncher*
    cp "$PEER_BUILD_DIR/bin/arvolauncher" "$PEER_BUILD_DIR/bin/ferro.so" "$PEER_BUILD_DIR/bin/ferroui.so" \
        "$PEER_BUILD_DIR/bin/ferroconsole.so" "$WORK/peer/"
fi

# One timed start: prints milliseconds. The launcher counts until the client's first line
# (the rest of the run, the client's own report and the shutdown, is not the player's wait).
cat >"$WORK/timed_start.py" <<'EOF'
import os, subprocess, sys, time
mode, cwd = sys.argv[1], sys.argv[2]
env = dict(os.environ, FERRO_ASSUME_ADMIN="0", FERRO_REGISTRY_DIR=sys.argv[3],
           FERRO_IPC_NAMESPACE=os.environ["BENCH_NAMESPACE"])
if mode == "reference":
    start = time.perf_counter()
    subprocess.run(["/bin/true"], check=True)
    print("%.1f" % ((time.perf_counter() - start) * 1000))
    sys.exit(0)
start = time.perf_counter()
proc = subprocess.Popen(["./arvolauncher", "-textclient"], cwd=cwd, env=env, stdout=subprocess.PIPE,
                        stderr=subprocess.DEVNULL, text=True)
elapsed = None
lines = []
for line in proc.stdout:
    lines.append(line)
    if elapsed is None and line.startswith("client "):
        elapsed = (time.perf_counter() - start) * 1000
proc.wait(timeout=60)
if elapsed is None or proc.returncode != 0:
    sys.stderr.write("start_bench: the client did not start (exit %s):\n%s" % (proc.returncode, "".join(lines)))
    sys.exit(1)
print("%.1f" % elapsed)
EOF

export BENCH_NAMESPACE
timed() { python3 "$WORK/timed_start.py" "$1" "${2:-$INSTALL}" "$WORK/registry"; }

# One start that is not counted: the page cache holds the program and the files afterwards.
timed launcher >/dev/null
[ -n "$PEER_BUILD_DIR" ] && timed launcher "$WORK/peer" >/dev/null
launcher_ms=()
reference_ms=()
peer_ms=()
for ((round = 1; round <= ROUNDS; round++)); do
    if ((round % 2)); then
        t1=$(timed launcher)
        t2=$(timed reference)
        [ -n "$PEER_BUILD_DIR" ] && peer_ms+=("$(timed launcher "$WORK/peer")")
    else
        [ -n "$PEER_BUILD_DIR" ] && peer_ms+=("$(timed launcher "$WORK/peer")")
        t2=$(timed reference)
        t1=$(timed launcher)
    fi
    launcher_ms+=("$t1")
    reference_ms+=("$t2")
done
echo "launcher: ${launcher_ms[*]} ms"

m1=$(printf '%s\n' "${launcher_ms[@]}" | bench_median)
m2=$(printf '%s\n' "${reference_ms[@]}" | bench_median)
linked=$(ldd "$INSTALL/arvolauncher" | wc -l)
loaded=$(cd "$INSTALL" && FERRO_ASSUME_ADMIN=0 FERRO_REGISTRY_DIR="$WORK/registry" \
    FERRO_IPC_NAMESPACE="$BENCH_NAMESPACE" LD_DEBUG=files ./arvolauncher -textclient 2>&1 >/dev/null |
    grep -c 'calling init:' || true)
echo "== start_bench ($BUILD_DIR): cores $(nproc), load $(bench_load)"
echo "shared libraries: $linked linked (ldd), $loaded initialised in a -textclient run (with the client's)"
echo "median of $ROUNDS starts ($FILES files installed): launcher $m1 ms to the client's first line" \
    "(goal < 50 ms), /bin/true $m2 ms"
if [ -n "$PEER_BUILD_DIR" ]; then
    m3=$(printf '%s\n' "${peer_ms[@]}" | bench_median)
    echo "peer launcher ($PEER_BUILD_DIR): $m3 ms, ratio launcher / peer $(bench_ratio "$m1" "$m3")"
fi
