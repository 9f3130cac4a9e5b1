#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "edge.h"
#include "start.h"

namespace {

// What stops the view.  Held back while it starts, so that one that comes
// then unmounts it rather than ending the command with a view left behind.
sigset_t
stop_signals()
{
	sigset_t set;
	sigemptyset(&set);
	for (const int signal : {SIGTERM, SIGINT, SIGHUP})
		sigaddset(&set, signal);
	return set;
}

bool
is_stopping(fuse_session *se)
{
	sigset_t pending;
	sigpending(&pending);
	for (const int signal : {SIGTERM, SIGINT, SIGHUP})
		if (sigismember(&pending, signal) == 1)
			return true;
	return fuse_session_exited(se) != 0;
}

// Once mounted, nothing may be left behind that nobody serves.
[[noreturn]] void
fail_to_start(fuse_session *se, const char *name, const char *why)
{
	fuse_session_unmount(se);
	exit_with_error("%s: the view stopped before it answered: %s.\n", name,
	    why);
}

// Asked of the kernel alone: nobody answers the view yet.
dev_t
device_of(const char *path)
{
	struct statx st {};

	return statx(AT_FDCWD, path, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT,
	    STATX_TYPE, &st) == 0 ? makedev(st.stx_dev_major,
	    st.stx_dev_minor) : 0;
}

// What the kernel reads ahead on a new mount, and so the size of the
// requests a first read of a file comes in: 128 KiB, where each request
// costs the daemon two context switches whatever its size.
constexpr unsigned kernel_read_ahead_kib = 128;

// Only root may; a refusal (another user, a read-only /sys in a container)
// leaves the kernel's read-ahead, slower but as correct.  Done before the
// kernel hears init's answer, which it takes only as a limit: it keeps the
// lesser of the two.
void
raise_read_ahead(dev_t device, unsigned kib)
{
	if (kib <= kernel_read_ahead_kib)
		return;
	const std::string path = "/sys/class/bdi/" + std::to_string(
	    major(device)) + ":" + std::to_string(minor(device)) +
	    "/read_ahead_kb";
	const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	const std::string value = std::to_string(kib);
	[[maybe_unused]] const ssize_t refused = write(fd, value.data(),
	    value.size());
	close(fd);
}

[[noreturn]] void
serve(fuse_session *se, const fuse_cmdline_opts &line)
{
	int status = chdir("/");
	const sigset_t stop = stop_signals();

	pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
	if (status == 0 && line.singlethread != 0) {
		status = fuse_session_loop(se);
	} else if (status == 0) {
		fuse_loop_config *config = fuse_loop_cfg_create();
		fuse_loop_cfg_set_clone_fd(config,
		    static_cast<unsigned int>(line.clone_fd));
		// Unless given, libfuse's default, which it would not take
		// back from itself.
		if (line.max_idle_threads != UINT_MAX)
			fuse_loop_cfg_set_idle_threads(config,
			    line.max_idle_threads);
		fuse_loop_cfg_set_max_threads(config, line.max_threads);
		status = fuse_session_loop_mt(se, config);
		fuse_loop_cfg_destroy(config);
	}
	fuse_remove_signal_handlers(se);
	fuse_session_unmount(se);
	fuse_session_destroy(se);
	// Unmounted, or asked to stop by a signal: either way a clean end.
	std::exit(status == 0 || status == SIGTERM || status == SIGINT ||
	    status == SIGHUP ? 0 : 1);
}

// The command returns once the daemon says that the kernel has started
// the view, or stops it and says why it never will.
[[noreturn]] void
return_when_served(fuse_session *se, pid_t daemon, int ready, int signals,
    const char *name)
{
	// Its copy of the device would keep a view whose daemon died waiting
	// instead of failing.
	const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	dup2(null, fuse_session_fd(se));
	close(null);
	pollfd waits[] = {{ready, POLLIN, 0}, {signals, POLLIN, 0}};
	retry_interrupted([&] { return poll(waits, 2, -1); });
	char byte = 0;
	const bool served = retry_interrupted([&] {
		return read(ready, &byte, 1);
	}) == 1;
	if (served && poll(&waits[1], 1, 0) == 0)
		std::exit(0);
	signalfd_siginfo signal{};
	const bool stopped = read(signals, &signal, sizeof signal) ==
	    sizeof signal;
	kill(daemon, SIGTERM);
	int status = 0;
	retry_interrupted([&] { return waitpid(daemon, &status, 0); });
	// A daemon that was killed could not unmount.
	if (WIFSIGNALED(status))
		fuse_session_unmount(se);
	exit_with_error("%s: the view stopped before it answered: %s.\n", name,
	    stopped ? strsignal(static_cast<int>(signal.ssi_signo)) :
	    WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) :
	    std::strerror(ENOTCONN));
}

}

void
mount_and_serve(fuse_session *se, view &v, const char *name,
    const char *mount_path, const fuse_cmdline_opts &line)
{
	const sigset_t stop = stop_signals();

	if (fuse_set_signal_handlers(se) != 0 ||
	    pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0 ||
	    fuse_session_mount(se, mount_path) != 0) {
		fuse_session_destroy(se);
		std::exit(1);
	}
	// Without it, the view could not tell its own mount inside DIR.
	const dev_t own_device = device_of(mount_path);
	if (own_device == 0)
		fail_to_start(se, name, std::strerror(errno));
	v.nodes.never_enter(own_device);
	raise_read_ahead(own_device, read_ahead_kib(v));
	if (is_stopping(se))
		fail_to_start(se, name, "stopped by a signal");
	if (line.foreground != 0)
		serve(se, line);
	int ready[2];
	const int signals = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
	if (signals < 0 || pipe2(ready, O_CLOEXEC) != 0)
		fail_to_start(se, name, std::strerror(errno));
	const pid_t daemon = fork();
	if (daemon < 0)
		fail_to_start(se, name, std::strerror(errno));
	if (daemon > 0) {
		close(ready[1]);
		return_when_served(se, daemon, ready[0], signals, name);
	}
	close(ready[0]);
	close(signals);
	v.served = ready[1];
	setsid();
	const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
		dup2(null, stream);
	close(null);
	serve(se, line);
}
