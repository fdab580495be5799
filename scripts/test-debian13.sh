#!/usr/bin/env bash
# Builds and tests the helper on a fresh Debian 13 (trixie), whatever Debian
# this machine runs: makes a minimal trixie tree with mmdebstrap from the
# Debian mirror that this machine's apt uses, runs the README's
# scripts/install-deps.sh in it, copies this repository in, and there makes the
# Release build, installs the Debian package it makes with apt, and runs every
# test. The last lines are ctest's summary. Run it as root.
#
#   scripts/test-debian13.sh                      all of it in a new tree, removed at the end
#   scripts/test-debian13.sh --tree DIR --keep    the tree in DIR, kept for another run; a tree
#                                                 already made there is used again
#   scripts/test-debian13.sh --tree DIR --prepare-only
#                                                 only makes the tree and installs the packages
#   MIRROR=http://… scripts/test-debian13.sh      another mirror than apt's
#
# Every command in the tree runs in mount and process namespaces of its own:
# /proc, /sys, /dev, /dev/pts and the tmpfs on /tmp and /dev/shm exist only
# there, and go away with every process started there, however the script
# ends.
set -euo pipefail
cd "$(dirname "$0")/.."
repository=$PWD
suite=trixie

tree='' keep=false prepare_only=false
while [ $# -gt 0 ]; do
    case $1 in
        --tree) tree=$2; shift ;;
        --keep) keep=true ;;
        --prepare-only) prepare_only=true; keep=true ;;
        *) echo "unknown argument: $1" >&2; exit 64 ;;
    esac
    shift
done
if [ "$(id -u)" -ne 0 ]; then
    echo "Run this as root: it makes a chroot." >&2
    exit 1
fi

heading() { printf '\n== Debian 13: %s\n' "$*"; }

# The URIs of this machine's own sources, as apt reads them: one-line .list
# files and deb822 .sources files. Prints "URI SUITE" for every suite.
apt_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        sed -E 's/#.*//; s/\[[^]]*\]//' "$file" | awk '$1 == "deb" { print $2, $3 }'
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'function flush() { if (enabled && types ~ /(^| )deb( |$)/) { n = split(uris, u, " "); m = split(suites, s, " ");
                                  for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j] }
                                types = uris = suites = ""; enabled = 1 }
             BEGIN { enabled = 1 }
             /^[ \t]*#/ { next }
             /^[ \t]*$/ { flush(); next }
             { key = tolower($1); sub(/^[^:]*:[ \t]*/, "") }
             key == "types:" { types = $0 } key == "uris:" { uris = $0 } key == "suites:" { suites = $0 }
             key == "enabled:" { enabled = ($0 != "no") }
             END { flush() }' "$file"
    done
}

# The mirror of Debian's archive and of its security archive: the URIs that
# serve this machine's own release and its security updates.
mirrors() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    archive=${MIRROR:-$(apt_sources | awk -v s="$codename" '$2 == s { print $1; exit }')}
    security=${SECURITY_MIRROR:-$(apt_sources | awk -v s="$codename-security" '$2 == s { print $1; exit }')}
    if [ -z "$archive" ]; then
        echo "No Debian mirror for $codename in apt's sources: set MIRROR=http://…/debian" >&2
        exit 1
    fi
}

# Runs a command as root in the tree, in namespaces of its own, with the
# file systems that the build and the tests need.
in_tree() {
    unshare --mount --pid --fork --kill-child --propagation private \
        bash -euc '
            tree=$1; shift
            # The tree its own mount point, so that inside it / is one: a
            # test that makes a mount namespace of its own changes its
            # propagation, which only a mount point has.
            mount --bind "$tree" "$tree"
            mount -t proc proc "$tree/proc"
            mount -t sysfs sysfs "$tree/sys"
            mount --bind /dev "$tree/dev"
            mount --bind /dev/pts "$tree/dev/pts"
            mount -t tmpfs -o mode=1777 tmpfs "$tree/dev/shm"
            mount -t tmpfs -o mode=1777 tmpfs "$tree/tmp"
            exec chroot "$tree" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive \
                PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' \
        in-tree "$tree" "$@"
}

made_here=false
cleanup() {
    if $made_here && ! $keep; then
        # --one-file-system: never into anything still mounted there.
        rm -rf --one-file-system "$tree"
    fi
}
trap cleanup EXIT
if [ -z "$tree" ]; then
    tree=$(mktemp -d /var/tmp/tarvo-debian13.XXXXXX)
    made_here=true
fi
mkdir -p "$tree"
ready=$tree/.tarvo-packages-installed

if [ ! -f "$ready" ]; then
    heading "a fresh tree (mmdebstrap)"
    if ! command -v mmdebstrap >/dev/null; then
        apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends mmdebstrap >/dev/null
    fi
    mirrors
    sources=("deb $archive $suite main" "deb $archive $suite-updates main")
    if [ -n "$security" ]; then
        sources+=("deb $security $suite-security main")
    fi
    echo "mirror: $archive${security:+, $security}"
    started=$SECONDS
    made_here=true
    # The tree is thrown away after the run: dpkg need not sync every file it
    # unpacks there, now or when install-deps.sh installs the packages.
    mmdebstrap --variant=apt --mode=root --format=directory --quiet --dpkgopt=force-unsafe-io \
        "$suite" "$tree" "${sources[@]}"
    echo "tree made in $((SECONDS - started)) s"

    heading "scripts/install-deps.sh, as the README says"
    started=$SECONDS
    cp /etc/resolv.conf "$tree/etc/resolv.conf"
    mkdir -p "$tree/root/install"
    cp scripts/install-deps.sh "$tree/root/install/"
    in_tree /root/install/install-deps.sh
    touch "$ready"
    echo "packages installed in $((SECONDS - started)) s"
fi
if $prepare_only; then
    exit 0
fi

heading "the repository, copied in"
rm -rf "$tree/src"
mkdir -p "$tree/src"
tar -C "$repository" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$tree/src" -xf -

heading "Release build"
started=$SECONDS
in_tree bash -euc '
    cd /src
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARVO_WERROR=ON >/dev/null
    cmake --build build -j "$(nproc)"'
echo "built in $((SECONDS - started)) s"

heading "the Debian package, installed with apt"
in_tree bash -euc '
    cd /src/build
    cpack -G DEB >/dev/null
    apt-get install -y -qq --no-install-recommends ./tarvo-eimza-helper_*.deb >/dev/null
    /src/tests/package/check-installed-package.sh'

heading "every test of the Release build"
in_tree ctest --test-dir /src/build --output-on-failure -j "$(nproc)"
