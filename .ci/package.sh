#!/usr/bin/env bash
# Judges the release as Debian would: hardening-check on the programs the
# README's build command makes, the version the same everywhere, two clean
# clones and two unpacked tarballs each giving the same .deb, lintian on
# it, and the package installed, tested and removed without a trace, in a
# root of its own so that this machine's packages stay as they are.
#
#   .ci/package.sh      after the README's build command made build/
set -Eeuo pipefail
cd "$(dirname "$0")/.."
trap 'echo "package.sh: failed (status $?): $BASH_COMMAND" >&2' ERR
fail() { echo "package.sh: $*" >&2; exit 1; }
build_command='cmake -S . -B build && cmake --build build -j'
package_command='(cd build && cpack -G DEB)'
for command in "$build_command" "$package_command"; do
	grep -qF "$command" README.md || fail "the README no longer says '$command'"
done

# hardening-check knows only the probe loop of a variable-sized frame; the
# fixed frames of over a page (the tool's 128 KiB buffer, the view's two
# PATH_MAX paths) are probed page by page, in each architecture's own way.
case $(uname -m) in
x86_64 | i?86) probe='or[lq] +\$0x0,\(%[er]sp\)' ;;
aarch64) probe='str +xzr, \[sp' ;;
*) probe= ;;
esac
# The start files of this toolchain carry no IBT/SHSTK note, so the binary
# cannot have one, whatever it is built with.  Branch protection (BTI and
# PAC) is AArch64's, but a hardening-check that knows it (Debian 13's) asks
# for it on every architecture.
skips=(--nocfprotection)
# (--help ends in status 1.)
if [ "$(uname -m)" != aarch64 ] && [[ $(hardening-check --help 2>&1 || true) = *--nobranchprotection* ]]; then
	skips+=(--nobranchprotection)
fi
for program in build/encrypt_video build/encrypt_video_fs; do
	echo "-- hardening-check $program"
	hardening-check "${skips[@]}" "$program"
	if [ -n "$probe" ]; then
		objdump -d --no-show-raw-insn "$program" | grep -E "$probe" >/dev/null ||
		    fail "no stack clash probes in $program"
		echo " Stack clash probes: found"
	else
		grep -q -- -fstack-clash-protection build/compile_commands.json ||
		    fail "$program was not built with -fstack-clash-protection"
		echo " Stack clash protection: asked of the compiler (no probe pattern known for $(uname -m))"
	fi
done

echo "-- one version"
version=$(build/encrypt_video --version | sed -n 's/^encrypt_video //p')
[ "$(dpkg-parsechangelog -l packaging/changelog -S Version)" = "$version-1" ] ||
    fail "packaging/changelog's newest entry is not $version-1"
head -1 CHANGELOG | grep -q "^encrypt_video $version " || fail "CHANGELOG does not start with $version"
[ "$(build/encrypt_video_fs --version | head -1)" = "encrypt_video_fs $version" ] ||
    fail "build/encrypt_video_fs is not of $version"
for page in man/encrypt_video.1 man/encrypt_video_fs.1; do
	grep -q "^\.TH .*\"encrypt_video $version\"" "$page" || fail "$page is not of $version"
done
grep -q "encrypt-video_${version}-1_amd64.deb" README.md || fail "the README installs another version than $version"
echo "$version in CMake, both programs, the changelogs, the manual pages and the README"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
debs=()
package_in() { # package_in DIR: the README's commands there, and the .deb they make
	(cd "$1" && eval "$build_command" >/dev/null && eval "$package_command" >/dev/null)
	debs+=("$(ls "$1"/build/*.deb)")
}
echo "-- two clean clones of $(git rev-parse --short HEAD), built apart"
for dir in "$work/one" "$work/somewhere/else"; do
	git clone -q . "$dir"
	package_in "$dir"
done
echo "-- two unpacked release tarballs: one alone, one inside a packaging repository of another date"
# Named and made as the README's Development section says.
tarball=encrypt_video-$version.tar.gz
grep -qF "tar xf $tarball" README.md || fail "the README's Try it unpacks another tarball than $tarball"
git archive --prefix="encrypt_video-$version/" -o "$work/$tarball" HEAD
git init -q "$work/packaging"
GIT_AUTHOR_DATE=2001-01-01T00:00:00Z GIT_COMMITTER_DATE=2001-01-01T00:00:00Z \
    git -C "$work/packaging" -c user.name=ci -c user.email=ci@localhost commit -q --allow-empty -m packaging
for dir in "$work/tarball" "$work/packaging/upstream"; do
	mkdir -p "$dir"
	tar -C "$dir" -xzf "$work/$tarball"
	package_in "$dir/encrypt_video-$version"
done
sha256sum "${debs[@]}"
for deb in "${debs[@]:1}"; do
	cmp "${debs[0]}" "$deb"
done
deb=${debs[0]}
echo "same bytes"

echo "-- lintian"
lintian --fail-on error,warning --display-info "$deb"
echo "lintian: no error, no warning"

echo "-- installed in a root of its own, tested and removed"
apt-get install -s "$deb" | grep -q '^Inst encrypt-video ' || fail "apt cannot install $deb here"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The libc it depends on is this machine's, not the empty root's.
dpkg --root="$root" --force-depends -i "$deb" >/dev/null 2>&1
tool=$root/usr/bin/encrypt_video
head -c 100000 /dev/urandom >"$work/in"
"$tool" "$work/in" secret >"$work/scrambled"
"$tool" "$work/scrambled" secret | head -c 100000 | cmp - "$work/in"
for page in encrypt_video encrypt_video_fs; do
	man -M "$root/usr/share/man" -w "$page" >/dev/null
done
# The process tests, the view's tests and the video check, against the
# installed programs: stripped, and with the libfuse they were packaged for.
ENCRYPT_VIDEO=$tool ENCRYPT_VIDEO_FS=$root/usr/bin/encrypt_video_fs \
    ctest --test-dir build -R '^(Stream|Refusals|Faults|Passwords|Format|View)\.|video' \
    --output-on-failure | tail -3
files=$(dpkg --root="$root" -L encrypt-video | while read -r f; do [ -d "$root$f" ] || echo "$f"; done)
dpkg --root="$root" -r encrypt-video >/dev/null
left=$(for f in $files; do [ ! -e "$root$f" ] || echo "$f"; done)
[ -z "$left" ] || fail "dpkg -r left $left"
echo "installed, restored a file, found both manual pages, passed the process and view tests, removed: nothing left"
