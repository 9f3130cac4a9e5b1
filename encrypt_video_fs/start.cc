#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "edge.h"
#include "options.h"
#include "start.h"

namespace {

// Whether the folder open at fd is the one of dir or below it, however
// either was named: its parents are walked up to "/", across mounts.
bool
is_within(unique_fd fd, const struct stat &dir)
{
	for (;;) {
		struct stat here {};
		struct stat up_stat {};
		if (fstat(fd.get(), &here) != 0)
			return false;
		if (here.st_dev == dir.st_dev && here.st_ino == dir.st_ino)
			return true;
		unique_fd up(openat(fd.get(), "..", O_PATH | O_DIRECTORY |
		    O_CLOEXEC));
		if (up.get() < 0 || fstat(up.get(), &up_stat) != 0 ||
		    (up_stat.st_dev == here.st_dev &&
		    up_stat.st_ino == here.st_ino))
			return false;
		fd = std::move(up);
	}
}

// Whether the folder open as fd has anything in it.
bool
is_empty(int fd)
{
	DIR *dir = fdopendir(openat(fd, ".", O_RDONLY | O_DIRECTORY |
	    O_CLOEXEC));
	if (dir == nullptr)
		return false;
	bool empty = true;
	for (const dirent *entry; empty && (entry = readdir(dir)) != nullptr;)
		empty = std::string_view(entry->d_name) == "." ||
		    std::string_view(entry->d_name) == "..";
	closedir(dir);
	return empty;
}

// Whether the folder open as fd is where a FUSE file system is mounted,
// such as a view that could not be unmounted.
bool
is_fuse_mount(int fd)
{
	struct statfs fs {};
	struct stat here {};
	struct stat up {};

	return fstatfs(fd, &fs) == 0 && fs.f_type == FUSE_SUPER_MAGIC &&
	    fstat(fd, &here) == 0 && fstatat(fd, "..", &up, 0) == 0 &&
	    here.st_dev != up.st_dev;
}

// What the view asks the kernel to read ahead: as large as a request can be
// (libfuse takes no more than 1 MiB), unless -o max_read= asks for smaller.
unsigned
read_ahead_kib(const view &v)
{
	constexpr unsigned most = 1024;
	return v.settings.max_read == 0 ? most :
	    std::min(most, v.settings.max_read / 1024);
}

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

// The stop signal that came while the view was starting, or 0.
int
stop_pending()
{
	sigset_t pending;
	sigpending(&pending);
	for (const int signal : {SIGTERM, SIGINT, SIGHUP})
		if (sigismember(&pending, signal) == 1)
			return signal;
	return 0;
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

// The start-up's part of the kernel's start of the view: libfuse wants a
// max_read said again, or fails the mount, and answers the read-ahead the
// kernel offered before the mount's was raised, which the kernel keeps if
// it is less; and the command, where it waits, hears that the view answers.
void
answer_start(fuse_session *se, view &v, int served, bool &answered)
{
	v.started = [se, max_read = v.settings.max_read,
	    kib = read_ahead_kib(v), served, &answered](fuse_conn_info &conn)
	    mutable {
		if (max_read != 0)
			conn.max_read = max_read;
		conn.max_readahead = std::max(conn.max_readahead, kib * 1024);
		answered = true;
		if (served < 0)
			return;
		// Were it lost, the command would report a view that
		// failed; and a command killed while it waited cannot say
		// the view is there, which then goes.
		char heard = 0;
		const auto told = [&] { return write(served, "", 1); };
		const auto heard_back = [&] { return read(served, &heard, 1); };
		if (retry_interrupted(told) != 1 ||
		    retry_interrupted(heard_back) != 1)
			fuse_session_exit(se);
		close(std::exchange(served, -1));
	};
}

// In the background, what libfuse would print while the view is served
// goes to the journal.
void
log_to_syslog(fuse_log_level level, const char *format, va_list args)
{
	vsyslog(static_cast<int>(level), format, args);
}

[[noreturn]] void
serve(fuse_session *se, const fuse_cmdline_opts &line, const bool &answered)
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
	// Unmounted, or asked to stop by a signal: either way a clean end,
	// but for a signal before the kernel had started the view, which the
	// command reports as that signal.
	const bool signalled = status == SIGTERM || status == SIGINT ||
	    status == SIGHUP;
	if (signalled && !answered)
		std::exit(128 + status);
	std::exit(status == 0 || signalled ? 0 : 1);
}

// The command returns once the daemon says that the kernel has started
// the view, or stops it and says why it never will.
[[noreturn]] void
return_when_served(fuse_session *se, pid_t daemon, int ready, int signals,
    const char *name, const char *mount_path, dev_t own_device)
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
	// A stop signal that comes while the command answers back is one
	// for the start-up still: the view it would leave goes too.
	const auto unstopped = [&] { return poll(&waits[1], 1, 0) == 0; };
	if (served && unstopped() &&
	    retry_interrupted([&] { return write(ready, "", 1); }) == 1 &&
	    unstopped())
		std::exit(0);
	// Unheard, or stopped, the daemon stops.
	close(ready);
	signalfd_siginfo signal{};
	const bool stopped = read(signals, &signal, sizeof signal) ==
	    sizeof signal;
	kill(daemon, SIGTERM);
	int status = 0;
	retry_interrupted([&] { return waitpid(daemon, &status, 0); });
	// A daemon that was killed could not unmount, unless it was killed
	// once it had: then the mount point is another file system's again.
	const dev_t left = device_of(mount_path);
	if (WIFSIGNALED(status) && (left == own_device || left == 0))
		fuse_session_unmount(se);
	const int daemon_signal = WIFSIGNALED(status) ? WTERMSIG(status) :
	    WIFEXITED(status) && WEXITSTATUS(status) > 128 ?
	    WEXITSTATUS(status) - 128 : 0;
	exit_with_error("%s: the view stopped before it answered: %s.\n", name,
	    stopped ? strsignal(static_cast<int>(signal.ssi_signo)) :
	    daemon_signal != 0 ? strsignal(daemon_signal) :
	    std::strerror(ENOTCONN));
}

}

