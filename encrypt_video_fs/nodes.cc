#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string_view>

#include "edge.h"
#include "nodes.h"

namespace {

// The file that name is in the folder open as dir, a link itself and not
// what it leads to.
int
open_at(int dir, const char *name)
{
	if (!is_one_name(name))
		return -ENOENT;
	const int fd = retry_interrupted([&] {
		return openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
	});
	return fd < 0 ? -errno : fd;
}

// The handle of the file open as fd, or nothing where it has none.  Any
// user may ask for one; only CAP_DAC_READ_SEARCH may open by it.
std::string
handle_of(int fd)
{
	std::string handle(sizeof(file_handle) + MAX_HANDLE_SZ, '\0');
	auto *h = reinterpret_cast<file_handle *>(handle.data());
	h->handle_bytes = MAX_HANDLE_SZ;
	int mount_id = 0;
	if (name_to_handle_at(fd, "", h, &mount_id, AT_EMPTY_PATH) != 0)
		return {};
	return handle.substr(0, sizeof(file_handle) + h->handle_bytes);
}

std::uint64_t
generation_of(std::string_view handle, int fd)
{
	if (!handle.empty())
		return std::hash<std::string_view>()(handle);
	struct statx st {};
	if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BTIME,
	    &st) == 0 && (st.stx_mask & STATX_BTIME) != 0)
		return static_cast<std::uint64_t>(st.stx_btime.tv_sec) *
		    1000000000u + st.stx_btime.tv_nsec;
	return 0;
}

// Whether the file open as fd is the one id names.
bool
is_same(int fd, const file_id &id)
{
	struct stat st {};

	return fstat(fd, &st) == 0 && st.st_dev == id.device &&
	    st.st_ino == id.inode && generation_of(handle_of(fd), fd) ==
	    id.generation;
}

// What the file open as fd is, its handle kept where files open by it.
file_id
identity(int fd, const struct stat &st, std::string &handle)
{
	handle = handle_of(fd);
	return {st.st_dev, st.st_ino, generation_of(handle, fd)};
}

std::int64_t
nanoseconds(const timespec &t)
{
	return t.tv_sec * 1000000000LL + t.tv_nsec;
}

}

bool
is_one_name(std::string_view name)
{
	return !name.empty() && name != "." && name != ".." &&
	    name.find('/') == std::string_view::npos;
}

bool
is_shown(mode_t mode)
{
	return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode);
}

std::size_t
file_id_hash::operator()(const file_id &id) const
{
	return std::hash<ino_t>()(id.inode) ^
	    std::hash<dev_t>()(id.device) << 1 ^
	    std::hash<std::uint64_t>()(id.generation) << 2;
}

node_table::node_table(int dir, unsigned long folders, unsigned long lookups,
    std::chrono::milliseconds hold)
    : folder_limit_(folders), lookup_limit_(lookups), hold_(hold)
{
	struct stat st {};

	root_.fd = dir;
	root_.folder = true;
	if (fstat(dir, &st) == 0)
		root_.id = {st.st_dev, st.st_ino,
		    generation_of(handle_of(dir), dir)};
	// Only with CAP_DAC_READ_SEARCH, and where DIR's file system has them.
	std::string probe = handle_of(dir);
	const int by_handle = probe.empty() ? -1 : open_by_handle_at(dir,
	    reinterpret_cast<file_handle *>(probe.data()), O_PATH | O_CLOEXEC);
	handles_ = by_handle >= 0;
	if (by_handle >= 0)
		close(by_handle);
}

node_table::~node_table()
{
	if (sweeper_.joinable()) {
		sweeper_.request_stop();
		sweeper_.join();
	}
	for (const auto &[id, n] : nodes_) {
		if (n->fd >= 0 && !n->is_open())
			close(n->fd);
		if (n->files != nullptr)
			for (const int fd : n->files->open)
				close(fd);
		close_closing(*n);
	}
	close(root_.fd);
}

bool
node_table::is_own_mount(int dir, const char *name) const
{
	struct statx st {};

	return own_device_ != 0 && statx(dir, name, AT_SYMLINK_NOFOLLOW |
	    AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, 0, &st) == 0 &&
	    makedev(st.stx_dev_major, st.stx_dev_minor) == own_device_;
}

