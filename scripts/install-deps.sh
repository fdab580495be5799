#!/usr/bin/env bash
# Installs the Debian packages that building, testing (on this machine and in a
# Debian 13 tree: mmdebstrap) and the demo need, and any further ones named as
# arguments, on Debian 12 (bookworm) or 13 (trixie).
# Safe to run again: it installs only what is missing. Run it as root, or as a
# user who has sudo.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libssl-dev openssl nlohmann-json3-dev libp11-kit-dev libnss3-dev
    libgtest-dev libgmock-dev
    libnss3-tools softhsm2 opensc p11-kit-modules pinentry-curses pinentry-tty jq
    pinentry-gtk2 xvfb xdotool
    pcscd vsmartcard-vpcd libcacard-dev
    scdoc dpkg-dev lintian man-db python3-jsonschema nodejs npm
    clang clang-runtime
    mmdebstrap
    "$@"
)

# The names above are the same on every release but for these, which stand
# for a package whose name changed between Debian 12 and 13. The clang
# runtime (for libFuzzer and the sanitizers of the fuzz build) was versioned on
# 12 and is the default clang's on 13.
release=$(. /etc/os-release && echo "${VERSION_ID:-}")
release_name() {
    case "$1:$release" in
        clang-runtime:12) echo libclang-rt-14-dev ;;
        clang-runtime:*) echo libclang-rt-dev ;;
        *) echo "$1" ;;
    esac
}

# npm comes with some Node.js builds (NodeSource's nodejs conflicts with
# Debian's npm package): only a machine without an npm command needs it.
wanted() {
    [ "$1" != npm ] || ! command -v npm >/dev/null
}

missing=()
for name in "${packages[@]}"; do
    package=$(release_name "$name")
    if wanted "$package" &&
        ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
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
# Another apt run (unattended upgrades, a second terminal) holds dpkg's lock
# for a while: wait for it rather than fail.
apt_options=(-o DPkg::Lock::Timeout=600)
"${as_root[@]}" apt-get "${apt_options[@]}" update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get "${apt_options[@]}" install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
