#!/usr/bin/env bash
# Real clients on a writable view, each result checked byte for byte: what
# the client sees through the view, and what DIR holds, which must be the
# tool's output for the bytes written, cut to their size.  Into a view of a
# scrambled library, originals: rsync -aHAX backs up, again with nothing to
# copy, then in place after changes; git clones, commits and repacks;
# SQLite commits in WAL beside a reader and is killed; ffmpeg writes an MP4
# and moves its index to the front; fio writes at random and verifies.
# Into a view of originals, scrambled bytes: rsync, cp -a and tar -x
# restore a backup, and unison syncs the view both ways with a folder of
# scrambled copies.  As root, also: clients as another user, beside a
# writable bind mount, and a DIR that fills up.  Each view is served in the
# foreground, and must end with status 0 and nothing said once unmounted.
#
#   .ci/clients.sh      after a build in build/, or with ENCRYPT_VIDEO and
#                       ENCRYPT_VIDEO_FS naming the programs
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"
started=$SECONDS
tool=$(realpath "${ENCRYPT_VIDEO:-build/encrypt_video}")
fs=$(realpath "${ENCRYPT_VIDEO_FS:-build/encrypt_video_fs}")
if [ ! -x "$tool" ] || [ ! -x "$fs" ]; then fail "no $tool or $fs: build first"; fi
for need in fusermount3 rsync git sqlite3 ffmpeg unison fio setfattr setfacl; do
	command -v "$need" >/dev/null || fail "no $need: install what .ci/run installs"
done
{ : <>/dev/fuse; } 2>/dev/null || fail "cannot open /dev/fuse to mount a view"
root=no
[ "$(id -u)" != 0 ] || root=yes
pw='a password'
printf '%s\n' "$pw" >"$work/pass"
# Nothing of this machine's user reaches the clients; another user must
# reach what it is given.
export HOME=$work/home GIT_CONFIG_NOSYSTEM=1 UNISON=$work/home/.unison
mkdir -p "$HOME" "$work/mnt"
chmod 755 "$work"

# Mounts left by a client that failed go lazily, before anything is
# removed; then the views' processes, by the ids they were started with.
mounted() { awk -v w="$work/" 'index($5, w) == 1 { print $5 }' /proc/self/mountinfo | sort -r; }
sweep() {
	local mount
	for mount in $(mounted); do
		fusermount3 -u -z "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true
		echo "$mount"
	done
}
cleanup() {
	local pid
	sweep >/dev/null
	while read -r pid; do
		[ "$(cat "/proc/$pid/comm" 2>/dev/null)" != encrypt_video_f ] || kill -9 "$pid" 2>/dev/null || true
	done < <(cat "$work/pids" 2>/dev/null || true)
	rm -rf --one-file-system "$work"
}
trap cleanup EXIT

declare -A served
serve() { # serve DIR MOUNTPOINT OPTIONS: a view of DIR, in the foreground of a process of its own
	mkdir -p "$2"
	"$fs" "$1" "$2" -f -o "passcheck=$work/check,passfile=$work/pass,allow_empty$3" 2>"$2.err" &
	served[$2]=$!
	echo $! >>"$work/pids"
	for _ in $(seq 200); do
		mountpoint -q "$2" && return 0
		kill -0 "${served[$2]}" 2>/dev/null || break
		sleep 0.05
	done
	fail "no view at $2: $(cat "$2.err")"
}
view() { serve "$1" "$2" ",writable${3:+,$3}"; } # view DIR MOUNTPOINT [OPTION,...]
look() { serve "$1" "$2" ""; }                   # look DIR MOUNTPOINT: read-only
unmount() { # unmount MOUNTPOINT: its view ends with status 0, having said nothing
	local status=0
	fusermount3 -u "$1"
	wait "${served[$1]}" || status=$?
	if [ "$status" != 0 ] || [ -s "$1.err" ]; then
		fail "the view at $1 ended with status $status, saying: $(cat "$1.err")"
	fi
}

