#!/usr/bin/env bash
# Makes debian:bookworm-slim for podman from Debian's packages when no registry is reachable:
# mmdebstrap's minbase without documentation, manuals and locales (what the slim image leaves
# out), and without usrmerge and the perl it pulls in, which only the merge itself needs.
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
    echo "making $base with mmdebstrap (a few minutes)"
    mmdebstrap --quiet --variant=minbase \
        --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
        --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
        --dpkgopt='path-exclude=/usr/share/info/*' \
        --customize-hook='chroot "$1" apt-get purge -qq -y --autoremove usrmerge perl perl-modules-5.36 libperl5.36 libfile-find-rule-perl libnumber-compare-perl libtext-glob-perl >/dev/null' \
        --customize-hook='chroot "$1" apt-get clean' \
        --customize-hook='rm -rf "$1"/var/lib/apt/lists/*' \
        bookworm "$1/partial.tar"
    mv "$1/partial.tar" "$tarball"
fi
podman import --quiet "$tarball" "$base" >/dev/null
echo "imported $base ($(($(stat -c %s "$tarball") / 1000000)) MB)"
