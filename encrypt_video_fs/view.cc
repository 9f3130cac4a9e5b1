#include <sys/resource.h>
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
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "edge.h"
#include "range.h"
#include "view.h"

namespace {

// The file that name is in the folder open as dir, a link itself and not
// what it leads to; never anything above dir, whatever name holds.
int
open_at(int dir, const char *name)
{
	open_how how{};
	how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
	how.resolve = RESOLVE_BENEATH;
	const long fd = retry_interrupted([&] {
		return syscall(SYS_openat2, dir, name, &how, sizeof how);
	});
	return fd < 0 ? -errno : static_cast<int>(fd);
}

// Whether the folder open at fd is the one of dir or below it, however
// either was named: its parents are walked up to "/", across mounts.
bool
is_within(int fd, const struct stat &dir)
{
	bool within = false;

	for (;;) {
		struct stat here {};
		struct stat up_stat {};
		if (fstat(fd, &here) != 0)
			break;
		if (here.st_dev == dir.st_dev && here.st_ino == dir.st_ino) {
			within = true;
			break;
		}
		const int up = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
		if (up < 0 || fstat(up, &up_stat) != 0 ||
		    (up_stat.st_dev == here.st_dev && up_stat.st_ino == here.st_ino)) {
			if (up >= 0)
				close(up);
			break;
		}
		close(fd);
		fd = up;
	}
	close(fd);
	return within;
}

// Whether name in dir is the view's own mount, bound somewhere inside DIR:
// entering it, the view would wait on itself for ever.  Asked of the
// kernel's cached attributes, which asks nothing of any file system.
bool
is_own_mount(const view &v, int dir, const char *name)
{
	struct statx st {};

	return statx(dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT |
	    AT_STATX_DONT_SYNC, 0, &st) == 0 &&
	    makedev(st.stx_dev_major, st.stx_dev_minor) == v.own_device;
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
view_inode(const view &v, ino_t inode, dev_t device)
{
	if (device == v.root.device)
		return inode;
	const std::uint64_t mark = (static_cast<std::uint64_t>(device) *
	    0x9e3779b97f4a7c15u) >> 49 | 0x8000u;
	return inode ^ static_cast<ino_t>(mark << 48);
}

// What the view shows of a file of DIR: all of it, its size too, so that
// a copy taken through the view and read back through another view is the
// file again, byte for byte.
int
show(const view &v, struct stat &st)
{
	if (!is_shown(st.st_mode))
		return -ENOENT;
	st.st_ino = view_inode(v, st.st_ino, st.st_dev);
	return 0;
}

// Takes n out of the table once neither the kernel nor a child nor a
// request needs it, and so its parent after it.  Under v.lock.
void
drop_if_unused(view &v, node *n)
{
	// Only the root has no parent, and it stays.
	while (n != &v.root && n->lookups == 0 && n->children == 0 &&
	    n->users == 0) {
		if (n->fd >= 0) {
			close(n->fd);
			v.with_fd.erase(n->with_fd);
		}
		node *parent = n->parent;
		parent->children--;
		v.nodes.erase(file_id{n->device, n->inode});
		n = parent;
	}
}

// Gives n its descriptor, or closes fd where it has one already.  Under
// v.lock.
void
keep_fd(view &v, node &n, int fd)
{
	if (n.fd >= 0) {
		close(fd);
		return;
	}
	n.fd = fd;
	v.with_fd.push_front(&n);
	n.with_fd = v.with_fd.begin();
}

// Closes the descriptors of the nodes used longest ago, where no request
// uses them, down to the share of nodes.  Under v.lock.
void
trim(view &v)
{
	auto at = v.with_fd.end();
	while (v.with_fd.size() > v.node_fd_limit && at != v.with_fd.begin()) {
		node *n = *--at;
		if (n->users != 0)
			continue;
		close(n->fd);
		n->fd = -1;
		at = v.with_fd.erase(at);
	}
}

// Moves n under the name it was found by last, which finds it again.
// Under v.lock.
void
place(view &v, node &n, node &parent, const char *name)
{
	if (n.parent == &parent && n.name == name)
		return;
	parent.children++;
	node *old = n.parent;
	n.parent = &parent;
	n.name = name;
	if (old != nullptr) {
		old->children--;
		drop_if_unused(v, old);
	}
}

// The handle of the file open as fd, or nothing where it has none.
std::string
handle_of(int fd)
{
	std::string handle(sizeof(file_handle) + MAX_HANDLE_SZ, '\0');
	auto *h = reinterpret_cast<file_handle *>(handle.data());
	h->handle_bytes = MAX_HANDLE_SZ;
	int mount_id = 0;
	if (name_to_handle_at(fd, "", h, &mount_id, AT_EMPTY_PATH) != 0)
		return {};
	// Copied to its own size: a node keeps it for as long as it lives.
	return handle.substr(0, sizeof(file_handle) + h->handle_bytes);
}

// The node of the file open as fd, which it takes.
node &
remember(view &v, node &parent, const char *name, int fd, const struct stat &st)
{
	const std::scoped_lock locked(v.lock);
	auto &slot = v.nodes[file_id{st.st_dev, st.st_ino}];
	if (!slot) {
		slot = std::make_unique<node>();
		slot->device = st.st_dev;
		slot->inode = st.st_ino;
		if (v.handles && st.st_dev == v.root.device)
			slot->handle = handle_of(fd);
	}
	node &n = *slot;
	keep_fd(v, n, fd);
	place(v, n, parent, name);
	n.lookups++;
	trim(v);
	return n;
}

fuse_ino_t
id_of(const view &v, node &n)
{
	return &n == &v.root ? FUSE_ROOT_ID : reinterpret_cast<fuse_ino_t>(&n);
}

// Looks name up in the folder open as dir, the descriptor of parent.
int
look_up_in(view &v, node &parent, int dir, const char *name,
    fuse_entry_param &e)
{
	if (is_own_mount(v, dir, name))
		return -ELOOP;
	const int fd = open_at(dir, name);
	if (fd < 0)
		return fd;
	struct stat st {};
	int error = fstat(fd, &st) != 0 ? -errno : 0;
	e = fuse_entry_param{};
	e.attr = st;
	if (error == 0)
		error = show(v, e.attr);
	if (error != 0) {
		close(fd);
		return error;
	}
	e.ino = id_of(v, remember(v, parent, name, fd, st));
	e.attr_timeout = v.attr_timeout;
	e.entry_timeout = v.entry_timeout;
	return 0;
}

}

void
open_folders(view &v, const char *name, const char *dir,
    const char *mount_point, char (&dir_path)[PATH_MAX],
    char (&mount_path)[PATH_MAX])
{
	struct stat dir_stat {};

	v.root.fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (v.root.fd < 0 || fstat(v.root.fd, &dir_stat) != 0 ||
	    realpath(dir, dir_path) == nullptr)
		exit_with_error("%s: could not open %s: %s.\n", name, dir,
		    std::strerror(errno));
	v.root.device = dir_stat.st_dev;
	v.root.inode = dir_stat.st_ino;
	// Only with CAP_DAC_READ_SEARCH, and where DIR's file system has them.
	std::string probe = handle_of(v.root.fd);
	const int by_handle = probe.empty() ? -1 : open_by_handle_at(
	    v.root.fd, reinterpret_cast<file_handle *>(probe.data()),
	    O_PATH | O_CLOEXEC);
	v.handles = by_handle >= 0;
	if (by_handle >= 0)
		close(by_handle);
	const int mount_fd = realpath(mount_point, mount_path) == nullptr ?
	    -1 : open(mount_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (mount_fd < 0)
		exit_with_error("%s: could not open the mount point %s: %s.\n",
		    name, mount_point, std::strerror(errno));
	// The view would contain itself, and reading it would go round for
	// ever.
	if (is_within(mount_fd, dir_stat))
		exit_with_error("%s: the mount point %s is inside %s.\n", name,
		    mount_point, dir);
}

void
share_descriptors(view &v)
{
	rlimit files{};
	getrlimit(RLIMIT_NOFILE, &files);
	files.rlim_cur = files.rlim_max;
	setrlimit(RLIMIT_NOFILE, &files);
	getrlimit(RLIMIT_NOFILE, &files);
	v.files.limit = files.rlim_cur / 8 * 3;
	v.folders.limit = files.rlim_cur / 8;
	v.node_fd_limit = files.rlim_cur / 4;
}

// A node of v, which the caller may change: v itself is not const.
node &
node_of(view &v, fuse_ino_t ino) // cppcheck-suppress constParameterReference
{
	// The kernel names a node by the number it was given, its address.
	return ino == FUSE_ROOT_ID ? v.root :
	    *reinterpret_cast<node *>(ino); // NOLINT(performance-no-int-to-ptr)
}

namespace {

// n, found where it was last seen, if that is still the same file; its
// parent too, if need be, as deep as the folder is.
int
find_again(view &v, node &parent, const std::string &name, // NOLINT(misc-no-recursion)
    const node &n)
{
	int fd = 0;
	// Set when the node was made, and never since.
	if (std::string handle = n.handle; !handle.empty()) {
		fd = open_by_handle_at(v.root.fd, reinterpret_cast<file_handle *>(
		    handle.data()), O_PATH | O_CLOEXEC);
		fd = fd < 0 ? -errno : fd;
	} else {
		const held_fd up(v, parent);
		fd = up.fd() < 0 ? up.fd() : open_at(up.fd(), name.c_str());
	}
	struct stat st {};
	if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != n.device ||
	    st.st_ino != n.inode)) {
		close(fd);
		fd = -ESTALE;
	}
	return fd;
}

}

