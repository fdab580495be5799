# Sourced by the demo and the benchmark, from the repository folder.

# Installs what is missing (the arguments name extra packages), builds the
# helper, and names it, its build folder and the card module: helper,
# build_folder, module (SoftHSM2 itself, the module the requests name),
# softhsm (the same, for pkcs11-tool). The build folder is ./build unless
# BUILD_FOLDER names another, so that a folder configured for the tests is not
# reconfigured under them.
prepare_helper() {
    scripts/install-deps.sh "$@"
    local folder=${BUILD_FOLDER:-build}
    cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$folder" -j "$(nproc)" --target tarvo-eimza-helper >/dev/null
    build_folder="$(cd "$folder" && pwd)"
    helper="$build_folder/tarvo-eimza-helper"
    softhsm=$(dpkg -L libsofthsm2 | grep '/libsofthsm2\.so$' | head -n 1)
    module="$softhsm"
}

# Moves into a fresh temporary folder, removed when the script ends; inside
# the folder named as the argument when it can be written to.
enter_work_folder() {
    if [ -n "${1:-}" ] && [ -w "$1" ]; then
        work=$(mktemp -d -p "$1")
    else
        work=$(mktemp -d)
    fi
    trap 'rm -rf "$work"' EXIT
    cd "$work"
}

# A throwaway AKİS-like card in the current folder, made with SoftHSM2 (token
# "AKIS Demo", user PIN 1234) and holding one RSA certificate (card.pem,
# card.der) with its key under CKA_ID 01.
make_throwaway_card() {
    mkdir -p tokens
    printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$PWD" > softhsm2.conf
    export SOFTHSM2_CONF="$PWD/softhsm2.conf"
    softhsm2-util --init-token --free --label "AKIS Demo" --pin 1234 --so-pin 87654321 >/dev/null
    openssl req -x509 -newkey rsa:2048 -nodes -keyout card.key -out card.pem -days 30 \
        -subj "/CN=Kart Kullanıcısı/serialNumber=12345678901/C=TR" -utf8 2>/dev/null
    openssl x509 -in card.pem -outform DER -out card.der
    openssl pkcs8 -topk8 -nocrypt -in card.key -outform DER -out card.p8
    pkcs11-tool --module "$softhsm" --token-label "AKIS Demo" --login --pin 1234 \
        --write-object card.der --type cert --id 01 --label card-cert >/dev/null
    pkcs11-tool --module "$softhsm" --token-label "AKIS Demo" --login --pin 1234 \
        --write-object card.p8 --type privkey --id 01 --label card-key >/dev/null
}

# write_typing_pinentry [PIN [FOLDER]]: a pinentry in FOLDER (./bin) that
# types PIN (the demo card's, 1234) at once; put that folder first on PATH for
# the requests that should use it. The helper starts a pinentry only where a
# dialog could appear, on its terminal or on a display; this one plays a
# graphical pinentry, so a run without a terminal names a display for it.
write_typing_pinentry() {
    local pin=${1:-1234} folder=${2:-bin}
    export DISPLAY="${DISPLAY:-:typing-pinentry}"
    mkdir -p "$folder"
    cat > "$folder/pinentry" <<PINENTRY
#!/bin/sh
echo "OK typing pinentry"
while IFS= read -r line; do
    case "\$line" in
        GETPIN*) echo "D $pin"; echo "OK" ;;
        BYE*) echo "OK"; exit 0 ;;
        *) echo "OK" ;;
    esac
done
PINENTRY
    chmod +x "$folder/pinentry"
}
