#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "edge.h"
#include "password.h"
#include "view.h"

namespace {

const char usage[] = "usage: %s DIR MOUNTPOINT [-f] [-o OPTION[,OPTION]...]\n";

// What fuse_opt_parse fills in besides what libfuse takes itself.
struct command_line {
	const char *name;
	const char *dir = nullptr;
	const char *mount_point = nullptr;
	char *passfile = nullptr;
	unsigned max_read = 0;
};

// Options of libfuse's that would break a promise of the view: each is
// refused, saying why.  The parentheses tell clang that the first is one
// string on purpose.
const char *const refusals[] = {
	("a view whose process died must fail every access, not look like an "
	    "empty folder that a backup or a media server would follow"),
	"the view shows the owners of DIR, which decide who may read",
	"the view shows the modes of DIR, which decide who may read",
	"the view is of a folder, not of a block device",
};

const fuse_opt options[] = {
	{"passfile=%s", offsetof(command_line, passfile), 0},
	// Kept for libfuse, which wants it said again when the kernel starts
	// the view.
	{"max_read=%u", offsetof(command_line, max_read), 0},
	FUSE_OPT_KEY("max_read=", FUSE_OPT_KEY_KEEP),
	// What mount(8) may hand on from /etc/fstab, which libfuse refuses.
	FUSE_OPT_KEY("defaults", FUSE_OPT_KEY_DISCARD),
	FUSE_OPT_KEY("auto_unmount", 0),
	FUSE_OPT_KEY("uid=", 1),
	FUSE_OPT_KEY("gid=", 1),
	FUSE_OPT_KEY("umask=", 2),
	FUSE_OPT_KEY("blkdev", 3),
	FUSE_OPT_KEY("blksize=", 3),
	FUSE_OPT_END,
};

// Both operands are taken here, and the refused options, so that each
// fault is told in our words.
int
take_argument(void *data, const char *arg, int key, fuse_args *)
{
	auto *line = static_cast<command_line *>(data);

	if (key >= 0)
		exit_with_error("%s: refusing -o %s: %s.\n", line->name, arg,
		    refusals[key]);
	if (key != FUSE_OPT_KEY_NONOPT)
		return 1;
	if (line->dir == nullptr)
		line->dir = arg;
	else if (line->mount_point == nullptr)
		line->mount_point = arg;
	else
		return -1;
	return 0;
}

// Whether the folder open at fd is the one of dir or below it, however
// either was named: its parents are walked up to "/", across mounts.
bool
is_within(int fd, const struct stat &dir)
{
	bool within = false;

	for (;;) {
		struct stat here {};
		struct stat up_stat {};
		if (fstat(fd, &here) != 0)
			break;
		if (here.st_dev == dir.st_dev && here.st_ino == dir.st_ino) {
			within = true;
			break;
		}
		const int up = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
		if (up < 0 || fstat(up, &up_stat) != 0 ||
		    (up_stat.st_dev == here.st_dev && up_stat.st_ino == here.st_ino)) {
			if (up >= 0)
				close(up);
			break;
		}
		close(fd);
		fd = up;
	}
	close(fd);
	return within;
}

std::int32_t
key_from(const char *name, const char *passfile)
{
	const char *from = "standard input";
	int fd = STDIN_FILENO;
	std::int32_t key;

	if (passfile != nullptr) {
		from = passfile;
		if ((fd = open(passfile, O_RDONLY | O_NOCTTY | O_CLOEXEC)) < 0)
			exit_with_error("%s: could not open %s: %s.\n", name,
			    passfile, std::strerror(errno));
		key = read_password_key(fd);
		const int error = errno;
		close(fd);
		errno = error;
	} else if (isatty(fd) == 1) {
		from = "the terminal";
		key = ask_password_key(fd);
	} else {
		key = read_password_key(fd);
	}
	if (key == password_unreadable)
		exit_with_error("%s: could not read the password from %s: %s.\n",
		    name, from, std::strerror(errno));
	if (key == password_missing)
		exit_with_error("%s: no password: %s has no line.\n", name, from);
	if (key == password_with_zero_byte)
		exit_with_error("%s: the password from %s holds a zero byte, "
		    "which no password can.\n", name, from);
	if (key == 0)
		exit_with_error("%s: %s\n", name, key_zero_refusal);
	return key;
}

// DIR and MOUNTPOINT, checked and made absolute: the daemon runs in "/".
void
open_folders(const char *name, const command_line &line, view &v,
    char (&dir_path)[PATH_MAX], char (&mount_path)[PATH_MAX])
{
	struct stat dir_stat {};

	v.root = open(line.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (v.root < 0 || fstat(v.root, &dir_stat) != 0 ||
	    realpath(line.dir, dir_path) == nullptr)
		exit_with_error("%s: could not open %s: %s.\n", name, line.dir,
		    std::strerror(errno));
	v.root_device = dir_stat.st_dev;
	const int mount_point = realpath(line.mount_point, mount_path) ==
	    nullptr ? -1 : open(mount_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (mount_point < 0)
		exit_with_error("%s: could not open the mount point %s: %s.\n",
		    name, line.mount_point, std::strerror(errno));
	// The view would contain itself, and reading it would go round for
	// ever.
	if (is_within(mount_point, dir_stat))
		exit_with_error("%s: the mount point %s is inside %s.\n", name,
		    line.mount_point, line.dir);
}

// Once mounted, nothing may be left behind that nobody serves.
[[noreturn]] void
fail_to_start(fuse *f, const char *name)
{
	const int error = errno;

	fuse_unmount(f);
	exit_with_error("%s: could not start the view: %s.\n", name,
	    std::strerror(error));
}

dev_t
device_of(const char *path, int sync)
{
	struct statx st {};

	return statx(AT_FDCWD, path, sync | AT_NO_AUTOMOUNT, STATX_TYPE,
	    &st) == 0 ? makedev(st.stx_dev_major, st.stx_dev_minor) : 0;
}

// The command returns once the view answers, or says why it never will.
// The kernel holds a request until the daemon has taken the mount, and
// only the daemon can answer one that must be asked of it.
[[noreturn]] void
return_when_served(fuse *f, pid_t daemon, const char *name,
    const char *mount_path, dev_t own_device)
{
	fuse_session *se = fuse_get_session(f);

	// Its copy of the device would keep a view whose daemon died waiting
	// instead of failing.
	const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	dup2(null, fuse_session_fd(se));
	close(null);
	fuse_remove_signal_handlers(se);
	errno = 0;
	if (device_of(mount_path, AT_STATX_FORCE_SYNC) == own_device)
		std::exit(0);
	const int error = errno != 0 ? errno : ENOTCONN;
	int status = 0;
	retry_interrupted([&] { return waitpid(daemon, &status, 0); });
	// A daemon that was killed could not unmount.
	if (WIFSIGNALED(status))
		fuse_unmount(f);
	exit_with_error("%s: the view stopped before it answered: %s.\n",
	    name, std::strerror(error));
}

int
serve(fuse *f, const fuse_cmdline_opts &fuse_line)
{
	int status = chdir("/");

	if (status == 0 && fuse_line.singlethread != 0) {
		status = fuse_loop(f);
	} else if (status == 0) {
		fuse_loop_config *config = fuse_loop_cfg_create();
		fuse_loop_cfg_set_clone_fd(config,
		    static_cast<unsigned int>(fuse_line.clone_fd));
		// Unless given, libfuse's default, which it would not take
		// back from itself.
		if (fuse_line.max_idle_threads != UINT_MAX)
			fuse_loop_cfg_set_idle_threads(config,
			    fuse_line.max_idle_threads);
		fuse_loop_cfg_set_max_threads(config, fuse_line.max_threads);
		status = fuse_loop_mt(f, config);
		fuse_loop_cfg_destroy(config);
	}
	fuse_remove_signal_handlers(fuse_get_session(f));
	fuse_unmount(f);
	fuse_destroy(f);
	// Unmounted, or asked to stop by a signal: either way a clean end.
	return status == 0 || status == SIGTERM || status == SIGINT ||
	    status == SIGHUP ? 0 : 1;
}

}

int
main(int argc, char *argv[])
{
	const char *name = program_name(argc, argv, "encrypt_video_fs");
	fuse_args args = FUSE_ARGS_INIT(argc, argv);
	command_line line{.name = name};
	fuse_cmdline_opts fuse_line{};

	// With a standard stream closed, DIR would take its number, and the
	// daemon's /dev/null would then take DIR's place.
	int null;
	while ((null = open("/dev/null", O_RDWR)) >= 0 && null <= STDERR_FILENO)
		;
	if (null >= 0)
		close(null);
	if (fuse_opt_parse(&args, &line, options, take_argument) != 0 ||
	    fuse_parse_cmdline(&args, &fuse_line) != 0)
		exit_with_error(usage, name);
	if (fuse_line.show_help != 0) {
		std::printf(usage, name);
		std::printf("Show DIR at MOUNTPOINT, read-only, each file as "
		    "encrypt_video prints it\n"
		    "under the password: scrambled files read as their "
		    "originals, and originals\n"
		    "as scrambled.  The password is asked for on the terminal, "
		    "or read from the\n"
		    "first line of standard input, or of FILE with -o "
		    "passfile=FILE.  Unmount\n"
		    "with fusermount3 -u MOUNTPOINT.  See encrypt_video_fs(1).\n"
		    "\n"
		    "    -o passfile=FILE       read the password from FILE\n");
		fuse_cmdline_help();
		fuse_lib_help(&args);
		return std::fflush(stdout) == 0 ? 0 : 1;
	}
	if (fuse_line.show_version != 0) {
		std::printf("encrypt_video_fs %s\nFUSE library version %s\n",
		    ENCRYPT_VIDEO_VERSION, fuse_pkgversion());
		return std::fflush(stdout) == 0 ? 0 : 1;
	}
	if (line.dir == nullptr || line.mount_point == nullptr)
		exit_with_error(usage, name);

	view v{};
	char dir_path[PATH_MAX];
	char mount_path[PATH_MAX];
	open_folders(name, line, v, dir_path, mount_path);
	v.max_read = line.max_read;
	// A descriptor for every open file: as many as this process may
	// have, a quarter of them kept for lookups and listings.
	rlimit files{};
	getrlimit(RLIMIT_NOFILE, &files);
	files.rlim_cur = files.rlim_max;
	setrlimit(RLIMIT_NOFILE, &files);
	getrlimit(RLIMIT_NOFILE, &files);
	v.file_limit = files.rlim_cur - files.rlim_cur / 4;

	// After the user's own options, so that these win over "rw", "dev"
	// and "suid", which mount(8) passes for an /etc/fstab line.
	char *forced = nullptr;
	fuse_opt_add_opt(&forced, "ro,nodev,nosuid,default_permissions,"
	    "subtype=encrypt_video_fs");
	fuse_opt_add_opt_escaped(&forced,
	    (std::string("fsname=") + dir_path).c_str());
	fuse_opt_add_arg(&args, "-o");
	fuse_opt_add_arg(&args, forced);
	std::free(forced);
	// A file read again comes from the kernel's cache, unless it changed.
	fuse_opt_insert_arg(&args, 1, "-oauto_cache");
	const fuse_operations operations = view_operations();
	// Options are checked here, before the password is asked for.
	fuse *f = fuse_new(&args, &operations, sizeof operations, &v);
	fuse_opt_free_args(&args);
	if (f == nullptr) {
		std::free(line.passfile);
		return 1;
	}

	const int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
	if (device < 0 && (errno == ENOENT || errno == ENODEV || errno == ENXIO))
		exit_with_error("%s: no /dev/fuse here: install fuse3, or load "
		    "the fuse module (modprobe fuse).\n", name);
	if (device < 0)
		exit_with_error("%s: could not open /dev/fuse: %s; run as root, or "
		    "let every user open it (mode 0666, as udev makes it).\n",
		    name, std::strerror(errno));
	close(device);
	// Files are opened as the very inodes that were checked, through it.
	if (access("/proc/self/fd", X_OK) != 0)
		exit_with_error("%s: no /proc here, through which files are "
		    "opened: mount it (mount -t proc proc /proc).\n", name);

	v.scramble = make_scrambler(key_from(name, line.passfile));
	std::free(line.passfile);
	// From before the mount, so that no signal can leave one that nobody
	// serves.
	fuse_session *se = fuse_get_session(f);
	if (fuse_set_signal_handlers(se) != 0 || fuse_mount(f, mount_path) != 0) {
		fuse_destroy(f);
		return 1;
	}
	// Asked of the kernel alone: nobody answers the view yet.
	// Without it, the command could not tell when the view answers.
	if ((v.own_device = device_of(mount_path, AT_STATX_DONT_SYNC)) == 0)
		fail_to_start(f, name);
	if (fuse_session_exited(se) == 0 && fuse_line.foreground == 0) {
		const pid_t daemon = fork();
		if (daemon < 0)
			fail_to_start(f, name);
		if (daemon > 0)
			return_when_served(f, daemon, name, mount_path,
			    v.own_device);
		setsid();
		const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
		for (const int stream : {STDIN_FILENO, STDOUT_FILENO,
		    STDERR_FILENO})
			dup2(null_fd, stream);
		close(null_fd);
	}
	return serve(f, fuse_line);
}
