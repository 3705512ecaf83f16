#!/usr/bin/env bash
# Installs what the build and the tests need, and any further packages named
# as arguments (the benchmark's peers). Idempotent: quick when everything is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3
  # The fuzz targets: clang with libFuzzer and the sanitizers' runtime.
  clang libclang-rt-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  # The 64-bit flavour runs the Wine tests on hosts that cannot execute 32-bit code.
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  googletest
  wine wine32:i386 wine64 fonts-wine fonts-liberation
  xvfb xdotool x11-utils imagemagick
  dovecot-imapd dovecot-pop3d
  # Test certificates for the encrypted connections.
  openssl
  # The test identity provider checks RS256 signatures of the sign-in tests.
  python3-cryptography
  unixodbc libodbc2:i386 libsqliteodbc:i386
  libodbc2 libsqliteodbc
  "$@"
)

# A mirror caught mid-sync fails one index now and then: try again, and go
# on with what the indexes hold when it keeps failing (the install then says
# what is really missing).
update_index() {
  local attempt
  for attempt in 1 2 3 4; do
    apt-get update -qq && return 0
    echo "setup: apt-get update failed (attempt $attempt)"
    sleep $((attempt * 15))
  done
  echo "setup: going on with the package indexes as they are"
}

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  update_index
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [ -n "${need_update:-}" ]; then
  update_index
fi
# Dovecot's packaged service is not used: tests start private instances on loopback.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now dovecot >/dev/null 2>&1 || true; fi
echo "setup: all packages present"