// NOLINTNEXTLINE(misc-no-recursion)
held_fd::held_fd(view &v, node &n) : v_(v), n_(n), fd_(-ESTALE)
{
	std::unique_lock locked(v.lock);
	n.users++;
	if (n.fd >= 0) {
		fd_ = n.fd;
		if (&n != &v.root)
			v.with_fd.splice(v.with_fd.begin(), v.with_fd, n.with_fd);
		return;
	}
	// Kept while it is searched, where a lookup could move n elsewhere.
	node *parent = n.parent;
	parent->users++;
	const std::string name = n.name;
	locked.unlock();
	fd_ = find_again(v, *parent, name, n);
	locked.lock();
	parent->users--;
	drop_if_unused(v, parent);
	if (fd_ >= 0) {
		keep_fd(v, n, fd_);
		fd_ = n.fd;
	}
}

held_fd::~held_fd()
{
	const std::scoped_lock locked(v_.lock);
	n_.users--;
	drop_if_unused(v_, &n_);
	trim(v_);
}

int
look_up(view &v, node &parent, const char *name, fuse_entry_param &e)
{
	const held_fd dir(v, parent);
	return dir.fd() < 0 ? dir.fd() : look_up_in(v, parent, dir.fd(), name, e);
}

void
forget(view &v, node &n, std::uint64_t count)
{
	const std::scoped_lock locked(v.lock);
	n.lookups -= std::min(count, n.lookups);
	drop_if_unused(v, &n);
}

