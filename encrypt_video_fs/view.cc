#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "edge.h"
#include "range.h"
#include "view.h"

namespace {

view &
this_view()
{
	return *static_cast<view *>(fuse_get_context()->private_data);
}

const char *
relative(const char *path)
{
	return path[1] == '\0' ? "." : path + 1;
}

int
open_at(int dir, const char *path, std::uint64_t flags, std::uint64_t resolve)
{
	open_how how{};
	how.flags = flags | O_NOFOLLOW | O_CLOEXEC;
	how.resolve = resolve | RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
	const long fd = retry_interrupted([&] {
		return syscall(SYS_openat2, dir, path, &how, sizeof how);
	});
	return fd < 0 ? -errno : static_cast<int>(fd);
}

// Whether name in dir is the view's own mount, bound somewhere inside DIR:
// entering it, the view would wait on itself for ever.  Asked of the
// kernel's cached attributes, which asks nothing of any file system.
bool
is_own_mount(int dir, const char *name)
{
	struct statx st {};

	return statx(dir, name, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW |
	    AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, 0, &st) == 0 &&
	    makedev(st.stx_dev_major, st.stx_dev_minor) ==
	    this_view().own_device;
}

// A path of DIR as an O_PATH descriptor, which opens nothing: found without
// following a symbolic link anywhere in it, without leaving DIR, and
// without entering the view itself.  Across a mount inside DIR, or past
// PATH_MAX, it is walked a name at a time.
int
find_beneath(const char *path)
{
	const int root = this_view().root;
	int fd = open_at(root, relative(path), O_PATH, RESOLVE_NO_XDEV);

	if (fd != -EXDEV && fd != -ENAMETOOLONG)
		return fd;
	fd = open_at(root, ".", O_PATH, 0);
	for (std::string_view rest = relative(path); fd >= 0 && !rest.empty();) {
		const std::string name(rest.substr(0, rest.find('/')));
		rest.remove_prefix(std::min(rest.size(), name.size() + 1));
		const int next = open_at(fd, name.c_str(), O_PATH, 0);
		close(fd);
		if (next >= 0 && is_own_mount(next, "")) {
			close(next);
			return -ELOOP;
		}
		fd = next;
	}
	return fd;
}

// What names the file open at fd, for the calls that take only a name.
std::string
self_path(int fd)
{
	return "/proc/self/fd/" + std::to_string(fd);
}

// The file found as fd, opened for reading through /proc: the very inode
// whose type was checked, not whatever its name has become since (a FIFO
// opened would wake its writer, a device could act).  Reading leaves even
// the access times of DIR as they were where the kernel lets it: for the
// files' owner, or root.
int
reopen(int fd, int flags)
{
	const std::string self = self_path(fd);
	flags |= O_RDONLY | O_NOCTTY | O_CLOEXEC;
	int opened = open(self.c_str(), flags | O_NOATIME);

	if (opened < 0 && errno == EPERM)
		opened = open(self.c_str(), flags);
	return opened < 0 ? -errno : opened;
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

// What the view shows of a file of DIR: all of it but the size of a
// regular file, which is that of its output.
int
show(struct stat &st)
{
	if (!is_shown(st.st_mode))
		return -ENOENT;
	st.st_ino = view_inode(st.st_ino, st.st_dev);
	if (!S_ISREG(st.st_mode))
		return 0;
	// Within a block of the largest size there is, rounded up it has none.
	const std::uint64_t size = scrambled_size(
	    static_cast<std::uint64_t>(st.st_size));
	if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
		return -EOVERFLOW;
	st.st_size = static_cast<off_t>(size);
	return 0;
}

int
view_getattr(const char *path, struct stat *st, fuse_file_info *fi)
{
	const int fd = fi != nullptr ? static_cast<int>(fi->fh) :
	    find_beneath(path);
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
	const int fd = find_beneath(path);
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

// Extended attributes are read through /proc too, as nothing else reaches
// an O_PATH descriptor's.
template <typename Read>
int
read_attributes(const char *path, Read read)
{
	const int fd = find_beneath(path);
	if (fd < 0)
		return fd;
	const ssize_t n = read(self_path(fd).c_str());
	const int error = errno;
	close(fd);
	return n < 0 ? -error : static_cast<int>(n);
}

int
view_getxattr(const char *path, const char *name, char *value, size_t size)
{
	return read_attributes(path, [&](const char *self) {
		return getxattr(self, name, value, size);
	});
}

int
view_listxattr(const char *path, char *list, size_t size)
{
	return read_attributes(path, [&](const char *self) {
		return listxattr(self, list, size);
	});
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
	const int found = find_beneath(path);
	if (found < 0)
		return found;
	const int fd = reopen(found, O_DIRECTORY);
	close(found);
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
	const int fd = dirfd(dir);
	const bool plus = (flags & FUSE_READDIR_PLUS) != 0;

	struct stat dir_stat {};
	if (fd < 0 || fstat(fd, &dir_stat) != 0)
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
		bool full = plus && name != "." && name != "..";
		struct stat st {};
		st.st_ino = view_inode(entry->d_ino, dir_stat.st_dev);
		st.st_mode = DTTOIF(entry->d_type);
		const bool unknown = entry->d_type == DT_UNKNOWN;
		// Where the view itself is bound, only a lookup tells it.
		if ((full || unknown) && (unknown || entry->d_type == DT_DIR) &&
		    is_own_mount(fd, entry->d_name)) {
			full = false;
		} else if (full || unknown) {
			struct stat found {};
			if (fstatat(fd, entry->d_name, &found,
			    AT_SYMLINK_NOFOLLOW) != 0)
				continue;
			const int shown = show(found);
			if (shown == -ENOENT)
				continue;
			// Listed all the same; a lookup tells what is wrong.
			full = full && shown == 0;
			st = found;
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
	view &v = this_view();

	if ((fi->flags & O_ACCMODE) != O_RDONLY)
		return -EROFS;
	if (v.open_files.fetch_add(1) >= v.file_limit) {
		v.open_files--;
		return -EMFILE;
	}
	// The type is that of the inode about to be opened, which a name
	// the kernel has cached may no longer have.
	const int found = find_beneath(path);
	struct stat st {};
	const int fd = found < 0 ? found : fstat(found, &st) != 0 ? -errno :
	    S_ISREG(st.st_mode) ? reopen(found, 0) : -ENOENT;
	if (found >= 0)
		close(found);
	if (fd < 0) {
		v.open_files--;
		return fd;
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
	    static_cast<std::uint64_t>(offset), v.scramble,
	    [fd](std::span<std::uint8_t> into, std::uint64_t at) -> std::int64_t {
		    const ssize_t n = retry_interrupted([&] {
			    return pread(fd, into.data(), into.size(),
				static_cast<off_t>(at));
		    });
		    return n < 0 ? -errno : n;
	    }));
}

int
view_release(const char *, fuse_file_info *fi)
{
	close(static_cast<int>(fi->fh));
	this_view().open_files--;
	return 0;
}

int
view_statfs(const char *, struct statvfs *st)
{
	return fstatvfs(this_view().root, st) == 0 ? 0 : -errno;
}

void *
view_init(fuse_conn_info *conn, fuse_config *config)
{
	// libfuse wants a max_read said again here, or fails the mount.
	if (this_view().max_read != 0)
		conn->max_read = this_view().max_read;
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
	operations.getxattr = view_getxattr;
	operations.listxattr = view_listxattr;
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