int
node_table::look_up(node &parent, const char *name, struct stat &st,
    node *&found)
{
	const held dir(*this, parent);

	return dir.fd() < 0 ? dir.fd() : look_up_at(parent, dir.fd(), name, st,
	    found, true);
}

int
node_table::look_up_in(node &parent, int dir, const char *name,
    struct stat &st, node *&found)
{
	return look_up_at(parent, dir, name, st, found, false);
}

int
node_table::look_up_at(node &parent, int dir, const char *name,
    struct stat &st, node *&found, bool hold)
{
	if (is_own_mount(dir, name))
		return -ELOOP;
	unique_fd fd(open_at(dir, name));
	if (fd.get() < 0)
		return fd.release();
	if (fstat(fd.get(), &st) != 0)
		return -errno;
	if (!is_shown(st.st_mode))
		return -ENOENT;
	std::string handle;
	const file_id id = identity(fd.get(), st, handle);
	if (!handles_ || st.st_dev != root_.id.device)
		handle.clear();
	found = &remember(parent, name, fd.release(), st, id, std::move(handle),
	    hold);
	return 0;
}

int
node_table::look_up_open(node &parent, const char *name, int fd,
    struct stat &st, node *&found)
{
	if (fstat(fd, &st) != 0)
		return -errno;
	std::string handle;
	const file_id id = identity(fd, st, handle);
	if (!handles_ || st.st_dev != root_.id.device)
		handle.clear();
	found = &remember(parent, name, -1, st, id, std::move(handle), false);
	return 0;
}

