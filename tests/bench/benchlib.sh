# Sourced by the shell benchmarks: a working folder, a static nginx on 127.0.0.1, published
# builds, timed launcher runs and the numbers of a summary.
#
#   bench_make_workdir [PARENT]               sets WORK (in /dev/shm unless PARENT names a
#                                             folder: the disk would be timed, not the clients),
#                                             with WORK/registry, and BENCH_NAMESPACE, the
#                                             launchers' hand-off name
#   bench_require_space NAME PARENT GIB       stops with a message when PARENT has less free
#   bench_start_nginx ROOT PROBE_PATH         serves ROOT, sets PORT and NGINX_PID, waits until
#                                             PROBE_PATH answers
#   bench_require NAME "TOOL..." PROGRAM...   stops with a message when a tool or a built
#                                             program is missing
#   bench_publish VERSION STAGING CONTENT [OPTION...]
#                                             ferro-publish build ($PUBLISH) with the dev key
#   bench_manifest_archives MANIFEST          prints the archive file names it lists
#   bench_new_install DIR                     an empty install directory: the launcher and a
#                                             ferro.cfg naming the nginx of this run
#   bench_run_launcher DIR LOG [ARG...]       arvolauncher -textclient [ARG...] ferro://ExitFerro
#                                             in DIR; prints its milliseconds; /usr/bin/time's
#                                             figures (BENCH_TIME_FORMAT, default the peak
#                                             resident KiB) go to $WORK/launcher.time
#   bench_require_update LOG NAME WHAT        stops with the log's end unless the update completed
#   bench_now_ns, bench_median (numbers on standard input), bench_ratio A B, bench_load
# The EXIT trap stops nginx, removes WORK and the hand-off files of BENCH_NAMESPACE.

BENCH_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BENCH_PLATFORM=linux

bench_require() {
    local name=$1 tools=$2 tool program
    shift 2
    for tool in $tools; do
        if ! command -v "$tool" >/dev/null; then
            echo "$name: $tool is missing" >&2
            exit 1
        fi
    done
    for program in "$@"; do
        if [ ! -x "$program" ]; then
            echo "$name: $program is missing; build it first" >&2
            exit 1
        fi
    done
}

bench_make_workdir() {
    local parent=${1:-}
    if [ -z "$parent" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
        parent=/dev/shm
    fi
    WORK=$(mktemp -d ${parent:+-p "$parent"})
    # nginx started by root reads as an unprivileged user.
    chmod 755 "$WORK"
    mkdir -p "$WORK/registry"
    NGINX_PID=
    BENCH_NAMESPACE="$(basename "$0" .sh)-$$"
    trap bench_cleanup EXIT
}

bench_require_space() {
    local name=$1 parent=$2 gib=$3 free_kib
    free_kib=$(df -Pk "$parent" | awk 'NR == 2 { print $4 }')
    if [ "$free_kib" -lt $((gib * 1024 * 1024)) ]; then
        echo "$name: $parent has $((free_kib / 1024 / 1024)) GiB free, the benchmark needs $gib GiB;" \
            "name another folder (on a disk, not a memory file system)" >&2
        exit 1
    fi
}

bench_cleanup() {
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
    rm -f /dev/shm/*"$BENCH_NAMESPACE".*
}

bench_start_nginx() {
    local root=$1 probe=$2
    mkdir -p "$WORK/logs"
    # A free port: the kernel picks one for a socket that is closed again at once.
    PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
    # One process (no master): stopping it by pid leaves no worker behind.
    cat >"$WORK/nginx.conf" <<EOC
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/logs/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 65;
    default_type application/octet-stream;
    server { listen 127.0.0.1:$PORT; root $root; }
}
EOC
    nginx -c "$WORK/nginx.conf" -p "$WORK" -e "$WORK/logs/error.log" &
    NGINX_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do
        if curl -s -o /dev/null "http://127.0.0.1:$PORT$probe"; then
            return 0
        fi
        sleep 0.05
    done
    echo "nginx did not start on port $PORT" >&2
    return 1
}

bench_publish() {
    local version=$1 staging=$2 content=$3
    shift 3
    "$PUBLISH" build --key "$BENCH_SOURCE_DIR/tests/keys/dev_manifest_private.der" --version "$version" \
        --input "$staging" --output "$content" "$@" >/dev/null
    chmod -R a+rX "$content"
}

bench_manifest_archives() {
    awk -F'"' '$2 == "file" { print $4 }' "$1"
}

bench_new_install() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$LAUNCHER" "$dir/"
    echo "ClientDownloadHost=127.0.0.1:$PORT" >"$dir/ferro.cfg"
}

bench_run_launcher() {
    local dir=$1 log=$2 start end
    shift 2
    start=$(bench_now_ns)
    (cd "$dir" && FERRO_ASSUME_ADMIN=0 FERRO_REGISTRY_DIR="$WORK/registry" FERRO_IPC_NAMESPACE="$BENCH_NAMESPACE" \
        /usr/bin/time -f "${BENCH_TIME_FORMAT:-%M}" -o "$WORK/launcher.time" ./arvolauncher -textclient "$@" \
        ferro://ExitFerro >"$log" 2>&1) || true
    end=$(bench_now_ns)
    echo $(((end - start) / 1000000))
}

bench_require_update() {
    local log=$1 name=$2 what=$3
    if ! grep -q "Update complete" "$log"; then
        echo "$name: the launcher did not complete $what:" >&2
        tail -20 "$log" >&2
        exit 1
    fi
}

bench_now_ns() { date +%s%N; }

bench_median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

bench_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b ? a / b : 0 }'; }

# The load averages (1, 5, 15 minutes): the machine is shared, figures are read against them.
bench_load() { cut -d' ' -f1-3 /proc/loadavg; }
