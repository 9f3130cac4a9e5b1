#!/usr/bin/env bash
# Cross-builds the tool for one Debian architecture of
# cmake/debian-architectures with the project's toolchain file, runs the
# unit tests under qemu-user where the table says so, and checks the
# emulated tool against the native one: random files and passwords, the
# open-error line, and on a 32-bit target only, a sparse file past 4 GiB (a
# 64-bit build has no 32-bit count for it to overflow, and it is the longest
# check).  Where the table says so, encrypt_video_fs is built too, and
# started under the emulator with the target's libfuse, which it must name;
# its tests mount, which only the native build can.  Then the same for a
# static build, and with --package, the .deb for that architecture under
# lintian.
#
#   .ci/cross.sh ARCH NATIVE_TOOL [--package]
. "$(dirname "$0")/lib.sh"
arch=$1 native=$2 package=${3:-}
name="cross.sh $arch"
read -r _ triplet emulator unit_tests view < <(architecture "$arch") || {
	echo "cross.sh: $arch is not in cmake/debian-architectures" >&2
	exit 2
}
build=build-$arch
tests=OFF
[ "$unit_tests" = yes ] && tests=ON
fs=OFF
[ "$view" = yes ] && fs=ON
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake \
    -DDEBIAN_ARCH="$arch" -DENCRYPT_VIDEO_WERROR=ON -DBUILD_TESTING=$tests \
    -DENCRYPT_VIDEO_FS=$fs >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
ran="tool checks"
if [ $tests = ON ]; then
	ctest --test-dir "$build" --output-on-failure
	ran="unit tests, $ran"
fi

# As the toolchain file runs the tests.
read -r -a emulate < <(sed -n 's/^DEBIAN_EMULATOR:INTERNAL=//p' "$build/CMakeCache.txt" | tr ';' ' ')
tool=("${emulate[@]}" "$build/encrypt_video")

# Past 4 GiB, so that neither a 32-bit offset nor a 32-bit count survives.
if [[ $(file -b "$build/encrypt_video") = "ELF 32-bit"* ]]; then
	truncate -s $(((1 << 32) + 1)) "$work/sparse"
	"${tool[@]}" "$work/sparse" secret | cmp - <(head -c $(((1 << 32) + 8192)) /dev/zero)
	ran="$ran with a file past 4 GiB"
fi

for size in 1 8191 8192 100000 3000000; do
	head -c "$size" /dev/urandom >"$work/in"
	for password in '' secret 'correct horse battery staple' aj "$(head -c 64 /dev/urandom | tr -d '\0')"; do
		cmp <("${tool[@]}" "$work/in" "$password") <("$native" "$work/in" "$password")
	done
done

status=0
err=$("${tool[@]}" "$work/missing" secret 2>&1 >/dev/null) || status=$?
[ "$status" = 1 ] && [ "$err" = "$build/encrypt_video: could not open $work/missing." ] ||
    fail "a missing file gave status $status and '$err'"

version=$(project_version)
fuse_version=$("$triplet-pkg-config" --modversion fuse3 2>/dev/null) || true
# The view's --version and its refusal of a missing DIR: linked and loaded
# as the target's libfuse expects, and its command line read as natively.
check_view() { # check_view VIEW EMULATOR...
	local view=$1 version_out status=0 err
	shift
	version_out=$("$@" "$view" --version)
	[ "$version_out" = "$(printf 'encrypt_video_fs %s\nFUSE library version %s' "$version" "$fuse_version")" ] ||
	    fail "$view --version printed '$version_out'"
	err=$("$@" "$view" "$work/missing" "$work" -o passfile=/dev/null 2>&1 >/dev/null) || status=$?
	[ "$status" = 1 ] && [ "$err" = "$view: could not open $work/missing: No such file or directory." ] ||
	    fail "a missing DIR gave the view status $status and '$err'"
}
views="view: not built"
if [ $fs = ON ]; then
	check_view "$build/encrypt_video_fs" "${emulate[@]}"
	views="view: started under $emulator"
fi

# Static: no loader to find, so the emulator needs no -L.
cmake -S . -B "$build-static" -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake \
    -DDEBIAN_ARCH="$arch" -DENCRYPT_VIDEO_WERROR=ON -DBUILD_TESTING=OFF \
    -DENCRYPT_VIDEO_STATIC=ON -DENCRYPT_VIDEO_FS=$fs >"$work/static.log" 2>&1 ||
    { cat "$work/static.log"; false; }
grep -A2 'CMake Warning' "$work/static.log" || true
build_static "$build-static"
kind=$(file -b "$build-static/encrypt_video" | grep -o 'static-pie linked\|statically linked')
"$triplet-strip" -o "$work/stripped" "$build-static/encrypt_video"
cmp <("$emulator" "$build-static/encrypt_video" "$work/in" secret) <("$native" "$work/in" secret)
if [ $fs = ON ]; then
	[ "$(file -b "$build-static/encrypt_video_fs" | grep -o 'static-pie linked\|statically linked')" = "$kind" ]
	check_view "$build-static/encrypt_video_fs" "$emulator"
	"$triplet-strip" -o "$work/stripped_fs" "$build-static/encrypt_video_fs"
	kind="$kind, $(stat -c %s "$work/stripped") and $(stat -c %s "$work/stripped_fs") (view) bytes stripped"
else
	kind="$kind, $(stat -c %s "$work/stripped") bytes stripped"
fi

deb=
if [ "$package" = --package ]; then
	(cd "$build" && cpack -G DEB >/dev/null)
	deb=$(ls "$build"/encrypt-video_*_"$arch".deb)
	[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]
	[ $fs = OFF ] || has_view "$deb"
	lint "$deb"
	deb=", $(basename "$deb") ($(dpkg-deb -f "$deb" Depends)) passes lintian"
fi
echo "$arch: $ran passed under $emulator; $views; static: $kind$deb"
