# shellcheck shell=bash
# Sourced first by each script of .ci/: strict mode, the tree's root as the
# working folder, a failure that names the script and the command, a
# scratch folder $work that goes with the script, and one function for each
# fact that more than one script reads.  A script named by more than its
# file (cross.sh ARCH) sets $name after sourcing.
set -Eeuo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
name=$(basename "$0")
trap 'echo "$name: failed (status $?): $BASH_COMMAND" >&2' ERR
fail() { echo "$name: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# project() is where the version is written; everything else is made from it.
project_version() { sed -n 's/^project(encrypt_video VERSION \([0-9.]*\)\( .*\)\?$/\1/p' CMakeLists.txt; }

# The lines of the architecture table, or the one of ARCH: Debian's name,
# the cross compiler's triplet, the emulator, unit tests, view.
architectures() { grep -v '^#' cmake/debian-architectures; }
architecture() { architectures | awk -v arch="$1" '$1 == arch'; }
# Those whose package CI builds with the tool cross-built, and lints.
package_archs=(arm64 armhf)

# Where CI keeps, from one run to the next, the roots it makes with
# debootstrap and the packages they fetched.
cache=/var/cache/encrypt-video-ci

# The archive of this machine's own release, in either format of apt's
# sources; not a third party's repository listed beside it, nor its
# security or updates suites.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
archive_mirror() {
	local mirror
	mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v suite="$codename" '
		BEGIN { RS = "" }
		$0 ~ ("(^|\n)Suites:([^\n]*[ \t])?" suite "([ \t]|\n|$)") && $0 !~ /(^|\n)Enabled: *no/ {
			if (match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/)) {
				uri = substr($0, RSTART, RLENGTH)
				sub(/.*URIs:[ \t]*/, "", uri)
				print uri
				exit
			}
		}') || true
	[ -n "$mirror" ] || mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
	    sed 's/\[[^]]*\]//' | awk -v suite="$codename" '$1 == "deb" && $3 == suite { print $2; exit }') || true
	[ -n "$mirror" ] || fail "no Debian archive for $codename in this machine's apt sources"
	echo "${mirror%/}"
}

lint() { # lint FILE...: a .deb or .changes, as Debian's archive judges it
	echo "-- lintian"
	lintian --fail-on error,warning --display-info "$@"
	echo "lintian: no error, no warning"
}

build_static() { # build_static DIR: cmake --build, showing only warnings that matter
	cmake --build "$1" -j"$(nproc)" >/dev/null 2>"$work/static-build.log" ||
	    { cat "$work/static-build.log"; return 1; }
	# Static glibc warns of libfuse's dlopen, which only a module that
	# libfuse does not build in would need; any other warning is shown.
	grep -v "in function \`fuse_get_module'\|Using 'dlopen' in statically linked" \
	    "$work/static-build.log" >&2 || true
}

has_view() { # has_view DEB: the view in it, with the packages it needs
	# fuse3 for fusermount3, and the library's package, named after its
	# soname: libfuse3-3 on Debian 12, libfuse3-4 on 13.
	local depends
	depends=$(dpkg-deb -f "$1" Depends)
	dpkg-deb -c "$1" | grep ' \./usr/bin/encrypt_video_fs$' >/dev/null &&
	    grep -qE '(^|, )fuse3(,|$)' <<<"$depends" &&
	    grep -qE '(^|, )libfuse3-[0-9]+( |,|$)' <<<"$depends" ||
	    fail "$(basename "$1") lacks the view or its dependencies: $depends"
}
