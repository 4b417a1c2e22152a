#!/usr/bin/env bash
# Builds CPython 3.11 from Debian's source package against musl with Debian's musl-gcc into DIR
# (DIR/bin/python3.11), for running the musllinux wheel's Python suite on this glibc machine.
#   cmake/musl_python.sh DIR
# Installs musl-tools when missing and adds a deb-src entry for Debian's own archive when there
# is none (root or sudo). Debian's libraries are built for glibc, so the interpreter links none
# of them: zlib (which hypothesis imports) is built for musl from Debian's source package too,
# and the modules of the other libraries (_ctypes, _ssl, _sqlite3 and their like) are left out.
set -euo pipefail
dir=$(realpath -m "$1")
sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
apt_install() {
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@"
}
command -v musl-gcc >/dev/null || apt_install musl-tools
command -v dpkg-source >/dev/null || apt_install dpkg-dev
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 777 "$work"  # apt-get source drops privileges to the _apt user
sources=(python3.11 zlib)
if ! (cd "$work" && apt-get source -q=2 --download-only "${sources[@]}" 2>/dev/null); then
  # Source entries beside the binary ones, from the same archive.
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee /etc/apt/sources.list.d/debian-src.sources > /dev/null
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      $sudo tee /etc/apt/sources.list.d/debian-src.list > /dev/null
  fi
  $sudo apt-get update -qq
  (cd "$work" && apt-get source -q=2 --download-only "${sources[@]}")
fi
# The upstream tarballs of the source packages; Debian's patches are left out, as they lay the
# interpreter out for Debian's glibc multiarch tree.
tar -xzf "$work"/python3.11_*.orig.tar.gz -C "$work"
tar -xjf "$work"/zlib_*.orig.tar.bz2 -C "$work"
src=$(echo "$work"/Python-3.11.*)
# musl-gcc reads only musl's headers and libraries. Asked for a multiarch name, it would answer
# with glibc's (x86_64-linux-gnu), and the build would add glibc's include and library
# directories; this wrapper answers with musl's own.
mkdir -p "$work/bin"
cat > "$work/bin/cc" <<EOF
#!/bin/sh
case "\$1" in -print-multiarch|--print-multiarch) echo "\$(uname -m)-linux-musl"; exit 0;; esac
exec musl-gcc "\$@"
EOF
chmod +x "$work/bin/cc"
# zlib as a static, position-independent library, linked into the interpreter's zlib module.
(cd "$work"/zlib-* && CC="$work/bin/cc" CFLAGS="-O2 -fPIC" ./configure --static \
  --prefix="$work/zlib" > /dev/null && make -s -j "$(nproc)" install > /dev/null)
mkdir -p "$work/build"
cd "$work/build"
# No pkg-config: every library it would find here is built for glibc.
# The build's warnings and file listings go to a log, shown when a step fails.
quiet() { "$@" > "$work/log" 2>&1 || { cat "$work/log" >&2; return 1; }; }
PKG_CONFIG_LIBDIR=/nonexistent quiet "$src/configure" --prefix="$dir" CC="$work/bin/cc" \
  ZLIB_CFLAGS="-I$work/zlib/include" ZLIB_LIBS="-L$work/zlib/lib -lz" \
  --without-ensurepip --disable-test-modules
quiet make -j "$(nproc)"
rm -rf "$dir"
quiet make install
"$dir/bin/python3.11" -c 'import sys, zlib; assert sys.version_info[:2] == (3, 11)'
