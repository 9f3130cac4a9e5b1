#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "callbacks.h"
#include "edge.h"
#include "range.h"

namespace {

// The view is one device, where the file systems mounted inside DIR would
// repeat DIR's inode numbers (every ext4 root is 2), which find and du take
// for loops and rsync -H for hard links.  Their numbers get a mark of their
// device in the top bits instead.
ino_t
view_inode(const view &v, ino_t inode, dev_t device)
{
	if (device == v.nodes.root().id.device)
		return inode;
	const std::uint64_t mark = (static_cast<std::uint64_t>(device) *
	    0x9e3779b97f4a7c15u) >> 49 | 0x8000u;
	return inode ^ static_cast<ino_t>(mark << 48);
}

fuse_ino_t
id_of(view &v, node &n)
{
	return &n == &v.nodes.root() ? FUSE_ROOT_ID :
	    reinterpret_cast<fuse_ino_t>(&n);
}

}

// What names the file open at fd, for the calls that take only a name.
std::string
self_path(int fd)
{
	return "/proc/self/fd/" + std::to_string(fd);
}

// The file of a node opened for reading through /proc: the very inode that
// was looked up, not whatever its name has become since.  Reading leaves
// even the access times of DIR as they were where the kernel lets it: for
// the files' owner, or root.
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

// What the view shows of a file of DIR: all of it, its size too, so that
// a copy taken through the view and read back through another view is the
// file again, byte for byte.
void
show(const view &v, struct stat &st)
{
	st.st_ino = view_inode(v, st.st_ino, st.st_dev);
}

// A node of v, which the caller may change: v itself is not const.
node &
node_of(view &v, fuse_ino_t ino) // cppcheck-suppress constParameterReference
{
	// The kernel names a node by the number it was given, its address.
	return ino == FUSE_ROOT_ID ? v.nodes.root() :
	    *reinterpret_cast<node *>(ino); // NOLINT(performance-no-int-to-ptr)
}

// Looks name up in parent, open as dir where the caller holds it.
int
look_up(view &v, node &parent, int dir, const char *name, fuse_entry_param &e)
{
	e = fuse_entry_param{};
	node *found = nullptr;
	const int error = dir < 0 ?
	    v.nodes.look_up(parent, name, e.attr, found) :
	    v.nodes.look_up_in(parent, dir, name, e.attr, found);
	if (error != 0)
		return error;
	fill_entry(v, *found, e);
	return 0;
}

void
fill_entry(view &v, node &n, fuse_entry_param &e)
{
	show(v, e.attr);
	e.ino = id_of(v, n);
	e.attr_timeout = v.settings.attr_timeout;
	e.entry_timeout = v.settings.entry_timeout;
}

bool
descriptor_share::take(uid_t user)
{
	const std::scoped_lock locked(lock_);
	unsigned long &own = by_user_[user];
	if (taken_ >= limit_ || own >= limit_ - limit_ / 4)
		return false;
	taken_++;
	own++;
	return true;
}

open_folder &
folder_list::add(DIR *dir, uid_t user)
{
	const std::scoped_lock locked(lock_);
	return list_.emplace_front(open_folder{dir, user});
}

void
folder_list::remove(const open_folder &folder)
{
	closedir(folder.dir);
	const std::scoped_lock locked(lock_);
	list_.remove_if([&](const open_folder &f) { return &f == &folder; });
}

void
descriptor_share::give_back(uid_t user)
{
	const std::scoped_lock locked(lock_);
	taken_--;
	if (--by_user_[user] == 0)
		by_user_.erase(user);
}

view &
view_of(fuse_req_t req)
{
	return *static_cast<view *>(fuse_req_userdata(req));
}

// Errors travel as negative errnos, and go out positive, as the kernel
// wants them.
void
reply_error(fuse_req_t req, int error)
{
	fuse_reply_err(req, -error);
}

// A node counts each lookup the kernel got: one it did not (its caller
// was interrupted) it will never forget.
void
reply_entry(fuse_req_t req, view &v, const fuse_entry_param &e)
{
	if (fuse_reply_entry(req, &e) != 0 && e.ino != 0)
		v.nodes.forget(node_of(v, e.ino), 1);
}

// An open file's handle is its descriptor and its user, side by side.
int
fd_of(const fuse_file_info *fi)
{
	return static_cast<int>(fi->fh & 0xffffffffu);
}

