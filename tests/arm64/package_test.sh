#!/usr/bin/env bash
# The ARM package as apt on the board would take it: its fields (the architecture, Depends worked out
# from the target's own libraries), the same layout as the amd64 package (the four programs and the
# systemd unit under /usr), programs built for the target; unpacked for the journey that runs it.
#   package_test.sh PACKAGE.deb ARCH UNPACK_FOLDER
set -euo pipefail
package="$1"
arch="$2"
folder="$3"
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

[ -f "$package" ] || fail "no $package: run scripts/build-arm64 $arch"
field() { dpkg-deb -f "$package" "$1"; }
[ "$(field Package)" = quillon ] || fail "Package is $(field Package)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is $(field Architecture), not $arch"
depends="$(field Depends)"
names="$(sed 's/ ([^)]*)//g; s/, /\n/g' <<<"$depends")"
for library in libc6 libstdc++6 libsdl2-2.0-0 libsdl2-ttf-2.0-0 libjpeg62-turbo libgstreamer1.0-0 \
    libgstreamer-plugins-base1.0-0 libgstreamer-plugins-bad1.0-0 libssl3 libmosquitto1 fonts-dejavu-core; do
    grep -Fqx "$library" <<<"$names" || fail "Depends lacks $library: $depends"
done
grep -q ':amd64' <<<"$depends" && fail "Depends names an amd64 package: $depends"

rm -rf "$folder"
mkdir -p "$folder"
dpkg-deb -x "$package" "$folder"
case "$arch" in
arm64) machine=AArch64 ;;
armhf) machine=ARM ;;
esac
for program in quillon quillon-sim quillon-operator quillon-fleet; do
    [ -x "$folder/usr/bin/$program" ] || fail "usr/bin/$program is not in the package"
    readelf -h "$folder/usr/bin/$program" | grep -Eq "Machine: +$machine\$" || fail "$program is not built for $arch"
done
[ -f "$folder/usr/lib/systemd/system/quillon.service" ] || fail "the systemd unit is not in the package"
cmp -s "$folder/usr/lib/systemd/system/quillon.service" "$(dirname "$0")/../../packaging/quillon.service" ||
    fail "the unit differs from packaging/quillon.service"
echo "$(basename "$package"): $arch, unpacked into $folder; Depends: $depends"