# What the checks compare of each entry but its bytes: name, type, mode,
# owner, size, time, link target and count; or what FORMAT says.
listing() { (cd "$1" && find . -printf "${2:-%P %y %m %U:%G %s %T@ %l %n\n}" | LC_ALL=C sort); }
told() { # told A B [FORMAT]: the first lines where their listings differ
	diff <(listing "$1" "${3:-}") <(listing "$2" "${3:-}") | sed -n '2,5p' | tr '\n' ' ' || true
}
# Extended attributes, access control lists among them, one a line.
attributes() {
	(cd "$1" && getfattr -R -h -d -m - -e hex . 2>/dev/null |
	    awk '/^# file: / { f = substr($0, 9); next } NF { print f " " $0 }' | LC_ALL=C sort)
}
same() { # same WHAT A B: the same entries, and in each file the same bytes
	[ "$(listing "$2")" = "$(listing "$3")" ] || fail "$1: $3 is not $2: $(told "$2" "$3")"
	[ "$(attributes "$2")" = "$(attributes "$3")" ] || fail "$1: $3 has other extended attributes than $2"
	diff -r --no-dereference "$2" "$3" >/dev/null ||
	    fail "$1: other bytes in $3 than in $2: $(diff -rq --no-dereference "$2" "$3" | head -3 | tr '\n' ' ' || true)"
}
# holds WHAT PLAIN DIR [FORMAT]: DIR has PLAIN's entries, each file the
# tool's output for PLAIN's, cut to its size.
holds() {
	local format=${4:-%P %y %s %l\n} file
	[ "$(listing "$2" "$format")" = "$(listing "$3" "$format")" ] ||
	    fail "$1: $3 has other entries than $2: $(told "$2" "$3" "$format")"
	while IFS= read -r -d '' file; do
		cmp -s -n "$(stat -c %s "$2/$file")" <("$tool" "$2/$file" "$pw") "$3/$file" ||
		    fail "$1: $3/${file#./} is not the tool's output for $2/${file#./}"
		# The tool still holds the file, which may be in a view that
		# is unmounted next.
		wait $! || true
	done < <(cd "$2" && find . -type f -print0)
}
stored() { holds "$@" '%P %y %m %U:%G %s %T@ %l %n\n'; } # and modes, owners, times, links
scrambled() { # scrambled FILE OUT: the tool's output for FILE, cut to its size
	head -c "$(stat -c %s "$1")" <("$tool" "$1" "$pw") >"$2"
	wait $! || true
}

# Originals of every awkward size, names users give, and what rsync -aHAX
# and cp -a keep: a hard link, a symlink, a hole, modes, extended attributes,
# an access control list, an owner (as root), and times of the past: rsync
# leaves alone a time that matches to the second, which one made now would.
originals=$work/originals
mkdir -p "$originals/films/été à la plage" "$originals/private"
: >"$originals/empty"
printf x >"$originals/one byte"
head -c 8191 /dev/urandom >"$originals/films/a block less a byte"
head -c 8192 /dev/urandom >"$originals/films/one block"
head -c 8193 /dev/urandom >"$originals/films/été à la plage/a block and a byte.mkv"
head -c 300000 /dev/urandom >"$originals/films/holiday.mp4"
ln "$originals/films/holiday.mp4" "$originals/films/holiday (linked).mp4"
ln -s films/holiday.mp4 "$originals/latest"
truncate -s 200000 "$originals/films/sparse.ts"
printf 'in the middle' | dd of="$originals/films/sparse.ts" bs=1 seek=90000 conv=notrunc status=none
printf '#!/bin/sh\necho played\n' >"$originals/play.sh"
head -c 5000 /dev/urandom >"$originals/private/key"
chmod 755 "$originals/play.sh" && chmod 600 "$originals/private/key" && chmod 700 "$originals/private"
setfattr -n user.camera -v 'the old one' "$originals/films/one block"
setfacl -m u:65534:r "$originals/films/holiday.mp4"
[ $root = no ] || chown 65534:65534 "$originals/one byte"
find "$originals" -exec touch -h -d '2001-02-03 04:05:06.789' {} +
# Their backup, made through a read-only view as the manual page makes it.
backup=$work/backup
look "$originals" "$work/mnt/backup"
rsync -aHAX "$work/mnt/backup/" "$backup/"
unmount "$work/mnt/backup"
name="clients.sh (the backup to restore)"
stored "the backup" "$originals" "$backup"
name=clients.sh

