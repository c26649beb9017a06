#!/usr/bin/env bash
# Cross-builds the libraries that the Windows build links and Debian ships no mingw build of:
# libarchive, from Debian's own source package (the release's sources with the security
# fixes of its Debian revision), static, with zlib (Debian's libz-mingw-w64-dev) as its only
# compression library. The result goes to a cache outside the clone, one folder per version
# ($VL_MINGW_DEPS_CACHE, default /var/cache/vantaro-launcher-mingw): only the first run pays.
#   scripts/mingw-deps.sh          build what is missing
#   scripts/mingw-deps.sh --prefix print the install folder
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^set(VL_MINGW_LIBARCHIVE_VERSION "\(.*\)")$/\1/p' cmake/mingw-deps.cmake)
upstream=${version%%-*}
cache=${VL_MINGW_DEPS_CACHE:-/var/cache/vantaro-launcher-mingw}
prefix="$cache/libarchive-$version"
[ "${1:-}" = "--prefix" ] && { echo "$prefix"; exit 0; }
if [ -f "$prefix/.complete" ]; then
  echo "mingw-deps: libarchive $version cached in $prefix"
  exit 0
fi

# The Debian archive's pool: the release's upstream tarball, and the Debian revision's patches.
orig_url="http://deb.debian.org/debian/pool/main/liba/libarchive/libarchive_${upstream}.orig.tar.xz"
orig_sha=9e2c1b80d5fbe59b61308fdfab6c79b5021d7ff4ff2489fb12daf0a96a83551d
deb_url="http://deb.debian.org/debian-security/pool/updates/main/liba/libarchive/libarchive_${version/+/%2B}.debian.tar.xz"
deb_sha=5b32794076e9b0d8cd74fd2c453340b72c6362188f40fa1aac96304cb5683315

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fetch() {  # url sha256 file
  curl -fsSL --retry 3 -o "$work/$3" "$1"
  echo "$2  $work/$3" | sha256sum -c --quiet -
}
echo "mingw-deps: building libarchive $version for Windows into $prefix"
fetch "$orig_url" "$orig_sha" orig.tar.xz
fetch "$deb_url" "$deb_sha" debian.tar.xz
mkdir "$work/src"
tar -xJf "$work/orig.tar.xz" -C "$work/src" --strip-components=1
tar -xJf "$work/debian.tar.xz" -C "$work/src"
while read -r patch; do
  case "$patch" in ''|'#'*) continue ;; esac
  patch -d "$work/src" -p1 -s <"$work/src/debian/patches/$patch"
done <"$work/src/debian/patches/series"

# zlib is linked statically. The check whether zlib was built with ZLIB_WINAPI would run a
# Windows program; Debian's is not, so the answer is given.
zlib=/usr/x86_64-w64-mingw32/lib/libz.a
cmake -S "$work/src" -B "$work/build" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER_LAUNCHER="$(command -v ccache || true)" -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -DENABLE_TEST=OFF -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF \
  -DENABLE_ZLIB=ON -DZLIB_LIBRARY="$zlib" -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include \
  -DZLIB_WINAPI_WITH_LIB="$zlib" -DZLIB_WINAPI=0 -DENABLE_BZip2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_LZ4=OFF \
  -DENABLE_LZO=OFF -DENABLE_LIBB2=OFF -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF \
  -DENABLE_NETTLE=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF \
  -DENABLE_ICONV=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF \
  -DENABLE_CNG=ON -DENABLE_WERROR=OFF >"$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j "$(nproc)" --target archive_static >/dev/null
mkdir -p "$prefix/lib" "$prefix/include"
# On Windows the static library keeps its target name.
cp "$work/build/libarchive/libarchive_static.a" "$prefix/lib/libarchive.a"
cp "$work/src/libarchive/archive.h" "$work/src/libarchive/archive_entry.h" "$prefix/include/"
touch "$prefix/.complete"
echo "mingw-deps: done"
