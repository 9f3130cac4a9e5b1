#ifndef ENCRYPT_VIDEO_VIEW_H
#define ENCRYPT_VIDEO_VIEW_H

#include <sys/types.h>

#include <fuse.h>

#include <atomic>

#include "scramble.h"

// What every request of the view needs, and all it keeps: no password,
// nothing per file.
struct view {
	int root; // DIR, opened before the mount could hide or move it
	dev_t root_device;
	dev_t own_device; // of the mount itself, which DIR must never lead into
	scrambler scramble;
	unsigned max_read; // as -o max_read= gave it, which init must repeat
	// Open files may take this many descriptors; the rest are kept for
	// lookups and listings, so that one reader holding thousands of
	// files does not lock everyone out.
	unsigned long file_limit;
	std::atomic<unsigned long> open_files;
};

fuse_operations view_operations();

#endif
