#!/usr/bin/env bash
# The builder's flags win: configures scratch builds the way a distribution
# would and reads the compile and link lines CMake writes for the tool.
#
#   .ci/flags.sh
set -Eeuo pipefail
cd "$(dirname "$0")/.."
trap 'echo "flags.sh: failed (status $?): $BASH_COMMAND" >&2' ERR
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "flags.sh: $*" >&2; exit 1; }

lines() { # lines NAME [cmake args...]: the tool's compile and link commands
	local dir=$work/$1
	shift
	cmake -S . -B "$dir" -DBUILD_TESTING=OFF "$@" >"$dir.log" 2>&1 || { cat "$dir.log"; return 1; }
	cat "$dir/CMakeFiles/encrypt_video.dir/flags.make" "$dir/CMakeFiles/encrypt_video.dir/link.txt"
}
has() { grep -q -- "$2" <<<"$1" || fail "$3: no '$2' in $(tr '\n' ' ' <<<"$1")"; }
lacks() { ! grep -q -- "$2" <<<"$1" || fail "$3: '$2' in $(tr '\n' ' ' <<<"$1")"; }

defaults=$(CI=true lines defaults)
for flag in -fstack-protector-strong -fstack-clash-protection -D_FORTIFY_SOURCE=2 relro now -fPIE; do
	has "$defaults" "$flag" "the defaults"
done
lacks "$defaults" -Werror "CI=true in the environment"
[ ! -e "$work/defaults/bench" ] || fail "the benchmark is built without being asked for"

for variable in CPPFLAGS CXXFLAGS; do
	given=$(export "$variable=-D_FORTIFY_SOURCE=3 -fstack-protector-all -fno-stack-clash-protection" \
	    LDFLAGS=-Wl,-z,lazy && lines "$variable")
	has "$given" -D_FORTIFY_SOURCE=3 "$variable"
	lacks "$given" -D_FORTIFY_SOURCE=2 "$variable"
	lacks "$given" -U_FORTIFY_SOURCE "$variable"
	lacks "$given" -fstack-protector-strong "$variable"
	lacks "$given" -fstack-clash-protection "$variable"
	lacks "$given" -z,now "LDFLAGS=-Wl,-z,lazy"
done

off=$(lines off -DENCRYPT_VIDEO_HARDENING=OFF)
for flag in -fstack-protector-strong -fstack-clash-protection _FORTIFY_SOURCE relro -z,now; do
	lacks "$off" "$flag" "ENCRYPT_VIDEO_HARDENING=OFF"
done
has "$(lines werror -DENCRYPT_VIDEO_WERROR=ON)" -Werror "ENCRYPT_VIDEO_WERROR=ON"

static=$(lines static -DENCRYPT_VIDEO_STATIC=ON)
has "$static" -static-pie "ENCRYPT_VIDEO_STATIC=ON"
lacks "$static" ' -pie' "ENCRYPT_VIDEO_STATIC=ON"
cmake --build "$work/static" -j"$(nproc)" >/dev/null
file -b "$work/static/encrypt_video" | grep -q 'static-pie linked' || fail "ENCRYPT_VIDEO_STATIC=ON made no static-pie"

cmake -S . -B "$work/nogtest" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/nogtest.log" 2>&1 &&
    fail "configured with the tests on and no GoogleTest"
grep -q 'install libgtest-dev, or' "$work/nogtest.log" && grep -q -- '-DBUILD_TESTING=OFF' "$work/nogtest.log" ||
    { cat "$work/nogtest.log"; fail "no word of libgtest-dev and -DBUILD_TESTING=OFF"; }
echo "the builder's flags win; hardening, -Werror, static and the benchmark come when asked; a missing GoogleTest is named"
