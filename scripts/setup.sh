#!/usr/bin/env bash
# Installs every build and test dependency on a Debian 12 machine, as root, and builds the Redis
# client library (hiredis, from Debian's own redis source package) for both Windows trees.
# Idempotent: a machine that already has everything costs one dpkg query and a few file tests.
set -euo pipefail

packages=(
  cmake make ninja-build
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  googletest libgtest-dev libbenchmark-dev
  wine wine32:i386 wine64 xvfb xauth x11-utils imagemagick
  clang libclang-rt-14-dev libfuzzer-14-dev
  python3 curl zip
  redis-server dpkg-dev xz-utils
)

# Where the Windows builds of hiredis live: include/hiredis/*.h, ARCH/libhiredis.a, COPYING,
# STAMP.
# cmake/windows.cmake reads the same default.
hiredis_root="${TOLLGATE_HIREDIS_ROOT:-/usr/local/lib/tollgate-hiredis}"
hiredis_arches=(i686 x86_64)
hiredis_sources=(alloc async hiredis net read sds sockcompat)
# Written last by a build; a change of the recipe above builds again.
hiredis_stamp="hiredis 1.0 static: ${hiredis_arches[*]}: ${hiredis_sources[*]}"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

install_packages() {
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
  # The package starts a system-wide server on the standard port; the tests start their own.
  if dpkg-query -W -f='${Status}\n' redis-server 2>/dev/null | grep -q 'installed' &&
     [[ " ${missing[*]} " == *" redis-server "* ]]; then
    "${sudo_cmd[@]}" service redis-server stop >/dev/null 2>&1 || true
  fi
}

hiredis_present() {
  local arch
  [ "$(cat "$hiredis_root/STAMP" 2>/dev/null)" = "$hiredis_stamp" ]
}

# Turns on source packages for the repositories Debian's own files configure: the deb822 file
# of a Debian 12 install and the classic list, whichever is there.
enable_source_packages() {
  local changed=0 file=/etc/apt/sources.list.d/debian.sources
  if [ -f "$file" ] && grep -q '^Types: deb$' "$file"; then
    "${sudo_cmd[@]}" sed -i 's/^Types: deb$/Types: deb deb-src/' "$file"
    changed=1
  fi
  file=/etc/apt/sources.list
  if [ -f "$file" ] && grep -q '^deb ' "$file" && ! grep -q '^deb-src ' "$file"; then
    sed -n 's/^deb /deb-src /p' "$file" | "${sudo_cmd[@]}" tee -a "$file" >/dev/null
    changed=1
  fi
  [ "$changed" -eq 1 ] && "${sudo_cmd[@]}" apt-get update -qq
  return 0
}

# Fetches Debian's redis source package and builds its deps/hiredis, unpatched, as a static
# library for each Windows tree (no TLS).
build_hiredis() {
  local work arch obj f
  if ! apt-cache showsrc redis 2>/dev/null | grep -q '^Package: redis$'; then
    enable_source_packages
  fi
  work=$(mktemp -d)
  chmod 755 "$work"
  (cd "$work" && apt-get source -qq redis >/dev/null 2>&1) || {
    echo "setup: cannot fetch the redis source package" >&2; rm -rf "$work"; return 1; }
  local src
  src=$(echo "$work"/redis-*/deps/hiredis)
  [ -f "$src/hiredis.c" ] || { echo "setup: no deps/hiredis in the redis source" >&2; return 1; }
  echo "setup: building hiredis $(sed -nE 's/^#define HIREDIS_(MAJOR|MINOR|PATCH) //p' \
    "$src/hiredis.h" | paste -sd.) for ${hiredis_arches[*]}"
  "${sudo_cmd[@]}" mkdir -p "$hiredis_root/include/hiredis"
  for arch in "${hiredis_arches[@]}"; do
    obj="$work/obj-$arch"
    mkdir -p "$obj"
    for f in "${hiredis_sources[@]}"; do
      # Windows Vista's socket calls (WSAPoll) are the least the library's socket layer needs.
      "$arch-w64-mingw32-gcc-posix" -O2 -std=c99 -w -D_WIN32_WINNT=0x0600 \
        -c "$src/$f.c" -o "$obj/$f.o"
    done
    "$arch-w64-mingw32-ar" rcs "$obj/libhiredis.a" "$obj"/*.o
    "${sudo_cmd[@]}" mkdir -p "$hiredis_root/$arch"
    "${sudo_cmd[@]}" install -m 644 "$obj/libhiredis.a" "$hiredis_root/$arch/libhiredis.a"
  done
  "${sudo_cmd[@]}" install -m 644 "$src"/*.h "$hiredis_root/include/hiredis/"
  "${sudo_cmd[@]}" install -m 644 "$src/COPYING" "$hiredis_root/COPYING"
  echo "$hiredis_stamp" | "${sudo_cmd[@]}" tee "$hiredis_root/STAMP" >/dev/null
  rm -rf "$work"
}

install_packages
# Not `present || build`: set -e does not reach into a function called on the left of ||.
if ! hiredis_present; then build_hiredis; fi
