#!/usr/bin/env bash
# Judges the release as Debian would: hardening-check on the tool the
# README's build command makes, lintian on the package, two clean clones of
# the commit giving the same .deb, and the package installed, used from
# PATH and removed without a trace.
#
#   .ci/package.sh      after the README's build command made build/
set -euo pipefail
cd "$(dirname "$0")/.."
build_command='cmake -S . -B build && cmake --build build -j'
package_command='(cd build && cpack -G DEB)'
for command in "$build_command" "$package_command"; do
	grep -qF "$command" README.md || {
		echo "package.sh: the README no longer says '$command'" >&2
		exit 1
	}
done

echo "-- hardening-check build/encrypt_video"
# The start files of this toolchain carry no IBT/SHSTK note, so the binary
# cannot have one, whatever it is built with.
hardening-check --nocfprotection build/encrypt_video
# hardening-check knows only the probe loop of a variable-sized frame; the
# fixed 128 KiB frame of main is probed page by page.
objdump -d --no-show-raw-insn build/encrypt_video | grep -E 'orq +\$0x0,\(%rsp\)' >/dev/null || {
	echo "package.sh: no stack clash probes in build/encrypt_video" >&2
	exit 1
}
echo " Stack clash probes: found"

echo "-- two clean clones of $(git rev-parse --short HEAD), built apart"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
debs=()
for dir in "$work/one" "$work/somewhere/else"; do
	git clone -q . "$dir"
	(cd "$dir" && eval "$build_command" >/dev/null && eval "$package_command" >/dev/null)
	debs+=("$(ls "$dir"/build/*.deb)")
	sleep 2
done
sha256sum "${debs[@]}"
cmp "${debs[@]}"
deb=${debs[0]}
echo "same bytes"

echo "-- lintian"
lintian --fail-on error,warning --display-info "$deb"
echo "lintian: no error, no warning"
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
package_version=$(dpkg-deb -f "$deb" Version)
[ "$changelog_version" = "$package_version" ] || {
	echo "package.sh: changelog says $changelog_version, package $package_version" >&2
	exit 1
}

echo "-- install, use and remove"
dpkg -i "$deb"
[ "$(command -v encrypt_video)" = /usr/bin/encrypt_video ]
head -c 100000 /dev/urandom >"$work/in"
encrypt_video "$work/in" secret >"$work/scrambled"
encrypt_video "$work/scrambled" secret | head -c 100000 | cmp - "$work/in"
man -w encrypt_video
files=$(dpkg -L encrypt-video | while read -r f; do [ -d "$f" ] || echo "$f"; done)
dpkg -r encrypt-video
left=$(for f in $files; do [ ! -e "$f" ] || echo "$f"; done)
status=$(dpkg-query -W -f='${db:Status-Abbrev}' encrypt-video 2>/dev/null || true)
[ -z "$left" ] && [[ $status = "" || $status = "un "* ]] || {
	echo "package.sh: dpkg -r left '$left', status '$status'" >&2
	exit 1
}
echo "installed, ran from PATH, found its manual, removed: nothing left"
