#!/usr/bin/env bash
# Cross-builds the tool for a 32-bit Debian architecture with the project's
# own toolchain file, runs the unit tests under qemu-user, and checks the
# emulated tool against the native one: a sparse file past 4 GiB, random
# files and passwords, and the open-error line.
#
#   .ci/cross.sh armhf|i386 NATIVE_TOOL
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1 native=$2
case $arch in
armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm ;;
i386) triplet=i686-linux-gnu qemu=qemu-i386 ;;
*) echo "cross.sh: no such architecture: $arch" >&2; exit 2 ;;
esac
build=build-$arch
tool=("$qemu" -L "/usr/$triplet" "$build/encrypt_video")

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/$arch.cmake"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Past 4 GiB, so that neither a 32-bit offset nor a 32-bit count survives.
truncate -s $(((1 << 32) + 1)) "$work/sparse"
"${tool[@]}" "$work/sparse" secret | cmp - <(head -c $(((1 << 32) + 8192)) /dev/zero)
echo "$arch: a sparse file of 4 GiB + 1 byte gives 4 GiB + 8192 zero bytes"

for size in 1 8191 8192 100000 3000000; do
	head -c "$size" /dev/urandom >"$work/in"
	for password in '' secret 'correct horse battery staple' aj "$(head -c 64 /dev/urandom | tr -d '\0')"; do
		cmp <("${tool[@]}" "$work/in" "$password") <("$native" "$work/in" "$password")
	done
done
echo "$arch: random files and passwords give the native tool's bytes"

status=0
err=$("${tool[@]}" "$work/missing" secret 2>&1 >/dev/null) || status=$?
expected="$build/encrypt_video: could not open $work/missing."
[ "$status" = 1 ] && [ "$err" = "$expected" ] || {
	echo "$arch: a missing file gave status $status and '$err'" >&2
	exit 1
}
echo "$arch: a missing file gives the open-error line and status 1"
