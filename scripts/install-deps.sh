#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have_cmd cmake || need+=(cmake)
have_cmd g++ || need+=(g++)
have_cmd make || need+=(make)
have_cmd pkg-config || need+=(pkg-config)
have_cmd curl || need+=(curl)
have_cmd python3 || need+=(python3)
have_cmd openssl || need+=(openssl)
have_cmd lftp || need+=(lftp)
have_pkg python3-aiosmtpd || need+=(python3-aiosmtpd)  # the mail tests' peer
have_cmd rclone || need+=(rclone)
have_cmd wget || need+=(wget)
{ have_pkg libssl-dev || [ -f /usr/include/openssl/ssl.h ]; } || need+=(libssl-dev)
{ have_pkg libgtest-dev || [ -f /usr/include/gtest/gtest.h ]; } || need+=(libgtest-dev)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${need[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${need[@]}"
