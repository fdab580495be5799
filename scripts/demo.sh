#!/usr/bin/env bash
# Builds the helper and runs all four actions against a throwaway AKİS-like card
# (SoftHSM2) and a throwaway certificate store (an NSS database in a temporary
# HOME), the way the robot would: one JSON request on standard input, one JSON
# line back. Every signature shown is checked with openssl.
#
# With --pinentry, the card's PIN dialog is the real pinentry in this terminal
# and a person types the PIN; without it, a stand-in pinentry types it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

real_pinentry=false
for argument in "$@"; do
    [ "$argument" = --pinentry ] && real_pinentry=true
done

section() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

section "Debian packages: installing what is missing (apt-get; a few minutes on a fresh machine)"
scripts/install-deps.sh
echo "  all packages are there"
section "Build: the helper, in build/ (a couple of minutes the first time)"
prepare_helper
echo "  built $helper"
enter_work_folder
request() {  # prints the request, runs the helper, prints its answer and status
    printf 'request : %s\n' "$1"
    set +e
    answer=$(printf '%s' "$1" | "$helper")
    status=$?
    set -e
    # Long Base64 values are shortened for the screen; the program's own line is compact JSON.
    printf 'answer  : %s\nstatus  : %d\n' \
        "$(printf '%s' "$answer" | jq -c 'walk(if type == "string" and length > 56 then .[0:48] + "…" else . end)')" \
        "$status"
}
b64() { base64 -w0 "$1"; }
field() { printf '%s' "$answer" | jq -r "$1"; }

section "A throwaway certificate store (NSS database) with an RSA and an EC identity"
export HOME="$work/home"
mkdir -p "$HOME/.pki/nssdb"
certutil -N --empty-password -d "sql:$HOME/.pki/nssdb"
openssl req -x509 -newkey rsa:2048 -nodes -keyout store-rsa.key -out store-rsa.pem -days 30 \
    -subj "/CN=Depo Kullanıcısı RSA/O=Tarvo, Demo/C=TR" -utf8 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout store-ec.key -out store-ec.pem \
    -days 30 -subj "/CN=Depo Kullanıcısı EC/C=TR" -utf8 2>/dev/null
for kind in rsa ec; do
    openssl pkcs12 -export -inkey "store-$kind.key" -in "store-$kind.pem" -out "store-$kind.p12" -passout pass: -name "store-$kind"
    pk12util -i "store-$kind.p12" -d "sql:$HOME/.pki/nssdb" -W "" >/dev/null
done
certutil -L -d "sql:$HOME/.pki/nssdb"

section "A throwaway card (SoftHSM2 token 'AKIS Demo', user PIN 1234) with an RSA certificate and key"
make_throwaway_card
pkcs11-tool --module "$softhsm" --token-label "AKIS Demo" -O 2>/dev/null | sed -n '1,6p'
for name in store-rsa store-ec card; do
    openssl x509 -in "$name.pem" -pubkey -noout > "$name.pub"
done
card_fp=$(openssl x509 -in card.pem -outform DER | sha256sum | cut -c1-64)
rsa_fp=$(openssl x509 -in store-rsa.pem -outform DER | sha256sum | cut -c1-64)
ec_fp=$(openssl x509 -in store-ec.pem -outform DER | sha256sum | cut -c1-64)

section "list: the store's identities and the card's certificates"
request "{\"action\":\"list\",\"p11\":\"$module\"}"
printf '%s' "$answer" | jq -r '.certificates[] | "  \(.providerName) | \(.certificateSubject) | \(.validFrom) – \(.validUntil)"'

section "list when the card module is missing: store entries and a warning, status 0"
request '{"action":"list","p11":"/nonexistent/libakisp11.so"}'

section "udf-cert: the card certificate for documents"
request "{\"action\":\"udf-cert\",\"p11\":\"$module\"}"
[ "$(field .identityFingerprint)" = "$card_fp" ] && echo "  identityFingerprint is the card certificate's SHA-256"

section "udf-sign: the card signs a document's SHA-256 DigestInfo with the PIN the robot supplies"
printf 'Belge içeriği — örnek sözleşme\n' > document.txt
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'; openssl dgst -sha256 -binary document.txt; } > digestinfo.bin
request "{\"action\":\"udf-sign\",\"p11\":\"$module\",\"digestInfo\":\"$(b64 digestinfo.bin)\",\"pin\":\"1234\",\"fingerprint\":\"$card_fp\"}"
field .signature | base64 -d > udf.sig
openssl dgst -sha256 -verify card.pub -signature udf.sig document.txt

section "udf-sign with a wrong PIN: one attempt, then stop"
request "{\"action\":\"udf-sign\",\"p11\":\"$module\",\"digestInfo\":\"$(b64 digestinfo.bin)\",\"pin\":\"0000\"}"

printf 'Robot meydan okuması %s' "$(date +%s)" > challenge.bin

section "sign with the store's RSA identity (no PIN dialog)"
request "{\"action\":\"sign\",\"p11\":\"$module\",\"challenge\":\"$(b64 challenge.bin)\",\"fingerprint\":\"$rsa_fp\"}"
field .signature | base64 -d > rsa.sig
openssl dgst -sha256 -verify store-rsa.pub -signature rsa.sig challenge.bin

section "sign with the store's EC identity (ECDSA, X9.62 DER)"
request "{\"action\":\"sign\",\"p11\":\"$module\",\"challenge\":\"$(b64 challenge.bin)\",\"fingerprint\":\"${ec_fp^^}\"}"
field .signature | base64 -d > ec.sig
openssl dgst -sha256 -verify store-ec.pub -signature ec.sig challenge.bin

section "sign with the card: the PIN dialog (pinentry) asks for the PIN"
challenge_request="{\"action\":\"sign\",\"p11\":\"$module\",\"challenge\":\"$(b64 challenge.bin)\",\"fingerprint\":\"$card_fp\"}"
if $real_pinentry; then
    echo "  The real pinentry opens now: type the demo card's PIN, 1234, and confirm (one try only)."
    request "$challenge_request"
else
    echo "  A stand-in pinentry types the demo PIN (1234) here, so nobody needs to be at the keyboard."
    echo "  Run scripts/demo.sh --pinentry to type it yourself into the real pinentry."
    write_typing_pinentry
    PATH="$work/bin:$PATH" request "$challenge_request"
fi
if [ "$status" -eq 0 ]; then
    field .signature | base64 -d > card.sig
    openssl dgst -sha256 -verify card.pub -signature card.sig challenge.bin
else
    echo "  No signature: the dialog was cancelled or the PIN refused (it is never tried twice)."
fi

section "Errors are one JSON document too, with status 2"
request '{"action":"LIST"}'
request '{"action":"sign","challenge":"not base64!"}'
request 'not json'