namespace {

view &
view_of(fuse_req_t req)
{
	return *static_cast<view *>(fuse_req_userdata(req));
}

// Every reply of an error goes out positive, as the kernel wants it.
void
reply_error(fuse_req_t req, int error)
{
	fuse_reply_err(req, error < 0 ? -error : error);
}

void
view_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
	view &v = view_of(req);
	fuse_entry_param e{};
	const int error = look_up(v, node_of(v, parent), name, e);
	// Told as a node 0, the kernel keeps a name's absence for a while.
	if (error == -ENOENT && v.negative_timeout > 0) {
		e.entry_timeout = v.negative_timeout;
		fuse_reply_entry(req, &e);
	} else if (error != 0) {
		reply_error(req, error);
	} else {
		fuse_reply_entry(req, &e);
	}
}

void
view_forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t count)
{
	view &v = view_of(req);
	forget(v, node_of(v, ino), count);
	fuse_reply_none(req);
}

void
view_forget_multi(fuse_req_t req, std::size_t count, fuse_forget_data *forgets)
{
	view &v = view_of(req);
	for (const fuse_forget_data &f : std::span(forgets, count))
		forget(v, node_of(v, f.ino), f.nlookup);
	fuse_reply_none(req);
}

void
view_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
	view &v = view_of(req);
	const held_fd file(v, node_of(v, ino));
	struct stat st {};
	const int error = file.fd() < 0 ? file.fd() : fstatat(file.fd(), "",
	    &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0 ? -errno :
	    show(v, st);
	if (error != 0)
		reply_error(req, error);
	else
		fuse_reply_attr(req, &st, v.attr_timeout);
}

