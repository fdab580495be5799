#!/bin/sh
# Installs the build into a fresh prefix, as `cmake --install BUILD --prefix DIR`
# does for a person, and checks that the tree works: the binary answers, and
# the manual page and the documentation are where man and a reader look.
# Usage: check-install.sh BUILD_DIR VERSION
set -eu
build=$1 version=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/tarvo-eimza-helper share/man/man1/tarvo-eimza-helper.1.gz \
    share/doc/tarvo-eimza-helper/README.md share/doc/tarvo-eimza-helper/protocol.md \
    share/doc/tarvo-eimza-helper/schema/request.schema.json; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ "$("$prefix/bin/tarvo-eimza-helper" --version)" = "tarvo-eimza-helper $version" ] || fail "--version"
answer=$(printf '{"action":"LIST"}' | HOME="$prefix" "$prefix/bin/tarvo-eimza-helper") && fail "status 0 for LIST"
[ "$answer" = '{"error":"Bilinmeyen işlem"}' ] || fail "answer: $answer"
page=$(MANPATH="$prefix/share/man" man -w tarvo-eimza-helper) || fail "man does not find the page"
[ "$page" = "$prefix/share/man/man1/tarvo-eimza-helper.1.gz" ] || fail "man finds $page"
echo "installed tree in a fresh prefix checked"
