#!/usr/bin/env bash
# The project's benchmark: every action's whole process beside floor programs
# that print the same answer (benchmark/floor) — the least floor, which makes
# only the calls no implementation can skip (the module's, the store's,
# SHA-256 of each certificate, the output), the OpenSSL floor (a plain program
# built on OpenSSL) and, for the store, the NSS floor (NSS alone) — and beside
# the usual tools for the same work (pkcs11-tool, certutil, pk1sign). Rounds
# run every command once in rotated order; the tables give medians of
# per-round time ratios, the helper's time above the least floor, and peak
# memory; every answer is checked, in order, against the helper's.
# Card certificates live on a throwaway SoftHSM2 token, store identities in a
# throwaway NSS database; both in memory-backed storage when there is some.
# The card is also read through OpenSC's module, a pcscd of our own and a
# virtual reader, where root and the packages allow, with each run's time
# split into the module's calls and everything else.
#
#   scripts/benchmark.sh            1–3 certificates, then 1 / 10 / 100 / 1,000 on the card and in the store
#   scripts/benchmark.sh --quick    a local check in under a minute (scale 10, few rounds)
#   ROUNDS=n SCALES="10 1000"       another number of rounds, other scales
#   INSTRUCTIONS=1                  also each process's instruction count under callgrind (valgrind),
#                                   which a busy machine does not change
set -euo pipefail
cd "$(dirname "$0")/.."
repository=$PWD
source scripts/common.sh
quick=0
if [ "${1:-}" = --quick ]; then
    quick=1
fi
rounds=${ROUNDS:-$([ $quick = 1 ] && echo 5 || echo 30)}
scales=${SCALES:-$([ $quick = 1 ] && echo 10 || echo "1 10 100 1000")}

prepare_helper python3 time valgrind
enter_work_folder /dev/shm
# The module the helper and the floor load: SoftHSM2 itself.
card_module=$module

# The floors and the fixture maker, from the repository's sources. Each floor
# links only the libraries it calls (--as-needed drops the rest of NSS's list).
floor=$repository/benchmark/floor
nss_flags=$(pkg-config --cflags --libs nss)
p11_flags=$(pkg-config --cflags p11-kit-1)
cc -O2 -o fixtures "$repository/benchmark/fixtures.c" $p11_flags -lcrypto -ldl
cc -O2 -shared -fPIC -o module-shim.so "$repository/benchmark/module-shim.c" $p11_flags -ldl
build_floor() {
    local name=$1 fields=$2 flags=$3
    shift 3
    cc -O2 -Wl,--as-needed $flags $p11_flags -o "$name" "$floor"/{floor,common,"$fields"}.c "$@" -ldl
}
# least floor: the store and the card (list, store sign), the card alone
# (udf-cert), the card with OpenSSL to verify (udf-sign), and both with
# OpenSSL (sign on the card).
build_floor least-store fields-der "-DWITH_STORE -DWITH_CARD" "$floor"/{card,store}.c $nss_flags
build_floor least-card fields-der -DWITH_CARD "$floor"/card.c
build_floor least-verify fields-der "-DWITH_CARD -DWITH_VERIFY" "$floor"/card.c -lcrypto
build_floor least-card-sign fields-der "-DWITH_STORE -DWITH_CARD -DWITH_VERIFY" "$floor"/{card,store}.c $nss_flags -lcrypto
build_floor openssl-store fields-openssl "-DWITH_STORE -DWITH_CARD -DWITH_VERIFY" "$floor"/{card,store}.c $nss_flags -lcrypto
build_floor openssl-card fields-openssl "-DWITH_CARD -DWITH_VERIFY" "$floor"/card.c -lcrypto
build_floor nss-store fields-nss -DWITH_STORE "$floor"/store.c $nss_flags

# One issuer; one RSA key shared by every bulk certificate (the store and the
# card then list them all as identities and certificates), one EC key.
cat > issuer.cnf <<'CONF'
[req]
distinguished_name = dn
x509_extensions = issuer
[dn]
[issuer]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CONF
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -utf8 -config issuer.cnf \
    -subj "/C=TR/L=Ankara/O=Örnek Sertifika Hizmetleri A.Ş./CN=Örnek Nitelikli Elektronik Sertifika Sağlayıcısı" 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.key 2>/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.key 2>/dev/null
