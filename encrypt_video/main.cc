#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "edge.h"
#include "scramble.h"

namespace {

// Large enough that a gigabyte takes few system calls, small enough to
// stay in the cache between the read and the write.
constexpr std::size_t buffer_size = 16 * block_size;

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

ssize_t
read_some(int fd, std::span<std::uint8_t> buffer)
{
	return retry_interrupted([&] {
		return read(fd, buffer.data(), buffer.size());
	});
}

bool
write_all(int fd, std::span<const std::uint8_t> data)
{
	while (!data.empty()) {
		const ssize_t n = retry_interrupted([&] {
			return write(fd, data.data(), data.size());
		});
		if (n < 0) {
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

// The file system may report a failed write only now (NFS, FUSE), and a
// failure here is the run's failure.  A closed standard output that was
// never written to has lost nothing.
void
close_output(const char *name)
{
	if (std::fflush(stdout) != 0 ||
	    (close(STDOUT_FILENO) != 0 && errno != EBADF && errno != EINTR))
		exit_with_error("%s: could not write the output: %s.\n", name,
		    std::strerror(errno));
}

}

int
main(int argc, char *argv[])
{
	const char *name = program_name(argc, argv, "encrypt_video");

	// With two operands or more, these are file names like any other.
	if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
		std::printf("usage: %s FILE PASSWORD\n"
		    "Scramble FILE under PASSWORD and write it to standard "
		    "output.\n"
		    "The same command on that output, with the same password, "
		    "gives FILE\n"
		    "back, followed by the zero bytes that fill its last "
		    "8192-byte block.\n"
		    "A scrambler, not encryption: see the manual page, "
		    "encrypt_video(1).\n", name);
		close_output(name);
		return 0;
	}
	if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
		std::printf("encrypt_video %s\n", ENCRYPT_VIDEO_VERSION);
		close_output(name);
		return 0;
	}
	if (argc < 3)
		exit_with_error("usage: %s FILE PASSWORD\n", name);
	// An unquoted password with a space would otherwise scramble under
	// its first word without a word said.
	if (argc > 3)
		std::fprintf(stderr, "%s: ignoring what follows the password; "
		    "quote a password that has spaces.\n", name);
	const char *path = argv[1];
	char *password = argv[2];
	// Keeps the password out of ps and /proc/PID/cmdline before the open,
	// which waits for as long as a FIFO has no writer.
	const std::int32_t key = reduce_hash_to_key(
	    compute_djb2_hash(password));
	explicit_bzero(password, std::strlen(password));

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

	if (key == 0)
		exit_with_error("%s: %s\n", name, key_zero_refusal);

	const scrambler s = make_scrambler(key);
	posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
	alignas(4096) std::array<std::uint8_t, buffer_size> buffer;
	// Writes the first blocks of the buffer, filled up to there.
	const auto write_blocks = [&](std::size_t filled) {
		const std::size_t n = scramble_filled(buffer, filled, s);
		if (!write_all(STDOUT_FILENO, std::span(buffer).first(n)))
			exit_with_error("%s: could not write the output: %s.\n",
			    name, std::strerror(errno));
	};
	// Blocks are counted over the stream, however a pipe splits it.  Each
	// whole block goes out as soon as it is in: a live stream is not held
	// back, and a later read error loses none of it.
	std::size_t filled = 0;
	for (;;) {
		const ssize_t n = read_some(in,
		    std::span(buffer).subspan(filled));
		if (n < 0)
			exit_with_error("%s: could not read %s: %s.\n", name,
			    path, std::strerror(errno));
		if (n == 0)
			break;
		filled += static_cast<std::size_t>(n);
		const std::size_t whole = filled - filled % block_size;
		if (whole == 0)
			continue;
		write_blocks(whole);
		std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(whole),
		    buffer.begin() + static_cast<std::ptrdiff_t>(filled),
		    buffer.begin());
		filled -= whole;
	}
	if (filled > 0)
		write_blocks(filled);
	close_output(name);
	return 0;
}
