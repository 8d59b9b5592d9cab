#!/usr/bin/env bash
# Builds a library that Debian has no mingw-w64 package of from Debian's own source
# package, for one Windows target, static, into PREFIX (include/, lib/, lib/pkgconfig/,
# bin/wx-config), which the Windows toolchain files search.
# Usage: scripts/windows-lib.sh LIBRARY TRIPLE PREFIX
#   LIBRARY  zstd    libzstd (compression and decompression only)
#            lzma    liblzma (the difference streams), without xz's programs
#            sodium  libsodium (signatures and digests)
#            wxbase  wxWidgets' base library (no GUI), with zlib from libz-mingw-w64-dev
#            wxmsw   the whole wxMSW (GUI) library, for the window
#   TRIPLE   x86_64-w64-mingw32 or i686-w64-mingw32 (the -posix compilers are used)
# The Windows presets call it while configuring. A finished build leaves
# PREFIX/.built-LIBRARY, naming the source version and this script's checksum; while they match, the call does
# nothing. Sources come with `apt-get source` (deb-src entries: scripts/install-deps.sh
# --windows) into build/debian-sources/, shared by every build tree of this checkout.
# MAKEFLAGS (default -j2) sets the build's parallelism.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
script="$root/scripts/windows-lib.sh"

[ $# -eq 3 ] || {
  echo "usage: $0 zstd|lzma|sodium|wxbase|wxmsw TRIPLE PREFIX" >&2
  exit 2
}
library=$1
triple=$2
mkdir -p "$3"
prefix=$(cd "$3" && pwd)

case "$library" in
  zstd) package=libzstd ;;
  lzma) package=xz-utils ;;
  sodium) package=libsodium ;;
  wxbase | wxmsw) package=wxwidgets3.2 ;;
  *)
    echo "windows-lib: unknown library $library" >&2
    exit 2
    ;;
esac

# The source package, fetched and unpacked once (Debian's patches applied); the lock
# keeps two configuring build trees from fetching into the same folder.
sources="$root/build/debian-sources/$package"
mkdir -p "$sources"
exec 9>"$sources.lock"
flock 9
if [ ! -f "$sources/.unpacked" ]; then
  rm -rf "$sources" && mkdir -p "$sources"
  (cd "$sources" && apt-get source -q "$package" >/dev/null 2>"$sources/apt.log") || {
    cat "$sources/apt.log" >&2
    echo "windows-lib: apt-get source $package failed (scripts/install-deps.sh --windows adds" \
      "the deb-src entries)" >&2
    exit 1
  }
  # libsodium's source package is its repository, without the generated configure script.
  if [ "$package" = libsodium ]; then
    (cd "$(find "$sources" -mindepth 1 -maxdepth 1 -type d | head -n1)" &&
      autoreconf -fi >"$sources/autoreconf.log" 2>&1) || {
      cat "$sources/autoreconf.log" >&2
      exit 1
    }
  fi
  touch "$sources/.unpacked"
fi
flock -u 9
source_dir=$(find "$sources" -mindepth 1 -maxdepth 1 -type d | head -n1)
version=$(basename "$(find "$sources" -maxdepth 1 -name '*.dsc' | head -n1)" .dsc)

stamp="$version $(sha256sum "$script" | cut -d' ' -f1)"
stamp_file="$prefix/.built-$library"
if [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ]; then
  exit 0
fi

export MAKEFLAGS=${MAKEFLAGS:--j2}
cc=$triple-gcc-posix
cxx=$triple-g++-posix
work="$prefix/.work-$library"
rm -rf "$work"
mkdir -p "$work"
log="$work/build.log"
start=$SECONDS
echo "windows-lib: building $library for $triple from $version (log: $log)"

fail() {
  tail -n 40 "$log" >&2
  echo "windows-lib: building $library failed; the whole log is $log" >&2
  exit 1
}

case "$library" in
  zstd)
    # zstd builds in its own tree: a copy per target.
    cp -r "$source_dir/lib" "$work/lib"
    options=(CC="$cc" AR="$triple-ar" PREFIX="$prefix" ZSTD_LIB_DICTBUILDER=0
      ZSTD_LEGACY_SUPPORT=0 ZSTD_LIB_DEPRECATED=0)
    make -C "$work/lib" "${options[@]}" libzstd.a >"$log" 2>&1 || fail
    make -C "$work/lib" "${options[@]}" install-static install-includes install-pc \
      >>"$log" 2>&1 || fail
    ;;
  lzma)
    (cd "$work" && "$source_dir/configure" --host="$triple" --prefix="$prefix" --disable-shared \
      --enable-static --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
      --disable-lzma-links --disable-scripts --disable-doc --disable-nls --enable-threads=no \
      CC="$cc" AR="$triple-ar" RANLIB="$triple-ranlib") >"$log" 2>&1 || fail
    make -C "$work" >>"$log" 2>&1 || fail
    make -C "$work" install >>"$log" 2>&1 || fail
    ;;
  sodium)
    (cd "$work" && "$source_dir/configure" --host="$triple" --prefix="$prefix" --disable-shared \
      --enable-static --disable-pie --disable-ssp CC="$cc" AR="$triple-ar" \
      RANLIB="$triple-ranlib") >"$log" 2>&1 || fail
    make -C "$work" >>"$log" 2>&1 || fail
    make -C "$work" install >>"$log" 2>&1 || fail
    ;;
  wxbase | wxmsw)
    common=(--host="$triple" --prefix="$prefix" --disable-shared --enable-unicode
      --with-zlib=sys --disable-tests --disable-precomp-headers --without-liblzma
      CC="$cc" CXX="$cxx" AR="$triple-ar" RANLIB="$triple-ranlib" WINDRES="$triple-windres"
      CPPFLAGS="-I/usr/$triple/include" LDFLAGS="-L/usr/$triple/lib")
    if [ "$library" = wxbase ]; then
      options=(--disable-gui --disable-all-features --enable-threads --enable-dynlib --without-expat --without-regex)
    else
      # The window uses the core and base libraries only: the other libraries (and the
      # image formats, XML and the web view) would more than double the build's time.
      options=(--with-msw --without-libpng --without-libjpeg --without-libtiff --without-expat
        --disable-xrc --disable-svg --disable-webview --without-regex --disable-stc
        --disable-aui --disable-ribbon --disable-propgrid --disable-richtext --disable-html
        --disable-mediactrl --without-opengl --disable-debugreport)
    fi
    (cd "$work" && "$source_dir/configure" "${common[@]}" "${options[@]}") >"$log" 2>&1 || fail
    make -C "$work" >>"$log" 2>&1 || fail
    make -C "$work" install >>"$log" 2>&1 || fail
    # wx/init.h includes wx/msw/init.h on Windows, which a base-only build does not install.
    if [ ! -e "$prefix/include/wx-3.2/wx/msw/init.h" ]; then
      cp "$source_dir/include/wx/msw/init.h" "$prefix/include/wx-3.2/wx/msw/"
    fi
    ;;
esac

echo "$stamp" >"$stamp_file"
rm -rf "$work"
echo "windows-lib: built $library for $triple in $((SECONDS - start)) s"
