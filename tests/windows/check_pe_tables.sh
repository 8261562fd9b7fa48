#!/usr/bin/env bash
# Checks the export and import tables of the Windows DLLs as a host and the
# Windows loader see them (x86_64-w64-mingw32-objdump -p):
#
#   - kx_Traxel.dll exports the discovery functions and the seven
#     MFWMVMuxer_ functions under their plain C names and no C++ (mangled)
#     name;
#   - ZQ_Log.dll exports LogTextW at ordinal 1 and LogPrintW at ordinal 2;
#   - kx_Traxel.dll imports those two from ZQ_Log.dll by ordinal only, and
#     every other ZQ_Log import by a name that ZQ_Log.dll really exports;
#   - no DLL needs a GCC runtime DLL (libgcc, libstdc++, winpthread) beside it.
#
# Usage: check_pe_tables.sh <objdump> <kx_Traxel.dll> <ZQ_Log.dll> [named import...]
#   The named imports listed last must be present (by name) in kx_Traxel.dll.
set -uo pipefail

objdump=$1 plugin=$2 zqlog=$3
shift 3
required_named=("$@")

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

dump() { "$objdump" -p "$1" || { echo "FAIL: objdump -p $1"; exit 1; }; }
plugin_dump=$(dump "$plugin")
zqlog_dump=$(dump "$zqlog")

# "<ordinal> <name>" for every exported name.
exports() {
  awk '
    /^Export Address Table -- Ordinal Base/ { base = $NF }
    /^\[Ordinal\/Name Pointer\] Table/ { in_names = 1; next }
    in_names && NF == 0 { in_names = 0 }
    in_names {
      line = $0
      if (match(line, /\+base\[ *[0-9]+\]/)) {
        ord = substr(line, RSTART, RLENGTH); gsub(/[^0-9]/, "", ord)
      } else {
        match(line, /\[ *[0-9]+\]/); ord = substr(line, RSTART, RLENGTH); gsub(/[^0-9]/, "", ord); ord += base
      }
      print ord, $NF
    }'
}

# The import entries of one DLL: "ordinal <n>" or "name <symbol>".
imports_from() {
  awk -v dll="$1" '
    /^\tDLL Name: / { in_dll = (tolower($3) == tolower(dll)); next }
    in_dll && /vma:/ { next }
    in_dll && NF == 0 { in_dll = 0 }
    in_dll && NF >= 3 {
      if ($3 == "<none>") { print "ordinal", $2 + 0 } else { print "name", $3 }
    }'
}

dll_names() { awk '/^\tDLL Name: / { print $3 }'; }

plugin_exports=$(exports <<<"$plugin_dump")
zqlog_exports=$(exports <<<"$zqlog_dump")
plugin_zq_imports=$(imports_from ZQ_Log.dll <<<"$plugin_dump")

# 1. The discovery and direct-muxer exports, unmangled.
for name in GetEncoders GetFileFormats GetFileMultiStreamFormats \
    MFWMVMuxer_Create MFWMVMuxer_SetAudioParam MFWMVMuxer_SetVideoParam MFWMVMuxer_ConfigInit \
    MFWMVMuxer_WriteAudioPacket MFWMVMuxer_WriteVideoPacket MFWMVMuxer_Destroy; do
  if grep -qx "[0-9]* $name" <<<"$plugin_exports"; then pass "kx_Traxel.dll exports $name"; else fail "kx_Traxel.dll does not export $name"; fi
done
mangled=$(awk '$2 ~ /^_Z/ { print $2 }' <<<"$plugin_exports")
if [[ -z "$mangled" ]]; then pass "kx_Traxel.dll exports no C++ names"; else fail "kx_Traxel.dll exports C++ names: $mangled"; fi

# 2. ZQ_Log's ordinals.
for entry in "1 LogTextW" "2 LogPrintW"; do
  if grep -qx "$entry" <<<"$zqlog_exports"; then pass "ZQ_Log.dll exports ${entry#* } at ordinal ${entry%% *}"; else fail "ZQ_Log.dll does not export ${entry#* } at ordinal ${entry%% *} (exports: $(tr '\n' ' ' <<<"$zqlog_exports"))"; fi
done

# 3. The plug-in's imports from ZQ_Log.
descriptors=$(dll_names <<<"$plugin_dump" | grep -ic '^ZQ_Log.dll$')
if [[ $descriptors -eq 1 ]]; then pass "kx_Traxel.dll imports from ZQ_Log.dll (one import descriptor)"; else fail "kx_Traxel.dll has $descriptors import descriptors for ZQ_Log.dll"; fi
for ordinal in 1 2; do
  if grep -qx "ordinal $ordinal" <<<"$plugin_zq_imports"; then pass "kx_Traxel.dll imports ZQ_Log ordinal $ordinal"; else fail "kx_Traxel.dll does not import ZQ_Log ordinal $ordinal"; fi
done
for name in LogTextW LogPrintW; do
  if grep -qx "name $name" <<<"$plugin_zq_imports"; then fail "kx_Traxel.dll imports $name by name"; else pass "kx_Traxel.dll does not import $name by name"; fi
done
while read -r kind value; do
  [[ -n "$kind" ]] || continue
  if [[ $kind == ordinal ]]; then
    grep -q "^$value " <<<"$zqlog_exports" || fail "kx_Traxel.dll imports ZQ_Log ordinal $value, which ZQ_Log.dll does not export"
  elif grep -q " $value\$" <<<"$zqlog_exports"; then
    pass "kx_Traxel.dll imports $value by name, exported by ZQ_Log.dll"
  else
    fail "kx_Traxel.dll imports $value, which ZQ_Log.dll does not export"
  fi
done <<<"$plugin_zq_imports"
for name in "${required_named[@]}"; do
  if grep -qx "name $name" <<<"$plugin_zq_imports"; then pass "kx_Traxel.dll imports $name by name"; else fail "kx_Traxel.dll does not import $name by name"; fi
done

# 4. Self-contained DLLs: the GCC runtime is linked in statically.
for dll in "$plugin" "$zqlog"; do
  runtime=$("$objdump" -p "$dll" | dll_names | grep -iE '^lib(gcc|stdc\+\+|winpthread)' || true)
  if [[ -z "$runtime" ]]; then pass "$(basename "$dll") needs no GCC runtime DLL"; else fail "$(basename "$dll") imports $runtime"; fi
done

if [[ $failures -ne 0 ]]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
