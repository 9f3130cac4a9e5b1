#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <string_view>

#include "view.h"

namespace {

const view &
this_view()
{
	return *static_cast<const view *>(fuse_get_context()->private_data);
}

// A path of DIR, opened without following a symbolic link anywhere in it
// and without leaving DIR: a folder swapped for a link while mounted leads
// nowhere.  With O_PATH, a link at the end is opened itself.
int
open_beneath(const char *path, int flags)
{
	open_how how{};
	how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
	how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
	const char *relative = path[1] == '\0' ? "." : path + 1;
	long fd;

	// Reading through the view leaves even the access times of DIR as
	// they were, where the kernel lets it: for the files' owner, or root.
	if ((flags & O_PATH) == 0)
		how.flags |= O_NOATIME;
	while ((fd = syscall(SYS_openat2, this_view().root, relative, &how,
	    sizeof how)) < 0 && (errno == EINTR ||
	    (errno == EPERM && (how.flags & O_NOATIME) != 0))) {
		if (errno == EPERM)
			how.flags &= ~static_cast<std::uint64_t>(O_NOATIME);
	}
	return fd < 0 ? -errno : static_cast<int>(fd);
}

// FIFOs, sockets and devices have no bytes to scramble, and opening one
// can block or act on a device: the view leaves them out.
bool
is_shown(mode_t mode)
{
	return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode);
}

// The view is one device, where the file systems mounted inside DIR would
// repeat DIR's inode numbers (every ext4 root is 2), which find and du take
// for loops and rsync -H for hard links.  Their numbers get a mark of their
// device in the top bits instead.
ino_t
view_inode(ino_t inode, dev_t device)
{
	if (device == this_view().root_device)
		return inode;
	const std::uint64_t mark = (static_cast<std::uint64_t>(device) *
	    0x9e3779b97f4a7c15u) >> 49 | 0x8000u;
	return inode ^ static_cast<ino_t>(mark << 48);
}

// What the view shows of a file of DIR.
int
show(struct stat &st)
{
	if (!is_shown(st.st_mode))
		return -ENOENT;
	if (S_ISREG(st.st_mode))
		st.st_size = static_cast<off_t>(scrambled_size(
		    static_cast<std::uint64_t>(st.st_size)));
	st.st_mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
	st.st_ino = view_inode(st.st_ino, st.st_dev);
	return 0;
}

int
view_getattr(const char *path, struct stat *st, fuse_file_info *fi)
{
	const int fd = fi != nullptr ? static_cast<int>(fi->fh) :
	    open_beneath(path, O_PATH);
	if (fd < 0)
		return fd;
	const int result = fstatat(fd, "", st, AT_EMPTY_PATH |
	    AT_SYMLINK_NOFOLLOW) == 0 ? show(*st) : -errno;
	if (fi == nullptr)
		close(fd);
	return result;
}

int
view_readlink(const char *path, char *target, size_t size)
{
	const int fd = open_beneath(path, O_PATH);
	if (fd < 0)
		return fd;
	const ssize_t n = readlinkat(fd, "", target, size - 1);
	const int error = errno;
	close(fd);
	if (n < 0)
		return -error;
	target[n] = '\0';
	return 0;
}

// libfuse keeps a handle as a 64-bit number, and an open folder's is its
// DIR *: the cast back cannot be avoided.
DIR *
dir_of(const fuse_file_info *fi)
{
	return reinterpret_cast<DIR *>(fi->fh); // NOLINT(performance-no-int-to-ptr)
}

int
view_opendir(const char *path, fuse_file_info *fi)
{
	const int fd = open_beneath(path, O_RDONLY | O_DIRECTORY);
	if (fd < 0)
		return fd;
	DIR *dir = fdopendir(fd);
	if (dir == nullptr) {
		const int error = errno;
		close(fd);
		return -error;
	}
	fi->fh = reinterpret_cast<std::uintptr_t>(dir);
	return 0;
}

