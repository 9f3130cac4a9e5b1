#ifndef ENCRYPT_VIDEO_VIEW_H
#define ENCRYPT_VIDEO_VIEW_H

#include <sys/types.h>

#include <fuse.h>

#include <atomic>
#include <cstdint>

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

// What reading a password line can give besides a key.
inline constexpr std::int32_t password_unreadable = -1; // errno tells why
inline constexpr std::int32_t password_missing = -2;
inline constexpr std::int32_t password_with_zero_byte = -3;
inline constexpr std::int32_t password_interrupted = -4;

// The key of the first line read from fd, hashed as it comes so that no
// copy of the password is ever held, or one of the values above.  While it
// waits, a signal on the signalfd signals, if one is given, interrupts it.
std::int32_t read_password_key(int fd, int signals = -1);
// The same from a terminal, asked for without echo.
std::int32_t ask_password_key(int terminal);

#endif