on_error() { echo "$name: failed (status $1): $BASH_COMMAND" >&2; }
failed=()
client() { # client NAME: client_NAME in a subshell; one that fails is told, and the next runs
	local status left
	name="clients.sh $1"
	set +e
	trap - ERR
	(trap 'on_error $?' ERR && set -e && "client_$1")
	status=$?
	trap 'on_error $?' ERR
	set -e
	left=$(sweep)
	# A client that failed leaves its views; one that passed must not.
	[ -z "$left" ] || ((status != 0)) || { echo "$name: left mounted: $left" >&2; status=1; }
	((status == 0)) || failed+=("$1")
	name=clients.sh
}

client_rsync() {
	local library=$work/rsync/library at=$work/mnt/rsync changed=$work/rsync/changed
	mkdir -p "$library"
	view "$library" "$at"
	# --sparse seeks over zeros, and ends a file in a hole by its size.
	rsync -aHAXS "$originals/" "$at/"
	same rsync "$originals" "$at"
	[ -z "$(rsync -aHAXi --dry-run "$originals/" "$at/")" ] ||
	    fail "a second run would copy again: $(rsync -aHAXi --dry-run "$originals/" "$at/" | head -3 | tr '\n' ' ')"
	# rsync's delta, in place: a few bytes changed inside a block, a tail
	# appended, a file cut short, one gone; only what changed is written.
	cp -a "$originals" "$changed"
	printf 'XYZ' | dd of="$changed/films/holiday.mp4" bs=1 seek=150000 conv=notrunc status=none
	head -c 5000 /dev/urandom >>"$changed/films/holiday.mp4"
	truncate -s 5000 "$changed/films/one block"
	rm "$changed/one byte"
	find "$changed" -exec touch -h -d '2002-03-04 05:06:07.891' {} +
	rsync -aHAX --inplace --no-whole-file --delete "$changed/" "$at/"
	same rsync "$changed" "$at"
	unmount "$at"
	stored rsync "$changed" "$library"
	look "$library" "$at"
	same rsync "$changed" "$at"
	unmount "$at"
	echo "rsync -aHAXS: originals into a view of a scrambled library, a rerun with nothing to copy," \
	    "changes sent in place by their delta: the view and a second view show them, DIR holds" \
	    "them scrambled, metadata and all"
}

# A restore straight into a view of an empty folder, which must then hold
# the originals, metadata and all.
restore() { # restore CLIENT: copy_CLIENT FROM TO copies the backup into the view
	local into=$work/restore/$1 at=$work/mnt/restore-$1
	mkdir -p "$into"
	view "$into" "$at"
	"copy_$1" "$backup" "$at"
	same "$1" "$backup" "$at"
	unmount "$at"
	same "$1" "$originals" "$into"
	# Within the view, where the copy is DIR's file system's to make.
	view "$into" "$at"
	mkdir "$at/again"
	"copy_$1" "$at/films" "$at/again"
	same "$1" "$at/films" "$at/again"
	unmount "$at"
	same "$1" "$originals/films" "$into/again"
	echo "$2: a scrambled backup into a view of an empty folder, and a folder copied within the" \
	    "view: the view shows the backup, DIR holds the originals byte for byte, metadata and all"
}
copy_rsync() { rsync -aHAX "$1/" "$2/"; }
copy_cp() { cp -a "$1/." "$2/"; }
copy_tar() { tar -C "$1" --xattrs --acls -cf - . | tar -C "$2" --xattrs --xattrs-include='*' --acls -xpf -; }
client_rsync_restore() { restore rsync "rsync -aHAX"; }
client_cp() { restore cp "cp -a"; }
client_tar() { restore tar "tar -x"; }

