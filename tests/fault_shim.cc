// Preloaded into the tool by the tests, to reach the paths that only a
// failing system call reaches.  ENCRYPT_VIDEO_FAULT=CALL:N:ERROR[,...] makes
// the Nth call of CALL (read, write, poll, fstat or close) fail once with
// ERROR (EIO, EINTR, ...); ERROR 0 makes it return 0 instead.  A failing
// close still closes, as Linux does.
#undef _FILE_OFFSET_BITS
#include <sys/stat.h>

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view calls[] = {"read", "write", "poll", "fstat", "close"};
int counts[std::size(calls)];

// -1 when this call goes through, else the errno to fail it with (0: return 0).
int
fault(std::string_view call)
{
	std::size_t i = 0;
	while (calls[i] != call)
		i++;
	const std::string prefix = std::string(call) + ":" +
	    std::to_string(++counts[i]) + ":";
	const char *spec = std::getenv("ENCRYPT_VIDEO_FAULT");
	std::string_view rest = spec != nullptr ? spec : "";
	while (!rest.empty()) {
		const std::string_view item = rest.substr(0, rest.find(','));
		rest.remove_prefix(std::min(rest.size(), item.size() + 1));
		if (!item.starts_with(prefix))
			continue;
		for (const int e : {EIO, EINTR, EAGAIN, ENOMEM}) {
			if (item.substr(prefix.size()) == strerrorname_np(e))
				return e;
		}
		return 0;
	}
	return -1;
}

template <typename F, typename... Args>
auto
call_or_fail(const char *name, std::string_view call, Args... args)
{
	const int e = fault(call);
	const auto real = reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
	if (e < 0)
		return real(args...);
	errno = e;
	return static_cast<decltype(real(args...))>(e == 0 ? 0 : -1);
}

}

extern "C" {

ssize_t
read(int fd, void *buffer, size_t size)
{
	return call_or_fail<decltype(read)>("read", "read", fd, buffer, size);
}

ssize_t
write(int fd, const void *buffer, size_t size)
{
	return call_or_fail<decltype(write)>("write", "write", fd, buffer, size);
}

int
poll(pollfd *fds, nfds_t n, int timeout)
{
	return call_or_fail<decltype(poll)>("poll", "poll", fds, n, timeout);
}

int
fstat(int fd, struct stat *st)
{
	return call_or_fail<decltype(fstat)>("fstat", "fstat", fd, st);
}

int
fstat64(int fd, struct stat64 *st)
{
	return call_or_fail<decltype(fstat64)>("fstat64", "fstat", fd, st);
}

int
close(int fd)
{
	const int e = fault("close");
	const int closed = reinterpret_cast<decltype(close) *>(
	    dlsym(RTLD_NEXT, "close"))(fd);
	if (e < 0)
		return closed;
	errno = e;
	return -1;
}

}
