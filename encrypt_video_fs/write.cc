#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "callbacks.h"
#include "scramble.h"

namespace {

// glibc's setgroups would change the groups of every thread of the view;
// the raw call changes the caller's thread's alone, 32-bit ones included.
#ifdef SYS_setgroups32
constexpr long setgroups_call = SYS_setgroups32;
#else
constexpr long setgroups_call = SYS_setgroups;
#endif

using capabilities = std::array<__user_cap_data_struct, 2>;

// The file system uid drops the capabilities of file access, not the one
// that lets root past reserved blocks and quotas: dropped here, on this
// thread alone, with what it had kept in was, to be given back.
int
drop_room(capabilities &was)
{
	__user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
	constexpr std::size_t word = CAP_SYS_RESOURCE / 32;
	constexpr std::uint32_t bit = 1u << (CAP_SYS_RESOURCE % 32);
	if (syscall(SYS_capget, &header, was.data()) != 0)
		return -errno;
	auto less = was;
	less[word].effective &= ~bit;
	return syscall(SYS_capset, &header, less.data()) == 0 ? 0 : -errno;
}

void
give_back_room(capabilities &was)
{
	__user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
	syscall(SYS_capset, &header, was.data());
}

// For the calls that fill a file the caller has open: the kernel checked
// what it may do with it, not how much room it may take.  Root's reserved
// blocks go by the file system uid and groups, and with quotas by the
// capability; the caller's own groups are left out, which a caller in the
// reserved group by those alone would have on DIR.  Cheaper than taking
// the whole caller, which asks /proc for its groups.
class callers_room {
public:
	explicit callers_room(fuse_req_t req)
	{
		const fuse_ctx *ctx = fuse_req_ctx(req);
		if (geteuid() != 0 || ctx->uid == 0)
			return;
		if ((error_ = drop_room(was_)) != 0)
			return;
		dropped_ = true;
		syscall(setgroups_call, 0, nullptr);
		setfsgid(ctx->gid);
		setfsuid(ctx->uid);
	}
	~callers_room()
	{
		if (!dropped_)
			return;
		setfsuid(0);
		setfsgid(0);
		give_back_room(was_);
	}
	callers_room(const callers_room &) = delete;
	callers_room &operator=(const callers_room &) = delete;
	int error() const { return error_; } // 0, or why not

private:
	capabilities was_{};
	bool dropped_ = false;
	int error_ = 0;
};

// Whether the caller may make or remove name in the folder held as dir: 0,
// or the negative errno of why not.
int
may_change(const as_caller &caller, const node_table::held &dir,
    const char *name)
{
	if (caller.error() != 0)
		return caller.error();
	if (dir.fd() < 0)
		return dir.fd();
	return is_one_name(name) ? 0 : -EINVAL;
}

// What make leaves in the folder open as dir, as the caller, answered with
// its entry: 0 from make, or its negative errno.
template <typename Make>
void
make_entry(fuse_req_t req, fuse_ino_t parent_ino, const char *name, Make make)
{
	view &v = view_of(req);
	node &parent = node_of(v, parent_ino);
	const as_caller caller(req);
	const node_table::held dir(v.nodes, parent);
	fuse_entry_param e{};
	const auto made = [&] {
		int error = may_change(caller, dir, name);
		if (error == 0)
			error = make(dir.fd());
		if (error != 0)
			return error;
		return look_up(v, parent, dir.fd(), name, e);
	};
	if (const int error = made(); error != 0) {
		reply_error(req, error);
		return;
	}
	reply_entry(req, v, e);
}

int
result(int status)
{
	return status == 0 ? 0 : -errno;
}

void
view_mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode)
{
	make_entry(req, parent, name, [&](int dir) {
		return result(mkdirat(dir, name, mode));
	});
}

void
view_symlink(fuse_req_t req, const char *target, fuse_ino_t parent,
    const char *name)
{
	make_entry(req, parent, name, [&](int dir) {
		return result(symlinkat(target, dir, name));
	});
}

