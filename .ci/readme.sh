#!/usr/bin/env bash
# Runs the README's first section as a newcomer copies it into a terminal,
# its sh blocks in order (the set-up line, the build with a file scrambled,
# restored and read back through a view, the test command with the view's
# tests), as root in a minimal root of the Debian release a newcomer
# installs today, whatever release this machine runs: the one that
# debootstrap --variant=minbase makes, with no sudo, as a container or a
# root-only install has.  It is made from the archive this machine's apt
# uses; the base is kept as a tarball for each release, and the packages
# the set-up line fetches are kept beside it, so that a run downloads only
# the package lists.  Where the archive cannot be reached, it says that the
# check is skipped, and exits 0 so that the checks after it still run.
#
#   .ci/readme.sh [SUITE]     (default trixie, Debian 13; as root)
. "$(dirname "$0")/lib.sh"
suite=${1:-trixie}
name="readme.sh $suite"
# Named for what it holds: the bases of older runs had sudo.
base=$cache/minbase-$suite.tar
debs=$cache/debs-$suite

mirror=$(archive_mirror)
if ! wget -q -T 20 -t 2 -O /dev/null "$mirror/dists/$suite/InRelease"; then
	echo "$name: skipped: $mirror cannot be reached, so the README was not run on $suite"
	exit 0
fi

mkdir -p "$cache" "$debs"
if [ ! -s "$base" ]; then
	echo "-- debootstrap --variant=minbase $suite from $mirror, once"
	made=$(mktemp -d "$cache/base.XXXXXX")
	debootstrap --variant=minbase "$suite" "$made" "$mirror" >"$made.log" 2>&1 ||
	    { tail -5 "$made.log"; rm -rf "$made" "$made.log"; fail "debootstrap failed"; }
	# As an installed system has them: a hosts file and an /etc/mtab, which
	# fusermount3 reads.  As a container image has them: no package lists,
	# so that a README that forgets apt-get update fails here as there.
	printf '127.0.0.1 localhost\n::1 localhost\n' >"$made/etc/hosts"
	[ -e "$made/etc/mtab" ] || ln -s ../proc/self/mounts "$made/etc/mtab"
	# Nothing installed in it may start a daemon.
	printf '#!/bin/sh\nexit 101\n' >"$made/usr/sbin/policy-rc.d"
	chmod 755 "$made/usr/sbin/policy-rc.d"
	rm -rf "$made"/var/lib/apt/lists/* "$made"/var/cache/apt/archives/*.deb
	tar -C "$made" -cf "$base.part" . && mv "$base.part" "$base"
	rm -rf "$made" "$made.log"
fi

root=$(mktemp -d /var/tmp/readme-"$suite".XXXXXX)
cleanup() {
	local m pid
	# Every mount under the root, what a test left mounted first; then
	# whatever still runs in it (a view whose mount is gone).
	awk -v r="$root/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo | sort -r |
	    while read -r m; do umount -l "$m" || true; done
	for pid in $(ls /proc | grep -E '^[0-9]+$'); do
		[ "$(readlink "/proc/$pid/root" 2>/dev/null)" != "$root" ] || kill -9 "$pid" 2>/dev/null || true
	done
	if awk -v r="$root/" 'index($5, r) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
		echo "$name: $root still has mounts; left in place" >&2
	else
		rm -rf --one-file-system "$root"
	fi
	rm -rf "$work"
}
trap cleanup EXIT
tar -C "$root" -xf "$base"
! chroot "$root" sh -c 'command -v sudo' >/dev/null || fail "the root has sudo, which minbase has not"
# Open to all, as a real root is (mktemp's is not): the tests run commands
# as nobody in it.
chmod 755 "$root"
# As container images do: dpkg's syncs cost minutes, and the root is thrown
# away after.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
for m in proc sys dev dev/pts; do
	mount --bind "/$m" "$root/$m"
	mount --make-private "$root/$m"
done
mount -t tmpfs tmpfs "$root/dev/shm"
mount --bind "$debs" "$root/var/cache/apt/archives"
# apt downloads as its own user, whose number is the root's.
mkdir -p "$debs/partial"
chroot "$root" chown _apt:root /var/cache/apt/archives/partial
# As a newcomer gets it: a clone of this commit.
git clone -q . "$root/root/project"

# The sh blocks of the README's first section, in order.
awk 'BEGIN { n = 0 } /^## / { n++ } n == 1 && /^```sh$/ { on = 1; next }
    on && /^```$/ { on = 0; print "\x1e"; next } on' README.md >"$work/blocks"
i=0
while IFS= read -r -d $'\x1e' block; do
	block=$(sed '/^[[:space:]]*$/d' <<<"$block")
	[ -n "$block" ] || continue
	i=$((i + 1))
	start=$(date +%s)
	chroot "$root" env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
	    bash -c "cd /root/project && set -e && $block" </dev/null >"$work/block-$i.log" 2>&1 || {
		# What ctest prints of a failed test comes before its summary.
		tail -60 "$work/block-$i.log"
		fail "the README's block $i failed on $suite: $(head -1 <<<"$block" | cut -c1-100)"
	}
	echo "block $i passed ($(($(date +%s) - start)) s): $(head -1 <<<"$block" | cut -c1-70)"
	# ctest's count and what it skipped, or the block's last words.
	{ sed -n '/tests passed/,$p' "$work/block-$i.log" | grep . || tail -2 "$work/block-$i.log"; } | sed 's/^/  /'
done <"$work/blocks"
[ "$i" -ge 3 ] || fail "the README's first section has $i sh blocks, not the set-up, build and test ones"
echo "the README passed on a minimal $suite: $(chroot "$root" sh -c '. /etc/os-release && echo "$PRETTY_NAME"')"
