#!/usr/bin/env bash
# Real video that ffmpeg makes here, scrambled and restored: H.264 in MP4,
# Matroska and MPEG-TS must decode to the same frames, and every 00 00 01
# (in MPEG-TS, the H.264 start codes) must keep its offset.  Then, where a
# view can be mounted, a backup by the view's page's script as cron runs
# it, the failures users meet with it, each of which must leave the backup
# as it was, nothing mounted, and the user told; and copies made through
# the view by rsync, tar and cp, restored through a view of each, which
# must give the originals byte for byte.
#
#   tests/video_test.sh [TOOL [VIEW]]
# shellcheck source-path=SCRIPTDIR source=sandbox.sh
. "$(dirname "$0")/sandbox.sh"

start_codes() { LC_ALL=C grep -obUaP '\x00\x00\x01' "$1" | cut -d: -f1 || true; }
fresh
for video in movie.mp4 movie.mkv movie.ts; do
	current=$video
	encrypt_video "$media/$video" "$pw" >scrambled
	! cmp -s "$media/$video" scrambled || bad "nothing changed"
	codes=$(start_codes "$media/$video")
	[[ -n $codes || $video != *.ts ]] || bad "no start codes to check"
	[ "$codes" = "$(head -c "$(stat -c %s "$media/$video")" scrambled | start_codes /dev/stdin)" ] ||
	    bad "a 00 00 01 moved, appeared or vanished"
	# Restored with the zero fill of the last block, as a user would.
	encrypt_video scrambled "$pw" >restored
	[ "$(frames "$media/$video")" = "$(frames restored)" ] ||
	    bad "restored, it decodes to other frames"
	echo "$video: its $(wc -w <<<"$codes") 00 00 01 kept in place; restored, the same $(frames "$media/$video" | wc -l) frames"
done
[ "$fuse" = yes ] || finish

# The backup as the page prints it, made once as cron runs it; each
# failure below then meets it.
current="the page's backup script"
films "$HOME/films"
mkdir -p "$HOME/bin"
page_example "encrypt_video_fs.1: # Back up ~/films scrambled; stop at the first step that fails." >"$backup_script"
chmod +x "$backup_script"
echo "$pw" >"$HOME/.films.pass"
cron "$backup_script" >out 2>err || fail "the first backup failed, and no failure can be met: $(tail -3 err)"

# ---- the failures users meet: each must fail, say why, leave the backup
# as it was and nothing mounted.  The view killed before the server's
# rescan, and the server restarted over it, are the drop-in example's
# guard; a run whose input ended early, resumed, is the resume example's.
kept() { # kept: the run failed, told, and left all as it was
	((status != 0)) || bad "exited 0"
	told
	[ "$(snapshot "$work/nas")" = "$before" ] ||
	    bad "the backup changed: $(diff <(echo "$before") <(snapshot "$work/nas") | head -4 | tr '\n' ' ' || true)"
	backup_left
	echo "  $current: exit $status, said: $(head -1 err)"
}
backs_up() { status=0 && cron "$@" >out 2>err || status=$?; }
said() { grep -qF -- "$1" err || bad "did not say '$1': $(cat err)"; }
echo "-- the failures users meet"
before=$(snapshot "$work/nas")
mkdir -p "$work/mnt/alone"
current="the passfile missing, the view alone"
status=0 && encrypt_video_fs "$HOME/films" "$work/mnt/alone" -o passfile="$work/etc/none" 2>err || status=$?
if ((status == 0)) || ! grep -qF "$work/etc/none" err; then bad "exited $status, and said: $(cat err)"; fi
unmounted "$work/mnt/alone"
echo "  $current: exit $status, said: $(head -1 err)"

current="the passfile missing, the backup script"
mv "$HOME/.films.pass" "$HOME/.films.pass.away"
backs_up "$backup_script" && kept
mv "$HOME/.films.pass.away" "$HOME/.films.pass"

current="a wrong password, the backup script"
echo 'my passwort' >"$HOME/.films.pass"
backs_up "$backup_script" && kept && said "not the one"

current="the check file lost, and another password"
rm "$HOME/.films.check"
backs_up "$backup_script" && kept && said "not the one"
echo "$pw" >"$HOME/.films.pass"

