#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and
# any further ones named as arguments. Safe to run again: it installs only what
# is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libssl-dev openssl nlohmann-json3-dev libp11-kit-dev libnss3-dev
    libgtest-dev libgmock-dev
    libnss3-tools softhsm2 opensc p11-kit-modules pinentry-curses pinentry-tty jq
    pinentry-gtk2 xvfb xdotool
    pcscd vsmartcard-vpcd libcacard-dev
    scdoc dpkg-dev lintian man-db python3-jsonschema nodejs
    clang libclang-rt-14-dev
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
