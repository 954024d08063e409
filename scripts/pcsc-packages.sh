#!/usr/bin/env bash
# The Debian packages of the PC/SC bridge and its checks, and their
# installation. Sourced by setup.sh.
#
# libpcsclite-dev has the IFD handler interface (ifdhandler.h) the bridge
# implements and the client library its benchmark calls; pcscd is the
# daemon that loads the bridge; pcsc-tools (pcsc_scan, scriptor) and opensc
# (opensc-tool, openpgp-tool, pkcs15-tool, pkcs11-tool and its PKCS #11
# module) are the unmodified PC/SC tools the checks drive; gnupg and
# scdaemon are GnuPG with its smart-card daemon, and openssl verifies the
# signatures OpenSC makes (scripts/openpgp-checks.sh). Installed without
# recommended packages: pcsc-tools would bring a desktop toolkit.
QV_PCSC_PACKAGES=(libpcsclite-dev pcscd pcsc-tools opensc gnupg scdaemon openssl)

qv_install_pcsc_packages() {
    local sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    local missing=() package
    for package in "${QV_PCSC_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "setup: installing ${missing[*]}" >&2
        "${sudo_cmd[@]}" apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >&2
    fi
}
