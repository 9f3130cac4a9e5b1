#!/usr/bin/env bash
# Judges the release as Debian would: hardening-check on the programs the
# README's build command makes, the version the same everywhere, two clean
# clones and two unpacked tarballs each giving the same .deb, lintian on
# it, and the package installed, tested and removed without a trace, in a
# root of its own so that this machine's packages stay as they are.
#
#   .ci/package.sh      after the README's build command made build/
. "$(dirname "$0")/lib.sh"
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
# project() holds it, and the build gives it to the programs and the manual
# pages; only the changelogs' newest entries are written by hand.
version=$(project_version)
[ -n "$version" ] || fail "no version in CMakeLists.txt's project()"
[ "$(dpkg-parsechangelog -l packaging/changelog -S Version)" = "$version-1" ] ||
    fail "packaging/changelog's newest entry is not $version-1"
head -1 CHANGELOG | grep -q "^encrypt_video $version " || fail "CHANGELOG does not start with $version"
for program in encrypt_video encrypt_video_fs; do
	[ "$(build/$program --version | head -1)" = "$program $version" ] ||
	    fail "build/$program is not of $version"
	grep -q "^\.TH .*\"encrypt_video $version\"" <<<"$(zcat "build/$program.1.gz" | sed -n 1p)" ||
	    fail "build/$program.1.gz is not of $version"
done
! grep -n 'encrypt[-_]video[-_][0-9]' README.md || fail "the README names a release by number, not VERSION"
for page in man/*.1; do
	grep -q '^\.TH .*"encrypt_video @PROJECT_VERSION@"' "$page" || fail "$page's .TH line names a version of its own"
done
echo "$version in CMake, both programs and their manual pages, and the changelogs"

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
# Named and made as the README's Development section says, and unpacked as
# its Try it does.
grep -qF 'tar xf encrypt_video-VERSION.tar.gz' README.md ||
    fail "the README's Try it unpacks another tarball than encrypt_video-VERSION.tar.gz"
tarball=encrypt_video-$version.tar.gz
git archive --prefix="encrypt_video-$version/" -o "$work/$tarball" HEAD
git init -q "$work/packaging"
GIT_AUTHOR_DATE=2001-01-01T00:00:00Z GIT_COMMITTER_DATE=2001-01-01T00:00:00Z \
    git -C "$work/packaging" -c user.name=ci -c user.email=ci@localhost commit -q --allow-empty -m packaging
for dir in "$work/tarball" "$work/packaging/upstream"; do
	mkdir -p "$dir"
	tar -C "$dir" -xzf "$work/$tarball"
	package_in "$dir/encrypt_video-$version"
done
echo "-- package_source: one tarball, of the files git archive gives"
(cd "$work/one" && cmake --build build --target package_source >/dev/null)
made=("$work"/one/build/*.tar*)
[ "${made[*]}" = "$work/one/build/$tarball" ] || fail "package_source made ${made[*]##*/}, not $tarball alone"
[ "$(tar -tzf "${made[0]}" | grep -v '/$' | sort)" = "$(tar -tzf "$work/$tarball" | grep -v '/$' | sort)" ] ||
    fail "package_source's files are not git archive's: $(diff <(tar -tzf "${made[0]}" | sort) <(tar -tzf "$work/$tarball" | sort) | head -5 | tr '\n' ' ')"
echo "-- the same .deb from each"
sha256sum "${debs[@]}"
for deb in "${debs[@]:1}"; do
	cmp "${debs[0]}" "$deb"
done
deb=${debs[0]}
echo "same bytes"

lint "$deb"

echo "-- installed in a root of its own, tested and removed"
# The README names the package by a pattern, for amd64, which a newcomer
# most likely has.
install=$(grep -o 'apt install \./build/[^ ]*\.deb' README.md) ||
    fail "the README no longer installs the .deb it builds"
pattern=${install#apt install ./build/}
# shellcheck disable=SC2053 # a pattern, as the shell reads the README's
[[ $(basename "$deb") == ${pattern/amd64/"$(dpkg --print-architecture)"} ]] ||
    fail "the README's '$install' does not install $(basename "$deb")"
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
	grep -q "^\.TH .*\"encrypt_video $version\"" <<<"$(zcat "$(man -M "$root/usr/share/man" -w "$page")" | sed -n 1p)" ||
	    fail "the package's $page page is not of $version"
done
# The process tests, the view's tests, the pages' examples and the
# workflows, against the installed programs: stripped, and with the libfuse
# they were packaged for.
ENCRYPT_VIDEO=$tool ENCRYPT_VIDEO_FS=$root/usr/bin/encrypt_video_fs \
    ctest --test-dir build -R '^(Stream|Refusals|Faults|Passwords|Format|View)\.|^(examples|video_and_workflows)$' \
    --output-on-failure >"$work/tests.log" || { cat "$work/tests.log"; fail "the installed programs failed the tests"; }
sed -n '/tests passed/,$p' "$work/tests.log"
files=$(dpkg --root="$root" -L encrypt-video | while read -r f; do [ -d "$root$f" ] || echo "$f"; done)
dpkg --root="$root" -r encrypt-video >/dev/null
left=$(for f in $files; do [ ! -e "$root$f" ] || echo "$f"; done)
[ -z "$left" ] || fail "dpkg -r left $left"
echo "installed, restored a file, found both manual pages of $version, passed the process and view tests and the examples, removed: nothing left"
