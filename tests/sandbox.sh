# shellcheck shell=bash
# Sourced by the script tests, whose operands are the programs to test
# (TOOL [VIEW]); ENCRYPT_VIDEO and ENCRYPT_VIDEO_FS name others instead (an
# installed package's), and with neither, those in PATH are tested.  It
# gives them a scratch folder $work with a home, clips that ffmpeg makes,
# the examples of the README and the manual pages as the pages print them,
# and the helpers both tests use.  Whatever is mounted in $work, and every
# view started there, goes with it however the test ends.
#
# Without the programs the examples call, a test skips (77) with one line;
# where no view can be mounted, $fuse says why, the view's parts are left
# out, and finish ends the test as skipped in part.
set -Eeuo pipefail
name=$(basename "$0" .sh)
trap 'echo "$name: failed (status $?): $BASH_COMMAND" >&2' ERR
fail() { echo "$name: $*" >&2; exit 1; }
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
for need in ffmpeg groff rsync pv parallel; do
	command -v "$need" >/dev/null ||
	    { echo "$name: skipped: no $need (apt-get install ffmpeg groff-base rsync pv parallel mandoc)"; exit 77; }
done
(($#)) || set -- "$(command -v encrypt_video || true)" "$(command -v encrypt_video_fs || true)"
tool=${ENCRYPT_VIDEO:-$1}
view=${ENCRYPT_VIDEO_FS:-${2:-}}
[ -x "$tool" ] || fail "no encrypt_video to test: give it as TOOL, in ENCRYPT_VIDEO or in PATH"
pw='my password'

work=$(mktemp -d)
# Views this test started are the encrypt_video_fs processes whose command
# line names $work; nothing else is stopped.
views() {
	local proc
	for proc in /proc/[0-9]*; do
		[ "$(cat "$proc/comm" 2>/dev/null)" = encrypt_video_f ] || continue
		tr '\0' '\n' <"$proc/cmdline" 2>/dev/null | grep -qF "$work/" && echo "${proc#/proc/}"
	done
	return 0
}
mounted() { awk -v w="$work/" 'index($5, w) == 1 { print $5 }' /proc/self/mountinfo; }
cleanup() {
	local mount pid
	mounted | sort -r | while read -r mount; do
		fusermount3 -u -z "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true
	done
	for pid in $(views); do kill -9 "$pid" 2>/dev/null || true; done
	rm -rf --one-file-system "$work"
}
trap cleanup EXIT
# A stop from ctest or a terminal must unmount too, which bash's EXIT trap
# does not see without these.
trap 'exit 1' HUP INT TERM

# The programs under test are the ones every command finds, the pages'
# examples and the backup script under cron's PATH included.
bin=$work/bin
mkdir -p "$bin" "$work/home" "$work/nas" "$work/mnt" "$work/srv" "$work/etc"
ln -s "$(realpath "$tool")" "$bin/encrypt_video"
[ -z "$view" ] || ln -s "$(realpath "$view")" "$bin/encrypt_video_fs"
export PATH=$bin:$PATH HOME=$work/home
fuse=yes
if [ -z "$view" ]; then
	fuse="no encrypt_video_fs to test"
elif ! { : <>/dev/fuse; } 2>/dev/null; then
	fuse="cannot open /dev/fuse to mount a view"
elif ! command -v fusermount3 >/dev/null; then
	fuse="no fusermount3 to unmount a view (install fuse3)"
fi
[ "$fuse" = yes ] || echo "the view's parts are skipped: $fuse"

# A check that fails is told and counted; the test goes on to the next, so
# that one run shows every fault.
current=
bad() { echo "$*" >>"$work/problems"; echo "$name: FAILED: $current: $*" >&2; }
: >"$work/problems"
finish() {
	[ ! -s "$work/problems" ] || fail "$(wc -l <"$work/problems") check(s) failed, each named above"
	[ "$fuse" = yes ] || { echo "$name: skipped in part: $fuse"; exit 77; }
}

# The clips: H.264 in MP4 with its index at the end (as cameras and ffmpeg
# write it), and first; Matroska; MPEG-TS.
media=$work/media
mkdir "$media"
ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25:duration=3 \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 10 "$media/movie.mp4"
ffmpeg -v error -i "$media/movie.mp4" -c copy -movflags +faststart "$media/movie-faststart.mp4"
ffmpeg -v error -i "$media/movie.mp4" -c copy "$media/movie.mkv"
ffmpeg -v error -i "$media/movie.mp4" -c copy "$media/movie.ts"
# ffmpeg and GNU parallel read nothing from a terminal here.
exec </dev/null

frames() { ffmpeg -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#'; }
# A film folder as users name them (a space, an accent).
films() { # films DIR [SCRAMBLED]: the clips in DIR, scrambled under $pw if asked
	mkdir -p "$1/more"
	local from to
	while read -r from to; do
		if [ -n "${2:-}" ]; then encrypt_video "$media/$from" "$pw" >"$1/$to"; else cp "$media/$from" "$1/$to"; fi
	done <<-EOF
	movie.mp4 holiday.mp4
	movie.mkv été à la plage.mkv
	movie.ts new year.ts
	movie-faststart.mp4 more/clip.mp4
	EOF
}
ls_films() { (cd "$1" && find . -type f | sort); }

# Each run: in a folder of its own; the block under bash with -e and
# pipefail, as a careful user's shell; its output in out and err.
fresh() { local dir; dir=$(mktemp -d "$work/run.XXXX"); cd "$dir"; }
example() { bash -eo pipefail -c "$1" >out 2>err; }
ran() { example "$@" || { bad "exited $?: $(tail -3 err)"; return 1; }; }
view() { # view DIR MOUNTPOINT [OPTION...]: mounted under $pw
	echo "$pw" | encrypt_video_fs "$1" "$2" "${@:3}" || bad "could not mount a view of $1"
}
unmounted() { # unmounted MOUNTPOINT: nothing left there, nor its process
	if mountpoint -q "$1" 2>/dev/null || mounted | grep -qxF "$1"; then
		bad "$1 is left mounted"
		fusermount3 -u -z "$1" 2>/dev/null || true
	fi
	sleep 0.1
	! views | grep -q . || bad "a view's process is left: $(views | tr '\n' ' ')"
}
told() { [ -s err ] || bad "nothing said on standard error"; }
# A folder's time is left out: rsync's temporary file changes it.
snapshot() {
	(cd "$1" && find . -type d -printf '%p %M\n' -o -printf '%p %s %M %T@\n' | sort &&
	    find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
}

# The backup script of the view's page, in ~/bin.  Each run is cron's: its
# PATH alone, which lacks the programs under test as it lacks
# /usr/local/bin; the mount points it makes go under $work/mnt.
backup_script=$HOME/bin/films-backup
cron() { env -i PATH=/usr/bin:/bin HOME="$HOME" TMPDIR="$work/mnt" "$@"; }
backup_left() { # no view of the script's left, mounted or not, nor its mount point
	! compgen -G "$work/mnt/tmp.*" >/dev/null || bad "left: $(echo "$work"/mnt/tmp.*)"
	unmounted "$work/mnt"
}
scrambled_as() { # scrambled_as PASSWORD FROM TO: TO holds FROM's files scrambled, fill cut
	local film
	[ "$(ls_films "$2")" = "$(ls_films "$3")" ] || { bad "$3 holds other files: $(ls_films "$3")"; return 0; }
	while IFS= read -r film; do
		encrypt_video "$2/$film" "$1" | head -c "$(stat -c %s "$2/$film")" |
		    cmp - "$3/$film" >/dev/null 2>&1 || bad "$film: the backup is not its scrambled bytes"
	done < <(ls_films "$2")
}

# Each example of the pages, as KEY, NUL, TEXT, NUL.  A key is the page and
# the first line that tells the example from the others, a shebang, an
# export or a section header of a unit being shared by several; cut to 64
# characters.
emit() { # emit PAGE: reads the example's text
	local text line
	text=$(cat)
	line=$(grep -vE '^(#!|export |\[[A-Za-z]+\]$|$)' <<<"$text" | head -1)
	printf '%s: %s\0%s\0' "$1" "${line:0:64}" "$text"
}
examples() {
	local page text
	# The README's sh blocks, and the commands its text gives in backquotes.
	awk '/^```sh$/ { inside = 1; text = ""; next }
	     /^```$/ && inside { inside = 0; printf "%s\036", text; next }
	     inside { text = text (text == "" ? "" : "\n") $0 }' "$root/README.md" | tr '\036' '\0' |
	    while IFS= read -r -d '' text; do emit README.md <<<"$text"; done
	# shellcheck disable=SC2016 # backquotes, as Markdown writes code
	awk '/^```/ { fenced = !fenced; next } !fenced' "$root/README.md" | tr '\n' ' ' | tr -s ' ' |
	    grep -o '`encrypt_video\(_fs\)\? [^`]*`' | tr -d '`' |
	    while IFS= read -r text; do emit README.md <<<"$text"; done
	# The manual pages' .EX blocks as groff prints them (\e, \-, \(aq and
	# the rest rendered), found by a mark at each end; the mark's indent is
	# the block's.  mawk cannot print a NUL, so blocks end in a RS first.
	for page in encrypt_video.1 encrypt_video_fs.1; do
		awk '/^\.EX/ { print; print "\\&@@start@@"; next } /^\.EE/ { print "\\&@@end@@" } { print }' "$root/man/$page" |
		    groff -man -Tutf8 -P-cbou -rLL=300n 2>"$work/groff.log" |
		    awk '/@@start@@$/ { indent = index($0, "@") - 1; inside = 1; text = ""; next }
		         /@@end@@$/ { inside = 0; printf "%s\036", text; next }
		         inside { line = substr($0, indent + 1); sub(/ +$/, "", line)
		                  text = text (text == "" ? "" : "\n") line }' | tr '\036' '\0' |
		    while IFS= read -r -d '' text; do emit "$page" <<<"$text"; done
		[ ! -s "$work/groff.log" ] || fail "groff on $page: $(cat "$work/groff.log")"
	done
}
# What puts an example on one machine: a remote host becomes a folder, a
# player becomes ffmpeg decoding to nothing, /srv and /etc scratch folders.
substitutions() {
	cat <<EOF
s|ffplay \(-autoexit \)\?\([^ ]\+\)|ffmpeg -v error -i \2 -f null -|g
s|-S host1,host2,:|-S :|
s|^ssh nas '\(.*\)'$|(cd $work/nas \&\& \1)|
s| nas:| $work/nas/|g
s|ssh://nas/|$work/nas/|g
s|^PATH=/usr/local/bin:|PATH=$bin:|
s|/srv/|$work/srv/|g
s|/etc/films\.|$work/etc/films.|g
EOF
}
on_this_machine() { sed -f <(substitutions); }
page_example() { # page_example KEY: that example, on this machine
	local key text found=
	while IFS= read -r -d '' key && IFS= read -r -d '' text; do
		[ "$key" != "$1" ] || found=$text
	done < <(examples)
	[ -n "$found" ] || fail "no example of the pages is known as: $1"
	on_this_machine <<<"$found"
}
