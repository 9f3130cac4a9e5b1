#!/usr/bin/env bash
# Builds the release tarball (git archive of HEAD) as a Debian maintainer
# would, with the least packaging folder (.ci/debian) and Debian's own flags
# and tools: natively with its tests run, blhc and lintian on the result;
# or, given arm64, cross to it without the tests, and with them built but
# not run (in foreign.sh's root, which has arm64's build-dependencies).
# Building the tests must never run a foreign binary.  Both programs are in
# every package, the view built against the target's libfuse3-dev.
#
#   .ci/distro.sh [arm64]
. "$(dirname "$0")/lib.sh"
cross=${1:-}
version=$(project_version)
tarball=$work/encrypt-video_$version.orig.tar.gz
git archive --format=tar --prefix="encrypt-video-$version/" HEAD | gzip -9n >"$tarball"
echo "-- the release tarball: $(tar -tzf "$tarball" | grep -vc '/$') files"
src=$work/encrypt-video-$version
tar -C "$work" -xzf "$tarball"
[ ! -e "$src/.ci" ] || fail "the tarball carries .ci/, which only this repository's CI needs"
cp -r .ci/debian "$src/debian"
# control's fields from the tarball's packaging/metadata, which cpack reads
# too: each @Field@ is that field's value, continuation lines and all; the
# package has the view, so its description ends with the view's.
awk '
	FNR == NR && /^#/ { next }
	FNR == NR && /^[A-Za-z-]+:/ { field = $1; sub(/:$/, "", field); v = $0; sub(/^[^:]*: ?/, "", v); value[field] = v; next }
	FNR == NR { value[field] = value[field] "\n" $0; next }
	$0 == "Description: @Description@" { print "Description: " value["Description"] "\n ." value["View-Description"]; next }
	{ for (f in value) gsub("@" f "@", value[f]); print }
' "$src/packaging/metadata" "$src/debian/control.in" >"$src/debian/control"
rm "$src/debian/control.in"
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

if [ "$cross" = arm64 ]; then
	echo "-- cross to arm64, without the tests: -aarm64 -Pcross,nocheck"
	DEB_BUILD_OPTIONS=nocheck build cross-nocheck.log -b -aarm64 -Pcross,nocheck
	dpkg-deb -f "$work"/encrypt-video_"$version"-*_arm64.deb Architecture Depends
	has_view "$(ls "$work"/encrypt-video_"$version"-*_arm64.deb)"
	file -b "$src/obj-aarch64-linux-gnu/encrypt_video_fs" | grep -q 'ARM aarch64' ||
	    fail "the arm64 build made no arm64 view"

	echo "-- cross to arm64, the tests built but not run: -aarm64 -Pcross"
	DEB_BUILD_OPTIONS=nocheck build cross-tests.log -b -aarm64 -Pcross
	file -b "$src/obj-aarch64-linux-gnu/tests/unit_tests" | grep -q 'ARM aarch64' ||
	    fail "the arm64 build made no arm64 unit tests"
	echo "the arm64 unit tests were built, and nothing foreign ran"
	exit
fi
[ -z "$cross" ] || fail "no cross build to $cross here, only to arm64"

echo "-- dpkg-buildpackage -us -uc: native, tests run"
build native.log
grep -E '^[0-9]+% tests passed' "$work/native.log"
# dpkg-buildpackage runs here as root, which mounts without fusermount3's
# setuid: the view's tests must mount wherever /dev/fuse opens.  Without
# it every one of them skips; one may still skip a part that needs what a
# chroot lacks (a mount namespace).
view_tests=$(grep -cE 'Test +#[0-9]+: View\..*Passed' "$work/native.log") || true
view_skipped=$(grep -cE 'Test +#[0-9]+: View\..*Skipped' "$work/native.log") || true
echo "the view's tests: $view_tests passed, $view_skipped skipped"
if (: <>/dev/fuse) 2>/dev/null; then
	[ "$view_tests" -gt "$view_skipped" ] || fail "the view's tests did not mount, though /dev/fuse opens here"
fi
deb=$(ls "$work"/encrypt-video_"$version"-*_"$(dpkg --print-architecture)".deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '/$'
has_view "$deb"
dpkg-deb -f "$deb" Depends
echo "-- blhc --all on its log"
blhc --all "$work/native.log"
echo "blhc: nothing reported"
lint "$work"/encrypt-video_"$version"-*.changes

