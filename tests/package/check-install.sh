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
client=share/nodejs/@tarvo/eimza-helper
for file in bin/tarvo-eimza-helper share/man/man1/tarvo-eimza-helper.1.gz \
    share/doc/tarvo-eimza-helper/README.md share/doc/tarvo-eimza-helper/protocol.md \
    share/doc/tarvo-eimza-helper/schema/request.schema.json \
    $client/package.json $client/index.js $client/index.mjs $client/index.d.ts $client/README.md; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
# The installed README speaks of what is installed, not of the repository.
readme=$prefix/share/doc/tarvo-eimza-helper/README.md
if grep -nE '(scripts|docs|clients|tests|build)/' "$readme"; then
    fail "the installed README points into the repository"
fi
[ "$("$prefix/bin/tarvo-eimza-helper" --version)" = "tarvo-eimza-helper $version" ] || fail "--version"
answer=$(printf '{"action":"LIST"}' | HOME="$prefix" "$prefix/bin/tarvo-eimza-helper") && fail "status 0 for LIST"
[ "$answer" = '{"error":"Bilinmeyen işlem"}' ] || fail "answer: $answer"
page=$(MANPATH="$prefix/share/man" man -w tarvo-eimza-helper) || fail "man does not find the page"
[ "$page" = "$prefix/share/man/man1/tarvo-eimza-helper.1.gz" ] || fail "man finds $page"
# As lintian renders it: every warning of groff or its preprocessors counts.
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
echo "installed tree in a fresh prefix checked"
