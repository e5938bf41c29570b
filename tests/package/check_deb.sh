#!/usr/bin/env bash
# Makes the Debian packages of a build folder with cpack, checks what they
# hold and declare, unpacks them into a scratch root with `dpkg -x`, and
# builds and runs the outside programs (check.sh) and orupack from there.
# As root with CI set, it also installs them for real with `dpkg -i`, runs
# the same checks against /usr and purges them again.
# Exits 77 (skipped) where the Debian tools are missing.
#
#   check_deb.sh CPACK BUILD WORK
set -euo pipefail
cpack=$1
build=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)

for tool in dpkg dpkg-deb dpkg-shlibdeps file readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "check_deb.sh: skipped: $tool is missing (Debian's dpkg-dev, file, binutils)"
    exit 77
  fi
done

fail() { echo "check_deb.sh: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
log=$work/cpack.log
(cd "$build" && "$cpack" -G DEB -B "$work/debs") >"$log" 2>&1 || { cat "$log" >&2; fail "cpack failed"; }

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
runtime=$work/debs/liboru-core1_${version}_$arch.deb
window=$work/debs/oru-core-report-window_${version}_$arch.deb
dev=$work/debs/liboru-core-dev_${version}_$arch.deb
tools=$work/debs/oru-core-tools_${version}_$arch.deb
for deb in "$runtime" "$window" "$dev" "$tools"; do
  [ -f "$deb" ] || fail "no package $deb"
done
# The debug information of each package with binaries, as Debian ships it.
for name in liboru-core1 oru-core-report-window oru-core-tools; do
  ls "$work/debs/$name-dbgsym_${version}_$arch."*deb >/dev/null 2>&1 || fail "no $name-dbgsym package"
done

# What each package holds: the files below, each in one package only (dpkg
# refuses to install two packages that share a file).
contents() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./||'; }
expect_files() {
  local deb=$1; shift
  for file in "$@"; do
    contents "$deb" | grep -qx "$file" || fail "${deb##*/} lacks $file"
  done
}
expect_files "$runtime" usr/lib/liboru_core.so.1
expect_files "$window" usr/libexec/oru_core/oru-report-window
expect_files "$dev" usr/include/oru/oru_core.h usr/lib/liboru_core.so \
  usr/lib/cmake/OruCore/OruCoreConfig.cmake usr/lib/pkgconfig/oru_core.pc
expect_files "$tools" usr/bin/orupack
shared=$(for deb in "$runtime" "$window" "$dev" "$tools"; do contents "$deb"; done | sort | uniq -d)
[ -z "$shared" ] || fail "files in more than one package: $shared"

# What they declare: the libraries the binaries link (computed, so each is a
# package this machine has installed), and the development files the exact
# runtime they were built with.
for deb in "$runtime" "$tools"; do
  depends=$(dpkg-deb -f "$deb" Depends)
  for lib in libc6 libdw1 libunwind8 zlib1g; do
    [[ ", $depends" == *", $lib "* || ", $depends," == *", $lib,"* ]] ||
      fail "${deb##*/} does not depend on $lib: $depends"
  done
  for name in $(echo "$depends" | sed 's/([^)]*)//g; s/[|,]/ /g'); do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' ||
      fail "${deb##*/} depends on $name, which is not installed here"
  done
done
[[ $(dpkg-deb -f "$window" Depends) == *libgtk-3-0* ]] || fail "the report window's GTK is not a dependency"
[[ $(dpkg-deb -f "$runtime" Depends) != *gtk* ]] || fail "the runtime pulls in GTK: $(dpkg-deb -f "$runtime" Depends)"
[[ $(dpkg-deb -f "$runtime" Recommends) == *oru-core-report-window* ]] ||
  fail "the runtime does not recommend the report window"
[[ $(dpkg-deb -f "$tools" Description) == *mount* ]] || fail "oru-core-tools' description leaves out mount"
[ "$(dpkg-deb -f "$dev" Depends)" = "liboru-core1 (= $version)" ] ||
  fail "the development package depends on: $(dpkg-deb -f "$dev" Depends)"

# Builds and runs the outside programs and orupack against an install.
use_install() {
  local usr=$1 out=$2
  "$here/check.sh" --prefix "$usr" "$out"
  if ldd "$usr/libexec/oru_core/oru-report-window" | grep -q 'not found'; then
    ldd "$usr/libexec/oru_core/oru-report-window" >&2
    fail "the report window misses a library"
  fi
  mkdir -p "$out/tree/Map"
  printf 'town\n' >"$out/tree/Map/Town.xml"
  (cd "$out" && "$usr/bin/orupack" create assets tree >/dev/null &&
     "$usr/bin/orupack" verify assets >/dev/null &&
     [ "$("$usr/bin/orupack" cat assets 'map\town.xml')" = town ]) ||
    fail "orupack from $usr does not build a pack that reads back"
}

for deb in "$runtime" "$window" "$dev" "$tools"; do
  dpkg -x "$deb" "$work/root"
done
# Stripped, with no run path; the pkg-config file sets none either.
for binary in usr/lib/liboru_core.so.1 usr/libexec/oru_core/oru-report-window usr/bin/orupack; do
  file -L "$work/root/$binary" | grep -q ', stripped' || fail "$binary is not stripped"
  ! readelf -d "$work/root/$binary" | grep -q 'RUNPATH\|RPATH' || fail "$binary has a run path"
done
! grep -q rpath "$work/root/usr/lib/pkgconfig/oru_core.pc" || fail "the pkg-config file sets a run path"
# The unpacked files stand in for /usr: pkg-config and the loader are told.
(export PKG_CONFIG_SYSROOT_DIR=$work/root LD_LIBRARY_PATH=$work/root/usr/lib
 use_install "$work/root/usr" "$work/scratch")

if [ -n "${CI:-}" ] && [ "$(id -u)" -eq 0 ]; then
  trap 'dpkg -P oru-core-tools liboru-core-dev oru-core-report-window liboru-core1 >/dev/null 2>&1 || true' EXIT
  dpkg -i "$runtime" "$window" "$dev" "$tools" >"$log" 2>&1 || { cat "$log" >&2; fail "dpkg -i failed"; }
  use_install /usr "$work/installed"
  libs=$(pkg-config --libs oru_core)
  [ "$(echo $libs)" = "-loru_core" ] || fail "pkg-config --libs oru_core gives: $libs"
  readelf -d "$work/installed/make_consumer" | grep -q RUNPATH && fail "a program built as the README says has a RUNPATH"
fi
echo "check_deb.sh: four packages made, unpacked, built against and run"
