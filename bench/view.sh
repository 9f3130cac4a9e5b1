#!/usr/bin/env bash
# Times the mounted view, writable, beside bindfs on the same folder and beside
# the same work done on the source itself: a big file read twice, random 4 KiB
# reads, ls -lR of a tree of small files, a big file written and random 4 KiB
# writes, and each daemon's peak RSS.  Every round
# mounts both afresh, in alternating order, so that a noisy machine slows them
# alike; it prints medians, each against the source and against bindfs, and
# the size of the read requests the kernel sent each daemon.
#
# READERS=N reads the big file as N slices at once, as N readers would; COLD=1
# drops it from the page cache before each first read, which then comes from
# the disk; extra options for the view go in VIEW_OPTIONS, such as
# "-o max_threads=4"; LIMIT=N starts both daemons with N open files at most;
# WRITABLE=0 mounts both read-only and writes nothing, as an older view
# must be timed.
# After the last round's ls -lR it says what each daemon holds, and again
# once the kernel has forgotten the tree (as root: drop_caches).
#
#   bench/view.sh               after: cmake -S . -B build && cmake --build build
#   ROUNDS=9 SIZE_MIB=256 FILES=2000 ENCRYPT_VIDEO_FS=/path/to/encrypt_video_fs bench/view.sh
. "$(dirname "$0")/lib.sh"

fs=${ENCRYPT_VIDEO_FS:-$root/build/encrypt_video_fs}
rounds=${ROUNDS:-5}
size_mib=${SIZE_MIB:-1024}
files=${FILES:-10000}
readers=${READERS:-1}
limit=${LIMIT:+prlimit --nofile=$LIMIT:$LIMIT}
writable=${WRITABLE:-1}
cold=${COLD:-0}
read -ra view_options <<<"${VIEW_OPTIONS:-}"
password='correct horse battery staple'

built "$fs"
needs bindfs:bindfs fusermount3:fuse3 mountpoint:util-linux perl:perl-base dd:coreutils
{ : <>/dev/fuse; } 2>/dev/null || fail "cannot open /dev/fuse: run as root, or apt-get install fuse3"

work=$(mktemp -d)
view_mode=(-o writable,passcheck="$work/check")
bindfs_mode=()
((writable)) || { view_mode=(); bindfs_mode=(-r); }
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
		$limit "$fs" -f "${view_mode[@]}" "${view_options[@]}" "$src" \
		    "$m" <<<"$password" &
	else
		$limit bindfs -f "${bindfs_mode[@]}" "$src" "$m" &
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

# With COLD=1, the next read of the source's big file is the disk's.
evict() { if ((cold)); then dd if="$src/big" iflag=nocache count=0 status=none; fi; }

# The whole of a file, by $readers readers at once, each its own slice.
read_all() {
	local i slice=$(((size_mib + readers - 1) / readers)) readers_=()
	if ((readers == 1)); then cat "$1"; return; fi
	for ((i = 0; i < readers; i++)); do
		dd if="$1" bs=1M skip=$((i * slice)) count=$slice status=none &
		readers_+=($!)
	done
	for i in "${readers_[@]}"; do wait "$i" || return 1; done
}

# Written to /dev/fuse, bytes and writes, so far: the daemon answers each read
# request with one write, so over a big read the quotient is the size of the
# requests the kernel sent.
replies() { awk '/^wchar:/ { b = $2 } /^syscw:/ { n = $2 } END { printf "%d %d\n", b, n }' "/proc/$1/io"; }

