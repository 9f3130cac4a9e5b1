#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "scramble.h"

// A 32-bit off_t would make fstat fail on every file over 2 GiB.
static_assert(sizeof(off_t) >= 8, "build with -D_FILE_OFFSET_BITS=64");

namespace {

// Large enough that a gigabyte takes few system calls, small enough to
// stay in the cache between the read and the write.
constexpr std::size_t buffer_size = 16 * block_size;

[[noreturn]] __attribute__((format(printf, 1, 2))) void
exit_with_error(const char *format, ...)
{
	va_list args;

	va_start(args, format);
	vfprintf(stderr, format, args);
	va_end(args);
	std::exit(1);
}

int
open_input(const char *path)
{
	int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);

	// With standard output closed, the input would take its descriptor
	// and be written to, or taken for the output.
	if (fd >= 0 && fd <= STDERR_FILENO) {
		const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
		close(fd);
		fd = moved;
	}
	return fd;
}

// Fills buffer up to a block boundary: a short read from a pipe must not
// end a block early, or block positions would depend on how the writer
// happened to split its data.  Returns the count, short of a whole number
// of blocks only at the end of the input, or -1 on error.
ssize_t
read_blocks(int fd, std::span<std::uint8_t> buffer)
{
	std::size_t filled = 0;

	for (;;) {
		const ssize_t n = read(fd, buffer.data() + filled,
		    buffer.size() - filled);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		if (n == 0)
			break;
		filled += static_cast<std::size_t>(n);
		if (filled % block_size == 0)
			break;
	}
	return static_cast<ssize_t>(filled);
}

bool
write_all(int fd, std::span<const std::uint8_t> data)
{
	while (!data.empty()) {
		const ssize_t n = write(fd, data.data(), data.size());
		if (n < 0) {
			if (errno == EINTR)
				continue;
			// Whoever started us may have left the output
			// non-blocking; a slow reader is no reason to fail.
			if (errno == EAGAIN || errno == EWOULDBLOCK) {
				pollfd out{fd, POLLOUT, 0};
				if (poll(&out, 1, -1) < 0 && errno != EINTR)
					return false;
				continue;
			}
			return false;
		}
		if (n == 0) {
			errno = ENOSPC;
			return false;
		}
		data = data.subspan(static_cast<std::size_t>(n));
	}
	return true;
}

}

int
main(int argc, char *argv[])
{
	const char *name = argc > 0 && argv[0] != nullptr ?
	    argv[0] : "encrypt_video";

	if (argc < 3)
		exit_with_error("usage: %s FILE PASSWORD\n", name);
	const char *path = argv[1];
	char *password = argv[2];

	const int in = open_input(path);
	if (in < 0)
		exit_with_error("%s: could not open %s.\n", name, path);

	struct stat in_stat {};
	struct stat out_stat {};
	if (fstat(in, &in_stat) != 0)
		exit_with_error("%s: could not read %s: %s.\n", name, path,
		    std::strerror(errno));
	if (fstat(STDOUT_FILENO, &out_stat) == 0 &&
	    S_ISREG(out_stat.st_mode) && out_stat.st_dev == in_stat.st_dev &&
	    out_stat.st_ino == in_stat.st_ino)
		exit_with_error("%s: %s: input file is output file.\n", name,
		    path);
	if (isatty(STDOUT_FILENO) == 1)
		exit_with_error("%s: refusing to write binary output to a "
		    "terminal; redirect it to a file or a pipe.\n", name);

	const std::int32_t key = reduce_hash_to_key(compute_djb2_hash(password));
	if (key == 0)
		exit_with_error("%s: this password gives no scrambling at all; "
		    "choose another.\n", name);
	// Keeps the password out of ps and /proc/PID/cmdline from here on.
	explicit_bzero(password, std::strlen(password));

	const scramble_table table = make_scramble_table(key);
	posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
	alignas(4096) std::array<std::uint8_t, buffer_size> buffer;
	for (;;) {
		const ssize_t n = read_blocks(in, buffer);
		if (n < 0)
			exit_with_error("%s: could not read %s: %s.\n", name,
			    path, std::strerror(errno));
		const auto count = static_cast<std::size_t>(n);
		const std::size_t padded =
		    (count + block_size - 1) / block_size * block_size;
		const auto blocks = std::span(buffer).first(padded);

		std::fill(blocks.begin() + static_cast<std::ptrdiff_t>(count),
		    blocks.end(), 0);
		scramble_blocks(blocks, key, table);
		if (!write_all(STDOUT_FILENO, blocks))
			exit_with_error("%s: could not write the output: %s.\n",
			    name, std::strerror(errno));
		if (padded != count || count == 0)
			break;
	}
	if (close(STDOUT_FILENO) != 0 && errno != EBADF && errno != EINTR)
		exit_with_error("%s: could not write the output: %s.\n", name,
		    std::strerror(errno));
	return 0;
}
