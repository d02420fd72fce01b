#!/usr/bin/env bash
# Builds the container image offline and checks it from the host: the base image is made from
# Debian's packages (mmdebstrap, then podman import as debian:bookworm-slim), the image is built
# with --pull=never, run with host networking serving two TCP units, and probed with curl and
# varnel-pc. Then the Kubernetes manifests are rendered and read.
# Usage: tools/check-image.sh BUILD_DIR VERSION
set -euo pipefail
export LC_ALL=C.UTF-8
build=$(cd "$1" && pwd) version=$2
root=$(cd "$(dirname "$0")/.." && pwd)
image=localhost/varnel-emu:$version
start=$(date +%s)
# No systemd, no cgroup delegation and no raisable ulimits in a CI sandbox.
export CONTAINERS_CONF=$root/package/container/containers.conf

failures=0
# The reply line of `varnel-pc send` against the frame layout with a CRC-16/MODBUS of our own:
# get-time's content is the clock (the container's zone is UTC), so its fields are checked
# against the host's clock and the frame rebuilt from them; the serial number's is fixed.
check_reply='
import datetime, sys
def crc(data):
    value = 0xFFFF
    for byte in data:
        value ^= byte
        for _ in range(8):
            value = (value >> 1) ^ 0xA001 if value & 1 else value >> 1
    return bytes([value & 0xFF, value >> 8])
def frame(command, content):
    head = bytes([0x5A, 0xA5, 0x12, 0x34, command]) + len(content).to_bytes(2, "big") + content
    return head + crc(head)
assert frame(0x02, b"").hex() == "5aa51234020000ee03"
command, out = sys.argv[1], sys.argv[2]
replies = [bytes.fromhex(line[2:]) for line in out.splitlines() if line.startswith("< ")]
if len(replies) != 1:
    sys.exit("%d reply frames" % len(replies))
reply = replies[0]
if command == "get-time":
    clock = reply[7:14]
    sent = datetime.datetime(int.from_bytes(clock[:2], "big"), *clock[2:])
    if abs((sent - datetime.datetime.utcnow()).total_seconds()) > 60:
        sys.exit("the clock says %s" % sent)
    expected = frame(0x02, clock)
else:
    expected = frame(0x04, b"SERIALNUMBER")
if reply != expected:
    sys.exit("expected %s" % expected.hex().upper())
'
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Without systemd podman cannot time the health check, and says so on each start and stop of a
# container that has one; the check itself is run by hand below.
podman_quiet() {
    podman "$@" 2> >(grep -v 'unable to get systemd connection' >&2)
}
work=$(mktemp -d)
container=""
cleanup() {
    [ -z "$container" ] || podman rm -f "$container" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# The base, made once per build tree (CI starts this early, beside the other stages).
"$root/tools/make-base-image.sh" "$build/image-base"
echo "base image ready after $(($(date +%s) - start)) s"

"$root/tools/stage-image.sh" "$build" "$work/context"
built=$(date +%s)
podman build --quiet --pull=never --format docker --network host -t "$image" "$work/context" >/dev/null
echo "built $image in $(($(date +%s) - built)) s"

# Size, and what the largest packages add to it.
size=$(podman image inspect --format '{{.Size}}' "$image")
echo "image size: $((size / 1000000)) MB (goal under 200 MB); largest packages, kB:"
podman run --rm --no-healthcheck --entrypoint dpkg-query "$image" -Wf '${Installed-Size}\t${Package}\n' | sort -rn | head -8 |
    sed 's/^/  /'
[ "$size" -lt 200000000 ] || fail "the image is $((size / 1000000)) MB, over 200 MB"
[ "$(podman image inspect --format '{{.Config.User}}' "$image")" = varnel ] || fail "the image runs as root"
podman run --rm --no-healthcheck --entrypoint sh "$image" -c 'command -v varnel-test || dpkg -l | grep -q libqt5widgets' &&
    fail "the image holds the desktop window or Qt Widgets"

# Two units on free ports; the API on a free port too (host networking shares the host's), one
# named in VARNEL_CONTROL so the image's health check finds it.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
container=$(podman_quiet run -d --network host -e VARNEL_ENDPOINTS="tcp:127.0.0.1:0 tcp:127.0.0.1:0" \
    -e VARNEL_CONTROL=127.0.0.1:$port "$image")
api=""
for _ in $(seq 100); do
    api=$(podman logs "$container" 2>&1 | sed -n 's/.*CONTROL \(http:[^ ]*\).*/\1/p' | head -1)
    [ -n "$api" ] && break
    sleep 0.1
done
[ -n "$api" ] || { podman logs "$container" >&2; fail "no CONTROL line"; exit 1; }
mapfile -t units < <(podman logs "$container" 2>&1 | sed -n 's/.*LISTEN \(tcp:[^ ]*\).*/\1/p')
[ "${#units[@]}" -eq 2 ] || fail "LISTEN lines: ${units[*]}"
code=$(curl -s -o "$work/ready" -w '%{http_code}' "$api/readyz")
[ "$code" = 200 ] || fail "/readyz answered $code: $(cat "$work/ready")"
for unit in "${units[@]}"; do
    for command in get-time get-factory-serial-number; do
        out=$("$build/bin/varnel-pc" send --timeout 3000 "$unit" "$command" 2>&1) || {
            fail "$command on $unit: $out"
            continue
        }
        /usr/bin/python3 -c "$check_reply" "$command" "$out" || fail "$command on $unit answered: $out"
    done
done
podman healthcheck run "$container" >/dev/null || fail "the image's health check found it unhealthy"
metrics=$(curl -s "$api/metrics")
for n in 1 2; do
    grep -q "unit=\"$n\"" <<<"$metrics" || fail "/metrics names no unit $n"
done
stop_start=$(date +%s%N)
podman_quiet stop --time 10 "$container" >/dev/null
stop_ms=$((($(date +%s%N) - stop_start) / 1000000))
# The container's end as podman recorded it, without podman's own clean-up after it.
finished=$(podman inspect --format '{{.State.FinishedAt}}' "$container")
ended_ms=$((($(date -d "${finished% UTC}" +%s%N) - stop_start) / 1000000))
echo "podman stop took $stop_ms ms, the container ended after $ended_ms ms"
[ "$ended_ms" -lt 2000 ] || fail "the container ended $ended_ms ms after podman stop (over 2 s)"
# conmon may still be writing the last lines down when the container is recorded as ended.
closed=""
for _ in $(seq 20); do
    podman logs "$container" 2>&1 | grep -q 'Device Closed!' && { closed=yes; break; }
    sleep 0.1
done
[ -n "$closed" ] || { podman logs "$container" 2>&1 | tail -5 >&2; fail "no \"Device Closed!\" in the log"; }
[ "$(podman inspect --format '{{.State.ExitCode}}' "$container")" = 0 ] || fail "exit status after SIGTERM"

# A bad value from the environment is refused at start, naming the variable.
set +e
bad=$(podman run --rm --no-healthcheck --network host -e VARNEL_RECORDS=lots -e VARNEL_ENDPOINTS=tcp:127.0.0.1:0 \
    -e VARNEL_CONTROL=127.0.0.1:0 "$image" 2>&1)
status=$?
set -e
[ "$status" = 2 ] || fail "VARNEL_RECORDS=lots: exit $status"
grep -q VARNEL_RECORDS <<<"$bad" || fail "VARNEL_RECORDS=lots: $bad"

/usr/bin/python3 "$root/tools/check-manifests.py" "$root" || fail "manifests"
echo "check-image took $(($(date +%s) - start)) s"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all image checks passed"
