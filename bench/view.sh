#!/usr/bin/env bash
# Times the mounted view beside bindfs -r on the same folder and cat of the
# source: a big file read twice, random 4 KiB reads, ls -lR of a tree of small
# files, and each daemon's peak RSS.  Every round mounts both afresh, in
# alternating order, so that a noisy machine slows them alike; it prints
# medians and ratios.
#
#   bench/view.sh               after: cmake -S . -B build && cmake --build build
#   ROUNDS=9 SIZE_MIB=256 FILES=2000 ENCRYPT_VIDEO_FS=/path/to/encrypt_video_fs bench/view.sh
. "$(dirname "$0")/lib.sh"

fs=${ENCRYPT_VIDEO_FS:-$root/build/encrypt_video_fs}
rounds=${ROUNDS:-5}
size_mib=${SIZE_MIB:-1024}
files=${FILES:-10000}
password='correct horse battery staple'

built "$fs"
needs bindfs:bindfs fusermount3:fuse3 mountpoint:util-linux perl:perl-base
{ : <>/dev/fuse; } 2>/dev/null || fail "cannot open /dev/fuse: run as root, or apt-get install fuse3"

work=$(mktemp -d)
cleanup() {
	local m left=0
	for m in "$work/view" "$work/bindfs"; do
		mountpoint -q "$m" && fusermount3 -u -z "$m"
		mountpoint -q "$m" && left=1
	done
	# Never remove a folder with something still mounted in it.
	if [ $left = 0 ]; then rm -rf "$work"; else echo "view.sh: left $work, still mounted" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

src=$work/src
mkdir -p "$src/tree" "$work/view" "$work/bindfs"
head -c $((size_mib << 20)) /dev/urandom >"$src/big"
head -c $((size_mib << 20)) /dev/urandom >"$src/other"
for ((i = 0; i < files; i++)); do
	d=$src/tree/$((i % 100))
	[ -d "$d" ] || mkdir "$d"
	echo "$i" >"$d/$i"
done
# Written back now, not by the kernel in the middle of the first round.
sync "$src/big" "$src/other"
cat "$src/big" "$src/other" >/dev/null
ls -lR "$src/tree" >/dev/null

# Both run in the foreground, so that $! is the daemon itself, whose peak RSS
# is read before unmounting.
mount_fs() { # mount_fs view|bindfs: sets pid
	local m=$work/$1 i
	if [ "$1" = view ]; then
		"$fs" -f "$src" "$m" <<<"$password" &
	else
		bindfs -f -r "$src" "$m" &
	fi
	pid=$!
	for ((i = 0; i < 200; i++)); do
		mountpoint -q "$m" && return
		kill -0 "$pid" 2>/dev/null || fail "$1 did not mount"
		sleep 0.05
	done
	fail "$1 not mounted after 10 s"
}
unmount_fs() { fusermount3 -u "$work/$1"; wait "$2" || true; }

# Milliseconds, to a tenth, that the rest of the line takes.
took() {
	local start=${EPOCHREALTIME/./}
	"$@" >/dev/null || exit 1
	awk -v u=$((${EPOCHREALTIME/./} - start)) 'BEGIN { printf "%.1f", u / 1000 }'
}
# 3000 reads of 4 KiB on one descriptor, at aligned offsets the seed decides:
# the same for both file systems in a round.  Perl's start, a few ms, is in
# both times alike.
random_reads() {
	perl -e 'my ($seed, $blocks, $file) = @ARGV; srand($seed);
		open(my $f, "<", $file) or die "$file: $!\n"; my $b;
		for (1 .. 3000) { sysseek($f, int(rand($blocks)) * 4096, 0) or die;
			sysread($f, $b, 4096) == 4096 or die "$file: short read\n" }' \
	    "$1" $((size_mib << 8)) "$2"
}

# The big file is read first, as the mount's first work; the random reads go
# to a second file of the same size, and ls -lR to folders, that this mount
# has not looked at yet, so that neither is answered from the kernel's cache.
declare -A t=() rss=([view]=0 [bindfs]=0)
measure() { # measure view|bindfs ROUND
	local m=$work/$1 pid
	mount_fs "$1"
	t[$1 first]+="$(took cat "$m/big") "
	t[$1 again]+="$(took cat "$m/big") "
	t[$1 random]+="$(took random_reads "$2" "$m/other") "
	t[$1 ls]+="$(took ls -lR "$m/tree") "
	local hwm
	hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
	((hwm > rss[$1])) && rss[$1]=$hwm
	unmount_fs "$1" "$pid"
}

echo "encrypt_video_fs against bindfs -r and cat: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "input: $size_mib MiB of random bytes and $files files in 100 folders, on $(stat -f -c %T "$work") ($work), in the page cache"
echo "medians of $rounds rounds, each on fresh mounts, the order reversed round by round"
for ((r = 0; r < rounds; r++)); do
	order=(0 1 2)
	((r % 2 == 0)) || order=(2 1 0)
	for j in "${order[@]}"; do
		case $j in
		0) t[cat]+="$(took cat "$src/big") " ;;
		1) measure view $((r + 1)) ;;
		2) measure bindfs $((r + 1)) ;;
		esac
	done
done

declare -A m=()
for k in "${!t[@]}"; do m[$k]=$(median <<<"${t[$k]}"); done
ratio() { awk -v a="${m[$1]}" -v b="${m[$2]}" 'BEGIN { printf "%.2f", a / b }'; }
within() { awk -v a="${m[$1]}" -v b="${m[$2]}" -v n="$3" 'BEGIN { exit !(a / b <= n) }'; }

echo
printf '%-32s %10s %7s  %s\n' command "median ms" ratio "to"
row() { printf '%-32s %10s %7s  %s\n' "$1" "${m[$2]}" "${3:+$(ratio "$2" "$3")}" "${4:-}"; }
row "cat $size_mib MiB of the source" cat
row "view, first read" "view first" "bindfs again" "bindfs steady read"
row "view, read again" "view again" cat "cat"
row "bindfs -r, first read" "bindfs first" "bindfs again" "bindfs steady read"
row "bindfs -r, steady read" "bindfs again"
row "view, 3000 random 4 KiB reads" "view random" "bindfs random" "bindfs"
row "bindfs -r, 3000 random reads" "bindfs random"
row "view, ls -lR of $files files" "view ls" "bindfs ls" "bindfs"
row "bindfs -r, ls -lR" "bindfs ls"
echo
echo "peak RSS of the daemon, KiB, highest of the rounds: view ${rss[view]}, bindfs ${rss[bindfs]}"

echo
missed=0
check() { # check WHAT OK
	if [ "$2" = yes ]; then echo "  met:    $1"; else echo "  MISSED: $1"; missed=$((missed + 1)); fi
}
check "view first read <= bindfs steady read" "$(within "view first" "bindfs again" 1 && echo yes)"
check "view read again <= 2 x cat" "$(within "view again" cat 2 && echo yes)"
check "view random reads <= 1.25 x bindfs" "$(within "view random" "bindfs random" 1.25 && echo yes)"
check "view ls -lR <= 1.5 x bindfs" "$(within "view ls" "bindfs ls" 1.5 && echo yes)"
check "view peak RSS < 16384 KiB" "$( ((rss[view] < 16384)) && echo yes)"

echo
if [ $missed = 0 ]; then
	echo "all targets met"
else
	echo "$missed target(s) missed"
	exit 1
fi