# Commit ids depend on names and dates only, so that a clone in the view
# and one in a plain folder, changed alike, must end at the same commit.
g() {
	GIT_AUTHOR_DATE=@1000000000 GIT_COMMITTER_DATE=@1000000000 git -c user.name=ci \
	    -c user.email=ci@localhost -c gc.autoDetach=false -c maintenance.autoDetach=false \
	    -c core.fsync=all "$@"
}
repo=$work/repo
mkdir -p "$repo/src dir"
g -C "$repo" init -q -b main
for i in 1 2 3 4; do
	head -c $((i * 8191)) /dev/urandom >"$repo/blob$i.bin"
	seq $((i * 3000)) >"$repo/src dir/lines$i.txt"
	g -C "$repo" add -A && g -C "$repo" commit -qm "commit $i"
done
ln -s "src dir/lines1.txt" "$repo/link" && printf '#!/bin/sh\n' >"$repo/run" && chmod 755 "$repo/run"
g -C "$repo" add -A && g -C "$repo" commit -qm "a link and a script"
head -c 20000 /dev/urandom >"$work/git-tail"
git_session() { # git_session FOLDER: a clone, checked, changed, committed and repacked
	g clone -q "file://$repo" "$1"
	g -C "$1" fsck --full --strict --no-progress
	[ -z "$(g -C "$1" status --porcelain)" ] || fail "a fresh clone has changes: $(g -C "$1" status --porcelain | head -3)"
	cat "$work/git-tail" >>"$1/blob2.bin"
	g -C "$1" mv "src dir/lines3.txt" moved.txt && g -C "$1" rm -q blob1.bin
	g -C "$1" commit -qam changes
	g -C "$1" gc -q --prune=now
	g -C "$1" fsck --full --strict --no-progress
}
client_git() {
	local library=$work/git/library at=$work/mnt/git
	mkdir -p "$library"
	git_session "$work/git/plain"
	view "$library" "$at"
	git_session "$at/clone"
	[ "$(g -C "$at/clone" rev-parse HEAD)" = "$(g -C "$work/git/plain" rev-parse HEAD)" ] ||
	    fail "the view's clone is at another commit than the plain one"
	diff -r --no-dereference --exclude=.git "$work/git/plain" "$at/clone" >/dev/null ||
	    fail "the view's work tree is not the plain one's"
	unmount "$at"
	view "$library" "$at"
	g -C "$at/clone" fsck --full --strict --no-progress || fail "git fsck through a new view"
	[ -z "$(g -C "$at/clone" status --porcelain)" ] || fail "changes seen through a new view: $(g -C "$at/clone" status --porcelain | head -3)"
	stored git "$at" "$library"
	unmount "$at"
	echo "git: a clone into a view of a scrambled library, fsck, a commit, gc, every write fsynced:" \
	    "a plain clone's commit and work tree; through a new view fsck passes and nothing changed;" \
	    "DIR holds every file scrambled"
}