mkdir -p certs
./fixtures mint ca.pem ca.key rsa.key 1 1 certs/rsa
./fixtures mint ca.pem ca.key ec.key 1 2 certs/ec
openssl x509 -inform DER -in certs/rsa1.der -out rsa.pem
openssl x509 -inform DER -in certs/ec2.der -out ec.pem
openssl pkcs8 -topk8 -nocrypt -in rsa.key -outform DER -out rsa.p8

# make_card NAME COUNT: a token "NAME" holding the RSA signing certificate with
# its key (CKA_ID 01) and COUNT-1 further certificates, or no certificate at all.
make_card() {
    local folder=$work/cards/$1
    mkdir -p "$folder/tokens"
    printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$folder" > "$folder/softhsm2.conf"
    SOFTHSM2_CONF=$folder/softhsm2.conf softhsm2-util --init-token --free --label "$1" --pin 1234 --so-pin 87654321 >/dev/null
    if [ "$2" -gt 0 ]; then
        SOFTHSM2_CONF=$folder/softhsm2.conf pkcs11-tool --module "$softhsm" --token-label "$1" --login --pin 1234 \
            --write-object rsa.p8 --type privkey --id 01 --label key >/dev/null
        ./fixtures mint ca.pem ca.key rsa.key "$2" 100000 "certs/card$2-"
        SOFTHSM2_CONF=$folder/softhsm2.conf ./fixtures card "$softhsm" "$1" 1234 \
            $(for ((i = 100000; i < 100000 + $2; ++i)); do printf 'certs/card%s-%s.der ' "$2" "$i"; done)
    fi
}

# make_store NAME COUNT: a home whose store holds COUNT identities of the RSA
# key (one PKCS#12 import), and the EC identity too for the small case.
make_store() {
    local home=$work/stores/$1
    mkdir -p "$home/.pki/nssdb"
    certutil -N --empty-password -d "sql:$home/.pki/nssdb"
    if [ "$2" -gt 0 ]; then
        ./fixtures mint ca.pem ca.key rsa.key "$2" 200000 "certs/store$2-"
        for ((i = 200001; i < 200000 + $2; ++i)); do openssl x509 -inform DER -in "certs/store$2-$i.der"; done > "store$2.pem"
        openssl x509 -inform DER -in "certs/store$2-200000.der" -out "store$2-first.pem"
        # The further certificates ride along, when there are any.
        local more=()
        if [ "$2" -gt 1 ]; then
            more=(-certfile "store$2.pem")
        fi
        openssl pkcs12 -export -inkey rsa.key -in "store$2-first.pem" "${more[@]}" -name "store-rsa" \
            -out "store$2.p12" -passout pass:
        pk12util -i "store$2.p12" -d "sql:$home/.pki/nssdb" -W "" >/dev/null
    fi
}

# The PIN dialog for card signing: a pinentry that types the PIN at once.
write_typing_pinentry

fingerprint() { sha256sum "$1" | cut -c1-64; }
b64() { base64 -w0 "$1"; }
printf 'Sınama %s' "$(date +%s)" > challenge.bin
challenge=$(b64 challenge.bin)
printf 'Belge\n' > document.txt
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'; openssl dgst -sha256 -binary document.txt; } > digestinfo.bin
digest_info=$(b64 digestinfo.bin)
printf '{"action":"list","p11":"%s"}' "$card_module" > list.json
printf '{"action":"udf-cert","p11":"%s"}' "$card_module" > udf-cert.json
printf '{"action":"udf-sign","p11":"%s","pin":"1234","digestInfo":"%s"}' "$card_module" "$digest_info" > udf-sign.json
sign_request() { printf '{"action":"sign","p11":"%s","challenge":"%s","fingerprint":"%s"}' "$card_module" "$challenge" "$1" > "$2"; }

