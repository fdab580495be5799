#!/usr/bin/env bash
# Times "list" and "udf-sign" on the throwaway demo card (median of many runs,
# with hyperfine) beside pkcs11-tool doing the same card work on the same token.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
prepare_helper hyperfine
enter_work_folder
export HOME="$work/home"   # an empty home: no certificate store, the card alone
mkdir -p "$HOME"
make_throwaway_card

printf 'Belge\n' > document.txt
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'; openssl dgst -sha256 -binary document.txt; } > digestinfo.bin
printf '{"action":"list","p11":"%s"}' "$module" > list.json
printf '{"action":"udf-sign","p11":"%s","pin":"1234","digestInfo":"%s"}' "$module" "$(base64 -w0 digestinfo.bin)" > udf-sign.json

runs=${RUNS:-30}
hyperfine --runs "$runs" --warmup 3 --export-json list.result.json \
    -n "tarvo-eimza-helper list" "$helper < list.json" \
    -n "pkcs11-tool -O" "pkcs11-tool --module $softhsm -O"
hyperfine --runs "$runs" --warmup 3 --export-json sign.result.json \
    -n "tarvo-eimza-helper udf-sign" "$helper < udf-sign.json" \
    -n "pkcs11-tool --sign -m RSA-PKCS" "pkcs11-tool --module $softhsm --login --pin 1234 --id 01 --sign -m RSA-PKCS -i digestinfo.bin -o sig.bin"
for result in list.result.json sign.result.json; do
    jq -r '.results[] | "median \(.median * 1000 | . * 10 | round / 10) ms  \(.command)"' "$result"
done
