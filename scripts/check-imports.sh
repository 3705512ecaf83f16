#!/usr/bin/env bash
# Fails when a binary imports a DLL that Windows itself does not ship
# (a runtime DLL of the compiler would have to be shipped beside it).
set -euo pipefail
dir="$1"
allowed='^(kernel32|user32|gdi32|comctl32|ws2_32|odbc32|odbccp32|msvcrt|advapi32|shell32|ole32|secur32|crypt32|winhttp)\.dll$'
status=0
for f in "$dir"/*.exe "$dir"/*.dll; do
  [ -e "$f" ] || continue
  while read -r dll; do
    if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
      echo "check-imports: $(basename "$f") imports $dll"; status=1
    fi
  done < <(i686-w64-mingw32-objdump -p "$f" | sed -n 's/.*DLL Name: //p')
done
[ $status -eq 0 ] && echo "check-imports: every binary in $dir needs only system DLLs"
exit $status