# The plan for the runner: groups of commands, the first command of each
# group being the helper, the references being floors (the least floor first).
plan=plan.json
printf '[' > $plan
separator=''
# SoftHSM2 hands out a token's objects in the order of their addresses in
# memory, which depends on what the program allocated and freed before. Where
# a token holds more than one certificate, every command of the group reaches
# SoftHSM2 through the module shim (benchmark/module-shim.c), which gives them
# in the order of their bytes, so that the answers can be compared in order;
# the requests then name $ordered_module as "p11". Set for those groups.
same_object_order=''
ordered_module=$work/module-shim.so
# When set, the module that the shim is to time: every command then writes
# the time spent inside it to a file of its own, and the requests must name
# the shim as "p11".
timed_module=''
# More variables for every command of a group, as JSON members (",\"NAME\":\"VALUE\"").
group_environment=''
# Another number of rounds for a group, when set.
group_rounds=''
# The folder of the typing pinentry that a group's commands find first on PATH.
group_pinentry=$work/bin
# group NAME HOME CARD REFERENCES RANDOM-SIGNATURE COMMAND...; a command is
# "name|stdin|answers|argv..." with fields separated by '|'.
group() {
    local name=$1 home=$2 card=$3 references=$4 random=$5
    shift 5
    local tunables=$group_environment
    if [ -n "$same_object_order" ]; then
        tunables="$tunables"',"TARVO_TIMED_MODULE":"'"$card_module"'","TARVO_ORDERED_OBJECTS":"1"'
        name="$name (ordered)"
    fi
    printf '%s{"name":"%s","references":%s,"randomSignature":%s,%s"commands":[' "$separator" "$name" "$references" \
        "$random" "${group_rounds:+\"rounds\":$group_rounds,}" >> $plan
    local comma='' timing='' environment
    for command in "$@"; do
        IFS='|' read -r -a fields <<< "$command"
        environment=$tunables
        if [ -n "$timed_module" ]; then
            timing=$(mktemp -u -p "$work" module-time.XXXXXX)
            environment="$environment"',"TARVO_TIMED_MODULE":"'"$timed_module"'","TARVO_MODULE_TIME":"'"$timing"'"'
            timing=',"moduleTime":"'"$timing"'"'
        fi
        printf '%s{"name":%s,"stdin":%s,"answers":%s,"argv":%s%s,"env":{"HOME":"%s","SOFTHSM2_CONF":"%s","PATH":"%s"%s}}' "$comma" \
            "$(jq -Rn --arg v "${fields[0]}" '$v')" "$(jq -Rn --arg v "${fields[1]:-/dev/null}" '$v')" "${fields[2]}" \
            "$(printf '%s\n' "${fields[@]:3}" | jq -Rn '[inputs]')" "$timing" "$home" "$work/cards/$card/softhsm2.conf" \
            "$group_pinentry:$PATH" "$environment" >> $plan
        comma=','
    done
    printf ']}' >> $plan
    separator=','
}
helper_command() { printf 'tarvo-eimza-helper|%s|true|%s' "$work/$1" "$helper"; }
# floor_command NAME PROGRAM ARGUMENT...: a floor, whose answer is checked too.
floor_command() {
    local name=$1 program=$2
    shift 2
    local IFS='|'
    printf '%s||true|%s|%s' "$name" "$work/$program" "$*"
}
both_floors='["least floor","OpenSSL floor"]'
all_floors='["least floor","OpenSSL floor","NSS floor"]'

# 1–3 certificates: the store's RSA and EC identities and one card certificate.
make_card small 1
make_store small 0
pk12() { openssl pkcs12 -export -inkey "$1.key" -in "$1.pem" -name "store-$1" -out "$1.p12" -passout pass:; pk12util -i "$1.p12" -d "sql:$work/stores/small/.pki/nssdb" -W "" >/dev/null; }
pk12 rsa
pk12 ec
small=$work/stores/small
sign_request "$(fingerprint certs/rsa1.der)" sign-rsa.json
sign_request "$(fingerprint certs/ec2.der)" sign-ec.json
group "list, 2 store + 1 card" "$small" small "$both_floors" false \
    "$(helper_command list.json)" "$(floor_command "least floor" least-store list "$card_module")" \
    "$(floor_command "OpenSSL floor" openssl-store list "$card_module")" \
    "pkcs11-tool -O + certutil -L||false|sh|-c|pkcs11-tool --module $softhsm --token-label small -O >/dev/null; certutil -L -d sql:$small/.pki/nssdb"
group "udf-cert, 1 card" "$small" small "$both_floors" false \
    "$(helper_command udf-cert.json)" "$(floor_command "least floor" least-card udf-cert "$card_module")" \
    "$(floor_command "OpenSSL floor" openssl-card udf-cert "$card_module")"
group "udf-sign, 1 card" "$small" small "$both_floors" false \
    "$(helper_command udf-sign.json)" "$(floor_command "least floor" least-verify udf-sign "$card_module" 1234 "$digest_info")" \
    "$(floor_command "OpenSSL floor" openssl-card udf-sign "$card_module" 1234 "$digest_info")" \
    "pkcs11-tool --sign||false|pkcs11-tool|--module|$softhsm|--token-label|small|--login|--pin|1234|--id|01|--sign|-m|RSA-PKCS|-i|$work/digestinfo.bin|-o|$work/peer.sig"