void
reply_open(fuse_req_t req, view &v, node &n, uid_t user, unique_fd fd,
    fuse_file_info *fi, const fuse_entry_param *created)
{
	struct stat st {};
	if (fd.get() >= 0 && fstat(fd.get(), &st) != 0)
		fd.reset(-errno);
	if (fd.get() < 0) {
		v.files.give_back(user);
		if (created != nullptr)
			v.nodes.forget(n, 1);
		reply_error(req, fd.get());
		return;
	}
	fi->fh = static_cast<std::uint64_t>(user) << 32 |
	    static_cast<std::uint32_t>(fd.get());
	fi->keep_cache = v.nodes.is_unchanged(n, st) || v.settings.keep_cache;
	v.nodes.opened(n, fd.release());
	// Interrupted, the open is not released.
	if ((created != nullptr ? fuse_reply_create(req, created, fi) :
	    fuse_reply_open(req, fi)) != 0) {
		v.nodes.released(n, fd_of(fi));
		v.files.give_back(user);
		if (created != nullptr)
			v.nodes.forget(n, 1);
	}
}

open_folder &
folder_of(const fuse_file_info *fi)
{
	// NOLINTNEXTLINE(performance-no-int-to-ptr)
	return *reinterpret_cast<open_folder *>(fi->fh);
}

namespace {

void
view_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
	view &v = view_of(req);
	fuse_entry_param e{};
	const int error = look_up(v, node_of(v, parent), -1, name, e);
	// Told as a node 0, the kernel keeps a name's absence for a while.
	if (error == -ENOENT && v.settings.negative_timeout > 0) {
		e.entry_timeout = v.settings.negative_timeout;
		fuse_reply_entry(req, &e);
		return;
	}
	if (error != 0) {
		reply_error(req, error);
		return;
	}
	reply_entry(req, v, e);
}

void
view_forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t count)
{
	view &v = view_of(req);
	v.nodes.forget(node_of(v, ino), count);
	fuse_reply_none(req);
}

void
view_forget_multi(fuse_req_t req, std::size_t count, fuse_forget_data *forgets)
{
	view &v = view_of(req);
	for (const fuse_forget_data &f : std::span(forgets, count))
		v.nodes.forget(node_of(v, f.ino), f.nlookup);
	fuse_reply_none(req);
}

// Asked of an open file too, as the kernel asks before it reads one: a
// node with open files answers from one of them, wherever its name has
// gone.
void
view_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
	view &v = view_of(req);
	const node_table::held file(v.nodes, node_of(v, ino));
	if (file.fd() < 0) {
		reply_error(req, file.fd());
		return;
	}
	struct stat st {};
	constexpr int itself = AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW;
	if (fstatat(file.fd(), "", &st, itself) != 0) {
		reply_error(req, -errno);
		return;
	}
	show(v, st);
	fuse_reply_attr(req, &st, v.settings.attr_timeout);
}

void
view_readlink(fuse_req_t req, fuse_ino_t ino)
{
	view &v = view_of(req);
	const node_table::held link(v.nodes, node_of(v, ino));
	if (link.fd() < 0) {
		reply_error(req, link.fd());
		return;
	}
	char target[PATH_MAX + 1];
	const ssize_t n = readlinkat(link.fd(), "", target, PATH_MAX);
	if (n < 0) {
		reply_error(req, -errno);
		return;
	}
	target[n] = '\0';
	fuse_reply_readlink(req, target);
}

// Names DIR shows only to root, which a daemon run as root would show all.
bool
is_hidden_from(fuse_req_t req, std::string_view name)
{
	return name.starts_with("trusted.") && fuse_req_ctx(req)->uid != 0;
}

// Extended attributes are read through /proc, as nothing else reaches an
// O_PATH descriptor's; the reply is the size alone where size is 0.
template <typename Read>
void
reply_attributes(fuse_req_t req, fuse_ino_t ino, std::size_t size, Read read)
{
	view &v = view_of(req);
	const node_table::held file(v.nodes, node_of(v, ino));
	if (file.fd() < 0) {
		reply_error(req, file.fd());
		return;
	}
	const std::string self = self_path(file.fd());
	std::vector<char> value(std::max<std::size_t>(size, 1));
	const ssize_t n = read(self.c_str(), std::span(value));
	if (n < 0) {
		reply_error(req, static_cast<int>(n));
		return;
	}
	if (size == 0) {
		fuse_reply_xattr(req, static_cast<std::size_t>(n));
		return;
	}
	fuse_reply_buf(req, value.data(), static_cast<std::size_t>(n));
}

void
view_getxattr(fuse_req_t req, fuse_ino_t ino, const char *name,
    std::size_t size)
{
	if (is_hidden_from(req, name)) {
		fuse_reply_err(req, ENODATA);
		return;
	}
	reply_attributes(req, ino, size, [&](const char *self,
	    std::span<char> value) -> ssize_t {
		const ssize_t n = getxattr(self, name, size == 0 ? nullptr :
		    value.data(), size);
		return n < 0 ? -errno : n;
	});
}

