#!/usr/bin/env bash
# Fills a build context for package/container/Containerfile from a build tree: the two
# command-line programs, stripped, and the Debian packages of the shared libraries they link.
# Usage: tools/stage-image.sh BUILD_DIR CONTEXT_DIR
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR CONTEXT_DIR" >&2
    exit 2
fi
build=$1 context=$2
programs=(varnel-emu varnel-pc)
for p in "${programs[@]}"; do
    [ -x "$build/bin/$p" ] || { echo "$build/bin/$p: not built (make build)" >&2; exit 1; }
done
rm -rf "$context"
mkdir -p "$context/bin"
cp "$(dirname "$0")/../package/container/Containerfile" "$context/"
for p in "${programs[@]}"; do
    strip -o "$context/bin/$p" "$build/bin/$p"
done
# dpkg -S knows the path a package installed; ldd may print the /lib alias of a merged /usr.
for p in "${programs[@]}"; do ldd "$build/bin/$p"; done |
    awk '$2 == "=>" && $3 ~ /^\// {print $3}' | sort -u |
    while read -r lib; do
        real=$(readlink -f "$lib")
        dpkg -S "$real" 2>/dev/null || dpkg -S "/usr$real" 2>/dev/null || dpkg -S "${real#/usr}" 2>/dev/null ||
            { echo "$lib: no Debian package owns it" >&2; exit 1; }
    done | cut -d: -f1 | sort -u >"$context/packages.txt"
echo "staged ${programs[*]} into $context; packages: $(tr '\n' ' ' <"$context/packages.txt")"
