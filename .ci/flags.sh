#!/usr/bin/env bash
# The builder's flags win: configures scratch builds the way a distribution
# would and reads the compile and link lines CMake writes for the tool and
# the view.
#
#   .ci/flags.sh
. "$(dirname "$0")/lib.sh"

programs=(encrypt_video encrypt_video_fs)
lines() { # lines NAME [cmake args...]: each program's compile and link commands, after its name
	local dir=$work/$1 program
	shift
	cmake -S . -B "$dir" -DBUILD_TESTING=OFF "$@" >"$dir.log" 2>&1 || { cat "$dir.log"; return 1; }
	for program in "${programs[@]}"; do
		cat "$dir/CMakeFiles/$program.dir/flags.make" "$dir/CMakeFiles/$program.dir/link.txt" |
		    sed "s/^/$program: /"
	done
}
has() { # has LINES FLAG WHY: in the commands of each program
	local program
	for program in "${programs[@]}"; do
		grep -q -- "^$program: .*$2" <<<"$1" || fail "$3: no '$2' for $program in $(tr '\n' ' ' <<<"$1")"
	done
}
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
lacks "$static" 'libfuse3\.so' "ENCRYPT_VIDEO_STATIC=ON"
build_static "$work/static"
for program in "${programs[@]}"; do
	file -b "$work/static/$program" | grep -q 'static-pie linked' ||
	    fail "ENCRYPT_VIDEO_STATIC=ON made no static-pie $program"
done
"$work/static/encrypt_video_fs" --version | grep -q '^FUSE library version 3\.' ||
    fail "the static view does not start"

cmake -S . -B "$work/nogtest" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/nogtest.log" 2>&1 &&
    fail "configured with the tests on and no GoogleTest"
grep -q 'install libgtest-dev, or' "$work/nogtest.log" && grep -q -- '-DBUILD_TESTING=OFF' "$work/nogtest.log" ||
    { cat "$work/nogtest.log"; fail "no word of libgtest-dev and -DBUILD_TESTING=OFF"; }
# Without libfuse 3 the view stops the configuration and says what to do;
# turned off, it needs none.
cmake -S . -B "$work/nofuse" -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON \
    >"$work/nofuse.log" 2>&1 && fail "configured with the view on and no libfuse 3"
grep -q 'install libfuse3-dev' "$work/nofuse.log" && grep -q -- '-DENCRYPT_VIDEO_FS=OFF' "$work/nofuse.log" ||
    { cat "$work/nofuse.log"; fail "no word of libfuse3-dev and -DENCRYPT_VIDEO_FS=OFF"; }
cmake -S . -B "$work/nofuse" -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON \
    -DENCRYPT_VIDEO_FS=OFF >"$work/nofuse.log" 2>&1 || { cat "$work/nofuse.log"; fail "-DENCRYPT_VIDEO_FS=OFF still needs libfuse 3"; }
[ ! -e "$work/nofuse/CMakeFiles/encrypt_video_fs.dir" ] || fail "-DENCRYPT_VIDEO_FS=OFF still builds the view"
echo "the builder's flags win, for both programs; hardening, -Werror, static and the benchmark come when asked; a missing GoogleTest or libfuse 3 is named"

