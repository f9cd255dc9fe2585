#!/bin/bash
# Static checks of the 64-bit and the 32-bit TR47_INI.dll, without running
# them: file format, exports, calling convention of the entry points,
# runtime DLLs, the type library and version resources.
# Usage: tests/wine/check_dlls.sh <dir with 64-bit TR47_INI.dll> <dir with 32-bit TR47_INI.dll>
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 <dir with 64-bit TR47_INI.dll> <dir with 32-bit TR47_INI.dll>" >&2; exit 2; }
winedump=/usr/lib/wine/winedump
command -v winedump >/dev/null && winedump=$(command -v winedump)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# The bytes of one resource from winedump's hex listing, as a hex string.
resource_hex() { # <winedump resource listing> <resource header prefix>
  awk -v head="$2" '
    /^  [^ ]/ { inside = (index($0, head) == 3) ; next }
    inside && /^    [0-9a-f]+: / {
      # 16 bytes in 47 columns after the offset; the text column follows.
      bytes = substr($0, index($0, ": ") + 2, 47)
      gsub(/-/, " ", bytes); gsub(/ /, "", bytes); printf "%s", bytes
    }' <<<"$1"
}

# A little-endian 32-bit number at a byte position of a hex string.
le32() { # <hex> <byte offset>
  local h=${1:$(($2 * 2)):8}
  echo $((16#${h:6:2}${h:4:2}${h:2:2}${h:0:2}))
}

# UTF-16LE hex of an ASCII text.
utf16hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | sed 's/../&00/g'; }

check_dll() { # <label> <file> <arch: i686|x86_64>
  local label=$1 dll=$2 arch=$3
  local objdump=$arch-w64-mingw32-objdump nm=$arch-w64-mingw32-nm
  if [ ! -f "$dll" ]; then fail "$label: $dll not found"; return; fi
  local want_format want_magic want_machine want_syskind
  if [ "$arch" = i686 ]; then
    want_format=pei-i386 want_magic="010b (PE32)" want_machine=014C want_syskind=1
  else
    want_format=pei-x86-64 want_magic="020b (PE32+)" want_machine=8664 want_syskind=3
  fi

  # File format: PE32 for i386 or PE32+ for x86-64, a DLL.
  local headers format magic
  headers=$("$objdump" -p "$dll" 2>&1) || { fail "$label: $objdump cannot read $dll"; return; }
  format=$(awk '/file format/ {print $NF; exit}' <<<"$headers")
  magic=$(awk '$1 == "Magic" {print $2, $3; exit}' <<<"$headers")
  if [ "$format" = "$want_format" ] && [ "$magic" = "$want_magic" ]; then
    ok "$label: $format, $magic"
  else
    fail "$label: $format, $magic, expected $want_format, $want_magic"
  fi
  local fileheader machine
  fileheader=$("$winedump" -f "$dll" 2>&1)
  machine=$(awk '$1 == "Machine:" {print $2; exit}' <<<"$fileheader")
  [ "$machine" = "$want_machine" ] || fail "$label: machine ${machine:-unknown}, expected $want_machine"
  grep -qE '^    DLL$' <<<"$fileheader" || fail "$label: not marked as a DLL"

  # Exports: exactly the four entry points, by plain name, at ordinals 1-4.
  local want_exports=$'1 DllCanUnloadNow\n2 DllGetClassObject\n3 DllRegisterServer\n4 DllUnregisterServer'
  local exports listing
  listing=$("$winedump" -j export "$dll" 2>&1)
  exports=$(awk '/Entry Pt +Ordn +Name/ {t = 1; next} t && NF == 0 {exit} t {print $2, $3}' <<<"$listing")
  local functions names
  functions=$(awk -F: '/# of functions/ {gsub(/ /, "", $2); print $2}' <<<"$listing")
  names=$(awk -F: '/# of Names/ {gsub(/ /, "", $2); print $2}' <<<"$listing")
  if [ "$exports" = "$want_exports" ] && [ "$functions" = 4 ] && [ "$names" = 4 ]; then
    ok "$label: exports $(tr '\n' ' ' <<<"$exports")"
  else
    fail "$label: exports ($functions functions, $names names): $(tr '\n' ' ' <<<"$exports"), expected $(tr '\n' ' ' <<<"$want_exports")"
  fi
  # The same names as objdump reads them from the name table: undecorated.
  local objnames
  objnames=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /^\t\[/ {print $NF} t && /^$/ {t = 0}' <<<"$headers" | sort)
  [ "$objnames" = $'DllCanUnloadNow\nDllGetClassObject\nDllRegisterServer\nDllUnregisterServer' ] \
    || fail "$label: export names in objdump: $(tr '\n' ' ' <<<"$objnames")"

  # 32-bit callers call the entry points __stdcall (the callee pops the
  # arguments): each export must be the decorated stdcall function.
  if [ "$arch" = i686 ]; then
    local symbols base
    symbols=$("$nm" "$dll" 2>/dev/null)
    if [ -z "$symbols" ]; then
      fail "$label: no symbol table, cannot check the calling convention of the entry points"
    else
      base=$(awk '$1 == "ImageBase" {print $2}' <<<"$headers")
      local entry rva sym
      for entry in DllCanUnloadNow:0 DllGetClassObject:12 DllRegisterServer:0 DllUnregisterServer:0; do
        rva=$(awk -v n="${entry%%:*}" '/Entry Pt +Ordn +Name/ {t = 1; next} t && $3 == n {print $1}' <<<"$listing")
        sym=$(awk -v s="_${entry%%:*}@${entry##*:}" '$3 == s && $2 == "T" {print $1}' <<<"$symbols")
        if [ -n "$rva" ] && [ -n "$sym" ] && [ $((16#$base + 16#$rva)) -eq $((16#$sym)) ]; then
          ok "$label: ${entry%%:*} is __stdcall (_${entry%%:*}@${entry##*:})"
        else
          fail "$label: ${entry%%:*} (RVA ${rva:-none}) is not the __stdcall function _${entry%%:*}@${entry##*:} (${sym:-absent})"
        fi
      done
    fi
  fi

  # Nothing to ship beside it: no mingw runtime DLLs among the imports.
  local imports
  imports=$(awk '/DLL Name:/ {print $3}' <<<"$headers")
  if grep -qiE '^lib.*\.dll$' <<<"$imports"; then
    fail "$label: imports runtime DLLs: $(grep -iE '^lib.*\.dll$' <<<"$imports" | tr '\n' ' ')"
  else
    ok "$label: imports only system DLLs ($(tr '\n' ' ' <<<"$imports"))"
  fi

  # Resources: the type library as TYPELIB 1, for the DLL's own target.
  local resources tlb
  resources=$("$winedump" -j resource "$dll" 2>&1)
  tlb=$(resource_hex "$resources" 'L"TYPELIB" Name=0001 ')
  if [ -z "$tlb" ]; then
    fail "$label: no TYPELIB resource 1"
  elif [ "${tlb:0:8}" != 4d534654 ]; then
    fail "$label: TYPELIB resource 1 is not a type library (starts ${tlb:0:8})"
  else
    local syskind=$((16#${tlb:40:2} & 15))
    if [ "$syskind" -eq "$want_syskind" ]; then
      ok "$label: TYPELIB 1, SYS_KIND $syskind"
    else
      fail "$label: TYPELIB 1 records SYS_KIND $syskind, expected $want_syskind"
    fi
  fi

  # The version block: fixed file and product version 1.1.0.264, the
  # texts 1.01.0264 and the self-registration mark.
  local ver rest at
  ver=$(resource_hex "$resources" 'VERSION Name=0001 ')
  rest=${ver%%bd04effe*}
  if [ -z "$ver" ]; then
    fail "$label: no VERSIONINFO resource"
  elif [ "$rest" = "$ver" ] || [ $((${#rest} % 2)) -ne 0 ]; then
    fail "$label: VERSIONINFO without a fixed file info block"
  else
    at=$((${#rest} / 2 + 8))
    local fms fls pms pls file product
    fms=$(le32 "$ver" $at) fls=$(le32 "$ver" $((at + 4))) pms=$(le32 "$ver" $((at + 8))) pls=$(le32 "$ver" $((at + 12)))
    file="$((fms >> 16)).$((fms & 65535)).$((fls >> 16)).$((fls & 65535))"
    product="$((pms >> 16)).$((pms & 65535)).$((pls >> 16)).$((pls & 65535))"
    if [ "$file" = 1.1.0.264 ] && [ "$product" = 1.1.0.264 ]; then
      ok "$label: VERSIONINFO file and product version $file"
    else
      fail "$label: VERSIONINFO file version $file, product version $product, expected 1.1.0.264"
    fi
    local text
    for text in FileVersion 1.01.0264 OLESelfRegister TR47_INI.dll; do
      [[ $ver == *"$(utf16hex "$text")"* ]] || fail "$label: VERSIONINFO lacks \"$text\""
    done
  fi
}

check_dll "64-bit" "$1/TR47_INI.dll" x86_64
check_dll "32-bit" "$2/TR47_INI.dll" i686

if [ "$failures" -ne 0 ]; then
  echo "check_dlls: $failures failure(s)"
  exit 1
fi
echo "check_dlls: all checks passed"