void
view_readlink(fuse_req_t req, fuse_ino_t ino)
{
	view &v = view_of(req);
	const held_fd link(v, node_of(v, ino));
	char target[PATH_MAX + 1];
	const ssize_t n = link.fd() < 0 ? link.fd() : readlinkat(link.fd(), "",
	    target, PATH_MAX);
	if (n < 0) {
		reply_error(req, link.fd() < 0 ? link.fd() : -errno);
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
	const held_fd file(v, node_of(v, ino));
	if (file.fd() < 0) {
		reply_error(req, file.fd());
		return;
	}
	const std::string self = self_path(file.fd());
	std::vector<char> value(std::max<std::size_t>(size, 1));
	const ssize_t n = read(self.c_str(), std::span(value));
	if (n < 0)
		reply_error(req, n);
	else if (size == 0)
		fuse_reply_xattr(req, static_cast<std::size_t>(n));
	else
		fuse_reply_buf(req, value.data(), static_cast<std::size_t>(n));
}

void
view_getxattr(fuse_req_t req, fuse_ino_t ino, const char *name, std::size_t size)
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
		for (std::string_view rest(all.data(), static_cast<std::size_t>(n));
		    !rest.empty();) {
			const std::string_view one = rest.substr(0, rest.find('\0'));
			rest.remove_prefix(std::min(rest.size(), one.size() + 1));
			if (is_hidden_from(req, one))
				continue;
			if (size != 0 && kept + one.size() + 1 > size)
				return -ERANGE;
			if (size != 0)
				std::memcpy(value.subspan(kept).data(), one.data(),
				    one.size() + 1);
			kept += one.size() + 1;
		}
		return static_cast<ssize_t>(kept);
	});
}

bool
take_descriptor(view &v, descriptor_share &share, uid_t user)
{
	const std::scoped_lock locked(v.lock);
	unsigned long &own = share.by_user[user];
	if (share.taken >= share.limit || own >= share.limit - share.limit / 4)
		return false;
	share.taken++;
	own++;
	return true;
}

void
give_back(view &v, descriptor_share &share, uid_t user)
{
	const std::scoped_lock locked(v.lock);
	share.taken--;
	if (--share.by_user[user] == 0)
		share.by_user.erase(user);
}

// An open folder, and who opened it, whose share it is taken from.
struct open_folder {
	DIR *dir;
	uid_t user;
};

// libfuse keeps a handle as a 64-bit number: an open folder's is its
// address, which cannot be cast back otherwise.
open_folder &
folder_of(const fuse_file_info *fi)
{
	return *reinterpret_cast<open_folder *>(fi->fh); // NOLINT(performance-no-int-to-ptr)
}

// An open file's handle is its descriptor and its user, side by side.
int
fd_of(const fuse_file_info *fi)
{
	return static_cast<int>(fi->fh & 0xffffffffu);
}

void
view_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
	view &v = view_of(req);
	const uid_t user = fuse_req_ctx(req)->uid;
	if (!take_descriptor(v, v.folders, user)) {
		fuse_reply_err(req, EMFILE);
		return;
	}
	const held_fd found(v, node_of(v, ino));
	const int fd = found.fd() < 0 ? found.fd() : reopen(found.fd(),
	    O_DIRECTORY);
	DIR *dir = fd < 0 ? nullptr : fdopendir(fd);
	if (dir == nullptr) {
		const int error = fd < 0 ? fd : -errno;
		if (fd >= 0)
			close(fd);
		give_back(v, v.folders, user);
		reply_error(req, error);
		return;
	}
	fi->fh = reinterpret_cast<std::uintptr_t>(new open_folder{dir, user});
	fuse_reply_open(req, fi);
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
		fuse_reply_err(req, errno);
		return;
	}
	std::vector<char> buffer(size);
	std::span<char> free = buffer;
	// An entry that did not fit is where the next call starts.
	if (offset != telldir(dir))
		seekdir(dir, offset);
	for (;;) {
		errno = 0;
		const dirent *entry = readdir(dir);
		if (entry == nullptr && errno != 0 && free.size() == size) {
			fuse_reply_err(req, errno);
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
		e.attr.st_mode = DTTOIF(entry->d_type);
		struct stat st {};
		// Where the view itself is bound, only a lookup tells it.
		if (entry->d_type == DT_UNKNOWN && !is_own_mount(v, fd,
		    entry->d_name) && fstatat(fd, entry->d_name, &st,
		    AT_SYMLINK_NOFOLLOW) == 0)
			e.attr.st_mode = st.st_mode;
		if (e.attr.st_mode != 0 && !is_shown(e.attr.st_mode))
			continue;
		fuse_entry_param found{};
		if (plus && !dot && look_up_in(v, parent, fd, entry->d_name,
		    found) == 0)
			e = found;
		const off_t next = telldir(dir);
		const std::size_t used = plus ? fuse_add_direntry_plus(req,
		    free.data(), free.size(), entry->d_name, &e, next) :
		    fuse_add_direntry(req, free.data(), free.size(),
		    entry->d_name, &e.attr, next);
		if (used > free.size()) {
			if (e.ino != 0)
				forget(v, node_of(v, e.ino), 1);
			break;
		}
		free = free.subspan(used);
	}
	fuse_reply_buf(req, buffer.data(), size - free.size());
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
	const open_folder &folder = folder_of(fi);
	closedir(folder.dir);
	give_back(view_of(req), view_of(req).folders, folder.user);
	delete &folder;
	fuse_reply_err(req, 0);
}

