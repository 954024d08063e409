#!/usr/bin/env bash
# GnuPG and OpenSC, unmodified, doing real work with the simulated OpenPGP
# cards through a private pcscd and the PC/SC bridge (scripts/test.sh runs
# it), for the T=1 card `openpgp` and the T=0 card `openpgp-t0`:
# - GnuPG: gpg --card-status; keys generated on the card with gpg
#   --card-edit (the card pulled out in the middle of a first attempt: gpg
#   must say the card is gone, and work again once it is back); a signature
#   made and verified; a message encrypted to the card's key and decrypted
#   on the card; a wrong PIN lowers the retry counter, the right one restores
#   it; the keys changed to Curve 25519 (GnuPG's curve) and all of it again;
# - OpenSC: openpgp-tool shows the card and generates a key;
#   pkcs15-tool --list-keys; pkcs11-tool signs with the generated key, and
#   openssl verifies the signature against the public key read back;
# - the card's own account: short APDUs only, with command chaining and GET
#   RESPONSE (qvscr-card card stats).
# Each step checks the tool's exit status and its output. scdaemon runs on
# PC/SC (disable-ccid, pcsc-driver) in a private GNUPGHOME per card.
#
#   scripts/openpgp-checks.sh [BUILD] [CARD...]   # BUILD: configured with -DQV_PCSC_BRIDGE=ON (default build-pcsc)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build-pcsc}" && pwd)"
[ $# -gt 0 ] && shift

if [ "${1:-}" != "--inside" ]; then
    exec "$root/scripts/pcsc-bridge.sh" --build "$build" --card none -- \
        bash "$root/scripts/openpgp-checks.sh" "$build" --inside "$@"
fi
shift
cards=("$@")
[ ${#cards[@]} -gt 0 ] || cards=(openpgp openpgp-t0)

# ---- Inside the bridge's namespace, with pcscd running ---------------------
work="$(mktemp -d)"
trap 'gpgconf --kill all >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
failures=0
passed=0
check() { # check NAME COMMAND...: counts and reports one check
    local name="$1"
    shift
    if "$@"; then
        echo "openpgp check passed: $name"
        passed=$((passed + 1))
    else
        echo "openpgp check FAILED: $name" >&2
        failures=$((failures + 1))
    fi
}
# shows FILE on standard error when the last check failed
show_if_failed() { if [ "$1" -ne "$failures" ]; then sed 's/^/    | /' "$2" >&2; fi; }
card() { "$build/qvscr-card" card "$@" >/dev/null; }
# The driver polls the slot once a second and pcscd hears of it at once.
settle() { sleep 2; }
has() { grep -qE -- "$2" "$1"; }

# (awk reads to the end: a reader that stops early kills the writer.)
pcsclite="$(ldconfig -p | awk '/libpcsclite\.so\.1 / && !found { print $NF; found = 1 }')"
pkcs11="$(dpkg -L opensc-pkcs11 | awk '/\/opensc-pkcs11\.so$/ && !found { print; found = 1 }')"
user_pin=123456
admin_pin=12345678
userid='QV Tester <qv@example.org>'
echo 'The quick brown fox jumps over the lazy dog.' >"$work/message"

# Answers to gpg --card-edit's generate, in the order it asks: no off-card
# backup, yes to replacing the keys when the card has some (replace), the
# user PIN, no expiry, name, e-mail, comment, the admin PIN, the user PIN
# for the self-signatures. A PIN that gpg does not ask for, because the card
# still holds it verified, lands at the card-edit prompt as an unknown
# command.
generate_answers() { # generate_answers [replace]
    local replace=""
    [ "${1:-}" = replace ] && replace='y\n'
    printf "admin\ngenerate\nn\n${replace}%s\n0\nQV Tester\nqv@example.org\n\n%s\n%s\nquit\n" \
        "$user_pin" "$admin_pin" "$user_pin"
}

gnupg_checks() { # gnupg_checks CARD SERIAL
    local which="$1" serial="$2" out="$work/$1"
    export GNUPGHOME="$out/gnupg"
    mkdir -p "$GNUPGHOME"
    chmod 700 "$GNUPGHOME"
    printf 'disable-ccid\npcsc-driver %s\n' "$pcsclite" >"$GNUPGHOME/scdaemon.conf"
    echo allow-loopback-pinentry >"$GNUPGHOME/gpg-agent.conf"
    local edit=(gpg --no-tty --command-fd 0 --status-fd 1 --pinentry-mode loopback --card-edit)
    local before

    # --- the card as GnuPG sees it
    before=$failures
    gpg --card-status >"$out/status.txt" 2>&1 && status_ok=1 || status_ok=0
    card_status() {
        [ "$status_ok" = 1 ] && has "$out/status.txt" '^Application type \.: OpenPGP$' &&
            has "$out/status.txt" '^Version \.+: 3\.4$' && has "$out/status.txt" "^Serial number \.+: $serial\$" &&
            has "$out/status.txt" '^PIN retry counter : 3 0 3$'
    }
    check "$which: gpg --card-status shows an OpenPGP card 3.4, serial $serial, retry counters 3 0 3" card_status
    show_if_failed "$before" "$out/status.txt"

    # --- the card pulled out while GnuPG generates a key, and put back
    before=$failures
    generate_answers | "${edit[@]}" >"$out/pulled.txt" 2>&1 &
    local generating=$!
    # The admin PIN is the second PIN asked for; then the card works on the
    # first key for seconds.
    for _ in $(seq 1 200); do
        [ "$(grep -c 'GET_HIDDEN passphrase.enter' "$out/pulled.txt")" -ge 2 ] && break
        sleep 0.05
    done
    sleep 1
    card remove
    wait "$generating" && pulled_ok=1 || pulled_ok=0
    generation_failed() {
        [ "$pulled_ok" = 0 ] && has "$out/pulled.txt" 'key generation failed' && has "$out/pulled.txt" 'KEY_NOT_CREATED'
    }
    check "$which: a key generation with the card pulled out fails" generation_failed
    show_if_failed "$before" "$out/pulled.txt"
    before=$failures
    gpg --card-status >"$out/gone.txt" 2>&1 && gone_ok=1 || gone_ok=0
    card_gone() { [ "$gone_ok" = 0 ] && has "$out/gone.txt" 'OpenPGP card not available: (No such device|Card removed)'; }
    check "$which: gpg --card-status says the card is gone" card_gone
    show_if_failed "$before" "$out/gone.txt"
    card insert
    settle
    before=$failures
    gpg --card-status >"$out/back.txt" 2>&1 && status_ok=1 || status_ok=0
    card_back() { [ "$status_ok" = 1 ] && has "$out/back.txt" "^Serial number \.+: $serial\$"; }
    check "$which: gpg --card-status works once the card is back" card_back
    show_if_failed "$before" "$out/back.txt"

    # --- keys generated on the card
    gnupg_flow "$which" rsa2048 "$out/rsa" new

    # --- Curve 25519: the card's key attributes changed, and all again
    before=$failures
    printf 'admin\nkey-attr\n2\n1\n%s\n2\n1\n%s\n2\n1\n%s\nquit\n' "$admin_pin" "$admin_pin" "$admin_pin" |
        "${edit[@]}" >"$out/key-attr.txt" 2>&1 || true
    gpg --card-status >"$out/attributes.txt" 2>&1 && status_ok=1 || status_ok=0
    curve_attributes() { [ "$status_ok" = 1 ] && has "$out/attributes.txt" '^Key attributes \.+: ed25519 cv25519 ed25519$'; }
    check "$which: gpg --card-edit key-attr sets ed25519 cv25519 ed25519" curve_attributes
    show_if_failed "$before" "$out/attributes.txt"
    gnupg_flow "$which" ed25519 "$out/curve" replace
    # scdaemon keeps the reader to itself while it runs.
    gpgconf --kill all
    unset GNUPGHOME
}

gnupg_flow() { # gnupg_flow CARD ALGORITHM DIR new|replace: generate, sign, verify, encrypt, decrypt, a wrong PIN
    local which="$1" algorithm="$2" dir="$3" keys="$4" before fingerprint
    local gpg=(gpg --batch --no-tty --pinentry-mode loopback)
    local edit=(gpg --no-tty --command-fd 0 --status-fd 1 --pinentry-mode loopback --card-edit)
    mkdir -p "$dir"
    before=$failures
    generate_answers "$keys" | "${edit[@]}" >"$dir/generate.txt" 2>&1 && generated_ok=1 || generated_ok=0
    fingerprint="$(sed -n 's/^\[GNUPG:\] KEY_CREATED B \([0-9A-F]*\)$/\1/p' "$dir/generate.txt")"
    gpg --card-status >"$dir/status.txt" 2>&1 || true
    generated() {
        [ "$generated_ok" = 1 ] && [ -n "$fingerprint" ] &&
            has "$dir/status.txt" "^Signature key \.+: $(sed 's/\(....\)/\1 /g; s/ $//; s/^\(.\{24\}\) /\1  /' <<<"$fingerprint")\$" &&
            has "$dir/status.txt" "^General key info\.\.: pub  $algorithm/"
    }
    check "$which: gpg --card-edit generates $algorithm keys on the card" generated
    show_if_failed "$before" "$dir/status.txt"

    before=$failures
    printf '%s\n' "$user_pin" | "${gpg[@]}" --command-fd 0 -u "$fingerprint" -s -o "$dir/signed.gpg" "$work/message" \
        >"$dir/sign.txt" 2>&1 && signed_ok=1 || signed_ok=0
    gpg --verify "$dir/signed.gpg" >"$dir/verify.txt" 2>&1 && verified_ok=1 || verified_ok=0
    verified() { [ "$signed_ok" = 1 ] && [ "$verified_ok" = 1 ] && has "$dir/verify.txt" "Good signature from \"$userid\""; }
    check "$which: gpg --sign with the $algorithm key, gpg --verify: good signature" verified
    show_if_failed "$before" "$dir/verify.txt"

    before=$failures
    "${gpg[@]}" --trust-model always -r qv@example.org -e -o "$dir/encrypted.gpg" "$work/message" >"$dir/encrypt.txt" 2>&1 &&
        encrypted_ok=1 || encrypted_ok=0
    printf '%s\n' "$user_pin" | "${gpg[@]}" --command-fd 0 -d -o "$dir/decrypted" "$dir/encrypted.gpg" \
        >"$dir/decrypt.txt" 2>&1 && decrypted_ok=1 || decrypted_ok=0
    decrypted() { [ "$encrypted_ok" = 1 ] && [ "$decrypted_ok" = 1 ] && cmp -s "$dir/decrypted" "$work/message"; }
    check "$which: gpg --encrypt to the card's key, gpg --decrypt on the card" decrypted
    show_if_failed "$before" "$dir/decrypt.txt"

    # A fresh agent and scdaemon, which ask the card for the PIN again.
    before=$failures
    gpgconf --kill all
    printf '000000\n' | "${gpg[@]}" --command-fd 0 -d -o "$dir/wrong" "$dir/encrypted.gpg" >"$dir/wrong.txt" 2>&1 &&
        wrong_ok=1 || wrong_ok=0
    gpg --card-status >"$dir/lowered.txt" 2>&1 || true
    printf '%s\n' "$user_pin" | "${gpg[@]}" --command-fd 0 -d -o "$dir/right" "$dir/encrypted.gpg" >"$dir/right.txt" 2>&1 &&
        right_ok=1 || right_ok=0
    gpg --card-status >"$dir/restored.txt" 2>&1 || true
    pin_counted() {
        [ "$wrong_ok" = 0 ] && has "$dir/wrong.txt" 'Bad PIN' && has "$dir/lowered.txt" '^PIN retry counter : 2 0 3$' &&
            [ "$right_ok" = 1 ] && cmp -s "$dir/right" "$work/message" && has "$dir/restored.txt" '^PIN retry counter : 3 0 3$'
    }
    check "$which: a wrong PIN lowers the retry counter to 2, the right one restores 3" pin_counted
    show_if_failed "$before" "$dir/wrong.txt"
}

opensc_checks() { # opensc_checks CARD SERIAL
    local which="$1" serial="$2" out="$work/$1/opensc" before
    mkdir -p "$out"
    before=$failures
    openpgp-tool --card-info >"$out/info.txt" 2>&1 && info_ok=1 || info_ok=0
    shown() {
        [ "$info_ok" = 1 ] && has "$out/info.txt" '^Version: +3\.4$' && has "$out/info.txt" "^Serial number: +$serial\$"
    }
    check "$which: openpgp-tool shows the card" shown
    show_if_failed "$before" "$out/info.txt"

    before=$failures
    openpgp-tool --verify CHV3 --pin "$admin_pin" --gen-key 3 --key-type rsa2048 >"$out/generate.txt" 2>&1 &&
        generated_ok=1 || generated_ok=0
    generated() { [ "$generated_ok" = 1 ] && has "$out/generate.txt" '^Fingerprint:'; }
    check "$which: openpgp-tool generates an RSA 2048 authentication key" generated
    show_if_failed "$before" "$out/generate.txt"

    before=$failures
    pkcs15-tool --list-keys >"$out/keys.txt" 2>&1 && keys_ok=1 || keys_ok=0
    listed() {
        [ "$keys_ok" = 1 ] && has "$out/keys.txt" 'Private RSA Key \[Authentication key\]' &&
            has "$out/keys.txt" 'Private EC Key \[Signature key\]|Private EDDSA Key \[Signature key\]|Private .* Key \[Signature key\]'
    }
    check "$which: pkcs15-tool --list-keys lists the card's keys" listed
    show_if_failed "$before" "$out/keys.txt"

    # The new authentication key (03, behind the user PIN's token) signs.
    before=$failures
    pkcs15-tool --read-public-key 03 -o "$out/public3.pem" >"$out/read3.txt" 2>&1 && read_ok=1 || read_ok=0
    pkcs11-tool --module "$pkcs11" --token-label 'OpenPGP card (User PIN)' --login --pin "$user_pin" \
        --sign --mechanism SHA256-RSA-PKCS --id 03 -i "$work/message" -o "$out/signature3" >"$out/sign3.txt" 2>&1 &&
        sign_ok=1 || sign_ok=0
    openssl dgst -sha256 -verify "$out/public3.pem" -signature "$out/signature3" "$work/message" \
        >"$out/verify3.txt" 2>&1 && verify_ok=1 || verify_ok=0
    signs() { [ "$read_ok" = 1 ] && [ "$sign_ok" = 1 ] && [ "$verify_ok" = 1 ] && has "$out/verify3.txt" '^Verified OK$'; }
    check "$which: pkcs11-tool --sign with the generated key, openssl dgst -verify: Verified OK" signs
    show_if_failed "$before" "$out/sign3.txt"
}

short_apdus() { # short_apdus CARD: the card's own account of what it was sent
    local which="$1" line
    line="$("$build/qvscr-card" card stats | head -n 1)"
    echo "$which: $line"
    stats() {
        [[ "$line" =~ chained\ ([0-9]+),\ get-response\ ([0-9]+),\ extended\ ([0-9]+) ]] &&
            [ "${BASH_REMATCH[1]}" -gt 0 ] && [ "${BASH_REMATCH[2]}" -gt 0 ] && [ "${BASH_REMATCH[3]}" -eq 0 ]
    }
    check "$which: the clients sent short APDUs only, with command chaining and GET RESPONSE" stats
}

for which in "${cards[@]}"; do
    case "$which" in
    openpgp) serial=51563101 ;;
    openpgp-t0) serial=51563001 ;;
    *) echo "openpgp-checks: no OpenPGP card named '$which'" >&2; exit 2 ;;
    esac
    mkdir -p "$work/$which"
    card insert "$which"
    settle
    gnupg_checks "$which" "$serial"
    opensc_checks "$which" "$serial"
    short_apdus "$which"
    card remove
    settle
done

echo "openpgp checks: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