# Whole transactions of known rows, committed in WAL and never
# checkpointed, so that the database is the WAL's to recover.
transactions() {
	echo 'PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;'
	echo 'CREATE TABLE t(id INTEGER PRIMARY KEY, k INTEGER, v TEXT);'
	for i in $(seq 40); do
		echo "BEGIN; WITH RECURSIVE n(j) AS (SELECT 1 UNION ALL SELECT j + 1 FROM n WHERE j < 250)
		    INSERT INTO t(k, v) SELECT $i, printf('%0*d', j % 700, $i * 1000 + j) FROM n;
		    UPDATE t SET k = -k WHERE id % 17 = $i % 17; COMMIT;"
	done
	echo "SELECT 'committed';"
}
sqlite_crash() { # sqlite_crash FOLDER: read beside the writer as it commits, then the writer killed
	local fifo=$work/sqlite/fifo writer seen
	rm -f "$fifo" && mkfifo "$fifo"
	sqlite3 -bail -cmd '.timeout 10000' "$1/db" <"$fifo" >"$1.out" 2>&1 &
	writer=$!
	exec 3>"$fifo"
	transactions >&3
	# Another process, through the shared memory file the writer maps:
	# whole transactions only, and a sound database, as they commit.
	until grep -q committed "$1.out"; do
		seen=$(sqlite3 -cmd '.timeout 10000' "$1/db" 'PRAGMA quick_check; SELECT count(*) % 250 FROM t' 2>&1 || true)
		[ "$seen" = $'ok\n0' ] || [[ $seen = *'no such table'* ]] || fail "a reader beside the writer in $1 saw: $seen"
		kill -0 "$writer" 2>/dev/null || fail "the writer in $1 stopped: $(cat "$1.out")"
	done
	kill -9 "$writer"
	wait "$writer" 2>/dev/null || true
	exec 3>&-
	[ -s "$1/db-wal" ] || fail "no WAL left in $1"
}
dump() { sqlite3 "$1" 'PRAGMA integrity_check' .dump | sha256sum; }
client_sqlite() {
	local library=$work/sqlite/library plain=$work/sqlite/plain decoded=$work/sqlite/decoded at=$work/mnt/sqlite want
	mkdir -p "$library" "$plain" "$decoded"
	sqlite_crash "$plain"
	want=$(dump "$plain/db")
	view "$library" "$at"
	sqlite_crash "$at"
	unmount "$at"
	# Without the view: the tool's restore of the database and its WAL.
	scrambled "$library/db" "$decoded/db" && scrambled "$library/db-wal" "$decoded/db-wal"
	[ "$(dump "$decoded/db")" = "$want" ] || fail "the database and WAL in DIR, restored by the tool, hold other rows"
	view "$library" "$at"
	[ "$(dump "$at/db")" = "$want" ] || fail "through a new view, recovered from its WAL, the database holds other rows"
	[ "$(sqlite3 "$at/db" 'PRAGMA integrity_check')" = ok ] || fail "PRAGMA integrity_check through a new view"
	unmount "$at"
	[ "$(find "$library" -mindepth 1 -printf '%P ')" = "db " ] ||
	    fail "left in DIR after the last connection: $(find "$library" -mindepth 1 -printf '%P ')"
	scrambled "$library/db" "$decoded/checkpointed"
	[ "$(dump "$decoded/checkpointed")" = "$want" ] || fail "the checkpointed database in DIR, restored by the tool, holds other rows"
	echo "sqlite3: 40 transactions in WAL into a view of a scrambled library, a reader beside them," \
	    "the writer killed: DIR's database and WAL restored by the tool, and a new view recovering," \
	    "hold a plain folder's rows, integrity_check ok; DIR then holds the checkpoint"
}

client_ffmpeg() {
	local library=$work/ffmpeg/library plain=$work/ffmpeg/plain at=$work/mnt/ffmpeg
	mp4() { # mp4 SECONDS FILE
		ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=320x240:rate=25:duration=$1" \
		    -f lavfi -i "sine=frequency=440:duration=$1" -c:v libx264 -preset ultrafast -g 10 \
		    -pix_fmt yuv420p -c:a aac -threads 1 -fflags +bitexact -flags +bitexact \
		    -movflags +faststart "$2"
	}
	frames() { ffmpeg -nostdin -v error -i "$1" -f framemd5 - | grep -v '^#'; }
	mkdir -p "$library" "$plain/long" "$plain/short"
	mp4 4 "$plain/long/movie.mp4"
	mp4 2 "$plain/short/movie.mp4"
	# The index moved before the media, over what was written first.
	[ "$(LC_ALL=C grep -aobE 'moov|mdat' "$plain/long/movie.mp4" | head -1 | cut -d: -f2)" = moov ] ||
	    fail "ffmpeg did not move the index to the front, so nothing was rewritten"
	view "$library" "$at"
	mp4 4 "$at/movie.mp4"
	cmp -s "$plain/long/movie.mp4" "$at/movie.mp4" || fail "the MP4 written through the view reads back other bytes"
	unmount "$at"
	holds ffmpeg "$plain/long" "$library"
	look "$library" "$at"
	cmp -s "$plain/long/movie.mp4" "$at/movie.mp4" || fail "a second view shows other bytes than were written"
	[ "$(frames "$at/movie.mp4")" = "$(frames "$plain/long/movie.mp4")" ] || fail "decoded through the view, other frames"
	unmount "$at"
	# Encoded again, shorter, over the first, through a new view: opened
	# with O_TRUNC, which the view must pass on.
	view "$library" "$at"
	mp4 2 "$at/movie.mp4"
	unmount "$at"
	holds "ffmpeg, over its first MP4" "$plain/short" "$library"
	echo "ffmpeg: an MP4 with -movflags +faststart into a view of a scrambled library, then a shorter" \
	    "one over it through a new view: a plain folder's bytes, scrambled in DIR, and a second view" \
	    "decodes the same frames"
}

