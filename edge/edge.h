#ifndef ENCRYPT_VIDEO_EDGE_H
#define ENCRYPT_VIDEO_EDGE_H

#include <sys/types.h>

#include <unistd.h>

#include <cerrno>
#include <utility>

// A 32-bit off_t would make fstat fail on every file over 2 GiB.
static_assert(sizeof(off_t) >= 8, "build with -D_FILE_OFFSET_BITS=64");

// Key 0 changes no byte: a password that gives it is refused in these words.
inline constexpr char key_zero_refusal[] =
    "this password gives no scrambling at all; choose another.";

// argv[0], or the program's own name where whoever started it gave none.
const char *program_name(int argc, char *argv[], const char *fallback);

[[noreturn]] __attribute__((format(printf, 1, 2))) void
exit_with_error(const char *format, ...);

// A signal that interrupts a call is no reason to fail it.
template <typename Call>
auto
retry_interrupted(Call call)
{
	decltype(call()) result;

	while ((result = call()) < 0 && errno == EINTR)
		;
	return result;
}

// A descriptor of one's own, closed when it goes, so that every path out
// of a function lets it go the same way; or, negative, the errno of why
// there is none.
class unique_fd {
public:
	unique_fd() = default;
	explicit unique_fd(int fd) : fd_(fd) {}
	unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
	unique_fd &
	operator=(unique_fd &&other) noexcept
	{
		reset(other.release());
		return *this;
	}
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	~unique_fd() { reset(); }

	int get() const { return fd_; }
	int release() { return std::exchange(fd_, -1); }
	void
	reset(int fd = -1)
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = fd;
	}

private:
	int fd_ = -1;
};

#endif