// The kernel's cache of a file's bytes outlives its opens: it is kept only
// where the file is as its last open found it.
bool
is_unchanged(view &v, node &n, const struct stat &st)
{
	const std::int64_t mtime = st.st_mtim.tv_sec * 1000000000LL +
	    st.st_mtim.tv_nsec;
	const std::scoped_lock locked(v.lock);
	const bool same = n.size == st.st_size && n.mtime_ns == mtime;
	n.size = st.st_size;
	n.mtime_ns = mtime;
	return same;
}

void
view_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
	view &v = view_of(req);
	if ((fi->flags & O_ACCMODE) != O_RDONLY) {
		fuse_reply_err(req, EROFS);
		return;
	}
	const uid_t user = fuse_req_ctx(req)->uid;
	if (!take_descriptor(v, v.files, user)) {
		fuse_reply_err(req, EMFILE);
		return;
	}
	node &n = node_of(v, ino);
	const held_fd found(v, n);
	const int fd = found.fd() < 0 ? found.fd() : reopen(found.fd(), 0);
	struct stat st {};
	if (fd < 0 || fstat(fd, &st) != 0) {
		const int error = fd < 0 ? fd : -errno;
		if (fd >= 0)
			close(fd);
		give_back(v, v.files, user);
		reply_error(req, error);
		return;
	}
	fi->fh = static_cast<std::uint64_t>(user) << 32 |
	    static_cast<std::uint32_t>(fd);
	fi->keep_cache = is_unchanged(v, n, st) || v.keep_cache;
	fuse_reply_open(req, fi);
}

void
view_read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t offset,
    fuse_file_info *fi)
{
	const view &v = view_of(req);
	const int fd = fd_of(fi);
	// Left unfilled: every byte sent is written first.
	const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
	const std::int64_t n = read_scrambled(std::span(buffer.get(), size),
	    static_cast<std::uint64_t>(offset), v.scramble,
	    [fd](std::span<std::uint8_t> into, std::uint64_t at) -> std::int64_t {
		    const ssize_t got = retry_interrupted([&] {
			    return pread(fd, into.data(), into.size(),
				static_cast<off_t>(at));
		    });
		    return got < 0 ? -errno : got;
	    });
	if (n < 0)
		reply_error(req, static_cast<int>(n));
	else
		fuse_reply_buf(req, reinterpret_cast<const char *>(buffer.get()),
		    static_cast<std::size_t>(n));
}

void
view_release(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
{
	close(fd_of(fi));
	give_back(view_of(req), view_of(req).files,
	    static_cast<uid_t>(fi->fh >> 32));
	fuse_reply_err(req, 0);
}

void
view_statfs(fuse_req_t req, fuse_ino_t)
{
	struct statvfs st {};
	if (fstatvfs(view_of(req).root.fd, &st) != 0)
		fuse_reply_err(req, errno);
	else
		fuse_reply_statfs(req, &st);
}

void
view_init(void *data, fuse_conn_info *conn)
{
	view &v = *static_cast<view *>(data);
	// libfuse wants a max_read said again here, or fails the mount.
	if (v.max_read != 0)
		conn->max_read = v.max_read;
	// libfuse answers with what the kernel offered at mount time, before
	// the mount's read-ahead was raised.
	conn->max_readahead = std::max(conn->max_readahead,
	    read_ahead_kib(v) * 1024);
	// The kernel then applies DIR's access control lists as it applies
	// its modes, from the extended attributes the view passes on.
	if ((conn->capable & FUSE_CAP_POSIX_ACL) != 0)
		conn->want |= FUSE_CAP_POSIX_ACL;
	if (v.served >= 0) {
		// Were it lost, the command would report a view that failed.
		retry_interrupted([&] { return write(v.served, "", 1); });
		close(v.served);
		v.served = -1;
	}
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

unsigned
read_ahead_kib(const view &v)
{
	constexpr unsigned most = 1024;
	return v.max_read == 0 ? most : std::min(most, v.max_read / 1024);
}

fuse_lowlevel_ops
view_operations()
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
	return operations;
}
