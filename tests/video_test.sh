#!/usr/bin/env bash
# The tool on real video that ffmpeg makes here: H.264 in MP4, Matroska and
# MPEG-TS, scrambled and restored, must decode to the same frames, and every
# 00 00 01 (in MPEG-TS, the H.264 start codes) must keep its offset.  Then
# every example of the manual pages is run as they print it, and its result
# checked; the view's examples mount one where /dev/fuse can be opened.
#
#   tests/video_test.sh TOOL VIEW   exits 77 (skipped) without ffmpeg, pv or parallel
#   ENCRYPT_VIDEO=/usr/bin/encrypt_video ENCRYPT_VIDEO_FS=/usr/bin/encrypt_video_fs tests/video_test.sh TOOL VIEW
set -euo pipefail
tool=$(realpath "${ENCRYPT_VIDEO:-$1}")
view=${ENCRYPT_VIDEO_FS:-${2:-}}
root=$(cd "$(dirname "$0")/.." && pwd)
for need in ffmpeg ffprobe ffplay pv parallel groff; do
	command -v "$need" >/dev/null || {
		echo "video_test: skipped: no $need (apt-get install ffmpeg pv parallel groff-base rsync mandoc)"
		exit 77
	}
done
fail() { echo "video_test: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir bin
ln -s "$tool" bin/encrypt_video
[ -z "$view" ] || ln -s "$(realpath "$view")" bin/encrypt_video_fs
export PATH="$work/bin:$PATH"
# ffplay with no screen and no sound card.
export SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy

frames() { ffmpeg -v error -i "$1" -map 0:v -f framemd5 -; }
start_codes() { LC_ALL=C grep -obUaP '\x00\x00\x01' "$1" | cut -d: -f1; }

ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 \
    -c:v libx264 -pix_fmt yuv420p -g 10 movie.mp4
ffmpeg -v error -i movie.mp4 -c copy movie.mkv
ffmpeg -v error -i movie.mp4 -c copy movie.ts
for video in movie.mp4 movie.mkv movie.ts; do
	encrypt_video "$video" 'my password' >"$video.scrambled"
	cmp -s "$video" "$video.scrambled" && fail "$video: nothing changed"
	head -c "$(stat -c %s "$video")" "$video.scrambled" >"$video.cut"
	codes=$(start_codes "$video")
	[ -n "$codes" ] && [ "$codes" = "$(start_codes "$video.cut")" ] ||
	    fail "$video: a 00 00 01 moved, appeared or vanished"
	# Restored with the zero fill of the last block, as a user would.
	encrypt_video "$video.scrambled" 'my password' >"$video.restored"
	[ "$(frames "$video")" = "$(frames "$video.restored")" ] ||
	    fail "$video: restored, it decodes to other frames"
	echo "$video: every one of its $(wc -l <<<"$codes") 00 00 01 kept in place; restored, the same $(frames "$video" | grep -vc '^#') frames"
done
rm movie.mkv* movie.ts* movie.mp4.*

# Each block is run as a manual page prints it, where a line that ends in a
# backslash goes on with the next.
joined() { sed -e ':a' -e '/\\$/{N;s/\\\n *//;ba' -e '}'; }
manual=$(for page in "$root"/man/*.1; do groff -man -Tascii -P-cbou "$page"; done | joined)
documented() { # documented BLOCK, the lines it runs
	local line
	while IFS= read -r line; do
		grep -qF -- "$line" <<<"$manual" || fail "not in a manual page as run: $line"
	done <<<"$1"
}
execute() { bash -euo pipefail -c "$1" >run.log 2>&1 || { cat run.log; fail "failed: $1"; }; }
run() { documented "$1" && execute "$1"; }
# ffplay plays on, and exits 0, through errors it only prints.
played() { ! grep -i 'invalid\|partial\|error' run.log || fail "ffplay failed"; }

size=$(stat -c %s movie.mp4)
run "size=\$(stat -c %s movie.mp4) &&
encrypt_video movie.mp4 'my password' > movie.scrambled &&
encrypt_video movie.scrambled 'my password' | head -c \"\$size\" > movie.restored.mp4"
cmp movie.mp4 movie.restored.mp4
echo "restored to its exact length"

cp movie.mp4 original.mp4
run "encrypt_video movie.mp4 'my password' > movie.scrambled
encrypt_video movie.scrambled 'my password' | head -c \"\$(stat -c %s movie.mp4)\" | cmp - movie.mp4 &&
    encrypt_video movie.scrambled 'my password' | sha256sum > movie.sha256 && rm movie.mp4"
[ ! -e movie.mp4 ] || fail "a right round trip left the original in place"
mv original.mp4 movie.mp4
check="encrypt_video movie.scrambled 'my password' | sha256sum | cmp - movie.sha256 && echo right password"
run "$check"
grep -qx 'right password' run.log || fail "the right password failed the check"
! bash -c "${check/my password/my passwort}" >/dev/null 2>&1 || fail "a wrong password passed the check"
echo "replaced after a checked round trip; the noted checksum tells the right password from a wrong one"

# An MP4 with its index at the end, as cameras and ffmpeg write it, cannot
# be read from a pipe; with its index first, it can.
encrypt_video movie.scrambled 'my password' | ffmpeg -v quiet -i - -f null - &&
    fail "an MP4 with its index at the end played from a pipe; the manual page says it does not"
ffmpeg -v error -i movie.mp4 -c copy -movflags +faststart movie-faststart.mp4
encrypt_video movie-faststart.mp4 'my password' >movie.scrambled
run "encrypt_video movie.scrambled 'my password' | ffplay -autoexit -"
played
[ "$(frames movie-faststart.mp4)" = "$(encrypt_video movie.scrambled 'my password' | frames -)" ] ||
    fail "the faststart MP4 decodes from a pipe to other frames"
echo "an MP4 with its index first plays from a pipe"

# The view's examples, in a home of their own; the password comes as the
# first line of standard input where the manual page's reader types it.
skipped=
if [ -z "$view" ]; then
	skipped="no encrypt_video_fs to check"
elif ! { : <>/dev/fuse; } 2>/dev/null; then
	skipped="cannot open /dev/fuse to mount a view"
elif ! command -v fusermount3 >/dev/null; then
	skipped="cannot unmount a view: no fusermount3 (install fuse3)"
else
	export HOME=$work/home
	mkdir -p "$HOME/films.scrambled" "$work/backup" "$work/nas" "$work/mnt"
	trap 'for m in "$HOME/films" "$work/backup" "$work"/mnt/*; do fusermount3 -u -z "$m" 2>/dev/null || true; done; rm -rf "$work"' EXIT
	encrypt_video movie.mp4 'my password' >"$HOME/films.scrambled/holiday.mp4"
	block="mkdir -p ~/films
encrypt_video_fs ~/films.scrambled ~/films && ffplay -autoexit ~/films/holiday.mp4"
	documented "$block"
	execute "$block" <<<'my password'
	played
	seek() { ffmpeg -v error -ss 1.2 -i "$1" -map 0:v -frames:v 10 -f framemd5 -; }
	[ "$(seek movie.mp4)" = "$(seek "$HOME/films/holiday.mp4")" ] ||
	    fail "seeking in the MP4 through the view gives other frames than in the original"
	run "fusermount3 -u ~/films"
	echo "an MP4 with its index at the end plays and seeks through the view"

	if command -v rsync >/dev/null; then
		cp movie.mp4 "$HOME/films/holiday.mp4"
		echo 'my password' >"$HOME/.films.pass"
		block=$(cat <<'EOF'
set -eu
PATH=/usr/local/bin:/usr/bin:/bin
check=$HOME/.films.check
rsync -a --ignore-missing-args nas:films.check "$check"
view=$(mktemp -d)
trap 'rmdir "$view"' EXIT
trap 'exit 1' HUP INT TERM
encrypt_video_fs ~/films "$view" -o passcheck="$check" < ~/.films.pass
trap 'fusermount3 -u "$view" && rmdir "$view" ||
    { echo "$view is left mounted: fusermount3 -u $view once nothing is in it" >&2; exit 1; }' EXIT
rsync -a --ignore-existing "$check" nas:films.check
rsync -a --delete "$view/" nas:films.scrambled/
EOF
)
		documented "$block"
		# The view's own, not one installed; mount points in a folder
		# that must end empty.
		block=${block//PATH=\/usr\/local\/bin:/PATH=$work\/bin:}
		block=${block//nas:/$work/nas/}
		export TMPDIR=$work/mnt
		execute "$block"
		[ -z "$(ls -A "$work/mnt")" ] || fail "the backup left its mount point"
		# Read back through a view of the backup: the original, size and all.
		encrypt_video_fs "$work/nas/films.scrambled" "$work/backup" <<<'my password'
		cmp movie.mp4 "$work/backup/holiday.mp4"
		fusermount3 -u "$work/backup"
		# Nightly, with a mistyped password, then none: told, and
		# nothing sent or deleted.
		echo 'my passwort' >"$HOME/.films.pass"
		mv "$HOME/films/holiday.mp4" "$HOME/films/renamed.mp4"
		for told in 'not the one' 'films.pass'; do
			! bash -c "$block" 2>run.log && grep -q "$told" run.log &&
			    [ -e "$work/nas/films.scrambled/holiday.mp4" ] && [ -z "$(ls -A "$work/mnt")" ] ||
			    fail "a backup under a wrong password or none: $(cat run.log)"
			rm -f "$HOME/.films.pass"
		done
		echo "backed up scrambled through the view with rsync and read back the same; under a wrong password or none, told and the backup kept"
	else
		skipped="no rsync for the view's backup example (apt-get install rsync)"
	fi
fi

# A longer input, so that a run can be stopped partway.
head -c $((64 << 20)) /dev/urandom >>movie.mp4
encrypt_video movie.mp4 'my password' >whole.scrambled
run "pv movie.mp4 | encrypt_video /dev/stdin 'my password' > movie.scrambled"
cmp movie.scrambled whole.scrambled
echo "with pv: the same bytes"

# Stopped with its output cut, or with its input ended early, which it
# takes for the end: zero-filled and exit 0.
for stopped in "timeout 1 bash -c \"encrypt_video movie.mp4 'my password' | pv -q -L 9999999 > movie.scrambled\" || true" \
    "head -c 199680 movie.mp4 | encrypt_video /dev/stdin 'my password' > movie.scrambled"; do
	rm -f movie.scrambled
	eval "$stopped"
	partial=$(stat -c %s movie.scrambled)
	((partial > 0 && partial < $(stat -c %s whole.scrambled))) ||
	    fail "the stopped run wrote $partial bytes; nothing to resume"
	run "kept=\$(( (\$(stat -c %s movie.scrambled) - 1) / 8192 * 8192 )) &&
truncate -s \"\$kept\" movie.scrambled &&
tail -c +\$((kept + 1)) movie.mp4 | encrypt_video /dev/stdin 'my password' >> movie.scrambled"
	cmp movie.scrambled whole.scrambled
	echo "stopped after $partial bytes (${stopped%% *}) and resumed: the same bytes as a whole run"
done

rm ./*.scrambled
mkdir -p more/deeper
cp movie-faststart.mp4 more/deeper/
run "export PW='my password'
find . -name '*.mp4' -print0 | xargs -0 -P \"\$(nproc)\" -n 1 sh -c 'encrypt_video \"\$1\" \"\$PW\" > \"\$1.scrambled\"' sh"
for video in movie.mp4 movie-faststart.mp4 more/deeper/movie-faststart.mp4; do
	encrypt_video "$video" 'my password' | cmp - "$video.scrambled"
done
echo "every file on all cores"

rm ./*.scrambled
parallel="parallel --env PW -S host1,host2,: --transferfile {} --return {}.scrambled --cleanup 'encrypt_video {} \"\$PW\" > {}.scrambled' ::: *.mp4"
documented "$parallel"
# This machine alone stands in for the others.
PW='my password' bash -euo pipefail -c "export PW; ${parallel/-S host1,host2,:/-S :}" </dev/null 2>run.log ||
    { cat run.log; fail "failed: $parallel"; }
for video in movie.mp4 movie-faststart.mp4; do
	encrypt_video "$video" 'my password' | cmp - "$video.scrambled"
done
echo "every file through GNU parallel"
if [ -n "$skipped" ]; then
	echo "video_test: skipped in part: $skipped"
	exit 77
fi