for kind in rsa ec; do
    random=$([ $kind = ec ] && echo true || echo false)
    signer=$(fingerprint "$([ $kind = ec ] && echo certs/ec2.der || echo certs/rsa1.der)")
    group "sign, store $kind" "$small" small "$all_floors" "$random" \
        "$(helper_command sign-$kind.json)" "$(floor_command "least floor" least-store sign "$signer" "$challenge")" \
        "$(floor_command "OpenSSL floor" openssl-store sign "$signer" "$challenge")" \
        "$(floor_command "NSS floor" nss-store sign "$signer" "$challenge")" \
        "pk1sign||false|pk1sign|-k|store-$kind|-d|sql:$small/.pki/nssdb|-i|$work/challenge.bin|-o|$work/peer.sig"
done

card_signer=$(fingerprint certs/card1-100000.der)
sign_request "$card_signer" sign-card.json
group "sign, card (pinentry)" "$small" small "$both_floors" false \
    "$(helper_command sign-card.json)" \
    "$(floor_command "least floor" least-card-sign sign "$card_signer" "$challenge" "$card_module")" \
    "$(floor_command "OpenSSL floor" openssl-store sign "$card_signer" "$challenge" "$card_module")"

# The scale series: the card alone (an empty store), the store alone (an empty token).
make_card empty 0
make_store empty 0
for n in $scales; do
    make_card "card$n" "$n"
    make_store "store$n" "$n"
    # Through the shim where the token holds more than one certificate.
    same_object_order=$([ "$n" -gt 1 ] && echo yes || true)
    module=$([ "$n" -gt 1 ] && echo "$ordered_module" || echo "$card_module")
    printf '{"action":"list","p11":"%s"}' "$module" > "list-card$n.json"
    printf '{"action":"udf-sign","p11":"%s","pin":"1234","digestInfo":"%s"}' "$module" "$digest_info" > "udf-sign-card$n.json"
    group "list, $n card" "$work/stores/empty" "card$n" "$both_floors" false \
        "$(helper_command "list-card$n.json")" "$(floor_command "least floor" least-store list "$module")" \
        "$(floor_command "OpenSSL floor" openssl-store list "$module")" \
        "pkcs11-tool -O||false|pkcs11-tool|--module|$module|--token-label|card$n|-O"
    group "udf-sign, $n card" "$work/stores/empty" "card$n" "$both_floors" false \
        "$(helper_command "udf-sign-card$n.json")" "$(floor_command "least floor" least-verify udf-sign "$module" 1234 "$digest_info")" \
        "$(floor_command "OpenSSL floor" openssl-card udf-sign "$module" 1234 "$digest_info")"
    same_object_order=''
    group "list, $n store" "$work/stores/store$n" empty "$both_floors" false \
        "$(helper_command list.json)" "$(floor_command "least floor" least-store list "$card_module")" \
        "$(floor_command "OpenSSL floor" openssl-store list "$card_module")" \
        "certutil -L||false|certutil|-L|-d|sql:$work/stores/store$n/.pki/nssdb"
    last=$(fingerprint "certs/store$n-$((200000 + n - 1)).der")
    sign_request "$last" "sign-store$n.json"
    group "sign, $n store (last)" "$work/stores/store$n" empty "$all_floors" false \
        "$(helper_command sign-store$n.json)" "$(floor_command "least floor" least-store sign "$last" "$challenge")" \
        "$(floor_command "OpenSSL floor" openssl-store sign "$last" "$challenge")" \
        "$(floor_command "NSS floor" nss-store sign "$last" "$challenge")"
done
if [[ " $scales " == *" 1000 "* ]]; then
    same_object_order=yes
    group "list, 1000 store + 1000 card" "$work/stores/store1000" card1000 "$both_floors" false \
        "$(helper_command list-card1000.json)" "$(floor_command "least floor" least-store list "$ordered_module")" \
        "$(floor_command "OpenSSL floor" openssl-store list "$ordered_module")"
    same_object_order=''
fi

