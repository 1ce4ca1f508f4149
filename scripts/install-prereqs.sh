#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, but only those
# that are missing, so a machine that has them all pays one dpkg query.
set -euo pipefail

packages=(clang lld llvm gcc g++ cmake ninja-build make libgtest-dev libgmock-dev
          libbenchmark-dev qemu-system-x86 ovmf mtools gdisk dosfstools tar python3
          u-boot-qemu grub-common grub-efi-amd64-bin systemd-boot-efi sbsigntool openssl
          libssl-dev)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing missing packages: ${missing[*]}"
as_root=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "need root to install: ${missing[*]}" >&2; exit 1; }
    as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
