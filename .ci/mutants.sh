#!/usr/bin/env bash
# Applies one-line faults to a scratch copy of the tree, one at a time, and
# runs the suite on each without the script tests (which a distribution's
# build skips): every fault must make it fail.  One that survives names a
# behaviour that no test holds, and fails this script.  A fault is the
# text it changes within one function (or constant), which must stand
# there exactly once: a change elsewhere in the file leaves it be, and one
# that takes its text away fails this script until the fault is updated.
#
#   .ci/mutants.sh [TEXT]     (only the faults whose description holds TEXT)
. "$(dirname "$0")/lib.sh"
only=${1:-}
# A fault can kill a view before its test unmounts it: what is mounted in
# the tests' scratch folders is unmounted after each.
export TMPDIR=$work/tmp
mkdir "$TMPDIR"
unmount_left() {
	awk -v under="$TMPDIR/" 'index($2, under) == 1 { print $2 }' /proc/mounts |
	    xargs -r -n 1 fusermount3 -u -z || true
}
trap 'unmount_left; rm -rf "$work"' EXIT
git ls-files -z | xargs -0 cp --parents -t "$work"
# A fault that makes a test hang is caught at its timeout, here ten times
# what the slowest test takes natively, not the minute an emulator needs.
cmake -S "$work" -B "$work/build" -DENCRYPT_VIDEO_TEST_TIMEOUT=20 >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
# A test this machine cannot run (no pseudo-terminal, no mount namespace)
# cannot catch a fault here.
baseline=$(ctest --test-dir "$work/build" -E '^(examples|video_and_workflows)$' -j"$(nproc)" 2>&1) || {
	echo "$baseline"
	echo "mutants.sh: the suite fails before any fault" >&2
	exit 1
}
skipped=$(sed -n 's/^.* - \(.*\) (Skipped)$/\1/p' <<<"$baseline" | tr '\n' ' ')
[ -z "$skipped" ] || echo "skipped on this machine: $skipped"

survived=()
# mutate FILE NAME FROM TO: in the definition of NAME, a function starting
# a line (style(9)) or a constant declared at the left margin, the one
# place FROM stands becomes TO.  Both are plain text, across lines too.
mutate() {
	name=$2 from=$3 to=$4 awk '
	{ line[NR] = $0 }
	END {
		name = ENVIRON["name"]; from = ENVIRON["from"]; to = ENVIRON["to"]
		word = "(^|[^A-Za-z0-9_])" name "([^A-Za-z0-9_]|$)"
		for (i = 1; i <= NR && !start; i++)
			if (index(line[i], name "(") == 1)
				start = i
		for (i = 1; i <= NR && !start; i++)
			if (line[i] ~ /^[A-Za-z_]/ && line[i] ~ word)
				start = i
		if (!start) {
			print "no " name " here" > "/dev/stderr"
			exit 1
		}
		end = start
		if (line[start] !~ /;$/)
			while (end < NR && line[end] != "}" && line[end] != "};")
				end++
		text = line[start]
		for (i = start + 1; i <= end; i++)
			text = text "\n" line[i]
		at = index(text, from)
		if (at == 0 || index(substr(text, at + 1), from) != 0) {
			print (at == 0 ? "no longer" : "more than once") \
			    " in " name > "/dev/stderr"
			exit 1
		}
		for (i = 1; i < start; i++)
			print line[i]
		print substr(text, 1, at - 1) to substr(text, at + length(from))
		for (i = end + 1; i <= NR; i++)
			print line[i]
	}' "$1"
}
fault() { # fault FILE NAME FROM TO WHAT
	local file=$work/$1
	[[ $5 = *"$only"* ]] || return 0
	cp "$file" "$file.orig"
	if ! mutate "$file.orig" "$2" "$3" "$4" >"$file" ||
	    cmp -s "$file" "$file.orig"; then
		echo "mutants.sh: this fault no longer applies to $2 in $1: $5" >&2
		exit 1
	fi
	if ! cmake --build "$work/build" -j"$(nproc)" >/dev/null 2>&1; then
		echo "mutants.sh: this fault does not build: $5" >&2
		exit 1
	fi
	if ctest --test-dir "$work/build" -E '^(examples|video_and_workflows)$' --stop-on-failure \
	    -j"$(nproc)" >/dev/null 2>&1; then
		echo "SURVIVED: $5"
		survived+=("$5")
	else
		echo "caught:   $5"
	fi
	unmount_left
	# A copy, not a move: the restored file must be newer than what the
	# fault built.
	cp "$file.orig" "$file"
	rm "$file.orig"
}
# Calls a read or a write once, where it was retried after EINTR.
once='[](auto call) { return call(); }('

