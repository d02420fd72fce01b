#!/usr/bin/env bash
# Checks a built varnel-test .deb: its control fields and contents, lintian's verdict when lintian is
# installed, then unpacks it into a throwaway root and runs its programs from there.
# Usage: tools/check-package.sh PACKAGE.deb
set -euo pipefail
export LC_ALL=C.UTF-8
unset LD_LIBRARY_PATH

if [ $# -ne 1 ]; then
    echo "usage: $0 PACKAGE.deb" >&2
    exit 2
fi
deb=$1
if [ ! -f "$deb" ]; then
    echo "$deb: no such package (make package builds it)" >&2
    exit 1
fi

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

dpkg-deb --info "$deb"
[ "$(dpkg-deb --field "$deb" Package)" = varnel-test ] || fail "package name is not varnel-test"
depends=$(dpkg-deb --field "$deb" Depends)
# dpkg-shlibdeps found the libraries the programs link.
for lib in libc6 'libstdc\+\+6' 'libqt[56]core' 'libqt[56]serialport' 'libqt[56]widgets' libdw1 python3 python3-serial socat; do
    grep -Eq "(^|, )$lib" <<<"$depends" || fail "Depends names no $lib: $depends"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
echo "contents:"
(cd "$root" && find . -mindepth 1 \( -type f -o -type l \) | sort | sed 's/^\./  /')

# Everything under /usr; every program with its man page; the desktop entry's program and icon present.
stray=$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr)
[ -z "$stray" ] || fail "files outside /usr: $stray"
programs=()
for exe in "$root"/usr/bin/*; do
    programs+=("$(basename "$exe")")
done
for p in varnel-test varnel-emu varnel-pc; do
    [ -x "$root/usr/bin/$p" ] || fail "/usr/bin/$p missing or not executable"
done
for p in "${programs[@]}"; do
    man="$root/usr/share/man/man1/$p.1.gz"
    if [ ! -f "$man" ]; then
        fail "no man page for $p"
        continue
    fi
    # Each option the program's --help names is in its man page.
    page=$(zcat "$man" | sed 's/\\-/-/g')
    for option in $("$root/usr/bin/$p" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -q -- "$option" <<<"$page" || fail "$p: the man page does not name $option"
    done
done
# The file formats and the fault rules have pages of their own.
for man in man5/varnel-scenario.5.gz man7/varnel-faults.7.gz; do
    [ -f "$root/usr/share/man/$man" ] || fail "/usr/share/man/$man missing"
done
desktop="$root/usr/share/applications/varnel-test.desktop"
if [ -f "$desktop" ]; then
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ -x "$root/usr/bin/$exec_name" ] || fail "desktop entry runs $exec_name, which is not in /usr/bin"
    [ -n "$(find "$root/usr/share/icons" -name "$icon.*" 2>/dev/null)" ] || fail "desktop entry's icon $icon missing"
else
    fail "no desktop entry"
fi
for doc in README.md scenario-fields.json scenario-csv.json uploaded.csv copyright changelog.gz; do
    [ -f "$root/usr/share/doc/varnel-test/$doc" ] || fail "/usr/share/doc/varnel-test/$doc missing"
done

[ -n "$(find "$root/usr/lib" -path '*/wireshark/plugins/varnel.lua' 2>/dev/null)" ] ||
    fail "no Wireshark dissector under /usr/lib/*/wireshark/plugins"

# The Python package imports from the unpacked root alone, and its pytest11 entry point is found there.
site="$root/usr/lib/python3/dist-packages"
for file in varnel/__init__.py varnel/pytest_plugin.py varnel-1.0.dist-info/METADATA varnel-1.0.dist-info/entry_points.txt; do
    [ -f "$site/$file" ] || fail "/usr/lib/python3/dist-packages/$file missing"
done
[ -z "$(find "$site" -name __pycache__)" ] || fail "__pycache__ folders in the package"
# The system's interpreter, whose path the package installs into.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
python_check=$(PYTHONDONTWRITEBYTECODE=1 "$python" -I -c '
import importlib.metadata
import sys

site = sys.argv[1]
sys.path.insert(0, site)
import varnel
import varnel.pytest_plugin

for module in (varnel, varnel.pytest_plugin):
    if not module.__file__.startswith(site + "/"):
        sys.exit("%s was imported from %s, not from the package" % (module.__name__, module.__file__))
dists = list(importlib.metadata.distributions(path=[site]))
if [(d.metadata["Name"], d.version, d.requires) for d in dists] != [("varnel", varnel.__version__, ["pyserial"])]:
    sys.exit("dist-info: %s" % [(d.metadata["Name"], d.version, d.requires) for d in dists])
found = [ep for dist in dists for ep in dist.entry_points if ep.group == "pytest11"]
# Named as the module, so "-p varnel.pytest_plugin" from a checkout loads it once beside the package.
if [(ep.name, ep.value) for ep in found] != [("varnel.pytest_plugin", "varnel.pytest_plugin")]:
    sys.exit("pytest11 entry points: %s" % [(ep.name, ep.value) for ep in found])
if found[0].load() is not varnel.pytest_plugin:
    sys.exit("the pytest11 entry point loads another module")
print("varnel %s and varnel.pytest_plugin import; pytest11 entry point varnel.pytest_plugin"
      % varnel.__version__)
' "$site" 2>&1) || fail "python package: $python_check"
echo "$python_check"
# pytest itself loads the plugin from the entry point: its --varnel-emu option is there.
if "$python" -c 'import pytest' 2>/dev/null; then
    usage=$(cd "$root" && PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$site" "$python" -m pytest -p no:cacheprovider --help) ||
        fail "pytest --help with the package on its path exited $?"
    if grep -q -- '--varnel-emu' <<<"$usage"; then
        echo "pytest loads the varnel plugin from the entry point"
    else
        fail "pytest does not load the varnel plugin from the entry point"
    fi
else
    echo "pytest not installed: plugin loading skipped"
fi

# The installed programs run on the system's libraries alone.
for p in "${programs[@]}"; do
    libs=$(ldd "$root/usr/bin/$p" 2>&1) || fail "$p: ldd failed: $libs"
    if grep -q 'not found' <<<"$libs"; then
        fail "$p: $(grep 'not found' <<<"$libs" | tr -s ' \t' ' ')"
    fi
done
version=$("$root/usr/bin/varnel-emu" --version) || fail "varnel-emu --version exited $?"
[ "$version" = "VARNEL-TEST 1.0" ] || fail "varnel-emu --version printed \"$version\""
echo "varnel-emu --version: $version"
status=0
rendered=$("$root/usr/bin/varnel-pc" render 5AA51234020000EE03) || status=$?
expected=$'5AA5 1234 02 0000    -- 命令：[2]获取时间， 长度：0\nEE03    -- CRC'
[ "$status" -eq 0 ] || fail "varnel-pc render exited $status"
[ "$rendered" = "$expected" ] || fail "varnel-pc render printed:"$'\n'"$rendered"
echo "varnel-pc render 5AA51234020000EE03:"
echo "$rendered"

if command -v lintian >/dev/null; then
    # Errors fail the check; warnings and notes are shown.
    lintian --fail-on error --display-info "$deb" || fail "lintian reports errors"
else
    echo "lintian not installed: skipped"
fi

if [ "$failures" -ne 0 ]; then
    echo "$deb: $failures check(s) failed" >&2
    exit 1
fi
echo "$deb: all checks passed"
