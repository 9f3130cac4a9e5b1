#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "edge.h"
#include "password.h"
#include "start.h"
#include "view.h"

namespace {

// Unless -o max_threads= says otherwise.  Each thread answering a read
// holds up to a request's 1 MiB, and libfuse's 10 read no faster than 2 or
// 4, from the page cache or the disk, by one reader or four; 4 leave a
// disk or a larger machine more reads at once than 2.
constexpr unsigned default_threads = 4;

const char usage[] = "usage: %s DIR MOUNTPOINT [-f] [-o OPTION[,OPTION]...]\n";

// What fuse_opt_parse fills in besides what libfuse takes itself.
struct command_line {
	const char *name;
	const char *dir = nullptr;
	const char *mount_point = nullptr;
	char *passfile = nullptr;
	char *passcheck = nullptr;
	int threads_given = 0;
	int allow_empty = 0;
	view_settings settings{};
};

// Keys of the options taken here that are not refused.
enum : std::int8_t {
	timeout_key = -10,
	kernel_cache_key = -11,
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
	"the view shows DIR as it is; give the folder to show as DIR",
	"a change in DIR must show within two seconds, which a timeout over "
	    "1 second breaks",
};

const fuse_opt options[] = {
	{"passfile=%s", offsetof(command_line, passfile), 0},
	{"passcheck=%s", offsetof(command_line, passcheck), 0},
	{"allow_empty", offsetof(command_line, allow_empty), 1},
	// Kept for libfuse, which wants it said again when the kernel starts
	// the view.
	{"max_read=%u", offsetof(command_line, settings.max_read), 0},
	FUSE_OPT_KEY("max_read=", FUSE_OPT_KEY_KEEP),
	// Noted, and kept for libfuse, whose default it replaces.
	{"max_threads=", offsetof(command_line, threads_given), 1},
	FUSE_OPT_KEY("max_threads=", FUSE_OPT_KEY_KEEP),
	// What mount(8) may hand on from /etc/fstab, which libfuse refuses.
	FUSE_OPT_KEY("defaults", FUSE_OPT_KEY_DISCARD),
	FUSE_OPT_KEY("auto_unmount", 0),
	FUSE_OPT_KEY("uid=", 1),
	FUSE_OPT_KEY("gid=", 1),
	FUSE_OPT_KEY("umask=", 2),
	FUSE_OPT_KEY("blkdev", 3),
	FUSE_OPT_KEY("blksize=", 3),
	FUSE_OPT_KEY("modules=", 4),
	FUSE_OPT_KEY("entry_timeout=", timeout_key),
	FUSE_OPT_KEY("attr_timeout=", timeout_key),
	FUSE_OPT_KEY("negative_timeout=", timeout_key),
	FUSE_OPT_KEY("kernel_cache", kernel_cache_key),
	// What the view always does, or what a view of nodes cannot.
	FUSE_OPT_KEY("auto_cache", FUSE_OPT_KEY_DISCARD),
	FUSE_OPT_KEY("use_ino", FUSE_OPT_KEY_DISCARD),
	FUSE_OPT_KEY("noforget", FUSE_OPT_KEY_DISCARD),
	FUSE_OPT_END,
};

// Sets the timeout that arg names, if it is short enough.
bool
take_timeout(view_settings &settings, const char *arg)
{
	const std::string_view option = arg;
	const std::string_view key = option.substr(0, option.find('='));
	char *end = nullptr;
	const double seconds = std::strtod(arg + key.size() + 1, &end);
	if (end == arg + key.size() + 1 || *end != '\0' || !(seconds >= 0) ||
	    seconds > 1)
		return false;
	(key == "entry_timeout" ? settings.entry_timeout :
	    key == "attr_timeout" ? settings.attr_timeout :
	    settings.negative_timeout) = seconds;
	return true;
}

// Both operands are taken here, and the refused options, so that each
// fault is told in our words.
int
take_argument(void *data, const char *arg, int key, fuse_args *)
{
	auto *line = static_cast<command_line *>(data);

	if (key == timeout_key && take_timeout(line->settings, arg))
		return 0;
	if (key == timeout_key)
		key = std::size(refusals) - 1;
	if (key == kernel_cache_key) {
		line->settings.keep_cache = true;
		return 0;
	}
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
	if (key == password_empty)
		exit_with_error("%s: no password: the line from %s is empty.\n",
		    name, from);
	if (key == password_with_zero_byte)
		exit_with_error("%s: the password from %s holds a zero byte, "
		    "which no password can.\n", name, from);
	if (key == 0)
		exit_with_error("%s: %s\n", name, key_zero_refusal);
	return key;
}

// A view under another password than a backup's would mix two keys in it,
// and nothing would tell.
void
check_password(const char *name, const char *check, std::int32_t key)
{
	switch (check_key(check, key)) {
	case key_check::same:
	case key_check::made:
		return;
	case key_check::other:
		exit_with_error("%s: the password is not the one %s was made "
		    "with.\n", name, check);
	case key_check::not_a_check:
		exit_with_error("%s: %s is not a password check.\n", name, check);
	case key_check::failed:
		exit_with_error("%s: could not open %s: %s.\n", name, check,
		    std::strerror(errno));
	}
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
		    "under the password, less the zero fill: scrambled files "
		    "read as their\n"
		    "originals, and originals as scrambled.  The password is "
		    "asked for on the\n"
		    "terminal, or read from the first line of standard input, "
		    "or of FILE with\n"
		    "-o passfile=FILE.  Unmount with fusermount3 -u MOUNTPOINT.  "
		    "See\n"
		    "encrypt_video_fs(1).\n"
		    "\n"
		    "    -o passfile=FILE       read the password from FILE\n"
		    "    -o passcheck=FILE      refuse a password other than "
		    "the one FILE was made\n"
		    "                           with; make FILE where there is "
		    "none\n"
		    "    -o entry_timeout=T, attr_timeout=T, negative_timeout=T\n"
		    "                           seconds the kernel may keep names "
		    "and attributes\n"
		    "                           (at most 1; 1, 1 and 0 unless given)\n"
		    "    -o kernel_cache        keep read bytes even when DIR "
		    "changes\n"
		    "\n"
		    "Refused: -o auto_unmount, uid=, gid=, umask=, blkdev, "
		    "blksize=, modules=.\n"
		    "Always on: ro, nodev, nosuid, default_permissions.\n\n");
		fuse_cmdline_help();
		fuse_lowlevel_help();
		return std::fflush(stdout) == 0 ? 0 : 1;
	}
	if (fuse_line.show_version != 0) {
		std::printf("encrypt_video_fs %s\nFUSE library version %s\n",
		    ENCRYPT_VIDEO_VERSION, fuse_pkgversion());
		return std::fflush(stdout) == 0 ? 0 : 1;
	}
	if (line.dir == nullptr || line.mount_point == nullptr)
		exit_with_error(usage, name);
	if (line.threads_given == 0)
		fuse_line.max_threads = default_threads;

	char dir_path[PATH_MAX];
	char mount_path[PATH_MAX];
	const int dir = open_folders(name, line.dir, line.mount_point,
	    line.allow_empty != 0, dir_path, mount_path);
	view v(dir, line.settings, share_descriptors());

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
	const fuse_lowlevel_ops operations = view_operations();
	// Options are checked here, before the password is asked for.
	fuse_session *se = fuse_session_new(&args, &operations,
	    sizeof operations, &v);
	fuse_opt_free_args(&args);
	if (se == nullptr) {
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
	// Files are opened as the very inodes that were looked up, through it.
	if (access("/proc/self/fd", X_OK) != 0)
		exit_with_error("%s: no /proc here, through which files are "
		    "opened: mount it (mount -t proc proc /proc).\n", name);

	const std::int32_t key = key_from(name, line.passfile);
	std::free(line.passfile);
	if (line.passcheck != nullptr)
		check_password(name, line.passcheck, key);
	std::free(line.passcheck);
	v.scramble = make_scrambler(key);
	mount_and_serve(se, v, name, mount_path, fuse_line);
}
