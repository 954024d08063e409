#!/usr/bin/env bash
# Reads the Windows image back with the toolchain's objdump and qvpe and
# checks what Windows demands of a kernel driver image and what this driver
# promises: PE32 for x86, native subsystem, entry point in the discardable
# INIT section, pageable PAGE sections present, relocations, a correct
# checksum, and imports only from ntoskrnl.exe, hal.dll, USBD.SYS and
# smclib.sys, each one a routine listed in windows/imports/ as exported by
# that module; the INF's hardware ids, class and service; and the record
# layouts against Windows x64's headers.
# Usage: windows-check.sh [IMAGE] (default build-windows/qvscr.sys).
set -euo pipefail

QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QV_WINDOWS_BUILD="${QV_WINDOWS_BUILD:-$QV_ROOT/build-windows}"
image="${1:-$QV_WINDOWS_BUILD/qvscr.sys}"
qvpe="$QV_WINDOWS_BUILD/qvpe"
objdump=i686-w64-mingw32-objdump
lists="$QV_ROOT/windows/imports"

failures=0
pass() { echo "windows-check: ok    $1"; }
fail() { echo "windows-check: FAIL  $1"; failures=$((failures + 1)); }
check() { # check DESCRIPTION COMMAND...
    local what="$1"
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

headers="$($objdump -p "$image")"
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }
hex() { printf '%d' "0x${1#0x}"; }

check "PE32 image for x86" test "$(field Magic)" = 010b
check "native subsystem" test "$(field Subsystem)" = 00000001
characteristics=$(hex "$(field Characteristics)")
check "an image, not a DLL" test $((characteristics & 0x2000)) -eq 0
dll_characteristics=$(hex "$(field DllCharacteristics)")
check "marked as a WDM driver" test $((dll_characteristics & 0x2000)) -ne 0
check "base relocations present" grep -Eq '^Entry 5 [0-9a-f]{8} 0*[1-9a-f][0-9a-f]* Base Relocation' <<<"$headers"
check "image checksum correct" "$qvpe" checksum "$image"

# Sections: name and characteristics as qvpe prints them.
sections="$("$qvpe" sections "$image")"
flags_of() { awk -v name="$1" '$1 == name { print $2 }' <<<"$sections"; }
discardable=0x02000000
init=$(flags_of INIT)
check "INIT section present" test -n "$init"
check "INIT section discardable" test $(( ${init:-0} & discardable )) -ne 0
page=$(flags_of PAGE)
check "PAGE code section present, executable" test $(( ${page:-0} & 0x20000000 )) -ne 0
check "PAGE code section not discardable" test $(( ${page:-0} & discardable )) -eq 0
check "PAGEDATA section present" test -n "$(flags_of PAGEDATA)"
others=""
while read -r name flags; do
    if [ "$name" != INIT ] && [ "$name" != .reloc ] && [ $((flags & discardable)) -ne 0 ]; then
        others="$others $name"
    fi
done <<<"$sections"
check "nothing but INIT and .reloc discardable${others:+ (also:$others)}" test -z "$others"

# The entry point lies in INIT.
image_base=$(hex "$(field ImageBase)")
entry=$(hex "$(field AddressOfEntryPoint)")
read -r init_vma init_size < <($objdump -h "$image" | awk '$2 == "INIT" { print $4, $3 }')
init_start=$(( 0x$init_vma - image_base ))
check "entry point in INIT" test "$entry" -ge "$init_start" -a "$entry" -lt $(( init_start + 0x$init_size ))

# Imports: "module routine" per line.
imports="$(awk '
    /^\tDLL Name: / { module = $3; next }
    /^ [0-9a-f]{8}\t/ { module = ""; next }
    module != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print module, $3 }
' <<<"$headers")"
check "imports found" test -n "$imports"
while read -r module routine; do
    # Windows matches module names without regard to case: import libraries
    # name the HAL "HAL.dll", the lists call it hal.dll.
    list="$(find "$lists" -maxdepth 1 -iname "$module.txt" -print -quit)"
    if [ -z "$list" ] || [ ! -f "$list" ]; then
        fail "import $module!$routine: the image may import only from ntoskrnl.exe, hal.dll, USBD.SYS, smclib.sys"
    elif ! grep -qx "$routine" "$list"; then
        fail "import $module!$routine: not in windows/imports/$module.txt"
    fi
done <<<"$imports"
echo "windows-check: $(wc -l <<<"$imports") imports from $(awk '{ print $1 }' <<<"$imports" | sort -u | tr '\n' ' ')"

# The INF installs the image for both reader models, by the hardware ids the
# simulated readers' descriptors carry, in the smart card reader class.
inf="$QV_ROOT/windows/qvscr.inf"
descriptors="$QV_ROOT/sim/usb_descriptors.h"
usb_id() { sed -n "s/.*$1 = 0x\([0-9A-Fa-f]\{4\}\);.*/\1/p" "$descriptors" | tr 'a-f' 'A-F'; }
vendor=$(usb_id kVendorId)
for product in $(usb_id kProductIdQv38N) $(usb_id kProductIdQv39N); do
    check "INF installs USB\\VID_${vendor}&PID_${product}" grep -qF "USB\\VID_${vendor}&PID_${product}" "$inf"
done
check "INF in the SmartCardReader class" grep -q '^ClassGuid *= *{50DD5230-BA8A-11D1-BF5D-0000F805F530}' "$inf"
check "INF installs qvscr.sys as a kernel service" grep -q '^ServiceBinary *= *%12%\\qvscr.sys' "$inf"

# The 64-bit column of the record layouts is Windows x64's: compile the
# table against the toolchain's x64 kernel headers. (The 32-bit column was
# checked when the image was built, the emulation checks the 64-bit one.)
check "record layouts match Windows x64's" x86_64-w64-mingw32-g++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror \
    -I"$QV_ROOT/include" -I"$QV_ROOT/platform/include" -isystem /usr/x86_64-w64-mingw32/include/ddk \
    "$QV_ROOT/include/record_layout.cpp"

if [ "$failures" -ne 0 ]; then
    echo "windows-check: $failures check(s) failed for $image"
    exit 1
fi
echo "windows-check: $image passes"
