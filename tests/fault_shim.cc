// Preloaded into the tool, to reach what only a failing system call
// reaches: ENCRYPT_VIDEO_FAULT=CALL:N:ERROR[,...] fails the Nth call of CALL
// once, or every call if N is *, with ERROR (EIO, EINTR, EAGAIN, ENOMEM or
// EPERM; 0 makes it return 0; SIGTERM raises it, then lets the call be).  A failing close still closes, as on Linux.
// fcntl's F_SETPIPE_SZ counts apart, so that a test can be denied the pipe
// size it asks for.  With 64-bit file offsets the callers call fstat64,
// fcntl64 and pread64; no fortified wrapper may clash with these, and a
// fortified caller's poll is caught where glibc would check it.
#undef _FORTIFY_SOURCE
#include <sys/stat.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

// The errno to fail this call with, 0 to return 0, or -1 to let it through.
// Counted in each thread: the tool has one, a test that preloads this more.
int
fault(const std::string &name)
{
	thread_local std::map<std::string, int> calls;
	const char *faults = std::getenv("ENCRYPT_VIDEO_FAULT");
	const std::string nth = name + ":" + std::to_string(++calls[name]) + ":";

	for (const std::string &item : {nth, name + ":*:"}) {
		const char *at = faults != nullptr ?
		    std::strstr(faults, item.c_str()) : nullptr;
		if (at == nullptr || (at != faults && at[-1] != ','))
			continue;
		const char *error_name = at + item.size();
		const std::string error(error_name,
		    std::strcspn(error_name, ","));
		if (error == "SIGTERM") {
			raise(SIGTERM);
			return -1;
		}
		for (const int e : {EIO, EINTR, EAGAIN, ENOMEM, EPERM}) {
			if (error == strerrorname_np(e))
				return e;
		}
		return 0;
	}
	return -1;
}

template <typename F, typename... Args>
auto
call(const char *name, const char *as, Args... args)
{
	const int e = fault(as);
	const auto real = reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
	if (e < 0)
		return real(args...);
	if (std::strcmp(as, "close") == 0)
		real(args...);
	errno = e;
	return static_cast<decltype(real(args...))>(e == 0 ? 0 : -1);
}

}

extern "C" {

ssize_t
read(int fd, void *buffer, size_t size)
{
	return call<decltype(read)>("read", "read", fd, buffer, size);
}

ssize_t
write(int fd, const void *buffer, size_t size)
{
	return call<decltype(write)>("write", "write", fd, buffer, size);
}

ssize_t
pread64(int fd, void *buffer, size_t size, off64_t offset)
{
	return call<decltype(pread64)>("pread64", "pread", fd, buffer, size,
	    offset);
}

int
poll(pollfd *fds, nfds_t n, int timeout)
{
	return call<decltype(poll)>("poll", "poll", fds, n, timeout);
}

// What a fortified poll calls where the compiler cannot see the array's
// size at compile time, as clang with glibc 2.40 and later cannot; counted
// as poll.  The name is glibc's, reserved to it as the checks say.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int
__poll_chk(pollfd *fds, nfds_t n, int timeout, size_t size)
{
	using poll_chk = int(pollfd *, nfds_t, int, size_t);
	return call<poll_chk>("__poll_chk", "poll", fds, n, timeout, size);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

int
fstat64(int fd, struct stat64 *st)
{
	return call<decltype(fstat64)>("fstat64", "fstat", fd, st);
}

pid_t
setsid()
{
	return call<decltype(setsid)>("setsid", "setsid");
}

int
close(int fd)
{
	return call<decltype(close)>("close", "close", fd);
}

// As glibc itself does, the third argument is passed on as a pointer,
// whatever the command makes of it.
int
fcntl64(int fd, int command, ...)
{
	va_list args;

	va_start(args, command);
	void *argument = va_arg(args, void *);
	va_end(args);
	return call<decltype(fcntl64)>("fcntl64", command == F_SETPIPE_SZ ?
	    "F_SETPIPE_SZ" : "fcntl", fd, command, argument);
}

}
