#!/usr/bin/env bash
# Runs the examples of the README and of both manual pages as the pages
# print them, on short clips, with the names users give them (a space, an
# accent), and checks what each gives.
#
# The examples are taken from the pages at run time: the README's sh
# blocks and the commands of its text, and the manual pages' example blocks
# as groff renders them.  Each is known by its page and its first telling
# line, and the table below either runs it, put on one machine
# (sandbox.sh), or says why not.  An example the table does not know, or a
# key of the table that no page has any more, fails the test.
#
#   tests/examples_test.sh [TOOL [VIEW]]   as root for every check; as a
#       user with a /dev/fuse it may open, all but root's: the fstab line,
#       the read-ahead, and the media server as another user
# shellcheck source-path=SCRIPTDIR source=sandbox.sh
. "$(dirname "$0")/sandbox.sh"
started=$SECONDS
# Every example the pages give, with what this test does with it: "run
# FUNCTION" (below), or "skip WHY".
plan() {
	cat <<'EOF'
README.md: $(command -v sudo) apt-get update || echo 'Some package lists co
	skip set-up of the README's first section, which .ci/readme.sh runs in a minimal Debian 13
README.md: cmake -S . -B build && cmake --build build -j && (d=$(mktemp -d)
	skip the README's first section, which .ci/readme.sh runs in a minimal Debian 13
README.md: cmake -S . -B build && cmake --build build -j && ctest --test-di
	skip the test command, which runs this
README.md: $(command -v sudo) apt-get install -y file dpkg-dev man-db
	skip installs on this machine; .ci/package.sh builds the .deb, lints it and installs it in a root of its own
README.md: cmake -S . -B build-local && cmake --build build-local -j && $(c
	skip installs into this machine's /usr/local; .ci/run's plain install does the same into a scratch prefix
README.md: $(command -v sudo) cmake --build build-local --target uninstall
	skip uninstalls from this machine's /usr/local; .ci/run's plain install is uninstalled the same way
README.md: cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cr
	skip a cross build, which .ci/cross.sh runs for every architecture in foreign.sh's root
README.md: cmake -S . -B build-static -DENCRYPT_VIDEO_STATIC=ON -DBUILD_TES
	skip .ci/cross.sh builds the static executables, and runs them
README.md: encrypt_video FILE PASSWORD > OUT
	skip a synopsis: its capitals stand for what the user gives
README.md: encrypt_video_fs DIR MOUNTPOINT
	skip a synopsis: its capitals stand for what the user gives
README.md: encrypt_video movie.mp4 'my password' > movie.scrambled
	run scramble_and_restore
README.md: encrypt_video_fs ~/films.scrambled ~/films && ffplay ~/films/hol
	run watch
encrypt_video.1: size=$(stat -c %s movie.mp4) &&
	run scramble_and_restore
encrypt_video.1: encrypt_video movie.mp4 'my password' > movie.scrambled
	run replace_original
encrypt_video.1: encrypt_video movie.scrambled 'my password' | sha256sum | cmp - 
	run right_password
encrypt_video.1: encrypt_video movie.scrambled 'my password' | ffplay -autoexit -
	run play_from_pipe
encrypt_video.1: pv movie.mp4 | encrypt_video /dev/stdin 'my password' > movie.sc
	run progress
encrypt_video.1: kept=$(( ($(stat -c %s movie.scrambled) - 1) / 8192 * 8192 )) &&
	run resume
encrypt_video.1: find . -name '*.mp4' -print0 | xargs -0 -P "$(nproc)" -n 1 \
	run every_file
encrypt_video.1: parallel --env PW -S host1,host2,: --transferfile {} --return {}
	run every_file
encrypt_video.1: age -p -o movie.mp4.age movie.mp4
	skip other programs' encryption; age -p and gpg --symmetric ask for the passphrase on a terminal
encrypt_video_fs.1: echo 1024 > /sys/class/bdi/$(mountpoint -d MOUNTPOINT)/read_ahea
	run read_ahead
encrypt_video_fs.1: mkdir -p ~/films
	run watch
encrypt_video_fs.1: # Back up ~/films scrambled; stop at the first step that fails.
	run backup
encrypt_video_fs.1: mkdir -p ~/films.restore/view &&
	run restore
encrypt_video_fs.1: ssh nas 'mv films.scrambled films.scrambled.old && mv films.chec
	run change_password
encrypt_video_fs.1: mkdir -p ~/films &&
	run add_films
encrypt_video_fs.1: mkdir -p ~/films.sync &&
	run sync_both_ways
encrypt_video_fs.1: /srv/films.scrambled /srv/films fuse.encrypt_video_fs passfile=/
	run fstab
encrypt_video_fs.1: /srv/downloads.scrambled /srv/downloads fuse.encrypt_video_fs pa
	run downloads
encrypt_video_fs.1: Description=Films through encrypt_video_fs
	run mount_unit
encrypt_video_fs.1: RequiresMountsFor=/srv/films
	run drop_in
encrypt_video_fs.1: 0 4 * * * systemctl restart minidlna.service
	skip root's crontab asks systemd, not PID 1 here, to restart minidlna; the drop-in's checks are run
EOF
}

scramble_and_restore() {
	fresh && cp "$media/movie.mp4" .
	ran "$1" || return 0
	encrypt_video movie.mp4 "$pw" | cmp -s - movie.scrambled || bad "movie.scrambled is not the tool's output"
	[ ! -e movie.restored.mp4 ] || cmp -s movie.mp4 movie.restored.mp4 || bad "the restore differs from the original"
}

replace_original() {
	fresh && cp "$media/movie.mp4" . && cp movie.mp4 kept.mp4
	ran "$1" || return 0
	[ ! -e movie.mp4 ] || bad "a right round trip left the original in place"
	[ "$(encrypt_video movie.scrambled "$pw" | sha256sum)" = "$(cat movie.sha256)" ] ||
	    bad "movie.sha256 is not the restore's checksum"
	# The check's restore under a mistyped password: told, and the original kept.
	cp kept.mp4 movie.mp4
	! example "$(sed '2s/my password/my passwort/' <<<"$1")" || bad "a mistyped password passed the check"
	grep -q differ out err || bad "a failed check said nothing"
	cmp -s kept.mp4 movie.mp4 || bad "a failed check lost the original"
}

right_password() {
	fresh && encrypt_video "$media/movie.mp4" "$pw" >movie.scrambled
	encrypt_video movie.scrambled "$pw" | sha256sum >movie.sha256
	ran "$1" || return 0
	[ "$(cat out)" = "right password" ] || bad "the right password was not told: $(cat out)"
	! example "${1//my password/my passwort}" || bad "a wrong password passed"
	if grep -q 'right password' out || ! grep -q differ out; then
		bad "a wrong password was not told apart: $(cat out err)"
	fi
}

# The page's MP4 has its index first; with its index at the end, as
# cameras and ffmpeg write it, a player cannot read it from a pipe.
play_from_pipe() {
	fresh && encrypt_video "$media/movie-faststart.mp4" "$pw" >movie.scrambled
	ran "$1" || return 0
	[ ! -s err ] || bad "the player said: $(head -3 err)"
	[ "$(frames "$media/movie-faststart.mp4")" = "$(encrypt_video movie.scrambled "$pw" | frames -)" ] ||
	    bad "played from a pipe, it decodes to other frames"
	encrypt_video "$media/movie.mp4" "$pw" >movie.scrambled
	! example "$1" || bad "an MP4 with its index at the end played from a pipe, which the page says it cannot"
}

progress() {
	fresh && cp "$media/movie.mp4" .
	ran "$1" || return 0
	encrypt_video movie.mp4 "$pw" | cmp -s - movie.scrambled || bad "with pv, other bytes"
}

# Cut short every way the page names, then resumed as it prints: the same
# bytes as an uninterrupted run.  An upstream pv killed is told by the
# pipeline's status; the tool itself cannot tell that end from the real one.
resume() {
	fresh && cp "$media/movie.mp4" .
	local whole cut size half status
	encrypt_video movie.mp4 "$pw" >whole.scrambled
	whole=$(sha256sum <whole.scrambled)
	size=$(stat -c %s movie.mp4) half=$((size / 16384)) half=$((half * 8192))
	for cut in "output cut mid-block" "input ended at a block's end" "input ended mid-block" "pv killed"; do
		case $cut in
		output*) head -c $((half + 100)) whole.scrambled >movie.scrambled ;;
		*"block's end") head -c "$half" movie.mp4 | encrypt_video /dev/stdin "$pw" >movie.scrambled ;;
		*mid-block) head -c $((half + 100)) movie.mp4 | encrypt_video /dev/stdin "$pw" >movie.scrambled ;;
		pv*)
			rm -f pv.pid
			bash -o pipefail -c "pv -q -L $((size / 4)) -P pv.pid movie.mp4 | encrypt_video /dev/stdin '$pw' > movie.scrambled" &
			sleep 1
			kill "$(cat pv.pid)"
			status=0 && wait $! || status=$?
			((status != 0)) || bad "$cut: the pipeline exited 0"
			;;
		esac
		(($(stat -c %s movie.scrambled) % 8192 == 0)) || [[ $cut = output* ]] || bad "$cut: not whole blocks"
		ran "$1" || continue
		[ "$(sha256sum <movie.scrambled)" = "$whole" ] || bad "$cut, then resumed: other bytes than a whole run"
	done
}

