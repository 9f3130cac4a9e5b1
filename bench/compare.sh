#!/usr/bin/env bash
# Times encrypt_video beside cat and openssl on the same input, alternating
# the commands round by round so that a noisy machine slows them alike, and
# prints medians and ratios.
#
#   bench/compare.sh            after: cmake -S . -B build && cmake --build build
#   ROUNDS=11 SIZE_MIB=256 ENCRYPT_VIDEO=/path/to/encrypt_video bench/compare.sh
. "$(dirname "$0")/lib.sh"

tool=${ENCRYPT_VIDEO:-$root/build/encrypt_video}
micro=${TRANSFORM_BENCH:-$root/build/bench/transform_bench}
rounds=${ROUNDS:-7}
size_mib=${SIZE_MIB:-1024}
typical='correct horse battery staple' # key 63: 5 candidates a block
worst='aj'                             # key 1: 256 candidates a block
aes=(openssl enc -aes-128-ctr -K 000102030405060708090a0b0c0d0e0f
    -iv 0f0e0d0c0b0a09080706050403020100)

built "$tool"
needs openssl:openssl /usr/bin/time:time

work=$(mktemp -d)
shm=$(mktemp -d /dev/shm/encrypt_video_bench.XXXXXX)
trap 'rm -rf "$work" "$shm"' EXIT
input=$work/input
head -c $((size_mib << 20)) /dev/urandom >"$input"
head -c $((1 << 20)) "$input" >"$work/1mib"
printf x >"$work/1byte"

names=(cat "encrypt_video" "encrypt_video, key 1" "openssl aes-128-ctr")
run() {
	case $1 in
	0) cat "$2" ;;
	1) "$tool" "$2" "$typical" ;;
	2) "$tool" "$2" "$worst" ;;
	3) "${aes[@]}" -in "$2" ;;
	esac
}

# Microseconds that run $1 on $2 takes with standard output to $3, $4 times
# over.  The output is opened without truncation: allocating fresh tmpfs pages
# swings by 2x from run to run on a virtual machine, whoever writes them, while
# overwriting the pages the last command left measures the writer itself.
elapsed_us() {
	local start end i
	start=${EPOCHREALTIME/./}
	for ((i = 0; i < $4; i++)); do run "$1" "$2" 1<>"$3"; done
	end=${EPOCHREALTIME/./}
	echo $(((end - start) / $4))
}


# ratio A B prints A/B to two places; within N: A/B at most N.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
within() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { exit !(a / b <= n) }'; }

missed=()
check() { # check WHAT OK
	if [ "$2" = yes ]; then printf '  met:    %s\n' "$1"; else printf '  MISSED: %s\n' "$1"; missed+=("$1"); fi
}

echo "encrypt_video against cat and openssl: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
echo "input: $size_mib MiB of random bytes, in the page cache; medians of $rounds alternating rounds"

for sink in /dev/null tmpfs; do
	times=("" "" "" "")
	out=/dev/null
	if [ "$sink" = tmpfs ]; then
		out=$shm/out
		cat "$input" >"$out"
	fi
	for ((r = 0; r < rounds; r++)); do
		# Each round starts with another command, so none is always first.
		for j in 0 1 2 3; do
			i=$(((j + r) % 4))
			times[i]+="$(elapsed_us "$i" "$input" "$out" 1) "
		done
	done
	echo
	printf '%-22s %10s %9s   (to %s)\n' command "median ms" "/ cat" "$sink"
	medians=()
	for i in 0 1 2 3; do
		medians[i]=$(median <<<"${times[i]}")
		printf '%-22s %10.1f %9s\n' "${names[i]}" "$(awk -v u="${medians[i]}" 'BEGIN { print u / 1000 }')" \
		    "$(ratio "${medians[i]}" "${medians[0]}")"
	done
	check "to $sink, encrypt_video / cat <= 1.05" "$(within "${medians[1]}" "${medians[0]}" 1.05 && echo yes)"
	check "to $sink, encrypt_video, key 1 faster than openssl" "$(within "${medians[2]}" "${medians[3]}" 0.999 && echo yes)"
done

echo
printf '%-22s %10s %9s   (1-byte file, 200 runs a round)\n' command "median us" "/ cat"
start_cat="" start_tool=""
for ((r = 0; r < rounds; r++)); do
	start_cat+="$(elapsed_us 0 "$work/1byte" /dev/null 200) "
	start_tool+="$(elapsed_us 1 "$work/1byte" /dev/null 200) "
done
cat_us=$(median <<<"$start_cat")
tool_us=$(median <<<"$start_tool")
printf '%-22s %10s %9s\n' cat "$cat_us" 1.00 "encrypt_video" "$tool_us" "$(ratio "$tool_us" "$cat_us")"
check "start-up, encrypt_video / cat <= 1.3" "$(within "$tool_us" "$cat_us" 1.3 && echo yes)"

echo
printf '%-22s %10s %10s\n' "peak RSS, KiB" "1 MiB in" "$size_mib MiB in"
# Median of the peaks over the rounds: one run's peak wanders by some 100 KiB
# with how much of libc the kernel happens to map in around each fault.
peak() {
	local r all=""
	for ((r = 0; r < rounds; r++)); do
		all+="$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1) "
	done
	median <<<"$all"
}
cat_small=$(peak cat "$work/1mib")
cat_big=$(peak cat "$input")
tool_small=$(peak "$tool" "$work/1mib" "$typical")
tool_big=$(peak "$tool" "$input" "$typical")
printf '%-22s %10s %10s\n' cat "$cat_small" "$cat_big" "encrypt_video" "$tool_small" "$tool_big"
growth=$((tool_big - tool_small))
check "peak RSS <= 4096 KiB and the same within 128 KiB (grew $growth KiB)" \
    "$( ((tool_big <= 4096 && tool_small <= 4096 && ${growth#-} <= 128)) && echo yes)"

if [ -x "$micro" ]; then
	echo
	echo "block transform alone, in the cache (Google Benchmark):"
	"$micro" --benchmark_min_time=0.2 2>/dev/null | sed -n '/^scramble/p'
fi

echo
if [ ${#missed[@]} -eq 0 ]; then
	echo "all targets met"
else
	echo "${#missed[@]} target(s) missed"
	exit 1
fi
