#ifndef ENCRYPT_VIDEO_NODES_H
#define ENCRYPT_VIDEO_NODES_H

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

// How long a file's node keeps the descriptor its lookup opened: long
// enough that the open which follows the lookup of a path opens the very
// file the lookup found, as on DIR, however fast its name is replaced;
// short enough that a deleted file is soon freed.
inline constexpr std::chrono::milliseconds lookup_hold{100};

// Whether name is one file's, as the kernel gives them, which cannot
// leave the folder it is in: no "/", not "." nor "..".
bool is_one_name(std::string_view name);

// FIFOs, sockets and devices have no bytes to scramble, and opening one
// can block or act on a device: they get no node, and the view leaves them
// out.
bool is_shown(mode_t mode);

// What tells a file from the one that takes its inode number once it is
// deleted, as ext4 and xfs give a new file the number of one just gone.
struct file_id {
	dev_t device = 0;
	ino_t inode = 0;
	// Of its file handle, which holds the inode's generation; its birth
	// time where it has none; 0 where it has neither.
	std::uint64_t generation = 0;
	bool operator==(const file_id &) const = default;
};

struct file_id_hash {
	std::size_t operator()(const file_id &id) const;
};

// A file of DIR as the kernel knows it: one for each file, whatever names
// lead to it, so that two files never share the kernel's cache and a file
// keeps its node however it is renamed.
struct node {
	file_id id;
	bool folder = false;
	node *parent = nullptr;
	std::string name; // in parent, as it was last looked up
	// Where files open by handle (as root), what finds it again wherever
	// it has moved to on DIR's own file system.
	std::string handle;
	std::uint64_t lookups = 0; // as the kernel counts them
	unsigned children = 0;     // nodes that name it as their parent
	unsigned users = 0;        // requests using one of its descriptors now
	// A folder's own O_PATH descriptor, while the table has one to spare;
	// a file's is that of one of its open files, while it has any, else
	// its lookup's until held_until.  So a file deleted in DIR is freed
	// once no reader holds it, and a reader whose file has moved still
	// gets its attributes.
	int fd = -1;
	std::chrono::steady_clock::time_point held_until;
	// The descriptors of its open files, and of those released while a
	// request used them: only while it has any, as most nodes have none.
	struct open_files {
		std::vector<int> open;
		std::vector<int> closing;
	};
	std::unique_ptr<open_files> files;
	bool is_open() const { return files != nullptr && !files->open.empty(); }
	// As its last open found it: the kernel's cache of its bytes is kept
	// only while they stay the same.
	off_t size = -1;
	std::int64_t mtime_ns = -1;
	std::int64_t ctime_ns = -1;
	std::list<node *>::iterator with_fd; // in its list of those with one
};

// The files of DIR that the kernel knows, and the descriptors that reach
// them.  Nothing of FUSE: the kernel's numbers for nodes are the view's.
class node_table {
public:
	// DIR, open, which the table then owns; the folders may hold so many
	// descriptors between them, and the files just looked up so many.
	node_table(int dir, unsigned long folders, unsigned long lookups,
	    std::chrono::milliseconds hold = lookup_hold);
	~node_table();
	node_table(const node_table &) = delete;
	node_table &operator=(const node_table &) = delete;

	node &root() { return root_; }
	const node &root() const { return root_; }
	// The view's own mount, which DIR must never lead into: entering it,
	// the view would wait on itself for ever.
	void never_enter(dev_t device) { own_device_ = device; }
	// Whether name in the folder open as dir is that mount.  Asked of the
	// kernel's cached attributes, which asks nothing of any file system.
	bool is_own_mount(int dir, const char *name) const;

	// The file name stands for in parent now, its node's lookups raised:
	// 0 and st and found filled in, or a negative errno.  dir is parent's
	// descriptor where the caller holds one, as a listing does, which
	// keeps no descriptor of the files it finds.
	int look_up(node &parent, const char *name, struct stat &st,
	    node *&found);
	int look_up_in(node &parent, int dir, const char *name,
	    struct stat &st, node *&found);
	// The same for the file that name in parent is now, open as fd: one
	// just made, which the kernel is to know by the descriptor it gets.
	int look_up_open(node &parent, const char *name, int fd,
	    struct stat &st, node *&found);
	// The kernel no longer needs count of n's lookups.
	void forget(node &n, std::uint64_t count);
	// Renames name in parent to to_name in to, as renameat2 does with
	// flags, and moves the nodes of the files it moved: 0, or a negative
	// errno.
	int rename(node &parent, const char *name, node &to,
	    const char *to_name, unsigned flags);

	// n's file open as fd, which answers for n until it is released, and
	// is closed then, once no request uses it.
	void opened(node &n, int fd);
	void released(node &n, int fd);
	// Whether st, n's file as an open found it now, is as the last one
	// found it.
	bool is_unchanged(node &n, const struct stat &st);

	std::size_t size();
	std::size_t descriptors();

	// A node's descriptor for as long as this lives, or the negative
	// errno of why its file cannot be found: ESTALE where the name it was
	// last seen by leads elsewhere or nowhere, which has the kernel look
	// the name up again.
	class held {
	public:
		held(node_table &table, node &n);
		held(const held &) = delete;
		held &operator=(const held &) = delete;
		~held();
		int fd() const { return fd_; }

	private:
		node_table &table_;
		node &n_;
		int fd_;
		bool own_ = false; // found for this request alone
	};

private:
	int look_up_at(node &parent, int dir, const char *name,
	    struct stat &st, node *&found, bool hold);
	int find(const node &n, node &parent, const std::string &name,
	    const std::string &handle);
	node &remember(node &parent, const char *name, int fd,
	    const struct stat &st, const file_id &id, std::string handle,
	    bool hold);
	void place(node &n, node &parent, const char *name);
	void keep_fd(node &n, int fd);
	void hold_briefly(node &n, int fd);
	void drop_if_unused(node *n);
	void trim();
	void close_closing(node &n);
	void sweep(const std::stop_token &stop);

	node root_;
	dev_t own_device_ = 0;
	bool handles_ = false; // whether files of DIR open by handle here
	unsigned long folder_limit_;
	unsigned long lookup_limit_;
	std::chrono::milliseconds hold_;
	// Guards the map, the lists and every field of every node but its id
	// and whether it is a folder, which never change.  Taken last: no
	// other lock is taken under it.
	std::mutex lock_;
	std::unordered_map<file_id, std::unique_ptr<node>, file_id_hash> nodes_;
	std::list<node *> with_fd_; // folders with descriptors, last used first
	std::list<node *> held_;    // files with their lookup's, newest first
	std::size_t peak_ = 0;      // nodes since memory was last given back
	// Gives up the lookups' descriptors in time while no request comes;
	// started with the first, after the daemon has forked.
	std::condition_variable_any woken_;
	std::jthread sweeper_;
};

#endif