// Entries go out as far as the kernel's buffer takes them, from where its
// offset says: a folder of any size costs no memory here.
int
view_readdir(const char *, void *buffer, fuse_fill_dir_t fill, off_t offset,
    fuse_file_info *fi, fuse_readdir_flags flags)
{
	DIR *dir = dir_of(fi);
	const bool plus = (flags & FUSE_READDIR_PLUS) != 0;

	struct stat dir_stat {};
	if (fstat(dirfd(dir), &dir_stat) != 0)
		return -errno;
	// An entry that did not fit is where the next call starts.
	if (offset != telldir(dir))
		seekdir(dir, offset);
	for (;;) {
		errno = 0;
		const dirent *entry = readdir(dir);
		if (entry == nullptr)
			return -errno;
		// The kernel knows "." and ".." already, and ".." of the root
		// is outside DIR.
		const std::string_view name = entry->d_name;
		const bool full = plus && name != "." && name != "..";
		struct stat st {};
		st.st_ino = view_inode(entry->d_ino, dir_stat.st_dev);
		st.st_mode = DTTOIF(entry->d_type);
		if (full || entry->d_type == DT_UNKNOWN) {
			if (fstatat(dirfd(dir), entry->d_name, &st,
			    AT_SYMLINK_NOFOLLOW) != 0 || show(st) != 0)
				continue;
		} else if (!is_shown(st.st_mode)) {
			continue;
		}
		if (fill(buffer, entry->d_name, &st, telldir(dir), full ?
		    FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0)) != 0)
			return 0;
	}
}

int
view_releasedir(const char *, fuse_file_info *fi)
{
	closedir(dir_of(fi));
	return 0;
}

int
view_open(const char *path, fuse_file_info *fi)
{
	if ((fi->flags & O_ACCMODE) != O_RDONLY)
		return -EROFS;
	// Non-blocking, so that a FIFO put in a file's place is not waited
	// for before it is turned away.
	const int fd = open_beneath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
	if (fd < 0)
		return fd;
	struct stat st {};
	const int error = fstat(fd, &st) != 0 ? errno :
	    S_ISREG(st.st_mode) ? 0 : ENOENT;
	if (error != 0) {
		close(fd);
		return -error;
	}
	fi->fh = static_cast<std::uint64_t>(fd);
	return 0;
}

int
view_read(const char *, char *buffer, size_t size, off_t offset,
    fuse_file_info *fi)
{
	const view &v = this_view();
	const int fd = static_cast<int>(fi->fh);

	return static_cast<int>(read_scrambled(
	    std::span(reinterpret_cast<std::uint8_t *>(buffer), size),
	    static_cast<std::uint64_t>(offset), v.key, v.table,
	    [fd](std::span<std::uint8_t> into, std::uint64_t at) -> std::int64_t {
		    ssize_t n;
		    while ((n = pread(fd, into.data(), into.size(),
			static_cast<off_t>(at))) < 0 && errno == EINTR)
			    ;
		    return n < 0 ? -errno : n;
	    }));
}

int
view_release(const char *, fuse_file_info *fi)
{
	close(static_cast<int>(fi->fh));
	return 0;
}

int
view_statfs(const char *, struct statvfs *st)
{
	return fstatvfs(this_view().root, st) == 0 ? 0 : -errno;
}

void *
view_init(fuse_conn_info *, fuse_config *config)
{
	// Inode numbers from DIR, for rsync -H, find and tar; and a read
	// needs only its open file, not the path it was opened by.
	config->use_ino = 1;
	config->nullpath_ok = 1;
	return fuse_get_context()->private_data;
}

// The view is mounted read-only, so the kernel answers every change
// itself; these answer the same after a remount read-write.
template <typename... Arguments>
int
refuse(Arguments...)
{
	return -EROFS;
}

}

fuse_operations
view_operations()
{
	fuse_operations operations{};

	operations.init = view_init;
	operations.getattr = view_getattr;
	operations.readlink = view_readlink;
	operations.opendir = view_opendir;
	operations.readdir = view_readdir;
	operations.releasedir = view_releasedir;
	operations.open = view_open;
	operations.read = view_read;
	operations.release = view_release;
	operations.statfs = view_statfs;
	operations.mknod = refuse;
	operations.mkdir = refuse;
	operations.unlink = refuse;
	operations.rmdir = refuse;
	operations.symlink = refuse;
	operations.rename = refuse;
	operations.link = refuse;
	operations.chmod = refuse;
	operations.chown = refuse;
	operations.truncate = refuse;
	operations.write = refuse;
	operations.create = refuse;
	operations.utimens = refuse;
	operations.setxattr = refuse;
	operations.removexattr = refuse;
	operations.fallocate = refuse;
	return operations;
}
