#!/usr/bin/env bash
# The player's download rate limit: a 40 MiB build (one incompressible package) installed by
# the launcher with "-downloadrate 2048" from nginx on 127.0.0.1, against curl
# --limit-rate 2048K fetching the same archive in the same run. Prints both times, the time
# the limit allows (archive bytes / 2048 KiB/s, 20 s), the launcher's deviation from it and
# its ratio to curl. Goal: the launcher within 10% of the allowed time.
# Usage: tests/bench/ratelimit_bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
SOURCE_DIR=$(pwd)
BUILD_DIR=${1:-build}
LAUNCHER=$BUILD_DIR/bin/arvolauncher
PUBLISH=$BUILD_DIR/bin/ferro-publish
RATE_KBPS=2048
PLATFORM=linux
source "$(dirname "$0")/benchlib.sh"
bench_require ratelimit_bench "nginx curl python3" "$LAUNCHER" "$PUBLISH"

bench_make_workdir "${RATELIMIT_BENCH_DIR:-}"
mkdir -p "$WORK/staging/data" "$WORK/content" "$WORK/registry" "$WORK/install"
head -c $((40 * 1024 * 1024)) /dev/urandom >"$WORK/staging/data/blob.bin"
"$PUBLISH" build --key "$SOURCE_DIR/tests/keys/dev_manifest_private.der" --version 1 \
    --input "$WORK/staging" --output "$WORK/content" >/dev/null
chmod -R a+rX "$WORK/content"
ARCHIVE=$(cd "$WORK/content/client" && ls data.zip.*)
BYTES=$(stat -c %s "$WORK/content/client/$ARCHIVE")
bench_start_nginx "$WORK/content" "/client/arvo_launcher_$PLATFORM"

cp "$LAUNCHER" "$WORK/install/"
echo "ClientDownloadHost=127.0.0.1:$PORT" >"$WORK/install/ferro.cfg"
start=$(bench_now_ns)
(cd "$WORK/install" && FERRO_ASSUME_ADMIN=0 FERRO_REGISTRY_DIR="$WORK/registry" FERRO_IPC_NAMESPACE="ratelimit-bench-$$" \
    ./arvolauncher -textclient -downloadrate $RATE_KBPS ferro://ExitFerro >"$WORK/launcher.log" 2>&1) || true
end=$(bench_now_ns)
if ! grep -q "Update complete" "$WORK/launcher.log"; then
    echo "ratelimit_bench: the launcher did not complete the install:" >&2
    tail -20 "$WORK/launcher.log" >&2
    exit 1
fi
launcher_ms=$(((end - start) / 1000000))

start=$(bench_now_ns)
curl -s -f --limit-rate ${RATE_KBPS}K -o "$WORK/curl.zip" "http://127.0.0.1:$PORT/client/$ARCHIVE"
end=$(bench_now_ns)
curl_ms=$(((end - start) / 1000000))

python3 - "$BYTES" "$RATE_KBPS" "$launcher_ms" "$curl_ms" <<'EOP'
import sys
size, rate, launcher_ms, curl_ms = (int(v) for v in sys.argv[1:])
allowed = size / (rate * 1024.0)
launcher = launcher_ms / 1000.0
print("ratelimit_bench: %.1f MiB at -downloadrate %d: launcher %.2f s (install included), curl --limit-rate %.2f s"
      % (size / 1048576.0, rate, launcher, curl_ms / 1000.0))
print("ratelimit_bench: the limit allows %.2f s; launcher %+.1f%% from it; launcher / curl = %.2f"
      % (allowed, (launcher / allowed - 1) * 100, launcher / (curl_ms / 1000.0)))
EOP