int
node_table::rename(node &parent, const char *name, node &to,
    const char *to_name, unsigned flags)
{
	const held from_dir(*this, parent);
	const held to_dir(*this, to);
	if (from_dir.fd() < 0 || to_dir.fd() < 0)
		return from_dir.fd() < 0 ? from_dir.fd() : to_dir.fd();
	if (!is_one_name(name) || !is_one_name(to_name))
		return -ENOENT;
	// What the view does not show (a FIFO, a device) is DIR's own, not
	// the caller's to replace.
	struct stat there {};
	if (fstatat(to_dir.fd(), to_name, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
	    !is_shown(there.st_mode))
		return (flags & RENAME_EXCHANGE) != 0 ? -ENOENT : -EEXIST;
	// Known by what they are: their names lead elsewhere once renamed.
	const auto what = [](int dir, const char *at) {
		const unique_fd fd(open_at(dir, at));
		struct stat st {};
		std::string handle;
		return fd.get() >= 0 && fstat(fd.get(), &st) == 0 ?
		    identity(fd.get(), st, handle) : file_id{};
	};
	const file_id moved = what(from_dir.fd(), name);
	const file_id other = (flags & RENAME_EXCHANGE) != 0 ?
	    what(to_dir.fd(), to_name) : file_id{};
	if (renameat2(from_dir.fd(), name, to_dir.fd(), to_name, flags) != 0)
		return -errno;
	const std::scoped_lock locked(lock_);
	if (const auto n = nodes_.find(moved); n != nodes_.end())
		place(*n->second, to, to_name);
	if (const auto n = nodes_.find(other); n != nodes_.end())
		place(*n->second, parent, name);
	return 0;
}

// The node of the file open as fd, a folder's taking it, and a file's for
// a while where the lookup is to hold it.
node &
node_table::remember(node &parent, const char *name, int fd,
    const struct stat &st, const file_id &id, std::string handle, bool hold)
{
	const std::scoped_lock locked(lock_);
	auto &slot = nodes_[id];
	if (!slot) {
		slot = std::make_unique<node>();
		slot->id = id;
		slot->folder = S_ISDIR(st.st_mode);
		slot->handle = std::move(handle);
	}
	node &n = *slot;
	// A file just made is known by the descriptor its maker got.
	if (fd >= 0 && n.folder)
		keep_fd(n, fd);
	else if (fd >= 0 && hold)
		hold_briefly(n, fd);
	else if (fd >= 0)
		close(fd);
	place(n, parent, name);
	n.lookups++;
	peak_ = std::max(peak_, nodes_.size());
	trim();
	return n;
}

void
node_table::forget(node &n, std::uint64_t count)
{
	std::unique_lock locked(lock_);
	n.lookups -= std::min(count, n.lookups);
	drop_if_unused(&n);
	// glibc keeps what nodes freed unless asked: after the kernel lets go
	// of a large tree, the memory goes back, and the map's buckets with it.
	if (peak_ < 4096 || nodes_.size() > peak_ / 2)
		return;
	nodes_.rehash(0);
	peak_ = nodes_.size();
	locked.unlock();
	malloc_trim(0);
}

void
node_table::opened(node &n, int fd)
{
	const std::scoped_lock locked(lock_);
	if (n.files == nullptr)
		n.files = std::make_unique<node::open_files>();
	n.files->open.push_back(fd);
	if (n.folder || n.files->open.size() > 1)
		return;
	// The first open takes over from the lookup's descriptor.
	if (n.fd >= 0) {
		held_.erase(n.with_fd);
		if (n.users > 0)
			n.files->closing.push_back(n.fd);
		else
			close(n.fd);
	}
	n.fd = fd;
}

void
node_table::released(node &n, int fd)
{
	const std::scoped_lock locked(lock_);
	std::vector<int> &open = n.files->open;
	std::erase(open, fd);
	if (n.fd == fd)
		n.fd = open.empty() ? -1 : open.front();
	if (n.users > 0)
		n.files->closing.push_back(fd);
	else
		close(fd);
	close_closing(n);
	drop_if_unused(&n);
}

bool
node_table::is_unchanged(node &n, const struct stat &st)
{
	const std::scoped_lock locked(lock_);
	const bool same = n.size == st.st_size &&
	    n.mtime_ns == nanoseconds(st.st_mtim) &&
	    n.ctime_ns == nanoseconds(st.st_ctim);
	n.size = st.st_size;
	n.mtime_ns = nanoseconds(st.st_mtim);
	n.ctime_ns = nanoseconds(st.st_ctim);
	return same;
}

std::size_t
node_table::size()
{
	const std::scoped_lock locked(lock_);
	return nodes_.size();
}

std::size_t
node_table::descriptors()
{
	const std::scoped_lock locked(lock_);
	return with_fd_.size() + held_.size();
}

// n, found where it was last seen, if that is still the same file; its
// parent too, if need be, as deep as the folder is.
int
// NOLINTNEXTLINE(misc-no-recursion)
node_table::find(const node &n, node &parent, const std::string &name,
    const std::string &handle)
{
	if (!handle.empty()) {
		const int fd = open_by_handle_at(root_.fd,
		    reinterpret_cast<file_handle *>(const_cast<char *>(
		    handle.data())), O_PATH | O_CLOEXEC);
		if (fd >= 0 && is_same(fd, n.id))
			return fd;
		// Gone (ESTALE), or the kernel short of memory: the name may
		// still tell.
		if (fd >= 0)
			close(fd);
	}
	const held up(*this, parent);
	if (up.fd() < 0)
		return up.fd();
	const int fd = open_at(up.fd(), name.c_str());
	if (fd == -EMFILE || fd == -ENFILE || fd == -ENOMEM)
		return fd;
	if (fd < 0)
		return -ESTALE;
	if (!is_same(fd, n.id)) {
		close(fd);
		return -ESTALE;
	}
	return fd;
}

// Takes n out of the table once neither the kernel nor a child nor a
// request needs it, and so its parent after it.  Under lock_.
void
node_table::drop_if_unused(node *n)
{
	// Only the root has no parent, and it stays.
	while (n != &root_ && n->lookups == 0 && n->children == 0 &&
	    n->users == 0 && !n->is_open()) {
		if (n->fd >= 0) {
			close(n->fd);
			(n->folder ? with_fd_ : held_).erase(n->with_fd);
		}
		node *parent = n->parent;
		parent->children--;
		nodes_.erase(n->id);
		n = parent;
	}
}

// Moves n under the name it was found by last, which finds it again.
// Under lock_.
void
node_table::place(node &n, node &parent, const char *name)
{
	if (n.parent == &parent && n.name == name)
		return;
	parent.children++;
	node *old = n.parent;
	n.parent = &parent;
	n.name = name;
	if (old != nullptr) {
		old->children--;
		drop_if_unused(old);
	}
}

// Gives a folder its descriptor, or closes fd where it has one already.
// Under lock_.
void
node_table::keep_fd(node &n, int fd)
{
	if (n.fd >= 0) {
		close(fd);
		return;
	}
	n.fd = fd;
	with_fd_.push_front(&n);
	n.with_fd = with_fd_.begin();
}

// A file's lookup keeps its descriptor until held_until, unless an open
// file's answers for it already.  Under lock_.
void
node_table::hold_briefly(node &n, int fd)
{
	if (hold_.count() == 0 || n.is_open()) {
		close(fd);
		return;
	}
	if (n.fd >= 0) {
		close(fd);
		held_.erase(n.with_fd);
	} else {
		n.fd = fd;
	}
	n.held_until = std::chrono::steady_clock::now() + hold_;
	held_.push_front(&n);
	n.with_fd = held_.begin();
	if (!sweeper_.joinable())
		sweeper_ = std::jthread([this](const std::stop_token &stop) {
			sweep(stop);
		});
	woken_.notify_one();
}

// Closes the descriptors of the lookups that are due, or the soonest due
// past their limit, and of the folders used longest ago past theirs, where
// no request uses them.  Under lock_.
void
node_table::trim()
{
	const auto now = std::chrono::steady_clock::now();
	const auto give_up = [](std::list<node *> &list, unsigned long limit,
	    auto is_due) {
		for (auto at = list.end(); at != list.begin();) {
			node *n = *--at;
			if (list.size() <= limit && !is_due(*n))
				return;
			if (n->users != 0)
				continue;
			close(n->fd);
			n->fd = -1;
			at = list.erase(at);
		}
	};
	give_up(held_, lookup_limit_, [&](const node &n) {
		return n.held_until <= now;
	});
	give_up(with_fd_, folder_limit_, [](const node &) { return false; });
}

void
node_table::sweep(const std::stop_token &stop)
{
	std::unique_lock locked(lock_);
	while (!stop.stop_requested()) {
		trim();
		if (held_.empty()) {
			woken_.wait(locked, stop,
			    [&] { return !held_.empty(); });
			continue;
		}
		// One that a request still uses is tried again a little later.
		const auto next = std::max(held_.back()->held_until,
		    std::chrono::steady_clock::now() + hold_ / 10);
		woken_.wait_until(locked, stop, next, [] { return false; });
	}
}

// Closes what was released while requests used it, once none does, and
// lets go of what a node keeps for open files once it has none.  Under
// lock_.
void
node_table::close_closing(node &n)
{
	if (n.files == nullptr || n.users > 0)
		return;
	for (const int fd : n.files->closing)
		close(fd);
	n.files->closing.clear();
	if (n.files->open.empty())
		n.files.reset();
}

// NOLINTNEXTLINE(misc-no-recursion)
node_table::held::held(node_table &table, node &n) : table_(table), n_(n),
    fd_(-ESTALE)
{
	std::unique_lock locked(table.lock_);
	n.users++;
	if (n.fd >= 0) {
		fd_ = n.fd;
		if (n.folder && &n != &table.root_)
			table.with_fd_.splice(table.with_fd_.begin(),
			    table.with_fd_, n.with_fd);
		return;
	}
	// Kept while it is searched, where a lookup could move n elsewhere.
	node *parent = n.parent;
	parent->users++;
	const std::string name = n.name;
	const std::string handle = n.handle;
	locked.unlock();
	fd_ = table.find(n, *parent, name, handle);
	locked.lock();
	parent->users--;
	table.drop_if_unused(parent);
	if (fd_ < 0)
		return;
	if (!n.folder) {
		own_ = true;
		return;
	}
	table.keep_fd(n, fd_);
	fd_ = n.fd;
}

node_table::held::~held()
{
	if (own_)
		close(fd_);
	const std::scoped_lock locked(table_.lock_);
	n_.users--;
	table_.close_closing(n_);
	table_.drop_if_unused(&n_);
	table_.trim();
}
