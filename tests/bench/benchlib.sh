# Sourced by the shell benchmarks: a working folder and a static nginx on 127.0.0.1.
#
#   bench_make_workdir PREFIX_VARIABLE_VALUE  sets WORK (in /dev/shm unless the value names a
#                                             folder: the disk would be timed, not the clients)
#   bench_start_nginx ROOT PROBE_PATH         serves ROOT, sets PORT and NGINX_PID, waits until
#                                             PROBE_PATH answers
#   bench_require NAME "TOOL..." PROGRAM...   stops with a message when a tool or a built
#                                             program is missing
# The EXIT trap stops nginx and removes WORK.

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
    NGINX_PID=
    trap bench_cleanup EXIT
}

bench_cleanup() {
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
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