every_file() {
	fresh && films . && cp "$media/movie.mp4" "a b.mp4" && cp "$media/movie.mp4" "été.mp4"
	local video
	ran "$1" || return 0
	while IFS= read -r -d '' video; do
		encrypt_video "$video" "$pw" | cmp -s - "$video.scrambled" || bad "$video: not scrambled right"
	done < <(if [[ $1 = find* ]]; then find . -name '*.mp4' -print0; else printf '%s\0' ./*.mp4; fi)
	[ ! -e "été à la plage.mkv.scrambled" ] || bad "a file that is no MP4 was scrambled"
}

# The password is the first line of standard input where the page's reader
# types it.  The view plays and seeks as the originals do.
watch() {
	fresh && films "$HOME/films.scrambled" scrambled
	mkdir -p "$HOME/films"
	example "$1" <<<"$pw" || bad "exited $?: $(tail -3 err)"
	[ ! -s err ] || bad "the player said: $(head -3 err)"
	mountpoint -q "$HOME/films" && fusermount3 -u "$HOME/films"
	unmounted "$HOME/films"
	view "$HOME/films.scrambled" "$HOME/films"
	seek() { ffmpeg -v error -ss 1.2 -i "$1" -map 0:v -frames:v 10 -f framemd5 - | grep -v '^#'; }
	[ "$(seek "$media/movie.mp4")" = "$(seek "$HOME/films/holiday.mp4")" ] ||
	    bad "seeking in the MP4 through the view gives other frames"
	[ "$(frames "$media/movie.mkv")" = "$(frames "$HOME/films/été à la plage.mkv")" ] ||
	    bad "the Matroska with an accented name decodes to other frames through the view"
	[ "$(frames "$media/movie.ts")" = "$(frames "$HOME/films/new year.ts")" ] ||
	    bad "the MPEG-TS with a space in its name decodes to other frames through the view"
	fusermount3 -u "$HOME/films"
	unmounted "$HOME/films"
	rm -rf "$HOME/films.scrambled" "$HOME/films"
}

# The script as the page prints it, in ~/bin, where the examples after
# it find it.
backup() {
	fresh && films "$HOME/films"
	mkdir -p "$HOME/bin" && printf '%s\n' "$1" >"$backup_script" && chmod +x "$backup_script"
	echo "$pw" >"$HOME/.films.pass"
	cron "$backup_script" >out 2>err || bad "exited $?: $(tail -3 err)"
	backup_left
	cmp -s "$HOME/.films.check" "$work/nas/films.check" || bad "the backup's films.check is not ~/.films.check"
	scrambled_as "$pw" "$HOME/films" "$work/nas/films.scrambled"
}

# The backup read back in a folder of its own: the originals again, sizes
# included; under another password, or with the backup's check lost,
# refused with nothing restored.  The user's own scrambled films stay as
# they were.
restore() {
	fresh
	[ -d "$work/nas/films.scrambled" ] || { bad "no backup to restore: the backup example did not run"; return 0; }
	local own restored=$HOME/films.restore
	films "$HOME/films.scrambled" scrambled
	own=$(snapshot "$HOME/films.scrambled")
	echo 'my passwort' >"$HOME/.films.pass"
	! example "$1" || bad "restored under another password"
	echo "  under another password: $(head -1 err)"
	mv "$work/nas/films.check" "$work/nas/films.check.away"
	echo "$pw" >"$HOME/.films.pass"
	! example "$1" || bad "restored from a backup whose check is lost"
	echo "  the backup's check lost: $(head -1 err)"
	mv "$work/nas/films.check.away" "$work/nas/films.check"
	[ ! -e "$restored/films" ] || bad "a refused restore restored films"
	unmounted "$restored/view"
	rm -rf "$restored"
	ran "$1"
	unmounted "$restored/view"
	diff -r "$HOME/films" "$restored/films" >/dev/null ||
	    bad "the restore is not the originals: $(diff -rq "$HOME/films" "$restored/films" | head -2 | tr '\n' ' ')"
	[ "$(snapshot "$HOME/films.scrambled")" = "$own" ] || bad "the restore changed ~/films.scrambled"
	rm -rf "$restored" "$HOME/films.scrambled"
}

# A new backup under a new password, the old one kept aside.
change_password() {
	fresh
	[ -x "$backup_script" ] || { bad "the backup example did not run"; return 0; }
	ran "$1" || return 0
	echo 'a new password' >"$HOME/.films.pass"
	cron "$backup_script" >out 2>err || bad "the first backup under the new password: exited $?: $(tail -3 err)"
	scrambled_as 'a new password' "$HOME/films" "$work/nas/films.scrambled"
	[ -d "$work/nas/films.scrambled.old" ] || bad "the old backup was not kept aside"
}

# Root's line for a view that could not raise its read-ahead itself, as a
# view started with small requests stands for.
read_ahead() {
	fresh && mkdir -p films view && films films
	view films view -o max_read=65536
	local bdi
	bdi=/sys/class/bdi/$(mountpoint -d view)/read_ahead_kb
	if [ -w "$bdi" ]; then
		ran "${1//MOUNTPOINT/view}"
		[ "$(cat "$bdi")" = 1024 ] || bad "the read-ahead is $(cat "$bdi") KiB, not 1024"
	else
		echo "  skipped: $bdi cannot be written here"
	fi
	fusermount3 -u view
	unmounted view
}

# mount(8) runs the line, as root, and finds the program only in /usr/bin
# or /usr/local/bin: a mount namespace of its own gets a /usr/local/bin
# that holds the one under test, and the rest of the machine sees nothing.
# The first mount makes the check; a mistyped or empty password, and a
# source whose disk is not mounted, then mount nothing, and the server's
# guard (below) finds no view.
fstab() {
	[ "$(id -u)" = 0 ] || { echo "  skipped: mount(8) runs the line as root"; return 0; }
	command -v unshare >/dev/null || { echo "  skipped: no unshare for a mount namespace"; return 0; }
	# In a chroot, / is no mount point, and cannot be made private.
	mountpoint -q / || { echo "  skipped: / is no mount point here (a chroot), so no mount namespace can be made private"; return 0; }
	fresh && films "$work/srv/films.scrambled" scrambled && mkdir -p "$work/srv/films"
	echo "$pw" >"$work/etc/films.pass" && chmod 600 "$work/etc/films.pass"
	printf '%s\n' "$1" >fstab
	# shellcheck disable=SC2016 # expanded by the inner shell
	installed() { unshare -m --propagation private bash -euc 'mount --bind "$0" /usr/local/bin && "$@"' "$bin" "$@"; }
	# shellcheck disable=SC2016
	installed bash -euc 'mount -T fstab "$1"
		head -c "$(stat -c %s "$2")" "$1/holiday.mp4" | cmp -s - "$2"
		grep -F " $1 " /proc/self/mountinfo | grep -q allow_other
		fusermount3 -u "$1"' _ "$work/srv/films" "$media/movie.mp4" >out 2>err ||
	    bad "mounted from the line, the view did not read back the original: $(cat err)"
	unmounted "$work/srv/films"
	[ -s "$work/etc/films.check" ] || bad "the first mount made no check"
	refused() { # refused WHAT SAID: the line mounts nothing, and says why
		! installed mount -T fstab "$work/srv/films" >out 2>err || bad "$1: mounted"
		grep -qF "$2" err || bad "$1: did not say '$2': $(cat err)"
		unmounted "$work/srv/films"
		echo "  $1: $(head -1 err)"
	}
	echo 'my passwort' >"$work/etc/films.pass"
	refused "a password file edited by mistake" "not the one"
	echo >"$work/etc/films.pass"
	refused "a password file whose line is empty" "is empty"
	echo "$pw" >"$work/etc/films.pass"
	mv "$work/srv/films.scrambled" "$work/srv/films.disk" && mkdir "$work/srv/films.scrambled"
	refused "its disk not mounted" "is empty, as a disk"
	rm -rf "$work/srv/films.scrambled" "$work/srv/films.disk" "$work/srv/films" "$work/etc/films.check"
}

stored_as() { # stored_as FILE STORED: STORED is FILE scrambled, fill cut
	encrypt_video "$1" "$pw" | head -c "$(stat -c %s "$1")" | cmp -s - "$2" ||
	    bad "$2 is not $1 scrambled"
}

# Copied in through a writable view: stored scrambled, and under a mistyped
# password refused, with nothing written.
add_films() {
	fresh && films "$HOME/films.scrambled" scrambled && mkdir -p "$HOME/Videos"
	cp "$media/movie.mp4" "$HOME/Videos/holiday.mp4"
	rm "$HOME/films.scrambled/holiday.mp4"
	echo "$pw" >"$HOME/.films.pass"
	ran "$1" || return 0
	unmounted "$HOME/films"
	stored_as "$HOME/Videos/holiday.mp4" "$HOME/films.scrambled/holiday.mp4"
	local before
	before=$(snapshot "$HOME/films.scrambled")
	echo 'my passwort' >"$HOME/.films.pass"
	cp "$media/movie.mkv" "$HOME/Videos/holiday.mp4"
	! example "$1" || bad "copied in under a mistyped password"
	unmounted "$HOME/films"
	[ "$(snapshot "$HOME/films.scrambled")" = "$before" ] || bad "a mistyped password changed the library"
	rm -rf "$HOME/films.scrambled" "$HOME/films" "$HOME/Videos" "$HOME/.films.scrambled.check" "$HOME/.films.pass"
}

# Both ways through a writable view of the originals: a film new on either
# side arrives on the other, scrambled on the copy, the original in ~/films.
sync_both_ways() {
	command -v unison >/dev/null || { echo "  skipped: no unison"; return 0; }
	# The backup's copy of the examples before is another key's.
	rm -rf "$HOME/films" "$work/nas/films.scrambled" "$HOME/.films.check"
	fresh && films "$HOME/films" && mkdir -p "$work/nas"
	echo "$pw" >"$HOME/.films.pass"
	ran "$1"
	unmounted "$HOME/films.sync"
	scrambled_as "$pw" "$HOME/films" "$work/nas/films.scrambled"
	cp "$media/movie.ts" "$HOME/films/new.ts"
	encrypt_video "$media/movie.mkv" "$pw" | head -c "$(stat -c %s "$media/movie.mkv")" >"$work/nas/films.scrambled/far.mkv"
	ran "$1"
	unmounted "$HOME/films.sync"
	cmp -s "$media/movie.mkv" "$HOME/films/far.mkv" || bad "the film new on the copy is not the original in ~/films"
	scrambled_as "$pw" "$HOME/films" "$work/nas/films.scrambled"
	rm -rf "$HOME/films" "$HOME/films.sync" "$work/nas/films.scrambled" "$HOME/.unison" \
	    "$HOME/.films.pass" "$HOME/.films.check"
}

# The download client's line: what its user writes is stored scrambled,
# that user's, in DIR.
downloads() {
	[ "$(id -u)" = 0 ] || { echo "  skipped: mount(8) runs the line as root"; return 0; }
	mountpoint -q / || { echo "  skipped: / is no mount point here (a chroot), so no mount namespace can be made private"; return 0; }
	fresh && mkdir -p "$work/srv/downloads.scrambled/old" "$work/srv/downloads"
	chmod 777 "$work/srv/downloads.scrambled"
	echo "$pw" >"$work/etc/films.pass" && chmod 600 "$work/etc/films.pass"
	printf '%s\n' "$1" >fstab
	cp "$media/movie.mp4" "$work/movie.mp4"
	# The client stands in the folder, which it need not reach from "/".
	# shellcheck disable=SC2016 # expanded by the inner shell
	unshare -m --propagation private bash -euc 'mount --bind "$0" /usr/local/bin
		mount -T fstab "$1"
		(cd "$1" && setpriv --reuid=65534 --regid=65534 --clear-groups \
		    sh -c "cat >film.mp4") <"$2"
		fusermount3 -u "$1"' "$bin" "$work/srv/downloads" "$work/movie.mp4" >out 2>err ||
	    bad "the client's film did not go through the line's view: $(cat err)"
	unmounted "$work/srv/downloads"
	[ "$(stat -c %u "$work/srv/downloads.scrambled/film.mp4" 2>/dev/null)" = 65534 ] ||
	    bad "the client's film is not the client's"
	stored_as "$work/movie.mp4" "$work/srv/downloads.scrambled/film.mp4"
	rm -rf "$work/srv/downloads.scrambled" "$work/srv/downloads" "$work/etc/films.check" "$work/movie.mp4"
}

mount_unit() {
	if ! command -v systemd-analyze >/dev/null; then
		echo "  skipped: no systemd-analyze"
		return 0
	fi
	fresh && mkdir -p units
	# The unit is named after its Where=, as systemd requires.
	printf '%s\n' "$1" >"units/$(systemd-escape -p --suffix=mount "$work/srv/films")"
	SYSTEMD_UNIT_PATH=$PWD/units: systemd-analyze verify units/*.mount >out 2>err ||
	    bad "systemd-analyze verify: $(cat err)"
	echo "  verified with systemd-analyze; started nowhere, as systemd is not PID 1 here"
}

# The drop-in is verified over the server's unit, this machine's or a
# stand-in; its guard, the ExecStartPre= command as the page has it, is run
# where the server would start: over a live view, over one that died, over
# the folder with no view, and as another user over a view it may not enter.
drop_in() {
	fresh && mkdir -p units/minidlna.service.d
	printf '%s\n' "$1" >units/minidlna.service.d/films.conf
	if [ -e /lib/systemd/system/minidlna.service ]; then
		cp /lib/systemd/system/minidlna.service units/
	else
		printf '[Service]\nUser=nobody\nExecStart=/bin/true\n' >units/minidlna.service
	fi
	if command -v systemd-analyze >/dev/null; then
		SYSTEMD_UNIT_PATH=$PWD/units: systemd-analyze verify units/minidlna.service >out 2>err ||
		    bad "systemd-analyze verify: $(cat err)"
	fi
	[ "$fuse" = yes ] || return 0
	local guard films=$work/srv/films pid
	guard=$(sed -n 's/^ExecStartPre=//p' <<<"$1")
	[ -n "$guard" ] || { bad "no ExecStartPre= guard"; return 0; }
	films "$work/srv/films.scrambled" scrambled && mkdir -p "$films"
	# The server's user may reach the mount point, as in /srv.
	chmod 755 "$work" "$work/srv"
	guard() { # guard WHEN [setpriv...]: the guard as the server's user
		"${@:2}" bash -c "$guard" >out 2>err
	}
	view "$work/srv/films.scrambled" "$films"
	guard live || bad "the guard stops the server over a live view: $(cat out err)"
	# Only root can be the server's user, and give it allow_other without
	# user_allow_other in /etc/fuse.conf; the server's user must reach the
	# mount point, or the guard fails for that alone.
	local server=(setpriv --reuid=65534 --regid=65534 --clear-groups)
	if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
		echo "  the guard as another user skipped: root alone can be another user"
	elif ! "${server[@]}" test -x "$work/srv"; then
		echo "  the guard as another user skipped: nobody may reach $work/srv"
	else
		! guard "another user" "${server[@]}" ||
		    bad "the guard lets the server start over a view its user may not enter: $(cat out)"
		fusermount3 -u "$films" && view "$work/srv/films.scrambled" "$films" -o allow_other
		guard "another user" "${server[@]}" ||
		    bad "the guard stops another user over a view with allow_other: $(cat out err)"
	fi
	# The view killed, the server then restarted for its rescan.
	pid=$(views)
	kill -9 "$pid"
	while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
	! guard dead || bad "the guard lets the server start over a view that died (it said: $(cat out err))"
	echo "  the guard over a view that died: $(cat out err | head -1)"
	fusermount3 -u "$films"
	! guard unmounted || bad "the guard lets the server start over the folder with no view"
	[ -s out ] || [ -s err ] || bad "the guard said nothing over the folder with no view"
	unmounted "$films"
	echo "  the guard over no view: $(cat out err | head -1)"
	echo "  the guard run over a live view, one that died and none; minidlnad not run (no dependency of the project, and its unit needs systemd as PID 1)"
	rm -rf "$work/srv/films.scrambled" "$films"
}

# Those that mount a view, or need a backup made through one.
view_examples=" watch backup restore change_password add_films sync_both_ways read_ahead fstab downloads "
declare -A plans
keys=()
while IFS= read -r line; do
	if [[ $line = $'\t'* ]]; then plans[${keys[-1]}]=${line#$'\t'}; else keys+=("$line"); fi
done < <(plan)
declare -A seen
ran=() skipped=()
while IFS= read -r -u 3 -d '' key && IFS= read -r -u 3 -d '' text; do
	[ -z "${seen[$key]:-}" ] || fail "two examples are both known as: $key"
	seen[$key]=1
	current=$key
	how=${plans[$key]:-}
	case $how in
	run\ *)
		if [ "$fuse" != yes ] && [[ $view_examples = *" ${how#run } "* ]]; then
			skipped+=("$key: $fuse")
			continue
		fi
		echo "-- $key"
		# Each in a subshell of its own, which a command that fails
		# unexpectedly ends; the next example still runs.
		set +e
		(set -e && ${how#run } "$(on_this_machine <<<"$text")") </dev/null
		status=$?
		set -e
		((status == 0)) || bad "stopped by a command that failed (status $status)"
		ran+=("$key")
		;;
	skip\ *) skipped+=("$key: ${how#skip }") ;;
	*) bad "an example that this test neither runs nor skips; add it to plan() in $0" ;;
	esac
done 3< <(examples)
for key in "${keys[@]}"; do
	[ -n "${seen[$key]:-}" ] || { current=$key; bad "in plan() but in no page any more"; }
done

echo
echo "examples run (${#ran[@]}):"
printf '  %s\n' "${ran[@]}"
echo "examples skipped (${#skipped[@]}):"
printf '  %s\n' "${skipped[@]}"
echo "$((SECONDS - started)) s"
finish
