#!/usr/bin/env bash
# The Wine runner on bad input: no Wine at all, a Wine prefix that cannot be created, and a
# Windows program that hangs. Each must fail with a message that says which, in bounded
# time, and never report success. Prints one line per case and "N passed, N failed".
# Run by scripts/test-windows after the build (it needs the chosen build's launcher).
set -uo pipefail
cd "$(dirname "$0")/../.."
passed=0
failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# expect NAME STATUS TEXT MAX_SECONDS -- COMMAND...: the command must end with STATUS within
# MAX_SECONDS and say TEXT on standard error.
expect() {
    local name=$1 want_status=$2 want_text=$3 max_seconds=$4
    shift 5
    local start=$SECONDS status
    timeout 120 "$@" >"$work/out" 2>"$work/err" </dev/null
    status=$?
    local seconds=$((SECONDS - start))
    if [ $status -eq "$want_status" ] && grep -q -- "$want_text" "$work/err" && [ $seconds -le "$max_seconds" ]; then
        echo "ok: $name (exit $status in $seconds s: $(grep -m1 -- "$want_text" "$work/err"))"
        passed=$((passed + 1))
    else
        echo "FAILED: $name: exit $status in $seconds s (wanted $want_status within $max_seconds s and \"$want_text\")"
        sed 's/^/    /' "$work/err" | tail -n 5
        failed=$((failed + 1))
    fi
}

expect "no Wine starts" 3 "no Wine starts on this machine" 60 -- \
    env -u FERRO_WINE_CHOSEN -u FERRO_WINE_TARGET FERRO_WINE32_LOADER=/nonexistent/wine \
    FERRO_WINE64_LOADER=/nonexistent/wine64 scripts/wine-run platform_check.exe
expect "forced Wine that does not start" 3 "FERRO_WINE_TARGET=win64, but" 60 -- \
    env -u FERRO_WINE_CHOSEN FERRO_WINE_TARGET=win64 FERRO_WINE64_LOADER=/bin/false scripts/wine-run platform_check.exe
# A kernel that cannot run 32-bit programs: the 32-bit loader does not start (here a file
# the kernel refuses to run), so the 64-bit build is chosen, and the line says why.
printf '\x7fELF\x07\x07not-a-program' >"$work/wine32" && chmod +x "$work/wine32"
expect "32-bit Wine does not start: the 64-bit path" 0 "win64: the x86_64 build under .* because .* does not start" 60 -- \
    env -u FERRO_WINE_CHOSEN -u FERRO_WINE_TARGET FERRO_WINE32_LOADER="$work/wine32" scripts/wine-run --choose
touch "$work/a-file"
expect "a Wine prefix that cannot be created" 3 "cannot be created" 60 -- \
    env FERRO_WINEPREFIX="$work/a-file/prefix" scripts/wine-run platform_check.exe

# A launcher whose client waits 60 s for a hand-off: stopped after 5 s.
install=$work/install
mkdir -p "$install/package"
target=${FERRO_WINE_CHOSEN:-$(scripts/wine-run --choose 2>/dev/null)}
bin_dir=build-${target}/bin
cp "$bin_dir"/arvolauncher.exe "$bin_dir"/ferro.dll "$bin_dir"/ferroui.dll "$bin_dir"/ferroconsole.dll "$install/"
touch "$install/package/arvo_launcher_$target.installed"
expect "a program that hangs" 124 "did not finish in 5 s" 40 -- \
    env FERRO_WINE_CHOSEN="$target" FERRO_WINE_TIMEOUT=5 \
    bash -c "cd '$install' && '$PWD/scripts/wine-run' ./arvolauncher.exe -textclient -client-wait-handoff 60"

echo "wine-run bad input: $passed passed, $failed failed"
[ $failed -eq 0 ]
