// Preloaded into the tool, to reach what only a failing system call
// reaches: ENCRYPT_VIDEO_FAULT=CALL:N:ERROR[,...] fails the Nth call of CALL
// once, or every call if N is *, with ERROR (EIO, EINTR, EAGAIN, ENOMEM or
// EPERM; 0 makes it return 0; SIGTERM or SIGKILL raises it, then lets the
// call be).
// A failing close still closes, as on Linux.  fcntl's F_SETPIPE_SZ counts
// apart, so that a test can be denied the pipe size it asks for.  With
// 64-bit file offsets the callers call fstat64, fcntl64 and pread64; no
// fortified wrapper may clash with these, and a fortified caller's poll is
// caught where glibc would check it.  A rule it cannot read aborts, lest a
// typo test something else; it allocates nothing, to run beside any malloc.
#undef _FORTIFY_SOURCE
#include <sys/stat.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view calls[] = {"read", "write", "pread", "poll",
    "fstat", "close", "fcntl", "F_SETPIPE_SZ", "setsid"};
// Below it, a signal to raise: raised less its number.
constexpr int raised = -100;
using error_name = std::pair<std::string_view, int>;
constexpr error_name errors[] = {{"EIO", EIO}, {"EINTR", EINTR},
    {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM}, {"EPERM", EPERM}, {"0", 0},
    {"SIGTERM", raised - SIGTERM}, {"SIGKILL", raised - SIGKILL}};

struct rule {
	std::ptrdiff_t call;
	unsigned long nth; // 0 for every call
	int error;
};

std::span<const rule>
parse(const char *text, std::span<rule> rules)
{
	const std::string_view all = text != nullptr ? text : "";
	std::size_t size = 0;

	for (std::size_t start = 0; !all.empty() && start <= all.size();) {
		const std::size_t end = std::min(all.find(',', start),
		    all.size());
		const std::string_view item = all.substr(start, end - start);
		const std::size_t first = item.find(':');
		const std::size_t second = item.find(':', first + 1);
		const std::string_view nth = item.substr(first + 1,
		    second - first - 1);
		const auto call = std::ranges::find(calls,
		    item.substr(0, first));
		const auto error = std::ranges::find(errors,
		    second == item.npos ? "" : item.substr(second + 1),
		    &error_name::first);
		const char *nth_begin = nth.data();
		const char *nth_end = nth_begin + nth.size();
		unsigned long n = 0;
		const char *last = std::from_chars(nth_begin, nth_end, n).ptr;
		if (second == item.npos || call == std::end(calls) ||
		    error == std::end(errors) || size == rules.size() ||
		    (nth != "*" && (n == 0 || last != nth_end))) {
			std::fprintf(stderr, "fault_shim: cannot read \"%.*s\" "
			    "in ENCRYPT_VIDEO_FAULT\n",
			    static_cast<int>(item.size()), item.data());
			std::abort();
		}
		rules[size++] = {call - std::begin(calls), n, error->second};
		start = end + 1;
	}
	return rules.first(size);
}

// The errno to fail this call with, 0 to return 0, -1 to let it through, or
// a signal to raise; counted in each thread, as the tool has one and a test
// more.
int
fault(std::string_view name)
{
	static rule list[32];
	static const std::span<const rule> rules = parse(
	    std::getenv("ENCRYPT_VIDEO_FAULT"), list);
	thread_local unsigned long counts[std::size(calls)] = {};
	const std::ptrdiff_t call = std::ranges::find(calls, name) -
	    std::begin(calls);
	const unsigned long nth = ++counts[call];
	int every = -1;

	for (const rule &r : rules) {
		if (r.call == call && r.nth == nth)
			return r.error;
		if (r.call == call && r.nth == 0 && every == -1)
			every = r.error;
	}
	return every;
}

template <typename F, typename... Args>
auto
call(const char *name, std::string_view as, Args... args)
{
	const int e = fault(as);
	const auto real = reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
	if (e < raised)
		raise(raised - e);
	if (e < 0)
		return real(args...);
	if (as == "close")
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