void
view_listxattr(fuse_req_t req, fuse_ino_t ino, std::size_t size)
{
	reply_attributes(req, ino, size, [&](const char *self,
	    std::span<char> value) -> ssize_t {
		// All of it, to leave out what the caller may not see.
		ssize_t n = listxattr(self, nullptr, 0);
		std::vector<char> all(static_cast<std::size_t>(std::max(n,
		    ssize_t{1})));
		if (n > 0)
			n = listxattr(self, all.data(), all.size());
		if (n < 0)
			return -errno;
		std::size_t kept = 0;
		std::string_view rest(all.data(), static_cast<std::size_t>(n));
		while (!rest.empty()) {
			const std::string_view one = rest.substr(0,
			    rest.find('\0'));
			rest.remove_prefix(std::min(rest.size(),
			    one.size() + 1));
			if (is_hidden_from(req, one))
				continue;
			if (size != 0 && kept + one.size() + 1 > size)
				return -ERANGE;
			if (size != 0)
				std::memcpy(value.subspan(kept).data(),
				    one.data(), one.size() + 1);
			kept += one.size() + 1;
		}
		return static_cast<ssize_t>(kept);
	});
}

void
view_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
	view &v = view_of(req);
	const uid_t user = fuse_req_ctx(req)->uid;
	if (!v.folders.take(user)) {
		fuse_reply_err(req, EMFILE);
		return;
	}
	const auto opened = [&]() -> std::pair<DIR *, int> {
		const node_table::held found(v.nodes, node_of(v, ino));
		if (found.fd() < 0)
			return {nullptr, found.fd()};
		unique_fd fd(reopen(found.fd(), O_DIRECTORY));
		if (fd.get() < 0)
			return {nullptr, fd.get()};
		DIR *dir = fdopendir(fd.get());
		if (dir == nullptr)
			return {nullptr, -errno};
		fd.release();
		return {dir, 0};
	};
	const auto [dir, error] = opened();
	if (dir == nullptr) {
		v.folders.give_back(user);
		reply_error(req, error);
		return;
	}
	open_folder &folder = v.open_folders.add(dir, user);
	fi->fh = reinterpret_cast<std::uintptr_t>(&folder);
	// Interrupted, the opendir is not released.
	if (fuse_reply_open(req, fi) != 0) {
		v.open_folders.remove(folder);
		v.folders.give_back(user);
	}
}

// Entries go out as far as the kernel's buffer takes them, from where its
// offset says.  Every name is listed, as DIR lists it, even where its
// attributes cannot be read: its lookup then tells the error.
void
list(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset,
    fuse_file_info *fi, bool plus)
{
	view &v = view_of(req);
	node &parent = node_of(v, ino);
	DIR *dir = folder_of(fi).dir;
	const int fd = dirfd(dir);
	struct stat dir_stat {};
	if (fd < 0 || fstat(fd, &dir_stat) != 0) {
		reply_error(req, -errno);
		return;
	}
	std::vector<char> buffer(size);
	std::span<char> free = buffer;
	std::vector<fuse_ino_t> given;
	// An entry that did not fit is where the next call starts, at an
	// offset that telldir gave.
	if (offset != telldir(dir))
		seekdir(dir, static_cast<long>(offset));
	for (;;) {
		errno = 0;
		const dirent *entry = readdir(dir);
		if (entry == nullptr && errno != 0 && free.size() == size) {
			reply_error(req, -errno);
			return;
		}
		if (entry == nullptr)
			break;
		// The kernel knows "." and ".." already, and ".." of the root
		// is outside DIR.
		const std::string_view name = entry->d_name;
		const bool dot = name == "." || name == "..";
		fuse_entry_param e{};
		e.attr.st_ino = view_inode(v, entry->d_ino, dir_stat.st_dev);
		e.attr.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
		struct stat st {};
		// Where the view itself is bound, only a lookup tells it.
		if (entry->d_type == DT_UNKNOWN && !v.nodes.is_own_mount(fd,
		    entry->d_name) && fstatat(fd, entry->d_name, &st,
		    AT_SYMLINK_NOFOLLOW) == 0)
			e.attr.st_mode = st.st_mode;
		if (e.attr.st_mode != 0 && !is_shown(e.attr.st_mode))
			continue;
		fuse_entry_param found{};
		if (plus && !dot && look_up(v, parent, fd, entry->d_name,
		    found) == 0)
			e = found;
		const off_t next = telldir(dir);
		const std::size_t used = plus ? fuse_add_direntry_plus(req,
		    free.data(), free.size(), entry->d_name, &e, next) :
		    fuse_add_direntry(req, free.data(), free.size(),
		    entry->d_name, &e.attr, next);
		if (used > free.size()) {
			if (e.ino != 0)
				v.nodes.forget(node_of(v, e.ino), 1);
			break;
		}
		if (e.ino != 0)
			given.push_back(e.ino);
		free = free.subspan(used);
	}
	// As with an entry, a listing the kernel did not get.
	if (fuse_reply_buf(req, buffer.data(), size - free.size()) != 0)
		for (const fuse_ino_t lost : given)
			v.nodes.forget(node_of(v, lost), 1);
}

