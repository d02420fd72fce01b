#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; only what is missing.
# The font covers GB2312: without a CJK font the window's Chinese texts are empty boxes.
# Packages given as arguments (for one make target, such as the fuzz compiler) are
# installed instead of the usual set.
set -euo pipefail
packages=("$@")
((${#packages[@]})) || packages=(
    build-essential cmake pkg-config
    qtbase5-dev libqt5serialport5-dev
    libdw-dev libpcap-dev libcpp-httplib-dev
    socat python3 python3-serial python3-crcmod python3-pytest python3-pytest-xdist
    tshark
    fonts-wqy-microhei
    chromium chromium-driver python3-selenium
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    # Waits for another apt-get or dpkg (an unattended upgrade, say) instead of failing at once.
    lock=(-o DPkg::Lock::Timeout=600)
    $SUDO apt-get "${lock[@]}" update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi
