#!/usr/bin/env bash
# What real protection costs beside scrambling, on one generated clip: the
# tool, ffmpeg's Common Encryption remux (the MP4 keeps its structure and
# plays for whoever has the key), and, where installed, gpg and age over the
# whole file.  Also checks that the CENC file decodes to the original frames
# with the key and to none without it.
#
#   bench/protection.sh         after: cmake -S . -B build && cmake --build build
#   ROUNDS=7 SECONDS_OF_VIDEO=20 ENCRYPT_VIDEO=/path/to/encrypt_video bench/protection.sh
. "$(dirname "$0")/lib.sh"
tool=${ENCRYPT_VIDEO:-$root/build/encrypt_video}
rounds=${ROUNDS:-5}
length=${SECONDS_OF_VIDEO:-20}
key=000102030405060708090a0b0c0d0e0f
kid=a0a1a2a3a4a5a6a7a8a9aaabacadaeaf
needs ffmpeg:ffmpeg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export GNUPGHOME=$work/gnupg
mkdir -m 700 gnupg

ffmpeg -v error -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=$length" \
    -c:v libx264 -preset ultrafast -b:v 24M -pix_fmt yuv420p clip.mp4
echo "clip: ${length} s of 1080p H.264 in MP4, $(($(stat -c %s clip.mp4) >> 20)) MiB; medians of $rounds alternating rounds"

names=(encrypt_video "ffmpeg CENC remux")
run() {
	case $1 in
	0) "$tool" clip.mp4 'my password' >out ;;
	1) ffmpeg -v error -y -i clip.mp4 -c copy -encryption_scheme cenc-aes-ctr \
	    -encryption_key $key -encryption_kid $kid cenc.mp4 ;;
	2) gpg --batch --yes --pinentry-mode loopback --passphrase 'my password' \
	    --symmetric -o out clip.mp4 2>/dev/null ;;
	3) age -r "$(age-keygen 2>/dev/null | sed -n 's/^# public key: //p')" -o out clip.mp4 ;;
	esac
}
count=2
if command -v gpg >/dev/null; then names[2]="gpg --symmetric"; count=3; fi
if command -v age >/dev/null && [ $count = 3 ]; then names[3]="age"; count=4; fi

times=()
for ((r = 0; r < rounds; r++)); do
	for ((j = 0; j < count; j++)); do
		i=$(((j + r) % count))
		start=${EPOCHREALTIME/./}
		run "$i"
		times[i]+="$(((${EPOCHREALTIME/./} - start) / 1000)) "
	done
done
printf '%-20s %10s %12s\n' command "median ms" "/ encrypt_video"
base=$(median <<<"${times[0]}")
for ((i = 0; i < count; i++)); do
	m=$(median <<<"${times[i]}")
	printf '%-20s %10s %12s\n' "${names[i]}" "$m" "$(awk -v a="$m" -v b="$base" 'BEGIN { printf "%.1f", a / b }')"
done

md5s() { ffmpeg -v quiet "$@" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{ print $NF }'; }
md5s -i clip.mp4 >original
md5s -decryption_key $key -i cenc.mp4 >with_key
md5s -i cenc.mp4 >without_key || true  # ffmpeg fails on what it cannot decode
cmp -s original with_key || { echo "protection.sh: CENC with the key gives other frames" >&2; exit 1; }
echo "CENC with the key: the same $(wc -l <original) frames as the original"
echo "CENC without the key: $(paste -d' ' original without_key | awk '$1 == $2' | wc -l) of $(wc -l <original) frames are the original's ($(sort -u without_key | wc -l) distinct images come out)"