client_fio() {
	local library=$work/fio/library at=$work/mnt/fio
	mkdir -p "$library"
	cat >"$work/fio/job" <<-EOF
	[global]
	size=8m
	rw=randwrite
	bsrange=512-64k
	blockalign=512
	verify=crc32c
	verify_fatal=1
	verify_state_save=0
	[psync]
	ioengine=psync
	[libaio-direct]
	ioengine=libaio
	direct=1
	iodepth=8
	[mmap]
	ioengine=mmap
	EOF
	view "$library" "$at"
	fio --directory="$at" --output="$work/fio/write.log" "$work/fio/job" ||
	    fail "fio --verify: $(grep -m3 -i 'fail\|err' "$work/fio/write.log")"
	unmount "$at"
	# Verified again from what DIR holds, through a view with nothing cached.
	view "$library" "$at"
	fio --directory="$at" --output="$work/fio/verify.log" --verify_only "$work/fio/job" ||
	    fail "fio --verify_only through a new view: $(grep -m3 -i 'fail\|err' "$work/fio/verify.log")"
	stored fio "$at" "$library"
	unmount "$at"
	echo "fio: random writes of 512 B to 64 KiB at once by psync, libaio with O_DIRECT and mmap," \
	    "into a view of a scrambled library: --verify passes, and --verify_only through a new view;" \
	    "DIR holds each file scrambled"
}

# A view of originals synced with a folder of their scrambled copies, as a
# backup disk is; each side's changes must arrive byte for byte on the
# other, which is checked against expected, changed alike.
client_unison() {
	local base=$work/unison at=$work/mnt/unison
	local originals=$base/originals copies=$base/copies expected=$base/expected
	mkdir -p "$originals/clips/old" "$copies"
	head -c 20000 /dev/urandom >"$originals/clips/a.mp4"
	head -c 8192 /dev/urandom >"$originals/clips/b.mkv"
	printf x >"$originals/c"
	head -c 100000 /dev/urandom >"$originals/d.ts"
	head -c 9000 /dev/urandom >"$originals/clips/old/e.mp4"
	cp -a "$originals" "$expected"
	sync_both() {
		unison "$at" "$copies" -batch -times -ui text -confirmbigdel=false >"$base/log" 2>&1 ||
		    fail "unison $1 exited $?: $(tail -3 "$base/log" | tr '\n' ' ')"
	}
	synced() { # synced WHEN: the originals as expected, the copies their scrambled bytes, the view the copies
		diff -r "$expected" "$originals" >/dev/null ||
		    fail "$1: the originals are not as expected: $(diff -rq "$expected" "$originals" | head -3 | tr '\n' ' ' || true)"
		holds "$1" "$expected" "$copies"
		holds "$1" "$originals" "$at" '%P %y %s\n'
		[ "$(listing "$at" '%P %y %m %s %Ts\n' | grep ' f ')" = "$(listing "$copies" '%P %y %m %s %Ts\n' | grep ' f ')" ] ||
		    fail "$1: the view's files and the copies' differ in mode or time"
	}
	view "$originals" "$at"
	sync_both "the first time"
	synced "the first sync"
	# The copies' side: a new file, one rewritten, one renamed, one
	# removed, a folder renamed.
	head -c 30000 /dev/urandom >"$expected/new.mkv" && scrambled "$expected/new.mkv" "$copies/new.mkv"
	head -c 12345 /dev/urandom >"$expected/clips/a.mp4" && scrambled "$expected/clips/a.mp4" "$copies/clips/a.mp4"
	mv "$copies/c" "$copies/c renamed" && mv "$expected/c" "$expected/c renamed"
	rm "$copies/d.ts" "$expected/d.ts"
	mv "$copies/clips/old" "$copies/clips/older" && mv "$expected/clips/old" "$expected/clips/older"
	sync_both "after changes to the copies"
	synced "changes to the copies"
	# The view's side: written, rewritten shorter, renamed and removed
	# through the view, and an original changed where it lies, which the
	# view shows once its attributes time out.
	head -c 40000 /dev/urandom >"$expected/through the view.mp4"
	scrambled "$expected/through the view.mp4" "$at/through the view.mp4"
	mv "$at/c renamed" "$at/c again" && mv "$expected/c renamed" "$expected/c again"
	rm "$at/clips/b.mkv" "$expected/clips/b.mkv"
	head -c 7000 /dev/urandom >"$expected/clips/a.mp4"
	scrambled "$expected/clips/a.mp4" "$at/clips/a.mp4"
	head -c 5000 /dev/urandom >"$base/tail"
	cat "$base/tail" >>"$originals/new.mkv" && cat "$base/tail" >>"$expected/new.mkv"
	sleep 1.1
	sync_both "after changes to the view"
	synced "changes to the view"
	sync_both "with nothing changed"
	grep -q 'Nothing to do' "$base/log" || fail "unison found changes where there were none: $(tail -3 "$base/log" | tr '\n' ' ')"
	unmount "$at"
	look "$originals" "$at"
	diff -r "$copies" "$at" >/dev/null || fail "a second view of the originals is not the copies"
	unmount "$at"
	echo "unison: a view of originals and a folder of scrambled copies synced both ways, files made," \
	    "rewritten, renamed and removed on each side: each arrives byte for byte with its mode and" \
	    "time, and a last sync finds nothing to do"
}

