#ifndef ENCRYPT_VIDEO_VIEW_H
#define ENCRYPT_VIDEO_VIEW_H

#include <sys/types.h>

#include <fuse_lowlevel.h>

#include <climits>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "scramble.h"

// A file of DIR as the kernel knows it: one for each device and inode
// number, whatever names lead to it, so that two files never share the
// kernel's cache and a file keeps its node however it is renamed.
struct node {
	dev_t device = 0;
	ino_t inode = 0;
	// O_PATH, or -1 while closed to spare descriptors: then it is found
	// again by the name it was last looked up by.
	int fd = -1;
	node *parent = nullptr;
	std::string name;
	// Where the view may open files by handle (as root), what finds it
	// again wherever it has moved to on DIR's own file system.
	std::string handle;
	std::uint64_t lookups = 0; // as the kernel counts them
	unsigned children = 0;     // nodes that name it as their parent
	unsigned users = 0;        // requests using its descriptor now
	// As its last open found it: the kernel's cache of its bytes is kept
	// only while they stay the same.
	off_t size = -1;
	std::int64_t mtime_ns = -1;
	std::list<node *>::iterator with_fd;
};

struct file_id {
	dev_t device;
	ino_t inode;
	bool operator==(const file_id &) const = default;
};

struct file_id_hash {
	std::size_t
	operator()(const file_id &id) const
	{
		return std::hash<ino_t>()(id.inode) ^ std::hash<dev_t>()(id.device) << 1;
	}
};

// Descriptors that open files, or open folders, may take: so many in all,
// and by any one user three quarters of them, so that one client holding
// thousands cannot lock the others out.
struct descriptor_share {
	unsigned long limit = 0;
	unsigned long taken = 0;
	std::unordered_map<uid_t, unsigned long> by_user;
};

// What every request of the view needs, and all it keeps: no password,
// no path.
struct view {
	node root; // DIR, opened before the mount could hide or move it
	dev_t own_device = 0; // of the mount itself, which DIR must never lead into
	scrambler scramble{};
	unsigned max_read = 0; // as -o max_read= gave it, which init must repeat
	double entry_timeout = 1;
	double attr_timeout = 1;
	double negative_timeout = 0;
	bool keep_cache = false; // -o kernel_cache: even across changes
	// Open files, open folders and nodes have their own shares of the
	// descriptors; the rest are kept for the lookups under way.
	descriptor_share files;
	descriptor_share folders;
	unsigned long node_fd_limit = 0;
	int served = -1; // told once the kernel has started the view
	bool handles = false; // whether files of DIR open by handle here
	std::mutex lock;
	std::unordered_map<file_id, std::unique_ptr<node>, file_id_hash> nodes;
	std::list<node *> with_fd; // the last used first
};

// DIR and MOUNTPOINT checked, DIR opened, and both made absolute: the
// daemon runs in "/".  Exits saying why where they cannot be a view.
void open_folders(view &v, const char *name, const char *dir,
    const char *mount_point, char (&dir_path)[PATH_MAX],
    char (&mount_path)[PATH_MAX]);

// Raises the process's descriptor limit as far as it may go and shares it
// out between open files and nodes.
void share_descriptors(view &v);

node &node_of(view &v, fuse_ino_t ino);

// The file name stands for in parent now, its node's lookup count raised:
// 0 and e filled in, or a negative errno.
int look_up(view &v, node &parent, const char *name, fuse_entry_param &e);

// The kernel no longer needs count of n's lookups.
void forget(view &v, node &n, std::uint64_t count);

// A node's descriptor, held open while this lives, or the negative errno
// of why it can no longer be found.
class held_fd {
public:
	held_fd(view &v, node &n);
	held_fd(const held_fd &) = delete;
	held_fd &operator=(const held_fd &) = delete;
	~held_fd();
	int fd() const { return fd_; }

private:
	view &v_;
	node &n_;
	int fd_;
};

fuse_lowlevel_ops view_operations();

// What the view asks the kernel to read ahead: as large as a request can be
// (libfuse takes no more than 1 MiB), unless -o max_read= asks for smaller.
unsigned read_ahead_kib(const view &v);

#endif
