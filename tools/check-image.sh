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
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
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

"$root/tools/stage-image.sh" "$build" "$work/context"
podman build --quiet --pull=never --format docker --network host -t "$image" "$work/context" >/dev/null
echo "built $image in $(($(date +%s) - start)) s"

# Size, and what the largest packages add to it.
size=$(podman image inspect --format '{{.Size}}' "$image")
echo "image size: $((size / 1000000)) MB (goal under 200 MB); largest packages, kB:"
podman run --rm --entrypoint dpkg-query "$image" -Wf '${Installed-Size}\t${Package}\n' | sort -rn | head -8 |
    sed 's/^/  /'
[ "$size" -lt 200000000 ] || fail "the image is $((size / 1000000)) MB, over 200 MB"
[ "$(podman image inspect --format '{{.Config.User}}' "$image")" = varnel ] || fail "the image runs as root"
podman run --rm --entrypoint sh "$image" -c 'command -v varnel-test || dpkg -l | grep -q libqt5widgets' &&
    fail "the image holds the desktop window or Qt Widgets"

# Two units on free ports; the API on a free port too (host networking shares the host's).
container=$(podman run -d --network host -e VARNEL_ENDPOINTS="tcp:127.0.0.1:0 tcp:127.0.0.1:0" \
    -e VARNEL_CONTROL=127.0.0.1:0 "$image")
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
    # The serial number's reply is fixed: compare the whole frame.
    out=$("$build/bin/varnel-pc" send --timeout 3000 "$unit" get-factory-serial-number 2>&1) ||
        fail "get-factory-serial-number on $unit: $out"
    grep -q '5AA512340A000C53455249414C4E554D424552' <<<"$out" || fail "$unit answered: $out"
    "$build/bin/varnel-pc" send --timeout 3000 "$unit" get-time >/dev/null 2>&1 || fail "get-time on $unit"
done
metrics=$(curl -s "$api/metrics")
for n in 1 2; do
    grep -q "unit=\"$n\"" <<<"$metrics" || fail "/metrics names no unit $n"
done
stop_start=$(date +%s%N)
podman stop --time 10 "$container" >/dev/null
stop_ms=$((($(date +%s%N) - stop_start) / 1000000))
echo "podman stop took $stop_ms ms"
[ "$stop_ms" -lt 2000 ] || fail "podman stop took $stop_ms ms (over 2 s)"
podman logs "$container" 2>&1 | grep -q 'Device Closed!' || fail "no \"Device Closed!\" in the log"
[ "$(podman inspect --format '{{.State.ExitCode}}' "$container")" = 0 ] || fail "exit status after SIGTERM"

# A bad value from the environment is refused at start, naming the variable.
set +e
bad=$(podman run --rm --network host -e VARNEL_RECORDS=lots -e VARNEL_ENDPOINTS=tcp:127.0.0.1:0 \
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
