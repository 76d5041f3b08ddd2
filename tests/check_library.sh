#!/usr/bin/env bash
# Checks the shared object's ABI: the exact dynamic symbols it defines, its
# soname, the libraries it needs, and a run-time search path stored as DT_RPATH.
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
# Sanitizer runtimes aside.
needed=$(grep -oP 'NEEDED.*\[\K[^]]+' <<<"$dyn" | grep -vE '^lib(a|t|ub)san' | sort | tr '\n' ' ')
if [[ "$needed" != "libc.so.6 libgcc_s.so.1 libstdc++.so.6 libturbojpeg.so.0 " ]]; then
  echo "unexpected libraries needed: $needed"; exit 1
fi
if grep -q RUNPATH <<<"$dyn"; then echo "RUNPATH present; expected DT_RPATH only"; exit 1; fi
echo "exports, soname, libraries and rpath ok"
