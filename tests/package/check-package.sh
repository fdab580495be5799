#!/usr/bin/env bash
# Builds the Debian package from the build folder, checks its fields and
# contents, runs the binary extracted from it on a throwaway card (SoftHSM2),
# and has lintian check it: no errors and no warnings allowed, on every release.
# Usage: check-package.sh BUILD_DIR SOURCE_DIR SOFTHSM_MODULE CARD_MODULE VERSION
set -euo pipefail
build=$1 source=$2 softhsm=$3 module=$4 version=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null
deb=$(find "$work/out" -maxdepth 1 -name "tarvo-eimza-helper_${version}_*.deb")
[ -n "$deb" ] || fail "no package tarvo-eimza-helper_${version}_*.deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version)"
[ "$(field Recommends)" = "pinentry-curses | pinentry" ] || fail "Recommends is '$(field Recommends)'"
[ "$(field Suggests)" = "libnss3-tools, nodejs" ] || fail "Suggests is '$(field Suggests)'"
[ "$(field Provides)" = "node-tarvo-eimza-helper (= $version)" ] || fail "Provides is '$(field Provides)'"
# Worked out from the binary: every library it links, from the package that
# holds it here, whatever that package is called on this release (Debian 13
# renamed some for the 64-bit time_t); and the two it loads when it needs
# them, NSS and OpenSSL's libcrypto, named in the package's settings.
owner() {
    local path package
    path=$(ldconfig -p | awk -v name="$1" '$1 == name { print $NF; exit }')
    package=$({ dpkg-query -S "$path" || dpkg-query -S "$(realpath "$path")"; } 2>/dev/null | head -n 1 | sed 's/[:,].*//')
    [ -n "$package" ] && echo "$package"
}
libraries=(libnss3)
for needed in $(readelf -dW "$build/tarvo-eimza-helper" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p') libcrypto.so.3; do
    libraries+=("$(owner "$needed")") || fail "no package holds $needed"
done
for library in "${libraries[@]}"; do
    # A name may stand alone or as one of the alternatives of a dependency.
    field Depends | tr ',|' '\n\n' | grep -Eq "^ *$library( |$)" || fail "Depends lacks $library: $(field Depends)"
done
[[ " ${libraries[*]} " == *" libssl3"* ]] || fail "the libcrypto the program loads is in none of: ${libraries[*]}"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in usr/bin/tarvo-eimza-helper usr/share/man/man1/tarvo-eimza-helper.1.gz \
    usr/share/doc/tarvo-eimza-helper/{README.md,protocol.md,copyright,changelog.gz} \
    usr/share/doc/tarvo-eimza-helper/schema/{request,list,sign,udf-cert,udf-sign,error}.schema.json \
    usr/share/nodejs/@tarvo/eimza-helper/{package.json,index.js,index.mjs,index.d.ts,README.md}; do
    grep -qx "\./$file" <<<"$contents" || fail "the package lacks $file"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
zcat "$root/usr/share/doc/tarvo-eimza-helper/changelog.gz" | head -n 1 | grep -q "($version)" ||
    fail "the changelog's first entry is not $version"
helper="$root/usr/bin/tarvo-eimza-helper"
[ "$("$helper" --version)" = "tarvo-eimza-helper $version" ] || fail "--version says: $("$helper" --version)"

# The throwaway card of the demo: token "AKIS Demo", PIN 1234, one RSA
# certificate (card.der) with its key under CKA_ID 01.
cd "$work"
# shellcheck source=../../scripts/common.sh
source "$source/scripts/common.sh"
make_throwaway_card
export HOME="$work/home"
mkdir -p "$HOME"
fingerprint=$(sha256sum card.der | cut -c1-64)
answer=$(printf '{"action":"udf-cert","p11":"%s"}' "$module" | "$helper")
[ "$(jq -r .identityFingerprint <<<"$answer")" = "$fingerprint" ] || fail "udf-cert answered: $answer"
printf 'Belge' > document
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'; openssl dgst -sha256 -binary document; } > digestinfo
answer=$(printf '{"action":"udf-sign","p11":"%s","pin":"1234","digestInfo":"%s"}' "$module" "$(base64 -w0 digestinfo)" | "$helper")
jq -r .signature <<<"$answer" | base64 -d > signature
openssl x509 -in card.pem -pubkey -noout > card.pub
openssl dgst -sha256 -verify card.pub -signature signature document >/dev/null || fail "udf-sign answered: $answer"

# Lintian refuses nothing for running as root, but says so on standard error.
lintian --fail-on error,warning --no-tag-display-limit "$deb" 2> >(grep -v 'root privileges' >&2) || fail "lintian found errors or warnings"
echo "package $(basename "$deb"): fields, contents, card signature and lintian checked"