fault core/scramble.h block_size 8192 16384 "blocks of 16384 bytes"
fault core/scramble.h reserved_values 0x65 0x64 "reserved 0x65 becomes 0x64"
fault core/scramble.h reserved_values 0x80 0x81 "reserved 0x80 becomes 0x81"
fault core/scramble.h reserved_values 0x88 0x89 "reserved 0x88 becomes 0x89"
fault core/scramble.h reserved_values 0x01 0x00 "reserved 0x01 dropped"
fault core/scramble.cc should_encrypt_byte ' || (byte ^ key) == reserved' '' "the XOR partner of a reserved value is scrambled"
fault core/scramble.cc add_to_djb2_hash '+ byte' '+ static_cast<std::int8_t>(byte)' "password bytes read signed"
fault core/scramble.cc reduce_hash_to_key '% 255' '% 256' "key modulo 256"
fault core/scramble.cc should_encrypt_byte 'position % spacing' 'position % 32' "every 32nd byte a candidate whatever the key"
fault core/scramble.cc scramble_from 'if (spacing == 0)' 'if (false)' "scrambling loops on key 0"
fault core/scramble.cc scramble_filled $'out.end(),\n\t    0);' $'out.end(),\n\t    1);' "the last block filled with ones"
fault core/range.cc read_scrambled 'offset, s);' '0, s);' "a range scrambled as if it began a block"
fault core/scramble.cc scramble_from 'offset % block_size' 'offset' "a range's place in its block taken from its offset in the file"
fault encrypt_video/main.cc main 'std::span(buffer).subspan(filled)' 'std::span(buffer.data() + filled, buffer.size())' "a read may overrun the buffer"
fault encrypt_video/main.cc main 'whole == 0' 'filled < buffer.size()' "blocks held back until the buffer is full"
fault encrypt_video/main.cc main 'if (n < 0)' $'if (n < 0)\n\t\t\tbreak;\n\t\tif (false)' "a read error taken for the end"
fault encrypt_video/main.cc read_some 'retry_interrupted(' "$once" "read not retried after EINTR"
fault encrypt_video/main.cc write_all 'retry_interrupted(' "$once" "write not retried after EINTR"
fault encrypt_video/main.cc write_all 'if (n == 0) {' $'if (n == 0)\n\t\t\treturn true;\n\t\tif (false) {' "a write of 0 taken for done"
fault encrypt_video/main.cc write_all 'poll(&out, 1, -1) < 0 && errno != EINTR' 'false' "a failed poll ignored"
fault encrypt_video/main.cc close_output 'close(STDOUT_FILENO) != 0 &&' 'close(STDOUT_FILENO) != 0 && false &&' "a failed close of the output ignored"
fault encrypt_video/main.cc main 'fstat(in, &in_stat) != 0' 'false' "a failed fstat of the input ignored"
fault encrypt_video/main.cc main 'argc > 3' 'false' "operands after the password ignored without a word"
fault encrypt_video/main.cc main 'std::strlen(password))' 'std::strlen(password) / 2)' "half the password wiped"
fault encrypt_video/main.cc main $'explicit_bzero(password, std::strlen(password));\n\n\tconst int in = open_input(path);' $'const int in = open_input(path);\n\texplicit_bzero(password, std::strlen(password));' "the password wiped only once the input is open"
fault encrypt_video/main.cc main 'S_ISREG(out_stat.st_mode) && ' '' "any output with the input's inode refused"
fault encrypt_video/main.cc main 'out_stat.st_dev == in_stat.st_dev &&' '' "the device of the output not compared"
fault encrypt_video/main.cc main 'out_stat.st_ino == in_stat.st_ino' 'true' "the inode of the output not compared"
fault encrypt_video/main.cc main 'isatty(STDOUT_FILENO) == 1' 'false' "a terminal as output not refused"
fault encrypt_video/main.cc main 'key == 0' 'false' "key 0 not refused"
fault edge/edge.h retry_interrupted 'errno == EINTR' 'errno == EINVAL' "no call retried after EINTR"
fault encrypt_video_fs/view.cc show 'st.st_ino = view_inode(v, st.st_ino' 'st.st_size = S_ISREG(st.st_mode) ? (st.st_size + 8191) / 8192 * 8192 : st.st_size; st.st_ino = view_inode(v, st.st_ino' "the view's sizes rounded up to whole blocks"
fault encrypt_video_fs/nodes.cc is_shown 'S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode)' 'true' "FIFOs, sockets and devices shown"
fault encrypt_video_fs/view.cc view_inode 'inode ^ static_cast<ino_t>(mark << 48)' 'inode + 0 * mark' "inode numbers of a file system inside DIR left to repeat DIR's"
fault encrypt_video_fs/view.cc reopen 'flags | O_NOATIME' 'flags' "reading through the view touches the access times of DIR"
fault encrypt_video_fs/view.cc list 'view_inode(v, entry->d_ino, dir_stat.st_dev)' 'entry->d_ino + 0 * dir_stat.st_dev' "a folder of another file system listed with numbers stat does not give"
fault encrypt_video_fs/nodes.cc open_at 'O_PATH | O_NOFOLLOW' 'O_PATH' "links in DIR followed"
fault encrypt_video_fs/view.cc list 'offset != telldir(dir)' 'false' "the entry that did not fit lost"
fault encrypt_video_fs/start.cc keep_standard_streams 'null <= STDERR_FILENO' 'null < 0' "DIR opened in the place of a closed standard stream"
fault encrypt_video_fs/start.cc open_session 'v.settings.writable != 0 ? "rw" : "ro"' '"rw"' "mounted read-write though not asked to write"
fault encrypt_video_fs/view.cc view_init 'conn->want |= FUSE_CAP_POSIX_ACL;' '' "access control lists of DIR not applied"
fault encrypt_video_fs/view.cc reply_open 'v.nodes.is_unchanged(n, st) || v.settings.keep_cache' 'v.settings.keep_cache' "nothing kept in the kernel's cache"
fault encrypt_video_fs/nodes.cc node_table::is_unchanged 'n.ctime_ns == nanoseconds(st.st_ctim)' 'true' "the kernel's cache kept for a file rewritten to its size and time"
fault encrypt_video_fs/start.cc open_folders 'is_within(std::move(mount_fd), dir_stat)' 'false' "a mount point inside DIR taken"
fault encrypt_video_fs/password.cc key_from 'key == 0' 'false' "key 0 not refused by the view"
fault encrypt_video_fs/view.cc show 'st.st_ino = view_inode(v, st.st_ino' 'st.st_mode &= ~0222u; st.st_ino = view_inode(v, st.st_ino' "write bits taken from the modes of DIR"
fault encrypt_video_fs/nodes.cc node_table::find 'if (!is_same(fd, n.id)) {' 'if (false) {' "a node found again by a name that now leads to another file"
fault encrypt_video_fs/nodes.cc generation_of 'std::hash<std::string_view>()(handle)' '0' "a file that takes a deleted file's inode number taken for it"
fault encrypt_video_fs/nodes.cc node_table::remember 'if (fd >= 0 && n.folder)' 'if (fd >= 0)' "a file's node keeps a descriptor, and a deleted film's blocks with it"
fault encrypt_video_fs/nodes.cc node_table::trim 'return n.held_until <= now;' 'return false;' "a lookup's descriptor kept past its time while no request comes"
fault encrypt_video_fs/nodes.cc node_table::hold_briefly 'hold_.count() == 0 ||' 'true ||' "the open that follows a lookup finds the file again by its name"
fault encrypt_video_fs/nodes.cc node_table::look_up_at 'if (!handles_ || st.st_dev != root_.id.device)' 'if (true)' "a folder that gave up its descriptor lost when renamed, even as root"
fault encrypt_video_fs/view.cc is_hidden_from 'fuse_req_ctx(req)->uid != 0' 'false' "trusted.* names shown to every user"
fault encrypt_video_fs/start.cc share_descriptors '.files = most / 8 * 3' '.files = most' "no descriptors kept for the lookups of others"
fault encrypt_video_fs/view.cc descriptor_share::take ' || own >= limit_ - limit_ / 4' '' "one user may take every open file's descriptor"
fault encrypt_video_fs/start.cc answer_start 'conn.max_read = max_read;' '(void)conn;' "max_read not said again when the kernel starts the view"
fault encrypt_video_fs/start.cc answer_start 'kib * 1024);' '0u);' "the kernel's first read-ahead kept as the view's answer"
fault encrypt_video_fs/start.cc raise_read_ahead 'kib <= kernel_read_ahead_kib' 'true' "the mount's read-ahead never raised"
fault encrypt_video_fs/start.cc read_ahead_kib 'std::min(most, v.settings.max_read / 1024)' 'most' "read ahead past what max_read allows"
fault encrypt_video_fs/view.cc view_operations 'operations.listxattr = view_listxattr;' '' "extended attributes of DIR not listed"
fault encrypt_video_fs/options.cc table '{"auto_unmount", refuses,' '{"auto_unmount", discards,' "auto_unmount taken"
fault encrypt_video_fs/options.cc table '{"umask=", refuses,' '{"umask=", discards,' "umask= taken"
fault encrypt_video_fs/start.cc share_descriptors 'files.rlim_cur = files.rlim_max;' '' "the descriptor limit left as it was"
fault encrypt_video_fs/start.cc check_fuse_is_here 'access("/proc/self/fd", X_OK) != 0' 'false' "a machine without /proc not refused"
fault encrypt_video_fs/start.cc return_when_served 'served && unstopped() &&' 'true ||' "the command returns before the view answers"
fault encrypt_video_fs/nodes.cc node_table::look_up_at 'if (is_own_mount(dir, name))' 'if (false)' "the view enters itself, bound inside DIR"
fault encrypt_video_fs/password.cc read_password_key "c == '\\r'" 'false' "a carriage return kept in the password"
fault encrypt_video_fs/password.cc ask_password_key 'quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);' '' "the password echoed"
fault encrypt_video_fs/password.cc check_key 'other == key ?' 'true ?' "any password passes the check of another"
fault encrypt_video_fs/password.cc read_password_key 'if (empty)' 'if (false)' "an empty password line taken for the empty password"
fault encrypt_video_fs/start.cc open_folders '!allow_empty && is_empty(fd.get())' 'false' "an empty DIR shown as an empty library"
fault encrypt_video_fs/start.cc open_folders 'if (is_fuse_mount(mount_fd.get()))' 'if (false)' "a view mounted over another"
fault encrypt_video_fs/start.cc serve 'if (signalled && !answered)' 'if (false)' "a signal before the view answered told as a lost connection"
fault encrypt_video_fs/start.cc answer_start 'fuse_session_exit(se);' '' "a daemon serves on whose command was killed while it waited"
fault encrypt_video_fs/start.cc return_when_served 'unstopped())' 'true)' "a stop signal while the command answers its daemon left a view"
fault encrypt_video_fs/write.cc view_write 'scramble_from(std::span(bytes.get(), size),' 'if (false) scramble_from(std::span(bytes.get(), size),' "what is written stored as it came"
fault encrypt_video_fs/write.cc as_caller::as_caller 'setfsuid(ctx->uid);' '' "files made as root for another user"
fault encrypt_video_fs/write.cc view_copy_file_range 'within(from) != within(to)' 'false' "a copy to another place in a block left to DIR"
fault encrypt_video_fs/write.cc view_mknod '!S_ISREG(mode)' 'false' "FIFOs made in DIR through the view"
fault encrypt_video_fs/nodes.cc node_table::rename '!is_shown(there.st_mode)' 'false' "a FIFO of DIR replaced by a rename through the view"
fault encrypt_video_fs/options.cc parse_command_line 'line.settings.writable != 0 && line.passcheck == nullptr' 'false' "writable without a password check"
fault encrypt_video_fs/write.cc view_setattr 'if (drops_set_id(' 'if (false && drops_set_id(' "set-id bits kept where another may write, and the write refused"

if [ ${#survived[@]} -gt 0 ] && [ -n "$skipped" ]; then
	echo "${#survived[@]} fault(s) survived, which the tests skipped here may catch elsewhere"
elif [ ${#survived[@]} -gt 0 ]; then
	echo "mutants.sh: ${#survived[@]} fault(s) survived the suite" >&2
	exit 1
else
	echo "every fault made the suite fail"
fi
