#!/usr/bin/env bash
# Measures what a player still shows of a scrambled video, and draws it:
# a 10 s 720p H.264 clip from ffmpeg's own test source, scrambled under
# passwords of several keys, decoded as a player would.  Prints, for each
# key, the bytes changed, the frames that still decode and their PSNR
# against the original, and writes the frame at 5 s of each beside the
# original to docs/strength.png.
#
#   docs/strength.sh            after: cmake -S . -B build && cmake --build build
#   ENCRYPT_VIDEO=/path/to/encrypt_video OUT=/tmp/strength.png docs/strength.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${ENCRYPT_VIDEO:-$root/build/encrypt_video}
out=${OUT:-$root/docs/strength.png}
command -v ffmpeg >/dev/null || { echo "strength.sh: needs ffmpeg" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

ffmpeg -v error -f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 \
    -c:v libx264 -pix_fmt yuv420p clip.mp4
# Frames the decoder hands a player, however damaged.  One decoding thread:
# with several, the concealment of damage varies from run to run.
frames() {
	ffprobe -v quiet -threads 1 -count_frames -select_streams v:0 \
	    -show_entries stream=nb_read_frames -of csv=p=0 "$1" 2>/dev/null | grep -x '[0-9]*' || echo 0
}
psnr() {
	ffmpeg -threads 1 -i clip.mp4 -threads 1 -i "$1" -lavfi '[0:v][1:v]psnr' -f null - 2>&1 |
	    sed -n 's/.*PSNR .*average:\([0-9.]*\).*/\1/p' | awk '{ printf "%.1f", $1 }'
}
# One tile: the frame at 5 s, or a black one where nothing decodes.  A label
# holds no colon, which would end drawtext's options.
tile() { # tile VIDEO LABEL NAME
	ffmpeg -v quiet -threads 1 -i "$1" -vf "select=gte(t\,5),scale=400:225" -frames:v 1 -y "$3.png" || true
	[ -s "$3.png" ] || ffmpeg -v error -f lavfi -i color=black:size=400x225 -frames:v 1 -y "$3.png"
	ffmpeg -v error -i "$3.png" -vf "pad=400:257:0:0:white,drawtext=font=DejaVu Sans:fontsize=15:x=8:y=234:text='$2'" -y "$3.label.png"
}

total=$(frames clip.mp4)
printf '| key (password) | candidates a block | bytes changed | frames that decode | PSNR, dB |\n'
printf '| --- | --- | --- | --- | --- |\n'
tile clip.mp4 "original, $total frames" original
tiles=(original.label.png)
for key_password in 1:aj 8:aq '63:correct horse battery staple' 254:ah; do
	key=${key_password%%:*} password=${key_password#*:}
	"$tool" clip.mp4 "$password" >scrambled.mp4
	changed=$({ cmp -l -n "$(stat -c %s clip.mp4)" clip.mp4 scrambled.mp4 || true; } | wc -l)
	decoded=$(frames scrambled.mp4)
	db=$( [ "$decoded" -gt 0 ] && psnr scrambled.mp4 || echo -)
	printf '| %s (`%s`) | %s | 1 in %s | %s of %s | %s |\n' "$key" "$password" \
	    $(( (8192 + 32 * key - 1) / (32 * key) )) \
	    $(( $(stat -c %s clip.mp4) / changed )) "$decoded" "$total" "$db"
	case $key in
	1 | 63 | 254)
		label="key $key, no frame decodes"
		[ "$db" = - ] || label="key $key, $decoded frames decode, PSNR $db dB"
		tile scrambled.mp4 "$label" "key$key"
		tiles+=("key$key.label.png")
		;;
	esac
done
ffmpeg -v error -i "${tiles[0]}" -i "${tiles[1]}" -i "${tiles[2]}" -i "${tiles[3]}" \
    -filter_complex 'xstack=inputs=4:layout=0_0|w0_0|0_h0|w0_h0' -y strength.png
cp strength.png "$out"
echo "wrote $out ($(stat -c %s "$out") bytes)"