void
keep_standard_streams()
{
	int null;
	while ((null = open("/dev/null", O_RDWR)) >= 0 && null <= STDERR_FILENO)
		;
	if (null >= 0)
		close(null);
}

int
open_folders(const char *name, const char *dir, const char *mount_point,
    bool allow_empty, char (&dir_path)[PATH_MAX], char (&mount_path)[PATH_MAX])
{
	struct stat dir_stat {};

	unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (fd.get() < 0 || fstat(fd.get(), &dir_stat) != 0 ||
	    realpath(dir, dir_path) == nullptr)
		exit_with_error("%s: could not open %s: %s.\n", name, dir,
		    std::strerror(errno));
	// A disk that is not mounted leaves its mount point empty, which a
	// backup that deletes or a media server would take for a library.
	if (!allow_empty && is_empty(fd.get()))
		exit_with_error("%s: %s is empty, as a disk that is not "
		    "mounted leaves it; give -o allow_empty to show it all the "
		    "same.\n", name, dir);
	unique_fd mount_fd(realpath(mount_point, mount_path) == nullptr ?
	    -1 : open(mount_path, O_PATH | O_DIRECTORY | O_CLOEXEC));
	if (mount_fd.get() < 0)
		exit_with_error("%s: could not open the mount point %s: %s.\n",
		    name, mount_point, std::strerror(errno));
	// A view on top would hide it, and the next unmount meant for either
	// would take the other.
	if (is_fuse_mount(mount_fd.get()))
		exit_with_error("%s: %s is mounted already; unmount it first: "
		    "fusermount3 -u %s\n", name, mount_point, mount_point);
	// The view would contain itself, and reading it would go round for
	// ever.
	if (is_within(std::move(mount_fd), dir_stat))
		exit_with_error("%s: the mount point %s is inside %s.\n", name,
		    mount_point, dir);
	return fd.release();
}

descriptor_limits
share_descriptors()
{
	rlimit files{};
	getrlimit(RLIMIT_NOFILE, &files);
	files.rlim_cur = files.rlim_max;
	setrlimit(RLIMIT_NOFILE, &files);
	getrlimit(RLIMIT_NOFILE, &files);
	const auto most = static_cast<unsigned long>(std::min<rlim_t>(
	    files.rlim_cur, ULONG_MAX));
	return {.files = most / 8 * 3, .folders = most / 8, .nodes = most / 4,
	    .lookups = most / 8};
}

fuse_session *
open_session(fuse_args &args, view &v, const char *dir_path)
{
	char *forced = nullptr;
	fuse_opt_add_opt(&forced, v.settings.writable != 0 ? "rw" : "ro");
	fuse_opt_add_opt(&forced, forced_options);
	fuse_opt_add_opt(&forced, "subtype=encrypt_video_fs");
	fuse_opt_add_opt_escaped(&forced,
	    (std::string("fsname=") + dir_path).c_str());
	fuse_opt_add_arg(&args, "-o");
	fuse_opt_add_arg(&args, forced);
	std::free(forced);
	const fuse_lowlevel_ops operations = view_operations(
	    v.settings.writable != 0);
	fuse_session *se = fuse_session_new(&args, &operations,
	    sizeof operations, &v);
	fuse_opt_free_args(&args);
	// libfuse has said why.
	if (se == nullptr)
		std::exit(1);
	return se;
}

void
check_fuse_is_here(const char *name)
{
	const int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
	if (device < 0 && (errno == ENOENT || errno == ENODEV ||
	    errno == ENXIO))
		exit_with_error("%s: no /dev/fuse here: install fuse3, or load "
		    "the fuse module (modprobe fuse).\n", name);
	if (device < 0)
		exit_with_error("%s: could not open /dev/fuse: %s; run as "
		    "root, or let every user open it (mode 0666, as udev makes "
		    "it).\n", name, std::strerror(errno));
	close(device);
	// Files are opened as the very inodes that were looked up, through it.
	if (access("/proc/self/fd", X_OK) != 0)
		exit_with_error("%s: no /proc here, through which files are "
		    "opened: mount it (mount -t proc proc /proc).\n", name);
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
	if (const int signal = stop_pending(); signal != 0)
		fail_to_start(se, name, strsignal(signal));
	// In the foreground nobody waits to hear it start: a stop is a stop.
	bool answered = line.foreground != 0;
	if (line.foreground != 0) {
		answer_start(se, v, -1, answered);
		serve(se, line, answered);
	}
	int ready[2];
	const int signals = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
	if (signals < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0,
	    ready) != 0)
		fail_to_start(se, name, std::strerror(errno));
	const pid_t daemon = fork();
	if (daemon < 0)
		fail_to_start(se, name, std::strerror(errno));
	if (daemon > 0) {
		close(ready[1]);
		return_when_served(se, daemon, ready[0], signals, name,
		    mount_path, own_device);
	}
	close(ready[0]);
	close(signals);
	answer_start(se, v, ready[1], answered);
	setsid();
	const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
		dup2(null, stream);
	close(null);
	openlog("encrypt_video_fs", LOG_PID, LOG_DAEMON);
	fuse_set_log_func(log_to_syslog);
	serve(se, line, answered);
}