# As another user, umask 027, over a view with allow_other beside a
# writable bind mount: the same entries, owners and modes, and DIR holds
# what that user wrote, scrambled.
client_another_user() {
	local base=$work/user side made
	mkdir -p "$base/public/sub" "$base/plain" "$base/library" "$base/home" "$work/mnt/bound"
	head -c 10000 /dev/urandom >"$base/public/film.mp4" && printf x >"$base/public/sub/one"
	tar -C "$base/public" -cf "$base/public.tar" .
	g -C "$repo" bundle create -q "$base/repo.bundle" --all
	chmod -R a+rX "$base" && chmod 777 "$base/plain" "$base/library" "$base/home"
	mount --bind "$base/plain" "$work/mnt/bound"
	view "$base/library" "$work/mnt/user" allow_other
	for side in bound user; do
		# shellcheck disable=SC2016 # expanded by the inner shell
		setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$base/home" bash -euc '
			umask 027 && cd "$1" && mkdir tar && mv "$(mktemp -d -p .)" private
			tar -C tar -xf "$2/public.tar"
			cp -a "$2/public" cp
			rsync -a "$2/public/" rsync
			git clone -q "$2/repo.bundle" git && git -C git fsck --full --strict --no-progress
			sqlite3 db "PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES (1);" >/dev/null
			[ "$(sqlite3 db "PRAGMA integrity_check")" = ok ]' _ "$work/mnt/$side" "$base" ||
		    fail "the clients as another user failed on the $side side"
	done
	local format='%P %y %m %U:%G %s %l\n'
	[ "$(listing "$work/mnt/bound" "$format")" = "$(listing "$work/mnt/user" "$format")" ] ||
	    fail "other entries, owners or modes than a bind mount's: $(told "$work/mnt/bound" "$work/mnt/user" "$format")"
	made=$(find "$base/library" -mindepth 1 \( ! -user 65534 -o ! -group 65534 \) | head -3)
	[ -z "$made" ] || fail "made in DIR with another owner: $made"
	umount "$work/mnt/bound"
	unmount "$work/mnt/user"
	look "$base/library" "$work/mnt/user"
	stored "another user" "$work/mnt/user" "$base/library"
	unmount "$work/mnt/user"
	echo "as another user, umask 027, over a view with allow_other: mktemp -d, tar -x, cp -a," \
	    "rsync -a, git clone and SQLite make what a writable bind mount gets, owners and modes too;" \
	    "DIR holds it scrambled"
}

