#!/usr/bin/env bash
# Makes debian:bookworm-slim for podman from Debian's packages when no registry is reachable:
# mmdebstrap's minbase with a merged /usr made by its hook (no usrmerge, so no perl), and the
# slim image's dpkg settings: no documentation, manuals or locales, and no sync after each file
# (a container's layer is thrown away whole if the build fails). The excludes go in a file of
# their own rather than --dpkgopt, which would pass every archive through mmdebstrap's Python
# tar filter; what the first extraction left is removed at the end. eatmydata spares the
# bootstrap's own syncs, and a tmpfs (when there is one) its writes.
# Usage: tools/make-base-image.sh CACHE_DIR   (the tarball is kept there for the next run)
set -euo pipefail
base=docker.io/library/debian:bookworm-slim
export CONTAINERS_CONF=${CONTAINERS_CONF:-$(cd "$(dirname "$0")/.." && pwd)/package/container/containers.conf}
if podman image exists "$base"; then
    exit 0
fi
mkdir -p "$1"
tarball=$1/bookworm-slim.tar
if [ ! -s "$tarball" ]; then
    echo "making $base with mmdebstrap (a minute or two)"
    start=$(date +%s)
    if [ -w /dev/shm ] && [ "$(df --output=avail -k /dev/shm | tail -1)" -gt 1000000 ]; then
        export TMPDIR=/dev/shm
    fi
    hooks=/usr/share/mmdebstrap/hooks
    slim='path-exclude=/usr/share/doc/*
path-include=/usr/share/doc/*/copyright
path-exclude=/usr/share/man/*
path-exclude=/usr/share/locale/*
path-exclude=/usr/share/info/*
force-unsafe-io'
    SLIM=$slim mmdebstrap --quiet --variant=minbase --hook-dir="$hooks/merged-usr" --hook-dir="$hooks/eatmydata" \
        --setup-hook='mkdir -p "$1/etc/dpkg/dpkg.cfg.d" && printf "%s\n" "$SLIM" >"$1/etc/dpkg/dpkg.cfg.d/slim"' \
        --customize-hook='cd "$1/usr/share" && rm -rf man/* locale/* info/* && find doc -type f ! -name copyright -delete' \
        bookworm "$1/partial.tar" >"$1/mmdebstrap.log" 2>&1 || {
        cat "$1/mmdebstrap.log" >&2
        exit 1
    }
    mv "$1/partial.tar" "$tarball"
    echo "made $tarball in $(($(date +%s) - start)) s"
fi
podman import --quiet "$tarball" "$base" >/dev/null
echo "imported $base ($(($(stat -c %s "$tarball") / 1000000)) MB)"
