# The libraries that Windows lacks and the cross build links statically, cross-built by
# scripts/mingw-deps.sh into a cache outside the clone (keyed by version, so that a fresh
# clone reuses them). zlib comes from Debian's libz-mingw-w64-dev.
set(VL_MINGW_LIBARCHIVE_VERSION "3.6.2-1+deb12u5")
if(DEFINED ENV{VL_MINGW_DEPS_CACHE})
  set(VL_MINGW_DEPS_CACHE "$ENV{VL_MINGW_DEPS_CACHE}")
else()
  set(VL_MINGW_DEPS_CACHE "/var/cache/vantaro-launcher-mingw")
endif()
set(VL_MINGW_LIBARCHIVE_PREFIX "${VL_MINGW_DEPS_CACHE}/libarchive-${VL_MINGW_LIBARCHIVE_VERSION}")