void
view_readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset,
    fuse_file_info *fi)
{
	list(req, ino, size, offset, fi, false);
}

void
view_readdirplus(fuse_req_t req, fuse_ino_t ino, std::size_t size,
    off_t offset, fuse_file_info *fi)
{
	list(req, ino, size, offset, fi, true);
}

void
view_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
{
	view &v = view_of(req);
	const open_folder &folder = folder_of(fi);
	v.folders.give_back(folder.user);
	v.open_folders.remove(folder);
	fuse_reply_err(req, 0);
}

void
view_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
	view &v = view_of(req);
	const bool writes = (fi->flags & O_ACCMODE) != O_RDONLY ||
	    (fi->flags & O_TRUNC) != 0;
	if (writes && v.settings.writable == 0) {
		fuse_reply_err(req, EROFS);
		return;
	}
	const uid_t user = fuse_req_ctx(req)->uid;
	if (!v.files.take(user)) {
		fuse_reply_err(req, EMFILE);
		return;
	}
	node &n = node_of(v, ino);
	const auto opened = [&] {
		const as_caller caller(req, writes);
		if (caller.error() != 0)
			return caller.error();
		const node_table::held found(v.nodes, n);
		if (found.fd() < 0)
			return found.fd();
		// The kernel says where each write goes, O_APPEND's too.
		return reopen(found.fd(), fi->flags & (O_ACCMODE | O_TRUNC));
	};
	reply_open(req, v, n, user, unique_fd(opened()), fi, nullptr);
}

void
view_read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t offset,
    fuse_file_info *fi)
{
	const view &v = view_of(req);
	const int fd = fd_of(fi);
	// Left unfilled: every byte sent is written first.
	const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(
	    size);
	const auto read_at = [fd](std::span<std::uint8_t> into,
	    std::uint64_t at) -> std::int64_t {
		const ssize_t got = retry_interrupted([&] {
			return pread(fd, into.data(), into.size(),
			    static_cast<off_t>(at));
		});
		return got < 0 ? -errno : got;
	};
	const std::int64_t n = read_scrambled(std::span(buffer.get(), size),
	    static_cast<std::uint64_t>(offset), v.scramble, read_at);
	if (n < 0) {
		reply_error(req, static_cast<int>(n));
		return;
	}
	fuse_reply_buf(req, reinterpret_cast<const char *>(buffer.get()),
	    static_cast<std::size_t>(n));
}

void
view_release(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
	view &v = view_of(req);
	v.nodes.released(node_of(v, ino), fd_of(fi));
	v.files.give_back(static_cast<uid_t>(fi->fh >> 32));
	fuse_reply_err(req, 0);
}

void
view_statfs(fuse_req_t req, fuse_ino_t)
{
	struct statvfs st {};
	if (fstatvfs(view_of(req).nodes.root().fd, &st) != 0) {
		reply_error(req, -errno);
		return;
	}
	fuse_reply_statfs(req, &st);
}

void
view_init(void *data, fuse_conn_info *conn)
{
	const view &v = *static_cast<view *>(data);
	// The kernel then applies DIR's access control lists as it applies
	// its modes, from the extended attributes the view passes on.
	if ((conn->capable & FUSE_CAP_POSIX_ACL) != 0)
		conn->want |= FUSE_CAP_POSIX_ACL;
	// What is made through the view gets its mode as on DIR: the caller's
	// umask, or the folder's default access control list, decides.
	if (v.settings.writable != 0 &&
	    (conn->capable & FUSE_CAP_DONT_MASK) != 0)
		conn->want |= FUSE_CAP_DONT_MASK;
	if (v.started)
		v.started(*conn);
}

// The view is mounted read-only, so the kernel answers every change
// itself; these answer the same after a remount read-write.
template <typename... Arguments>
void
refuse(fuse_req_t req, Arguments...)
{
	fuse_reply_err(req, EROFS);
}

}

fuse_lowlevel_ops
view_operations(bool writable)
{
	fuse_lowlevel_ops operations{};

	operations.init = view_init;
	operations.lookup = view_lookup;
	operations.forget = view_forget;
	operations.forget_multi = view_forget_multi;
	operations.getattr = view_getattr;
	operations.readlink = view_readlink;
	operations.opendir = view_opendir;
	operations.readdir = view_readdir;
	operations.readdirplus = view_readdirplus;
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
	operations.setattr = refuse;
	operations.write = refuse;
	operations.create = refuse;
	operations.setxattr = refuse;
	operations.removexattr = refuse;
	operations.fallocate = refuse;
	if (writable)
		add_changes(operations);
	return operations;
}