current="the films disk not mounted: ~/films empty"
mv "$HOME/films" "$HOME/films.disk" && mkdir "$HOME/films"
backs_up "$backup_script" && kept && said "is empty"
rmdir "$HOME/films" && mv "$HOME/films.disk" "$HOME/films"

# rsync slowed down, so that the kill lands while it copies the one
# new file; what it had, it keeps.  The file is long enough that a kill
# seconds late, on a loaded machine, still comes before the end of it.
current="the view killed mid-backup"
head -c $((24 << 20)) /dev/urandom >"$HOME/films/zz big.mkv"
sed 's/^rsync -a --delete /&--bwlimit=2m /' "$backup_script" >slow-backup && chmod +x slow-backup
grep -q bwlimit slow-backup || bad "no rsync --delete line to slow down"
# (In || the failure is no error of this test's.)
{ cron ./slow-backup || exit; } >out 2>err &
for _ in $(seq 100); do
	compgen -G "$work/nas/films.scrambled/.zz big.mkv.*" >/dev/null && break
	sleep 0.1
done
compgen -G "$work/nas/films.scrambled/.zz big.mkv.*" >/dev/null || bad "rsync never started on the new file"
for pid in $(views); do kill -9 "$pid"; done
status=0 && wait $! || status=$?
kept

# A shell standing in the view as the slowed run ends: that run says
# so, and the next one, on a mount point of its own, is not held up.
current="a shell standing in the view's mount point"
head -c $((6 << 20)) /dev/urandom >"$HOME/films/zz big.mkv"
{ cron ./slow-backup || exit; } >out 2>err &
running=$!
for _ in $(seq 100); do
	busy=$(mounted | grep "^$work/mnt/tmp\." || true)
	[ -z "$busy" ] || break
	sleep 0.1
done
[ -n "$busy" ] || bad "the slowed run mounted no view"
(cd "$busy" && exec sleep 60) &
sleeper=$!
status=0 && wait "$running" || status=$?
((status != 0)) || bad "exited 0 with its view left mounted"
said "$busy is left mounted"
echo "  $current: exit $status, said: $(tail -1 err)"
rm "$HOME/films/zz big.mkv"
backs_up "$backup_script"
((status == 0)) || bad "the next run, the view still busy: exited $status: $(cat err)"
scrambled_as "$pw" "$HOME/films" "$work/nas/films.scrambled"
kill "$sleeper"; wait "$sleeper" || true
fusermount3 -u "$busy" && rmdir "$busy"
backup_left

# ---- restored through a view of copies made through the view: rsync -a,
# tar and cp -a of originals of every awkward size give them back byte for
# byte, sizes included, through one view of each copy.
echo "-- restored from rsync -a, tar and cp -a copies made through the view"
current="restore"
originals=$work/originals
films "$originals"
: >"$originals/empty"
printf x >"$originals/one byte"
head -c 8192 /dev/urandom >"$originals/more/one block"
head -c 8193 /dev/urandom >"$originals/more/a block and a byte"
(cd "$originals" && find . -type f -print0 | sort -z | xargs -0 sha256sum) >"$work/originals.sha256"
mkdir -p "$work/mnt/out" "$work/mnt/back" "$work/copies"
view "$originals" "$work/mnt/out"
rsync -a "$work/mnt/out/" "$work/copies/rsync/"
mkdir "$work/copies/tar" && tar -C "$work/mnt/out" -cf - . | tar -C "$work/copies/tar" -xf -
cp -a "$work/mnt/out" "$work/copies/cp"
fusermount3 -u "$work/mnt/out"
for copy in rsync tar cp; do
	view "$work/copies/$copy" "$work/mnt/back"
	if ! (cd "$work/mnt/back" && sha256sum --quiet --strict -c "$work/originals.sha256") >"$work/restore.log" 2>&1; then
		current="restored from the $copy copy"
		bad "differs from the originals: $(head -3 "$work/restore.log" | tr '\n' ' ')"
	fi
	fusermount3 -u "$work/mnt/back"
done
current="restore"
unmounted "$work/mnt/back"
finish
