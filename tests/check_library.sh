#!/usr/bin/env bash
# Checks the shared object's ABI: the exact dynamic symbols it defines, its
# soname, and a run-time search path stored as DT_RPATH.
# usage: check_library.sh LIBRARY SOURCE_DIR
set -euo pipefail
lib=$1 src=$2

expected=$(sort <<'SYMS'
_Z10ipp_resizePhiiiS_iii
_Z8qdecode2PKhmPhPiS2_S2_i
colorfmtName
colorspaceName
pre_alloc_imread
qFree
qdecode
qencode
qimread
qimread2
qimwrite
qresize
subsampName
SYMS
)
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort)
if [[ "$actual" != "$expected" ]]; then
  echo "exported symbols differ (< expected, > actual):"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi

dyn=$(readelf -d "$lib")
grep -q 'Library soname: \[libqarvel.so\]' <<<"$dyn" || { echo "soname is not libqarvel.so"; exit 1; }
want="Library rpath: [\$ORIGIN:$src/lib]"
grep -qF "$want" <<<"$dyn" || { echo "missing: $want"; grep -E 'RPATH|RUNPATH' <<<"$dyn"; exit 1; }
if grep -q RUNPATH <<<"$dyn"; then echo "RUNPATH present; expected DT_RPATH only"; exit 1; fi
echo "exports, soname and rpath ok"
