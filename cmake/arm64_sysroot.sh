#!/usr/bin/env bash
# Unpacks Debian's arm64 CPython 3.11 (interpreter, standard library, headers) and the arm64
# libraries it and NumPy's wheel load into DIR, for running aarch64 code under qemu-user with
# `qemu-aarch64 -L DIR`. Nothing is installed on the system besides the arm64 package lists
# (and qemu-user); needs root or sudo for apt-get.
set -euo pipefail
dir=$(realpath -m "$1")
packages=(
  python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
  libc6 libgcc-s1 libstdc++6 libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5 libssl3
  libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libuuid1 libcrypt1 libnsl2 libtirpc3
  libdb5.3 libgssapi-krb5-2 libk5crypto3 libkrb5-3 libkrb5support0 libkeyutils1 libcom-err2
)
sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
if ! command -v qemu-aarch64 >/dev/null || ! command -v qemu-x86_64 >/dev/null; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends qemu-user
fi
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo dpkg --add-architecture arm64
  $sudo apt-get update -qq
elif ! apt-cache show libc6:arm64 >/dev/null 2>&1; then
  $sudo apt-get update -qq
fi
debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
chmod 777 "$debs"  # apt-get download drops privileges to the _apt user
(cd "$debs" && apt-get download -q=2 "${packages[@]/%/:arm64}")
rm -rf "$dir" && mkdir -p "$dir"
for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$dir"; done
test -x "$dir/usr/bin/python3.11" && test -e "$dir/lib/ld-linux-aarch64.so.1"
# The interpreter's headers with aarch64's own pyconfig.h in place of Debian's multiarch switch,
# for cross-compiling extensions against them.
cp -r "$dir/usr/include/python3.11" "$dir/python-include"
cp "$dir/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$dir/python-include/pyconfig.h"