# timed_groups LABEL MODULE HOME CARD PIN SIGNER: "list", "udf-cert",
# "udf-sign" and "sign" (of the certificate SIGNER, with the PIN from the
# typing pinentry) on the card through the timing module in front of MODULE,
# helper and least floor, each run's time split into the module's and
# everything else (see benchmark/rounds.py). CARD names the SoftHSM2 folder,
# if any; group_environment and group_rounds apply.
timed_groups() {
    local label=$1 home=$3 card=$4 pin=$5 signer=$6 timed=$work/module-shim.so
    # Request files of their own for each label: the runner reads them after the whole plan is made.
    local requests=timed-${label//[^A-Za-z0-9]/-}
    timed_module=$2
    printf '{"action":"list","p11":"%s"}' "$timed" > "list-$requests.json"
    printf '{"action":"udf-cert","p11":"%s"}' "$timed" > "udf-cert-$requests.json"
    printf '{"action":"udf-sign","p11":"%s","pin":"%s","digestInfo":"%s"}' "$timed" "$pin" "$digest_info" > "udf-sign-$requests.json"
    printf '{"action":"sign","p11":"%s","challenge":"%s","fingerprint":"%s"}' "$timed" "$challenge" "$signer" > "sign-$requests.json"
    group "list, $label" "$home" "$card" '["least floor"]' false \
        "$(helper_command "list-$requests.json")" "$(floor_command "least floor" least-store list "$timed")"
    group "udf-cert, $label" "$home" "$card" '["least floor"]' false \
        "$(helper_command "udf-cert-$requests.json")" "$(floor_command "least floor" least-card udf-cert "$timed")"
    group "udf-sign, $label" "$home" "$card" '["least floor"]' false \
        "$(helper_command "udf-sign-$requests.json")" "$(floor_command "least floor" least-verify udf-sign "$timed" "$pin" "$digest_info")"
    group "sign, $label" "$home" "$card" '["least floor"]' false \
        "$(helper_command "sign-$requests.json")" \
        "$(floor_command "least floor" least-card-sign sign "$signer" "$challenge" "$timed")"
    timed_module=''
}
timed_groups "SoftHSM2 timed" "$card_module" "$work/stores/empty" small 1234 "$card_signer"

# The card through a reader stack: OpenSC's module over a pcscd of our own and
# a virtual reader holding a soft card (the tests' fixture, run as a program:
# tests/support/reader-stack), where the module's calls take most of a run.
# The card holds a signing certificate of the RSA key and the key under a PIN
# of its own, which a typing pinentry of its own types. The rows are left out,
# with the reason, where the stack cannot run (it needs root, pcscd,
# vsmartcard's vpcd, libcacard and OpenSC).
reader_stack_skipped=''
reader_stack_groups() {
    local pin=8642 opensc
    if [ "$(id -u)" != 0 ]; then
        reader_stack_skipped="a private pcscd needs a mount namespace of its own, which only root may make"
        return
    fi
    if ! cmake --build "$build_folder" -j "$(nproc)" --target reader-stack >/dev/null 2>&1; then
        reader_stack_skipped="the virtual reader stack needs pcscd, vsmartcard-vpcd, opensc and libcacard"
        return
    fi
    # The stack lives while its standard input is open; the end of this
    # script closes that and waits for the stack to go.
    # A certificate of its own: the scale series mints the card certificates anew.
    ./fixtures mint ca.pem ca.key rsa.key 1 300000 certs/stack
    mkfifo reader-stack.control
    "$build_folder/tests/support/reader-stack/reader-stack" certs/stack300000.der rsa.key "$pin" \
        < reader-stack.control > reader-stack.out 2>&1 &
    reader_stack=$!
    exec {reader_stack_control}> reader-stack.control
    trap 'exec {reader_stack_control}>&-; wait $reader_stack || true; rm -rf "$work"' EXIT
    while ! grep -q '^ready$\|^unavailable: ' reader-stack.out && kill -0 $reader_stack 2>/dev/null; do
        sleep 0.1
    done
    if ! grep -q '^ready$' reader-stack.out; then
        reader_stack_skipped=$(sed -n 's/^unavailable: //p' reader-stack.out | head -n 1)
        reader_stack_skipped=${reader_stack_skipped:-the reader stack did not start: $(head -c 300 reader-stack.out)}
        return
    fi
    opensc=$(sed -n 's/^module //p' reader-stack.out)
    while IFS='=' read -r name value; do
        group_environment="$group_environment,\"$name\":\"$value\""
    done < <(sed -n 's/^environment //p' reader-stack.out)
    write_typing_pinentry "$pin" reader-stack-bin
    group_pinentry=$work/reader-stack-bin
    timed_groups "OpenSC reader stack" "$opensc" "$work/stores/empty" empty "$pin" "$(fingerprint certs/stack300000.der)"
    group_pinentry=$work/bin
    group_environment=''
}
reader_stack_groups

printf ']' >> $plan

python3 "$repository/benchmark/rounds.py" $plan "$rounds"
if [ -n "$reader_stack_skipped" ]; then
    echo "The reader-stack rows were skipped: $reader_stack_skipped."
fi