// FIFOs, sockets and devices are left out of the view, and so never made
// through it, where they would be there in DIR and nowhere to be seen.
void
view_mknod(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
    dev_t)
{
	if (!S_ISREG(mode)) {
		fuse_reply_err(req, EPERM);
		return;
	}
	make_entry(req, parent, name, [&](int dir) {
		return result(mknodat(dir, name, mode, 0));
	});
}

void
view_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent,
    const char *name)
{
	view &v = view_of(req);
	const node_table::held file(v.nodes, node_of(v, ino));
	make_entry(req, parent, name, [&](int dir) {
		// Linked as the very inode, not by a name that may have moved.
		if (file.fd() < 0)
			return file.fd();
		const std::string self = self_path(file.fd());
		return result(linkat(AT_FDCWD, self.c_str(), dir, name,
		    AT_SYMLINK_FOLLOW));
	});
}

// Removes name from parent where the view shows it.
void
remove_name(fuse_req_t req, fuse_ino_t parent, const char *name, int flags)
{
	view &v = view_of(req);
	const as_caller caller(req);
	const node_table::held dir(v.nodes, node_of(v, parent));
	const auto removed = [&] {
		if (const int error = may_change(caller, dir, name); error != 0)
			return error;
		struct stat st {};
		if (fstatat(dir.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
			return -errno;
		if (!is_shown(st.st_mode))
			return -ENOENT;
		return result(unlinkat(dir.fd(), name, flags));
	};
	reply_error(req, removed());
}

void
view_unlink(fuse_req_t req, fuse_ino_t parent, const char *name)
{
	remove_name(req, parent, name, 0);
}

void
view_rmdir(fuse_req_t req, fuse_ino_t parent, const char *name)
{
	remove_name(req, parent, name, AT_REMOVEDIR);
}

void
view_rename(fuse_req_t req, fuse_ino_t parent, const char *name,
    fuse_ino_t to, const char *to_name, unsigned flags)
{
	view &v = view_of(req);
	constexpr unsigned known = RENAME_NOREPLACE | RENAME_EXCHANGE;
	if ((flags & ~known) != 0) {
		fuse_reply_err(req, EINVAL);
		return;
	}
	const as_caller caller(req);
	reply_error(req, caller.error() != 0 ? caller.error() : v.nodes.rename(
	    node_of(v, parent), name, node_of(v, to), to_name, flags));
}

// A file that is there already is opened as what it is, never as a FIFO
// or a device that took a file's name.
int
create_file(int dir, const char *name, int flags, mode_t mode)
{
	const int access = flags & O_ACCMODE;
	const int fd = openat(dir, name, access | O_CREAT | O_EXCL |
	    O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
	if (fd >= 0 || errno != EEXIST || (flags & O_EXCL) != 0)
		return fd < 0 ? -errno : fd;
	const unique_fd there(openat(dir, name, O_PATH | O_NOFOLLOW |
	    O_CLOEXEC));
	struct stat st {};
	if (there.get() < 0 || fstat(there.get(), &st) != 0)
		return -errno;
	if (!S_ISREG(st.st_mode))
		return S_ISDIR(st.st_mode) ? -EISDIR : S_ISLNK(st.st_mode) ?
		    -ELOOP : -EPERM;
	return reopen(there.get(), access | (flags & O_TRUNC));
}

void
view_create(fuse_req_t req, fuse_ino_t parent_ino, const char *name,
    mode_t mode, fuse_file_info *fi)
{
	view &v = view_of(req);
	node &parent = node_of(v, parent_ino);
	const uid_t user = fuse_req_ctx(req)->uid;
	if (!v.files.take(user)) {
		fuse_reply_err(req, EMFILE);
		return;
	}
	const as_caller caller(req);
	const node_table::held dir(v.nodes, parent);
	unique_fd fd;
	fuse_entry_param e{};
	node *made = nullptr;
	const auto created = [&] {
		if (const int error = may_change(caller, dir, name); error != 0)
			return error;
		fd.reset(create_file(dir.fd(), name, fi->flags, mode));
		if (fd.get() < 0)
			return fd.get();
		return v.nodes.look_up_open(parent, name, fd.get(), e.attr,
		    made);
	};
	if (const int error = created(); error != 0) {
		v.files.give_back(user);
		reply_error(req, error);
		return;
	}
	fill_entry(v, *made, e);
	reply_open(req, v, *made, user, std::move(fd), fi, &e);
}

// Scrambled as a read of the same place would be: the transform undoes
// itself, and a byte's depends only on its value and its place in its
// block, so that a write anywhere is transformed on its own.
void
view_write(fuse_req_t req, fuse_ino_t, const char *data, std::size_t size,
    off_t offset, fuse_file_info *fi)
{
	const view &v = view_of(req);
	const auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
	std::memcpy(bytes.get(), data, size);
	scramble_from(std::span(bytes.get(), size),
	    static_cast<std::uint64_t>(offset), v.scramble);
	const callers_room room(req);
	if (room.error() != 0) {
		reply_error(req, room.error());
		return;
	}
	const ssize_t n = retry_interrupted([&] {
		return pwrite(fd_of(fi), bytes.get(), size, offset);
	});
	if (n < 0) {
		reply_error(req, -errno);
		return;
	}
	fuse_reply_write(req, static_cast<std::size_t>(n));
}

// Each change setattr asks for, of the file open as fd (O_PATH), or its
// open file fi: 0, or the negative errno of the first that fails.
int
change(int fd, const struct stat &st, const struct stat &to, int to_set,
    const fuse_file_info *fi)
{
	const std::string self = self_path(fd);
	// A link has no mode of its own to change, as on DIR.
	if ((to_set & FUSE_SET_ATTR_MODE) != 0 && S_ISLNK(st.st_mode))
		return -EOPNOTSUPP;
	if ((to_set & FUSE_SET_ATTR_MODE) != 0 &&
	    chmod(self.c_str(), to.st_mode & 07777) != 0)
		return -errno;
	const uid_t uid = (to_set & FUSE_SET_ATTR_UID) != 0 ? to.st_uid :
	    static_cast<uid_t>(-1);
	const gid_t gid = (to_set & FUSE_SET_ATTR_GID) != 0 ? to.st_gid :
	    static_cast<gid_t>(-1);
	constexpr int itself = AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW;
	if ((to_set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0 &&
	    fchownat(fd, "", uid, gid, itself) != 0)
		return -errno;
	// Zeros past the end are zeros in DIR too: the transform keeps them.
	if ((to_set & FUSE_SET_ATTR_SIZE) != 0 && (fi != nullptr ?
	    ftruncate(fd_of(fi), to.st_size) :
	    truncate(self.c_str(), to.st_size)) != 0)
		return -errno;
	const auto time = [&](int given, int now, const timespec &at) {
		return (to_set & now) != 0 ? timespec{0, UTIME_NOW} :
		    (to_set & given) != 0 ? at : timespec{0, UTIME_OMIT};
	};
	const timespec times[2] = {
		time(FUSE_SET_ATTR_ATIME, FUSE_SET_ATTR_ATIME_NOW, to.st_atim),
		time(FUSE_SET_ATTR_MTIME, FUSE_SET_ATTR_MTIME_NOW, to.st_mtim),
	};
	constexpr int any_time = FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME |
	    FUSE_SET_ATTR_ATIME_NOW | FUSE_SET_ATTR_MTIME_NOW;
	if ((to_set & any_time) != 0 && utimensat(fd, "", times, itself) != 0)
		return -errno;
	return 0;
}

// Whether the mode asked for is st's less set-id bits, for a caller who
// does not own the file: only the kernel asks that, before it lets one who
// may write to the file write or cut it, as DIR's would drop them then.
bool
drops_set_id(const struct stat &st, const struct stat &to, int to_set,
    uid_t caller)
{
	constexpr mode_t set_id = S_ISUID | S_ISGID;
	const mode_t now = st.st_mode & 07777;
	const mode_t asked = to.st_mode & 07777;
	return (to_set & FUSE_SET_ATTR_MODE) != 0 && caller != st.st_uid &&
	    (asked & ~set_id) == (now & ~set_id) && (asked & ~now) == 0 &&
	    asked != now;
}

void
view_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set,
    fuse_file_info *fi)
{
	view &v = view_of(req);
	const node_table::held file(v.nodes, node_of(v, ino));
	struct stat st {};
	const auto changed = [&] {
		if (file.fd() < 0)
			return file.fd();
		constexpr int itself = AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW;
		if (fstatat(file.fd(), "", &st, itself) != 0)
			return -errno;
		int asked = to_set;
		// The caller could not: done as the view, as the kernel did.
		if (drops_set_id(st, *attr, asked, fuse_req_ctx(req)->uid)) {
			if (chmod(self_path(file.fd()).c_str(),
			    attr->st_mode & 07777) != 0)
				return -errno;
			asked &= ~FUSE_SET_ATTR_MODE;
		}
		const as_caller caller(req);
		if (caller.error() != 0)
			return caller.error();
		const int error = change(file.fd(), st, *attr, asked, fi);
		if (error != 0)
			return error;
		return fstatat(file.fd(), "", &st, itself) != 0 ? -errno : 0;
	};
	if (const int error = changed(); error != 0) {
		reply_error(req, error);
		return;
	}
	show(v, st);
	fuse_reply_attr(req, &st, v.settings.attr_timeout);
}

void
view_fsync(fuse_req_t req, fuse_ino_t, int data_only, fuse_file_info *fi)
{
	reply_error(req, result(data_only != 0 ? fdatasync(fd_of(fi)) :
	    fsync(fd_of(fi))));
}

void
view_fsyncdir(fuse_req_t req, fuse_ino_t, int data_only, fuse_file_info *fi)
{
	const int fd = dirfd(folder_of(fi).dir);
	if (fd < 0) {
		reply_error(req, -errno);
		return;
	}
	reply_error(req, result(data_only != 0 ? fdatasync(fd) : fsync(fd)));
}

// Every write has reached DIR already, but what DIR's file system tells
// only at a close (a server's quota, its disk full) is told at the
// caller's, as on DIR.  Out of descriptors, there is no close to ask.
void
view_flush(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
{
	const int copy = dup(fd_of(fi));
	reply_error(req, copy < 0 ? 0 : result(close(copy)));
}

// Names root alone may set, which a daemon run as root would set for all.
bool
is_for_root_alone(fuse_req_t req, std::string_view name)
{
	return (name.starts_with("trusted.") ||
	    name.starts_with("security.")) && fuse_req_ctx(req)->uid != 0;
}

template <typename Change>
void
change_attribute(fuse_req_t req, fuse_ino_t ino, const char *name,
    Change change)
{
	view &v = view_of(req);
	if (is_for_root_alone(req, name)) {
		fuse_reply_err(req, EPERM);
		return;
	}
	const as_caller caller(req);
	const node_table::held file(v.nodes, node_of(v, ino));
	reply_error(req, caller.error() != 0 ? caller.error() : file.fd() < 0 ?
	    file.fd() : result(change(self_path(file.fd()).c_str())));
}

void
view_setxattr(fuse_req_t req, fuse_ino_t ino, const char *name,
    const char *value, std::size_t size, int flags)
{
	change_attribute(req, ino, name, [&](const char *self) {
		return setxattr(self, name, value, size, flags);
	});
}

void
view_removexattr(fuse_req_t req, fuse_ino_t ino, const char *name)
{
	change_attribute(req, ino, name, [&](const char *self) {
		return removexattr(self, name);
	});
}

// Collapsing or inserting a range moves the bytes after it, which keep
// their transform only where they keep their place in their blocks.
void
view_fallocate(fuse_req_t req, fuse_ino_t, int mode, off_t offset,
    off_t length, fuse_file_info *fi)
{
	if ((mode & (FALLOC_FL_COLLAPSE_RANGE | FALLOC_FL_INSERT_RANGE)) != 0 &&
	    length % static_cast<off_t>(block_size) != 0) {
		fuse_reply_err(req, EOPNOTSUPP);
		return;
	}
	const callers_room room(req);
	reply_error(req, room.error() != 0 ? room.error() :
	    result(fallocate(fd_of(fi), mode, offset, length)));
}

// Bytes copied to the same place in a block keep their transform, which
// DIR's own file system can copy, or share; the kernel copies others
// through the view.
void
view_copy_file_range(fuse_req_t req, fuse_ino_t, off_t from, fuse_file_info *in,
    fuse_ino_t, off_t to, fuse_file_info *out, std::size_t length, int flags)
{
	const auto within = [](off_t at) {
		return at % static_cast<off_t>(block_size);
	};
	if (within(from) != within(to)) {
		fuse_reply_err(req, EOPNOTSUPP);
		return;
	}
	const callers_room room(req);
	if (room.error() != 0) {
		reply_error(req, room.error());
		return;
	}
	const ssize_t n = copy_file_range(fd_of(in), &from, fd_of(out), &to,
	    length, static_cast<unsigned>(flags));
	if (n < 0) {
		reply_error(req, -errno);
		return;
	}
	fuse_reply_write(req, static_cast<std::size_t>(n));
}

}

as_caller::as_caller(fuse_req_t req, bool needed)
{
	if (!needed)
		return;
	const fuse_ctx *ctx = fuse_req_ctx(req);
	// A umask is a process's but for a thread that has its own: each of
	// the view's takes one, to take each caller's in turn.
	thread_local const bool own_umask = unshare(CLONE_FS) == 0;
	if (own_umask) {
		umask_ = umask(ctx->umask);
		masked_ = true;
	}
	if (geteuid() != 0) {
		if (ctx->uid != geteuid())
			error_ = -EACCES;
		return;
	}
	std::vector<gid_t> groups(32);
	int n = fuse_req_getgroups(req, static_cast<int>(groups.size()),
	    groups.data());
	if (n > static_cast<int>(groups.size())) {
		groups.resize(static_cast<std::size_t>(n));
		n = fuse_req_getgroups(req, n, groups.data());
	}
	// A caller gone has its main group alone.
	groups.resize(n < 0 ? 0 : std::min(groups.size(),
	    static_cast<std::size_t>(n)));
	if (syscall(setgroups_call, groups.size(), groups.data()) != 0) {
		error_ = -errno;
		return;
	}
	switched_ = true;
	if (ctx->uid != 0 && (error_ = drop_room(caps_)) != 0)
		return;
	capped_ = ctx->uid != 0;
	setfsgid(ctx->gid);
	setfsuid(ctx->uid);
}

as_caller::~as_caller()
{
	if (switched_) {
		setfsuid(0);
		setfsgid(0);
		syscall(setgroups_call, 0, nullptr);
	}
	if (capped_)
		give_back_room(caps_);
	if (masked_)
		umask(umask_);
}

void
add_changes(fuse_lowlevel_ops &operations)
{
	operations.mkdir = view_mkdir;
	operations.symlink = view_symlink;
	operations.mknod = view_mknod;
	operations.link = view_link;
	operations.unlink = view_unlink;
	operations.rmdir = view_rmdir;
	operations.rename = view_rename;
	operations.create = view_create;
	operations.write = view_write;
	operations.setattr = view_setattr;
	operations.fsync = view_fsync;
	operations.fsyncdir = view_fsyncdir;
	operations.flush = view_flush;
	operations.setxattr = view_setxattr;
	operations.removexattr = view_removexattr;
	operations.fallocate = view_fallocate;
	operations.copy_file_range = view_copy_file_range;
}
