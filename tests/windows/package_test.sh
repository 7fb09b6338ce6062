#!/usr/bin/env bash
# The Windows package as a user meets it: scripts/package-windows makes the zip; unpacked in a folder of
# its own, quillon.exe starts under Wine with nothing beside it but the example config.txt (whose COM3 this
# session does not have), and Ctrl-C ends it with exit code 0.
#   package_test.sh REPOSITORY WINE_SESSION_DIR
set -euo pipefail
repo="$1"
session="$2"
work="$(mktemp -d)"
pid=""
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    [ -f "$folder/log.txt" ] && cat "$folder/log.txt" >&2
    exit 1
}

zip="$("$repo/scripts/package-windows" "$work" | tail -n 1)"
[ -f "$zip" ] || fail "no zip from package-windows"
case "$(basename "$zip")" in quillon-*-win64.zip) ;; *) fail "unexpected name $zip" ;; esac
(cd "$work" && cmake -E tar xf "$zip")
folder="$work/$(basename "$zip" .zip)"
for file in quillon.exe config.txt README.txt; do
    [ -f "$folder/$file" ] || fail "$file is not in the package"
done
grep -q $'^serial_port COM3 .*\r$' "$folder/config.txt" || fail "config.txt has no CRLF serial_port COM3 line"

rm -f "$session/prefix/dosdevices/com3"
(cd "$folder" && exec "$repo/scripts/wine-session" run "$session" quillon.exe --headless >out.txt 2>&1) &
pid=$!
for _ in $(seq 200); do
    grep -q "Controller - Start" "$folder/log.txt" 2>/dev/null && break
    sleep 0.1
done
grep -q "Serial - Unable to open serial port (COM3)" "$folder/log.txt" ||
    fail "the example configuration's port was not tried"
kill -INT "$pid"
for _ in $(seq 200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "quillon.exe did not end within 20 s of Ctrl-C"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || fail "exit code $status after Ctrl-C"
grep -q "Network - Stop" "$folder/log.txt" || fail "no normal shutdown"
echo "package $(basename "$zip"): unpacked, started with its config.txt, ended by Ctrl-C with code 0"
