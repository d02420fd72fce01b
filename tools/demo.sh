#!/usr/bin/env bash
# A short session on a virtual serial line: varnel-emu answers as the handheld unit,
# varnel-pc plays the PC configuration program and sends all 21 commands.
# Usage: tools/demo.sh [BIN_DIR]   (default build/bin)
set -uo pipefail

BIN_DIR=${1:-build/bin}
EMU=$BIN_DIR/varnel-emu
PC=$BIN_DIR/varnel-pc
RECORDS=5

for tool in "$EMU" "$PC"; do
    if [ ! -x "$tool" ]; then
        echo "demo: $tool not found; build first (make build) or pass the bin dir" >&2
        exit 1
    fi
done
if ! command -v socat >/dev/null; then
    echo "demo: socat not installed (tools/install-deps.sh installs it)" >&2
    exit 1
fi
EMU=$(cd "$(dirname "$EMU")" && pwd)/varnel-emu

WORK=$(mktemp -d "${TMPDIR:-/tmp}/varnel-demo.XXXXXX")
SOCAT_PID=""
EMU_PID=""

# shellcheck disable=SC2317  # called through the trap
cleanup() {
    # The emulator first (orderly close on SIGTERM), then the line under it.
    if [ -n "$EMU_PID" ] && kill -0 "$EMU_PID" 2>/dev/null; then
        kill -TERM "$EMU_PID" 2>/dev/null
        wait "$EMU_PID" 2>/dev/null
    fi
    if [ -n "$SOCAT_PID" ] && kill -0 "$SOCAT_PID" 2>/dev/null; then
        kill -TERM "$SOCAT_PID" 2>/dev/null
        wait "$SOCAT_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

wait_until() { # SECONDS COMMAND...: polls every 50 ms
    local tries=$(($1 * 20))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.05
    done
}

socat pty,raw,echo=0,link="$WORK/emu" pty,raw,echo=0,link="$WORK/peer" 2>"$WORK/socat.log" &
SOCAT_PID=$!
if ! wait_until 10 test -e "$WORK/emu" -a -e "$WORK/peer"; then
    echo "demo: socat did not create the pty pair" >&2
    cat "$WORK/socat.log" >&2
    exit 1
fi

# Run in the work dir so the day's log file lands there, not in the caller's tree.
(cd "$WORK" && exec "$EMU" --records "$RECORDS" "$WORK/emu" </dev/null >"$WORK/emu.out" 2>"$WORK/emu.err") &
EMU_PID=$!
if ! wait_until 20 grep -sq '打开串口成功$' "$WORK/emu.out"; then
    echo "demo: varnel-emu did not open $WORK/emu" >&2
    cat "$WORK/emu.out" "$WORK/emu.err" >&2
    exit 1
fi

ascii_hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n' | tr a-f A-F; }
name10_hex() { # a name field: the ASCII text zero-padded to 10 bytes
    local hex
    hex=$(ascii_hex "$1")
    while [ ${#hex} -lt 20 ]; do hex="${hex}00"; done
    printf '%s' "$hex"
}

# Code, gloss, content as hex (empty for requests without content).
# Names set by the PC are GB2312: B0E2CAD6 is "扳手", D5C5C8FD is "张三".
SESSION=(
    "1  set-time                  07EA0C08090A0B"
    "2  get-time"
    "3  set-factory-serial-number $(ascii_hex SN20261208)"
    "4  get-factory-serial-number"
    "5  set-device-name           B0E2CAD6"
    "6  get-device-name"
    "7  set-device-number         $(ascii_hex 87654321)"
    "8  get-device-number"
    "9  set-lock-status           01$(ascii_hex 1234)"
    "10 set-usage-password        $(ascii_hex 8888)"
    "11 set-usage-count           00000064"
    "12 get-file-records"
    "13 clear-file-records"
    "14 set-fallback-information  005A0A"
    "15 set-operator-name         D5C5C8FD"
    "16 get-operator-name"
    "17 import-torque-mode-data   0001$(name10_hex W1)0000006405"
    "18 import-bolt-mode-data     $(name10_hex ABC)0002$(name10_hex M10)$(name10_hex M12)01$(name10_hex 8.8)0000003200000046010000"
    "19 import-angle-mode-data    005A"
    "20 import-gear-mode-data     02010000012C0200000190"
    "21 import-sensor-mode-data   0001$(name10_hex S1)00000100"
)

failed=0
for entry in "${SESSION[@]}"; do
    read -r code gloss hex <<<"$entry"
    echo "==> [$code] $gloss${hex:+ $hex}"
    timeout=3000
    [ "$code" = 12 ] && timeout=10000
    # shellcheck disable=SC2086  # an empty content is no argument at all
    "$PC" send --timeout "$timeout" "$WORK/peer" "$gloss" $hex
    status=$?
    if [ "$status" -ne 0 ]; then
        echo "demo: $gloss failed (exit $status)" >&2
        failed=1
    fi
    echo
done

# An orderly end of the emulator belongs to the demo too.
kill -TERM "$EMU_PID"
wait "$EMU_PID"
status=$?
EMU_PID=""
if [ "$status" -ne 0 ]; then
    echo "demo: varnel-emu exited with $status" >&2
    failed=1
fi

echo "==> varnel-emu log"
cat "$WORK/emu.out"
if [ -s "$WORK/emu.err" ]; then
    echo "==> varnel-emu standard error"
    cat "$WORK/emu.err"
fi
exit "$failed"
