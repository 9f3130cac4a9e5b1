#!/usr/bin/env bash
# Applies one-line faults to a scratch copy of the tree, one at a time, and
# runs the suite on each without the video check (which a distribution's
# build skips): every fault must make it fail.  One that survives names a
# behaviour that no test holds, and fails this script.
#
#   .ci/mutants.sh
. "$(dirname "$0")/lib.sh"
git ls-files -z | xargs -0 cp --parents -t "$work"
cmake -S "$work" -B "$work/build" >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
# A test this machine cannot run (no pseudo-terminal, no mount namespace)
# cannot catch a fault here.
baseline=$(ctest --test-dir "$work/build" -E video_and_workflows -j"$(nproc)" 2>&1) || {
	echo "$baseline"
	echo "mutants.sh: the suite fails before any fault" >&2
	exit 1
}
skipped=$(sed -n 's/^.* - \(.*\) (Skipped)$/\1/p' <<<"$baseline" | tr '\n' ' ')
[ -z "$skipped" ] || echo "skipped on this machine: $skipped"

survived=()
fault() { # fault FILE SED-EXPRESSION WHAT
	local file=$work/$1
	cp "$file" "$file.orig"
	sed -i "$2" "$file"
	if cmp -s "$file" "$file.orig"; then
		echo "mutants.sh: this fault no longer applies to $1: $3" >&2
		exit 1
	fi
	if ! cmake --build "$work/build" -j"$(nproc)" >/dev/null 2>&1; then
		echo "mutants.sh: this fault does not build: $3" >&2
		exit 1
	fi
	if ctest --test-dir "$work/build" -E video_and_workflows --stop-on-failure \
	    --timeout 60 -j"$(nproc)" >/dev/null 2>&1; then
		echo "SURVIVED: $3"
		survived+=("$3")
	else
		echo "caught:   $3"
	fi
	# A copy, not a move: the restored file must be newer than what the
	# fault built.
	cp "$file.orig" "$file"
	rm "$file.orig"
}

