#!/usr/bin/env bash
# Builds the release tarball (git archive of HEAD) as a Debian maintainer
# would, with the least packaging folder (.ci/debian) and Debian's own flags
# and tools: natively with its tests run, blhc and lintian on the result;
# then cross to arm64 without the tests, and with them built but not run.
# Building the tests must never run a foreign binary.
#
#   .ci/distro.sh
set -Eeuo pipefail
cd "$(dirname "$0")/.."
trap 'echo "distro.sh: failed (status $?): $BASH_COMMAND" >&2' ERR
version=$(sed -n 's/^project(encrypt_video VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tarball=$work/encrypt-video_$version.orig.tar.gz
git archive --format=tar --prefix="encrypt-video-$version/" HEAD | gzip -9n >"$tarball"
echo "-- the release tarball: $(tar -tzf "$tarball" | grep -vc '/$') files"
src=$work/encrypt-video-$version
tar -C "$work" -xzf "$tarball"
[ ! -e "$src/.ci" ] || { echo "distro.sh: the tarball carries .ci/, which only this repository's CI needs" >&2; exit 1; }
cp -r .ci/debian "$src/debian"
cp packaging/copyright "$src/debian/"
# A distribution's changelog starts with its own first upload.
sed '/^ -- /q' packaging/changelog >"$src/debian/changelog"

build() { # build LOG ARGS...: dpkg-buildpackage in the unpacked tarball
	local log=$work/$1
	shift
	(cd "$src" && dpkg-buildpackage -us -uc "$@") >"$log" 2>&1 || {
		tail -40 "$log"
		echo "distro.sh: dpkg-buildpackage $* failed" >&2
		return 1
	}
}

echo "-- dpkg-buildpackage -us -uc: native, tests run"
build native.log
grep -E '^[0-9]+% tests passed' "$work/native.log"
deb=$(ls "$work"/encrypt-video_"$version"-*_"$(dpkg --print-architecture)".deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '/$'
echo "-- blhc --all on its log"
blhc --all "$work/native.log"
echo "blhc: nothing reported"
echo "-- lintian"
lintian --fail-on error,warning --display-info "$work"/encrypt-video_"$version"-*.changes
echo "lintian: no error, no warning"

echo "-- cross to arm64, without the tests: -aarm64 -Pcross,nocheck"
DEB_BUILD_OPTIONS=nocheck build cross-nocheck.log -b -aarm64 -Pcross,nocheck
dpkg-deb -f "$work"/encrypt-video_"$version"-*_arm64.deb Architecture Depends

echo "-- cross to arm64, the tests built but not run: -aarm64 -Pcross"
DEB_BUILD_OPTIONS=nocheck build cross-tests.log -b -aarm64 -Pcross
file -b "$src/obj-aarch64-linux-gnu/tests/unit_tests" | grep -q 'ARM aarch64' || {
	echo "distro.sh: the arm64 build made no arm64 unit tests" >&2
	exit 1
}
echo "the arm64 unit tests were built, and nothing foreign ran"
