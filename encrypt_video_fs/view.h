#ifndef ENCRYPT_VIDEO_VIEW_H
#define ENCRYPT_VIDEO_VIEW_H

#include <sys/types.h>

#include <dirent.h>
#include <fuse_lowlevel.h>

#include <functional>
#include <list>
#include <mutex>
#include <unordered_map>

#include "nodes.h"
#include "scramble.h"

// What the command line sets of the view.
struct view_settings {
	// As -o max_read= gave it, which init must say again.
	unsigned max_read = 0;
	double entry_timeout = 1;
	double attr_timeout = 1;
	double negative_timeout = 0;
	bool keep_cache = false; // -o kernel_cache: even across changes
	int writable = 0;        // -o writable: what is written goes to DIR
};

// How many descriptors open files, open folders, the folders the kernel
// knows and the files just looked up may hold; the rest are kept for the
// requests under way.
struct descriptor_limits {
	unsigned long files;
	unsigned long folders;
	unsigned long nodes;
	unsigned long lookups;
};

// Descriptors that open files, or open folders, may take: so many in all,
// and by any one user three quarters of them, so that one client holding
// thousands cannot lock the others out.
class descriptor_share {
public:
	explicit descriptor_share(unsigned long limit) : limit_(limit) {}
	bool take(uid_t user);
	void give_back(uid_t user);

private:
	// Guards what follows; no other lock is taken under it.
	std::mutex lock_;
	unsigned long limit_;
	unsigned long taken_ = 0;
	std::unordered_map<uid_t, unsigned long> by_user_;
};

// An open folder, and who opened it, whose share it is taken from.
struct open_folder {
	DIR *dir;
	uid_t user;
};

// The folders the kernel holds open: the view's, so that they go with it
// where the kernel never releases them.
class folder_list {
public:
	open_folder &add(DIR *dir, uid_t user);
	void remove(const open_folder &folder); // and closes it
private:
	std::mutex lock_; // guards list_ alone
	std::list<open_folder> list_;
};

// What every request of the view needs, and all it keeps: no password,
// no path.  Each of its parts has a lock of its own, and no request holds
// two at once.
struct view {
	view(int dir, const view_settings &given,
	    const descriptor_limits &limits)
	    : settings(given), nodes(dir, limits.nodes, limits.lookups),
	      files(limits.files),
	      folders(limits.folders)
	{
	}

	const view_settings settings;
	node_table nodes; // DIR, opened before the mount could hide or move it
	scrambler scramble{};
	descriptor_share files;
	descriptor_share folders;
	folder_list open_folders;
	// The start-up's part once the kernel has started the view.
	std::function<void(fuse_conn_info &)> started;
};

// What the view answers the kernel with; what it changes in DIR only where
// it is writable.
fuse_lowlevel_ops view_operations(bool writable);

#endif
