#ifndef ENCRYPT_VIDEO_CALLBACKS_H
#define ENCRYPT_VIDEO_CALLBACKS_H

#include <sys/stat.h>
#include <sys/types.h>

#include <fuse_lowlevel.h>
#include <linux/capability.h>

#include <array>
#include <string>

#include "edge.h"
#include "view.h"

// What the view's callbacks share: view.cc answers what the kernel asks,
// write.cc makes the changes it asks for.

view &view_of(fuse_req_t req);
node &node_of(view &v, fuse_ino_t ino);
// Errors travel as negative errnos, and go out positive.
void reply_error(fuse_req_t req, int error);
// Answers e, the entry of a node just looked up, or forgets the lookup.
void reply_entry(fuse_req_t req, view &v, const fuse_entry_param &e);
// An open file's handle: its descriptor and its user, side by side.
int fd_of(const fuse_file_info *fi);

// What names the file open at fd, for the calls that take only a name.
std::string self_path(int fd);
// The file open as fd (O_PATH) opened for reading, or with flags, through
// /proc: the very inode that was looked up.
int reopen(int fd, int flags);

// What the view shows of a file of DIR.
void show(const view &v, struct stat &st);
// The entry of n, whose attributes e holds already, as the kernel wants it.
void fill_entry(view &v, node &n, fuse_entry_param &e);
// libfuse keeps a handle as a 64-bit number: an open folder's is its
// address.
open_folder &folder_of(const fuse_file_info *fi);
// Looks name up in parent, open as dir where the caller holds it, and
// fills e as the kernel wants it: 0, or a negative errno.
int look_up(view &v, node &parent, int dir, const char *name,
    fuse_entry_param &e);
// Takes fd, n's file opened for the request, as its open file: the share
// of user's open files, taken already, is given back where it fails.  A
// file just created is answered with its entry, which fails with it.
void reply_open(fuse_req_t req, view &v, node &n, uid_t user, unique_fd fd,
    fuse_file_info *fi, const fuse_entry_param *created);

// The caller's identity for the calls of one request that make, change or
// fill a file, where needed: its owner, groups and umask, as on DIR, and
// no more room than DIR gives it (root's reserved blocks, a quota's
// limit).  A daemon run as root takes the caller's; one run as a user
// acts as that user, and refuses the changes of others, which it could
// only make as itself.
class as_caller {
public:
	explicit as_caller(fuse_req_t req, bool needed = true);
	~as_caller();
	as_caller(const as_caller &) = delete;
	as_caller &operator=(const as_caller &) = delete;
	int error() const { return error_; } // 0, or why not

private:
	// The thread's capabilities before the one for room was dropped.
	std::array<__user_cap_data_struct, 2> caps_{};
	bool capped_ = false;
	bool switched_ = false;
	bool masked_ = false;
	mode_t umask_ = 0;
	int error_ = 0;
};

// The callbacks that change DIR, for a writable view.
void add_changes(fuse_lowlevel_ops &operations);

#endif
