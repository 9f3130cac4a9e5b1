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
set -Eeuo pipefail
cd "$(dirname "$0")/.."
arch=$1 native=$2 package=${3:-}
trap 'echo "cross.sh $arch: failed (status $?): $BASH_COMMAND" >&2' ERR
read -r _ triplet emulator unit_tests view < <(grep "^$arch " cmake/debian-architectures) || {
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tool=("$emulator" -L "/usr/$triplet" "$build/encrypt_video")

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
[ "$status" = 1 ] && [ "$err" = "$build/encrypt_video: could not open $work/missing." ] || {
	echo "cross.sh $arch: a missing file gave status $status and '$err'" >&2
	exit 1
}

version=$("$native" --version | head -1)
version=${version#encrypt_video }
fuse_version=$("$triplet-pkg-config" --modversion fuse3 2>/dev/null) || true
# The view's --version and its refusal of a missing DIR: linked and loaded
# as the target's libfuse expects, and its command line read as natively.
check_view() { # check_view VIEW EMULATOR...
	local view=$1 version_out status=0 err
	shift
	version_out=$("$@" "$view" --version)
	[ "$version_out" = "$(printf 'encrypt_video_fs %s\nFUSE library version %s' "$version" "$fuse_version")" ] || {
		echo "cross.sh $arch: $view --version printed '$version_out'" >&2
		exit 1
	}
	err=$("$@" "$view" "$work/missing" "$work" -o passfile=/dev/null 2>&1 >/dev/null) || status=$?
	[ "$status" = 1 ] && [ "$err" = "$view: could not open $work/missing: No such file or directory." ] || {
		echo "cross.sh $arch: a missing DIR gave the view status $status and '$err'" >&2
		exit 1
	}
}
views="view: not built"
if [ $fs = ON ]; then
	check_view "$build/encrypt_video_fs" "$emulator" -L "/usr/$triplet"
	views="view: started under $emulator"
fi

# Static: no loader to find, so the emulator needs no -L.
cmake -S . -B "$build-static" -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake \
    -DDEBIAN_ARCH="$arch" -DENCRYPT_VIDEO_WERROR=ON -DBUILD_TESTING=OFF \
    -DENCRYPT_VIDEO_STATIC=ON -DENCRYPT_VIDEO_FS=$fs >"$work/static.log" 2>&1 ||
    { cat "$work/static.log"; false; }
grep -A2 'CMake Warning' "$work/static.log" || true
# Static glibc warns of libfuse's dlopen, which only a module that libfuse
# does not build in would need; any other warning is shown.
cmake --build "$build-static" -j"$(nproc)" >/dev/null 2>"$work/static-build.log" ||
    { cat "$work/static-build.log"; false; }
grep -v "in function \`fuse_get_module'\|Using 'dlopen' in statically linked" \
    "$work/static-build.log" >&2 || true
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
	if [ $fs = ON ]; then
		dpkg-deb -c "$deb" | grep ' \./usr/bin/encrypt_video_fs$' >/dev/null
		# The library's package is named after its soname: libfuse3-3
		# on Debian 12, libfuse3-4 on 13.
		dpkg-deb -f "$deb" Depends | grep -qE 'fuse3, .*libfuse3-[0-9]+ '
	fi
	lintian --fail-on error,warning --display-info "$deb"
	deb=", $(basename "$deb") ($(dpkg-deb -f "$deb" Depends)) passes lintian"
fi
echo "$arch: $ran passed under $emulator; $views; static: $kind$deb"