fault core/scramble.h 's/block_size = 8192/block_size = 16384/' "blocks of 16384 bytes"
fault core/scramble.h 's/0x41, 0x65, 0x80/0x41, 0x64, 0x80/' "reserved 0x65 becomes 0x64"
fault core/scramble.h 's/0x65, 0x80, 0x88/0x65, 0x81, 0x88/' "reserved 0x80 becomes 0x81"
fault core/scramble.h 's/0x80, 0x88,/0x80, 0x89,/' "reserved 0x88 becomes 0x89"
fault core/scramble.h 's/0x00, 0x01, 0x41/0x00, 0x00, 0x41/' "reserved 0x01 dropped"
fault core/scramble.cc 's/byte == reserved || (byte ^ key) == reserved/byte == reserved/' "the XOR partner of a reserved value is scrambled"
fault core/scramble.cc 's/return hash \* 33 + byte;/return hash * 33 + static_cast<std::int8_t>(byte);/' "password bytes read signed"
fault core/scramble.cc 's/hash % 255/hash % 256/' "key modulo 256"
fault core/scramble.cc 's/position % spacing != 0/position % 32 != 0/' "every 32nd byte a candidate whatever the key"
fault core/scramble.cc 's/^\tif (spacing == 0)$/\tif (false)/' "scramble_blocks loops on key 0"
fault encrypt_video/main.cc 's/std::span(buffer).subspan(filled)/std::span(buffer.data() + filled, buffer.size())/' "a read may overrun the buffer"
fault encrypt_video/main.cc 's/if (whole == 0)$/if (filled < buffer.size())/' "blocks held back until the buffer is full"
fault encrypt_video/main.cc 's/^\t\tif (n < 0)$/\t\tif (n < 0)\n\t\t\tbreak;\n\t\tif (false)/' "a read error taken for the end"
fault encrypt_video/main.cc 's/< 0 \&\& errno == EINTR)$/< 0 \&\& errno == EINVAL)/' "read not retried after EINTR"
fault encrypt_video/main.cc 's/^\t\t\tif (errno == EINTR)$/\t\t\tif (errno == EINVAL)/' "write not retried after EINTR"
fault encrypt_video/main.cc 's/^\t\tif (n == 0) {$/\t\tif (n == 0)\n\t\t\treturn true;\n\t\tif (false) {/' "a write of 0 taken for done"
fault encrypt_video/main.cc 's/if (poll(&out, 1, -1) < 0 \&\& errno != EINTR)/if (false)/' "a failed poll ignored"
fault encrypt_video/main.cc 's/close(STDOUT_FILENO) != 0 \&\& errno/close(STDOUT_FILENO) != 0 \&\& false \&\& errno/' "a failed close of the output ignored"
fault encrypt_video/main.cc 's/if (fstat(in, &in_stat) != 0)/if (false)/' "a failed fstat of the input ignored"
fault encrypt_video/main.cc 's/^\tif (argc > 3)$/\tif (false)/' "operands after the password ignored without a word"
fault encrypt_video/main.cc 's/std::strlen(password));/std::strlen(password) \/ 2);/' "half the password wiped"
fault encrypt_video/main.cc '/^\texplicit_bzero(password/d; s/^\tconst int in = open_input(path);$/&\n\texplicit_bzero(password, std::strlen(password));/' "the password wiped only once the input is open"
fault encrypt_video/main.cc 's/S_ISREG(out_stat.st_mode) \&\& //' "any output with the input's inode refused"
fault encrypt_video/main.cc 's/out_stat.st_dev == in_stat.st_dev \&\&//' "the device of the output not compared"
fault encrypt_video/main.cc 's/out_stat.st_ino == in_stat.st_ino)/true)/' "the inode of the output not compared"
fault encrypt_video/main.cc 's/isatty(STDOUT_FILENO) == 1/false/' "a terminal as output not refused"
fault encrypt_video/main.cc 's/if (key == 0)$/if (false)/' "key 0 not refused"
fault core/scramble.cc 's/out.end(), 0);/out.end(), 1);/' "the last block filled with ones"
fault core/range.cc 's/read_fully(block, at - skip, read_at)/read_fully(block, at, read_at)/' "a part of a block read from where it starts"
fault encrypt_video_fs/view.cc 's/static_cast<off_t>(scrambled_size(/static_cast<off_t>((/' "the view's sizes those of DIR"
fault encrypt_video_fs/view.cc 's/^\tst.st_ino = view_inode(st.st_ino, st.st_dev);$/\tst.st_mode \&= ~0222u;\n\tst.st_ino = view_inode(st.st_ino, st.st_dev);/' "write bits taken from the modes of DIR"
fault encrypt_video_fs/view.cc 's/return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode);/return true;/' "FIFOs, sockets and devices shown"
fault encrypt_video_fs/view.cc 's/return inode ^ static_cast<ino_t>(mark << 48);/return inode + 0 * mark;/' "inode numbers of a file system inside DIR left to repeat DIR's"
fault encrypt_video_fs/view.cc 's/open(self.c_str(), flags | O_NOATIME);/open(self.c_str(), flags);/' "reading through the view touches the access times of DIR"
fault encrypt_video_fs/view.cc 's/st.st_ino = view_inode(entry->d_ino, dir_stat.st_dev);/st.st_ino = entry->d_ino + 0 * dir_stat.st_dev;/' "a folder of another file system listed with numbers stat does not give"
fault encrypt_video_fs/main.cc 's/null <= STDERR_FILENO)$/null < 0)/' "DIR opened in the place of a closed standard stream"
fault encrypt_video_fs/view.cc 's/how.resolve = resolve | RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;/how.resolve = resolve;/' "links in DIR followed"
fault encrypt_video_fs/view.cc 's/S_ISREG(st.st_mode) ? reopen(found, 0) : -ENOENT/reopen(found, 0)/' "a FIFO that took a file's place opened"
fault encrypt_video_fs/view.cc 's/if (fd != -EXDEV \&\& fd != -ENAMETOOLONG)/if (fd != -EXDEV)/' "paths past PATH_MAX not walked"
fault encrypt_video_fs/view.cc 's/return -EOVERFLOW;/st.st_size = -1;/' "a size past the largest shown as it overflows"
fault encrypt_video_fs/view.cc 's/^\toperations.listxattr = view_listxattr;//' "extended attributes of DIR not listed"
fault encrypt_video_fs/view.cc 's/conn->max_read = this_view().max_read;/(void)conn;/' "max_read not said again when the kernel starts the view"
fault encrypt_video_fs/view.cc 's/v.open_files.fetch_add(1) >= v.file_limit/v.open_files.fetch_add(1) > v.file_limit * 2/' "no descriptors kept for the lookups of others"
fault encrypt_video_fs/view.cc 's/if (offset != telldir(dir))/if (false)/' "the entry that did not fit lost"
fault encrypt_video_fs/main.cc 's/"ro,nodev,nosuid,default_permissions,"/"nodev,nosuid,default_permissions,"/' "mounted read-write when asked"
fault encrypt_video_fs/main.cc 's/"ro,nodev,nosuid,default_permissions,"/"ro,nodev,nosuid,"/' "permissions left to the daemon"
fault encrypt_video_fs/main.cc 's/fuse_opt_insert_arg(&args, 1, "-oauto_cache");//' "nothing kept in the kernel's cache"
fault encrypt_video_fs/main.cc 's/if (is_within(mount_point, dir_stat))/if (false)/' "a mount point inside DIR taken"
fault encrypt_video_fs/main.cc 's/if (key == 0)$/if (false)/' "key 0 not refused by the view"
fault encrypt_video_fs/main.cc '/FUSE_OPT_KEY("auto_unmount", 0),/d' "auto_unmount taken"
fault encrypt_video_fs/main.cc '/FUSE_OPT_KEY("umask=", 2),/d' "umask= taken"
fault encrypt_video_fs/main.cc 's/^\tfiles.rlim_cur = files.rlim_max;//' "the descriptor limit left as it was"
fault encrypt_video_fs/main.cc 's/if (device_of(mount_path, AT_STATX_FORCE_SYNC) == own_device)/if (true)/' "the command returns before the view answers"
fault encrypt_video_fs/main.cc 's/access("\/proc\/self\/fd", X_OK) != 0/false/' "a machine without \/proc not refused"
fault encrypt_video_fs/password.cc "s/carriage_return = c == '\\\\r';/carriage_return = false;/" "a carriage return kept in the password"
fault encrypt_video_fs/password.cc 's/quiet.c_lflag \&= ~static_cast<tcflag_t>(ECHO);//' "the password echoed"

if [ ${#survived[@]} -gt 0 ] && [ -n "$skipped" ]; then
	echo "${#survived[@]} fault(s) survived, which the tests skipped here may catch elsewhere"
elif [ ${#survived[@]} -gt 0 ]; then
	echo "mutants.sh: ${#survived[@]} fault(s) survived the suite" >&2
	exit 1
else
	echo "every fault made the suite fail"
fi
