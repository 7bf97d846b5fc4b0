#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# As root it runs apt-get; otherwise it prints the command and stops.
set -euo pipefail

packages=(
  build-essential cmake pkg-config googletest libgtest-dev libgmock-dev
  libpcsclite-dev pcscd pcsc-tools vsmartcard-vpcd opensc libssl-dev
  python3 python3-pykcs11 binutils util-linux openssl libengine-pkcs11-openssl
  gnutls-bin libnss3-tools p11-kit openssh-client
  firefox-esr xvfb xdotool imagemagick libpam-pkcs11 pamtester openssh-server
  g++-mingw-w64-x86-64 wine wine64 wine64-tools
  clang-14 libclang-rt-14-dev
  valgrind
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

cmd="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root with:" >&2
  echo "  $cmd" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
