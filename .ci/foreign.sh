#!/usr/bin/env bash
# Runs COMMAND in a root of this machine's Debian release that holds what
# the checks of other architectures need: every cross compiler of
# cmake/debian-architectures, qemu-user, and the libraries that the table,
# the packages and the distribution's arm64 build link.  This tree is bound
# in at its own path, and every mount goes with the command.
#
# The root takes its architectures from the release's main archive alone,
# where each index is of one version for all of them.  Added to this
# machine's own dpkg instead, they would change it, and break it whenever a
# security or updates suite lags for one of them: Multi-Arch: same needs a
# foreign twin of each native library's version.  Made once with
# debootstrap and kept in /var/cache/encrypt-video-ci, with the packages it
# fetched; made anew when what it must hold changes.
#
#   .ci/foreign.sh COMMAND [ARG...]     (as root)
. "$(dirname "$0")/lib.sh"
root=$cache/foreign-$codename
debs=$cache/foreign-debs-$codename

# For the cross builds and their packages; for the distribution's build of
# arm64, whose build-dependencies are .ci/debian/control's.
native=(build-essential cmake git file dpkg-dev debhelper lintian qemu-user
    fuse3 crossbuild-essential-arm64)
declare -A wanted=([arm64]="libgtest-dev:arm64 libfuse3-dev:arm64 pkgconf:arm64")
while read -r arch triplet _ unit_tests view; do
	native+=("g++-$triplet")
	[ "$unit_tests" = no ] || wanted[$arch]+=" libgtest-dev:$arch"
	[ "$view" = no ] || wanted[$arch]+=" libfuse3-dev:$arch pkgconf:$arch"
done < <(architectures)
# dpkg-shlibdeps finds the libraries of a package's architecture where
# dpkg installed them (the cross compilers' copies are not).
for arch in "${package_archs[@]}"; do
	wanted[$arch]+=" libc6-dev:$arch"
done
# Where these bring the C library of an architecture, qemu runs its
# programs with that one, so its C++ library must be there too
# (cmake/debian-cross.cmake).  Elsewhere neither is installed: the cross
# compiler's own copies serve, and a release's index may list an
# architecture's C library that its pool has not (trixie's s390x did).
for arch in "${!wanted[@]}"; do
	case ${wanted[$arch]} in
	*libfuse3-dev:* | *libc6-dev:*) wanted[$arch]+=" libstdc++6:$arch" ;;
	esac
done
archs=$(printf '%s\n' "${!wanted[@]}" | sort)
holds=$(for arch in $archs; do
	# shellcheck disable=SC2086 # a list of names
	printf '%s\n' ${wanted[$arch]}
done | sort -u | tr '\n' ' ')
holds="${native[*]} $holds"

in_root() { # in_root ROOT COMMAND...: as root in ROOT, in this folder
	mkdir -p "$1$PWD" "$debs/partial"
	# In a chroot, whose root is no mount, unshare cannot make every mount
	# private: a mount under a shared one would then reach the parent
	# namespace too, so each is unmounted after as well.
	unshare --mount --propagation unchanged -- bash -c '
		set -e
		root=$1 tree=$2 debs=$3
		shift 3
		mount --make-rprivate / 2>/dev/null || true
		mounted=()
		trap "for ((i = \${#mounted[@]} - 1; i >= 0; i--)); do umount -R \"\${mounted[i]}\"; done" EXIT
		for m in proc sys dev; do
			mount --rbind "/$m" "$root/$m" && mounted+=("$root/$m")
		done
		mount --bind "$tree" "$root$tree" && mounted+=("$root$tree")
		mount --bind "$debs" "$root/var/cache/apt/archives" &&
		    mounted+=("$root/var/cache/apt/archives")
		# git would take a tree of another owner for an attack.
		chroot "$root" env -i HOME=/root LANG=C.UTF-8 \
		    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
		    DEBIAN_FRONTEND=noninteractive GIT_CONFIG_COUNT=1 \
		    GIT_CONFIG_KEY_0=safe.directory GIT_CONFIG_VALUE_0="*" \
		    sh -c "cd \"\$0\" && exec \"\$@\"" "$tree" "$@"' \
	    in_root "$1" "$PWD" "$debs" "${@:2}"
}

install_in() { # install_in ROOT WHAT PACKAGE...: or one line naming the package
	local made=$1 what=$2 package why
	shift 2
	in_root "$made" apt-get install -y -qq --no-install-recommends "$@" \
	    >"$made.install.log" 2>&1 && return
	for package; do
		why=$(in_root "$made" apt-get install -s -qq "$package" 2>&1 | grep -m1 '^E: \| : Depends: ' || true)
		[ -n "$why" ] || continue
		fail "$what: $package cannot be installed from $codename's main archive: $why"
	done
	fail "$what: $* cannot be installed together from $codename's main archive: $(grep -m1 '^E: ' "$made.install.log" || tail -1 "$made.install.log")"
}

# One run at a time makes the root, and none uses it while it is made;
# many may use it at once.
mkdir -p "$cache"
exec {lock}>"$root.lock"
flock "$lock"
if [ "$(cat "$root/etc/encrypt-video-ci.holds" 2>/dev/null)" != "$holds" ]; then
	mirror=$(archive_mirror)
	echo "-- a root of $codename from $mirror, for ${archs//$'\n'/ }"
	mkdir -p "$debs"
	made=$(mktemp -d "$cache/foreign.XXXXXX")
	trap 'rm -rf "$made" "$made".*.log "$work"' EXIT
	# Open to all, as a real root is (mktemp's is not): apt fetches as _apt.
	chmod 755 "$made"
	debootstrap --variant=minbase --cache-dir="$debs" "$codename" "$made" "$mirror" \
	    >"$made.debootstrap.log" 2>&1 ||
	    { tail -5 "$made.debootstrap.log"; fail "debootstrap $codename from $mirror failed"; }
	# Nothing installed in it may start a daemon, nor wait for the disk.
	printf '#!/bin/sh\nexit 101\n' >"$made/usr/sbin/policy-rc.d"
	chmod 755 "$made/usr/sbin/policy-rc.d"
	echo force-unsafe-io >"$made/etc/dpkg/dpkg.cfg.d/unsafe-io"
	for arch in $archs; do
		chroot "$made" dpkg --add-architecture "$arch"
	done
	# As this machine's set-up does: a list that could not be fetched is
	# told, and the install then names what it lacks.
	in_root "$made" apt-get update -qq || echo "foreign.sh: some package lists of $codename could not be fetched" >&2
	install_in "$made" "$codename's own packages" "${native[@]}"
	for arch in $archs; do
		# shellcheck disable=SC2086 # a list of names
		install_in "$made" "$arch" ${wanted[$arch]}
	done
	# What the archive no longer has goes from the packages kept.
	in_root "$made" apt-get autoclean -qq
	echo "$holds" >"$made/etc/encrypt-video-ci.holds"
	rm -rf "$root"
	mv "$made" "$root"
	echo "made in $SECONDS s: $(du -sh "$root" | cut -f1), and $(du -sh "$debs" | cut -f1) of packages kept"
fi
flock -s "$lock"
in_root "$root" "$@"