# DIR on a 1 MiB tmpfs, beside another: the writers are told, and what
# is left is what the plain tmpfs keeps, scrambled in DIR.
client_full() {
	local base=$work/full
	mkdir -p "$base/plain" "$base/dir"
	mount -t tmpfs -o size=1M tmpfs "$base/plain"
	mount -t tmpfs -o size=1M tmpfs "$base/dir"
	view "$base/dir" "$work/mnt/full"
	head -c 3000000 /dev/urandom >"$base/big"
	for side in "$base/plain" "$work/mnt/full"; do
		! dd if="$base/big" of="$side/dd" bs=64k status=none 2>"$base/err" || fail "dd filled $side with no error"
		grep -q 'No space left on device' "$base/err" || fail "dd into $side said: $(cat "$base/err")"
		! rsync "$base/big" "$side/" 2>"$base/err" || fail "rsync filled $side with no error"
		grep -q 'No space left on device' "$base/err" || fail "rsync into $side said: $(cat "$base/err")"
	done
	[ "$(listing "$base/plain" '%P %y %s\n')" = "$(listing "$work/mnt/full" '%P %y %s\n')" ] ||
	    fail "left otherwise than on a plain tmpfs: $(told "$base/plain" "$work/mnt/full" '%P %y %s\n')"
	cmp -s -n "$(stat -c %s "$work/mnt/full/dd")" "$base/big" "$work/mnt/full/dd" || fail "dd's part is not what it wrote"
	holds "a full DIR" "$work/mnt/full" "$base/dir"
	rm "$work/mnt/full/dd"
	head -c 100000 "$base/big" >"$work/mnt/full/dd" || fail "no room came back once a file was removed"
	unmount "$work/mnt/full"
	umount "$base/plain" "$base/dir"
	echo "a full DIR: dd and rsync into a view of a 1 MiB tmpfs are told 'No space left on device'" \
	    "and leave what a plain tmpfs keeps, dd's part scrambled in DIR; a removal makes room"
	client_reserved
}

# Another user fills an ext4 that keeps half its blocks for root, straight
# and through a view run as root: the view gives that user no more room.
client_reserved() {
	local base=$work/reserved side sizes=()
	mkdir -p "$base/dir"
	truncate -s 16M "$base/ext4"
	if ! { mkfs.ext4 -q -m 50 "$base/ext4" && mount -o loop "$base/ext4" "$base/dir"; } 2>/dev/null; then
		echo "root's reserved blocks: skipped, as there is no loop device here"
		return
	fi
	chmod 777 "$base/dir"
	view "$base/dir" "$work/mnt/reserved" allow_other
	for side in "$base/dir" "$work/mnt/reserved"; do
		! setpriv --reuid=65534 --regid=65534 --clear-groups dd if=/dev/zero of="$side/dd" bs=64k status=none 2>/dev/null ||
		    fail "dd filled $side with no error"
		sizes+=("$(stat -c %s "$base/dir/dd")")
		rm "$base/dir/dd"
	done
	unmount "$work/mnt/reserved"
	umount "$base/dir"
	[ "${sizes[0]}" = "${sizes[1]}" ] ||
	    fail "another user wrote ${sizes[1]} bytes through the view where DIR let it write ${sizes[0]}"
	echo "root's reserved blocks: another user fills no more of them through a view than straight"
}

for one in rsync rsync_restore cp tar git sqlite ffmpeg fio unison; do client "$one"; done
if [ $root = yes ]; then
	for one in another_user full; do client "$one"; done
else
	echo "as another user, and a full DIR: skipped, as they need root"
fi
echo "$((SECONDS - started)) s"
[ ${#failed[@]} = 0 ] || fail "failed: ${failed[*]}"