# The daemon's CPU time in ms and its threads' context switches so far (libfuse
# ends no idle thread unless told to, so none are lost with their thread).
busy() {
	awk -v hz="$(getconf CLK_TCK)" '{ printf "%d ", ($14 + $15) * 1000 / hz }' "/proc/$1/stat"
	cat "/proc/$1"/task/*/status | awk '/ctxt_switches:/ { n += $2 } END { print n }'
}

# What a daemon holds now: descriptors and resident memory.
holding() {
	echo "$(find "/proc/$1/fd" -mindepth 1 | wc -l) descriptors, $(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status") KiB"
}

# Milliseconds, to a tenth, that the rest of the line takes.
took() {
	local start=${EPOCHREALTIME/./}
	"$@" >/dev/null || exit 1
	awk -v u=$((${EPOCHREALTIME/./} - start)) 'BEGIN { printf "%.1f", u / 1000 }'
}
# As much as the big file, from the page cache, each byte on its way to the
# disk before the clock stops.
write_big() { dd if="$src/big" of="$1" bs=1M conv=fsync status=none; }
free_blocks() { stat -f -c %f "$src"; }
# Removes what write_big wrote, and waits (10 s at most) until the source
# has that room back within 1024 blocks: a view still holding the deleted
# file for a moment frees it after rm returns, and the freeing of a
# gigabyte is no part of the next step's work.
removed() { # removed FILE FREE: FREE, the source's free blocks before
	rm "$1"
	local i
	for ((i = 0; i < 200; i++)); do
		(($(free_blocks) + 1024 >= $2)) && return
		sleep 0.05
	done
}

# 3000 writes of 4 KiB on one descriptor, as random_reads places them, and
# then to the disk.
random_writes() {
	perl -e 'use IO::Handle; my ($seed, $blocks, $file) = @ARGV; srand($seed);
		open(my $f, "+<", $file) or die "$file: $!\n"; my $b = "x" x 4096;
		for (1 .. 3000) { sysseek($f, int(rand($blocks)) * 4096, 0) or die;
			syswrite($f, $b, 4096) == 4096 or die "$file: short write\n" }
		$f->sync or die "$file: $!\n"' "$1" $((size_mib << 8)) "$2"
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
declare -A t=() rss=([view]=0 [bindfs]=0) requests=() holds=()
measure() { # measure view|bindfs ROUND
	local m=$work/$1 pid before after busy0 busy1 free
	mount_fs "$1"
	before=$(replies "$pid")
	busy0=$(busy "$pid")
	evict
	t[$1 first]+="$(took read_all "$m/big") "
	busy1=$(busy "$pid")
	after=$(replies "$pid")
	t[$1 cpu]+="$((${busy1% *} - ${busy0% *})) "
	t[$1 switches]+="$((${busy1#* } - ${busy0#* })) "
	requests[$1]=$(awk -v b="$before" -v a="$after" -v ra="$(cat "/sys/class/bdi/$(mountpoint -d "$m")/read_ahead_kb")" 'BEGIN {
		split(b, x, " "); split(a, y, " ")
		printf "%.0f KiB on average over %d answers (read-ahead %d KiB)", (y[1] - x[1]) / 1024 / (y[2] - x[2]), y[2] - x[2], ra }')
	t[$1 again]+="$(took cat "$m/big") "
	t[$1 random]+="$(took random_reads "$2" "$m/other") "
	t[$1 ls]+="$(took ls -lR "$m/tree") "
	if ((writable)); then
		free=$(free_blocks)
		t[$1 write]+="$(took write_big "$m/written") "
		removed "$m/written" "$free"
		t[$1 rwrite]+="$(took random_writes "$2" "$m/other") "
	fi
	if (($2 == rounds)); then
		holds[$1]="$(holding "$pid")"
		if [ -w /proc/sys/vm/drop_caches ]; then
			echo 2 >/proc/sys/vm/drop_caches
			sleep 1
			holds[$1]+="; once the kernel forgot the tree, $(holding "$pid")"
		fi
	fi
	local hwm
	hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
	((hwm > rss[$1])) && rss[$1]=$hwm
	unmount_fs "$1" "$pid"
}

echo "encrypt_video_fs$( ((writable)) && echo ", writable,") against bindfs and the source itself: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "input: $size_mib MiB of random bytes and $files files in 100 folders, on $(stat -f -c %T "$work") ($work), in the page cache"
echo "medians of $rounds rounds, each on fresh mounts, the order reversed round by round; first read by $readers reader(s)$( ((cold)) && echo ", from the disk")${VIEW_OPTIONS:+; view options: $VIEW_OPTIONS}"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 0; r < rounds; r++)); do
	order=(0 1 2)
	((r % 2 == 0)) || order=(2 1 0)
	for j in "${order[@]}"; do
		case $j in
		0)
			evict
			t[source first]+="$(took read_all "$src/big") "
			t[source again]+="$(took cat "$src/big") "
			t[source random]+="$(took random_reads $((r + 1)) "$src/other") "
			t[source ls]+="$(took ls -lR "$src/tree") "
			if ((writable)); then
				free=$(free_blocks)
				t[source write]+="$(took write_big "$src/written") "
				removed "$src/written" "$free"
				t[source rwrite]+="$(took random_writes $((r + 1)) "$src/other") "
			fi
			;;
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
format='%-30s %9s %9s %9s %12s %12s %12s\n'
# shellcheck disable=SC2059 # the format is the one above
printf "$format" "median ms" source view bindfs view/source view/bindfs bindfs/source
row() { # row LABEL FIGURE
	# shellcheck disable=SC2059
	printf "$format" "$1" "${m[source $2]}" "${m[view $2]}" "${m[bindfs $2]}" \
	    "$(ratio "view $2" "source $2")" "$(ratio "view $2" "bindfs $2")" "$(ratio "bindfs $2" "source $2")"
}
row "first read, $size_mib MiB" first
row "read again" again
row "3000 random 4 KiB reads" random
row "ls -lR of $files files" ls
if ((writable)); then
	row "write $size_mib MiB" write
	row "3000 random 4 KiB writes" rwrite
fi
echo "(the source: the same work on the folder itself, whose files are in the page cache$( ((cold)) && echo " but for each first read"))"
echo "daemon during the first read, medians: view ${m[view cpu]} ms CPU and ${m[view switches]} context switches; bindfs ${m[bindfs cpu]} ms and ${m[bindfs switches]}"
echo
echo "answers to the kernel during the last first read: view ${requests[view]}; bindfs ${requests[bindfs]}"
echo "peak RSS of the daemon, KiB, highest of the rounds: view ${rss[view]}, bindfs ${rss[bindfs]}"
echo "after the last ls -lR${LIMIT:+, at a limit of $LIMIT open files}: view ${holds[view]}"
echo "    bindfs ${holds[bindfs]}"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
missed=0
check() { # check WHAT OK
	if [ "$2" = yes ]; then echo "  met:    $1"; else echo "  MISSED: $1"; missed=$((missed + 1)); fi
}
check "view first read <= 3 x the source" "$(within "view first" "source first" 3 && echo yes)"
check "view first read <= 0.85 x bindfs's" "$(within "view first" "bindfs first" 0.85 && echo yes)"
check "view read again <= 1.3 x the source" "$(within "view again" "source again" 1.3 && echo yes)"
check "view random reads <= bindfs's" "$(within "view random" "bindfs random" 1 && echo yes)"
check "view ls -lR <= 1.2 x bindfs's" "$(within "view ls" "bindfs ls" 1.2 && echo yes)"
if ((writable)); then
	check "view write <= 1.2 x bindfs's" "$(within "view write" "bindfs write" 1.2 && echo yes)"
	check "view random writes <= bindfs's" "$(within "view rwrite" "bindfs rwrite" 1 && echo yes)"
fi
check "view peak RSS <= 16384 KiB" "$( ((rss[view] <= 16384)) && echo yes)"

echo
if [ $missed = 0 ]; then
	echo "all targets met"
else
	echo "$missed target(s) missed"
	exit 1
fi
