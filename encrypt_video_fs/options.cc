#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "edge.h"
#include "options.h"

namespace {

const char usage[] = "usage: %s DIR MOUNTPOINT [-f] [-o OPTION[,OPTION]...]\n";

// Unless -o max_threads= says otherwise.  Each thread answering a read
// holds up to a request's 1 MiB, and libfuse's 10 read no faster than 2 or
// 4, from the page cache or the disk, by one reader or four; 4 leave a
// disk or a larger machine more reads at once than 2.
constexpr unsigned default_threads = 4;

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

bool
take_kernel_cache(view_settings &settings, const char *)
{
	settings.keep_cache = true;
	return true;
}

constexpr char too_long[] = "a change in DIR must show within two seconds, "
    "which a timeout over 1 second breaks";
constexpr char owners[] = "the view shows the owners of DIR, which decide "
    "who may read";
constexpr char block_device[] = "the view is of a folder, not of a block "
    "device";

using enum option_kind;

const option table[] = {
	{"passfile=%s", sets, offsetof(command_line, passfile), 0, nullptr,
	    nullptr, "-o passfile=FILE\tread the password from FILE"},
	{"passcheck=%s", sets, offsetof(command_line, passcheck), 0, nullptr,
	    nullptr, "-o passcheck=FILE\trefuse a password other than the one "
	    "FILE was made\nwith; make FILE where there is none"},
	{"allow_empty", sets, offsetof(command_line, allow_empty), 1, nullptr,
	    nullptr, "-o allow_empty\tshow DIR even when it is empty, as a "
	    "disk that is\nnot mounted leaves its mount point"},
	{"entry_timeout=", takes, 0, 0, take_timeout, too_long,
	    "-o entry_timeout=T, attr_timeout=T, negative_timeout=T\tseconds "
	    "the kernel may keep names and attributes\n(at most 1; 1, 1 and 0 "
	    "unless given)"},
	{"attr_timeout=", takes, 0, 0, take_timeout, too_long},
	{"negative_timeout=", takes, 0, 0, take_timeout, too_long},
	{"kernel_cache", takes, 0, 0, take_kernel_cache, nullptr,
	    "-o kernel_cache\tkeep read bytes even when DIR changes"},
	{"writable", sets, offsetof(command_line, settings.writable), 1,
	    nullptr, nullptr, "-o writable\tstore what is written through the "
	    "view in DIR,\ntransformed; needs -o passcheck=FILE"},
	// Said again when the kernel starts the view, as libfuse wants it.
	{"max_read=%u", sets_too, offsetof(command_line, settings.max_read), 0,
	    nullptr, nullptr, "-o max_read=N\tthe largest read request, in "
	    "bytes"},
	// Noted, as it replaces the view's default.
	{"max_threads=", sets_too, offsetof(command_line, threads_given), 1,
	    nullptr, nullptr, "-o max_threads=N\tthe most threads that answer "
	    "at once (4 unless given)"},
	{"-f", libfuse, 0, 0, nullptr, nullptr, "-f\tserve in the foreground"},
	{"-d", libfuse, 0, 0, nullptr, nullptr, "-d, -o debug\tprint every "
	    "request and answer (and -f)"},
	{"-s", libfuse, 0, 0, nullptr, nullptr, "-s\tanswer on one thread"},
	{"clone_fd", libfuse, 0, 0, nullptr, nullptr, "-o clone_fd\ta device "
	    "descriptor of its own for each thread"},
	{"max_idle_threads=", libfuse, 0, 0, nullptr, nullptr,
	    "-o max_idle_threads=N\tthe most idle threads kept"},
	{"allow_other", libfuse, 0, 0, nullptr, nullptr, "-o allow_other\tlet "
	    "other users in (user_allow_other in\n/etc/fuse.conf, for a user "
	    "other than root)"},
	{"allow_root", libfuse, 0, 0, nullptr, nullptr, "-o allow_root\tlet "
	    "root in too"},
	// What mount(8) may hand on from /etc/fstab, which libfuse refuses.
	{"defaults", discards},
	// What the view always does, or what a view of nodes cannot.
	{"auto_cache", discards},
	{"use_ino", discards},
	{"noforget", discards},
	{"auto_unmount", refuses, 0, 0, nullptr, "a view whose process died "
	    "must fail every access, not look like an empty folder that a "
	    "backup or a media server would follow"},
	{"uid=", refuses, 0, 0, nullptr, owners},
	{"gid=", refuses, 0, 0, nullptr, owners},
	{"umask=", refuses, 0, 0, nullptr, "the view shows the modes of DIR, "
	    "which decide who may read"},
	{"blkdev", refuses, 0, 0, nullptr, block_device},
	{"blksize=", refuses, 0, 0, nullptr, block_device},
	{"modules=", refuses, 0, 0, nullptr, "the view shows DIR as it is; "
	    "give the folder to show as DIR"},
};

// Both operands are taken here, and the options the view decides, so that
// each fault is told in our words.
int
take_argument(void *data, const char *arg, int key, fuse_args *)
{
	auto *line = static_cast<command_line *>(data);

	if (key >= 0) {
		const option &o = table[key];
		if (o.kind == takes && o.take(line->settings, arg))
			return 0;
		exit_with_error("%s: refusing -o %s: %s.\n", line->name, arg,
		    o.why);
	}
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

// Each line as "    -o key=VALUE       what it does", its words wrapped
// as they are given.
void
print_option(std::string_view help)
{
	const std::string_view left = help.substr(0, help.find('\t'));
	std::string_view words = help.substr(left.size() + 1);
	const int indent = 27;

	if (left.size() < indent - 5)
		std::printf("    %-22.*s ", static_cast<int>(left.size()),
		    left.data());
	else
		std::printf("    %.*s\n%*s", static_cast<int>(left.size()),
		    left.data(), indent, "");
	for (std::size_t end;
	    (end = words.find('\n')) != std::string_view::npos;
	    words.remove_prefix(end + 1)) {
		const std::string_view line = words.substr(0, end);
		std::printf("%.*s\n%*s", static_cast<int>(line.size()),
		    line.data(), indent, "");
	}
	std::printf("%.*s\n", static_cast<int>(words.size()), words.data());
}

}

std::span<const option>
options()
{
	return table;
}

void
parse_command_line(fuse_args &args, command_line &line,
    fuse_cmdline_opts &fuse_line)
{
	std::vector<std::string> kept;
	kept.reserve(std::size(table));
	std::vector<fuse_opt> parsed;
	// As FUSE_OPT_KEY makes them, its offset as wide as libfuse reads it.
	const auto keyed = [](const char *key, int value) {
		return fuse_opt{key, static_cast<unsigned long>(-1U), value};
	};
	for (std::size_t i = 0; i < std::size(table); i++) {
		const option &o = table[i];
		const int key = static_cast<int>(i);
		if (o.kind == sets || o.kind == sets_too)
			parsed.push_back({o.key, o.field, o.value});
		if (o.kind == sets_too) {
			const std::string_view k = o.key;
			kept.emplace_back(k.substr(0, k.find('=') + 1));
			parsed.push_back(keyed(kept.back().c_str(),
			    FUSE_OPT_KEY_KEEP));
		}
		if (o.kind == takes || o.kind == refuses)
			parsed.push_back(keyed(o.key, key));
		if (o.kind == discards)
			parsed.push_back(keyed(o.key, FUSE_OPT_KEY_DISCARD));
	}
	parsed.push_back(FUSE_OPT_END);
	if (fuse_opt_parse(&args, &line, parsed.data(), take_argument) != 0 ||
	    fuse_parse_cmdline(&args, &fuse_line) != 0)
		exit_with_error(usage, line.name);
	if (fuse_line.show_help != 0) {
		print_help(line.name);
		std::exit(std::fflush(stdout) == 0 ? 0 : 1);
	}
	if (fuse_line.show_version != 0) {
		std::printf("encrypt_video_fs %s\nFUSE library version %s\n",
		    ENCRYPT_VIDEO_VERSION, fuse_pkgversion());
		std::exit(std::fflush(stdout) == 0 ? 0 : 1);
	}
	if (line.dir == nullptr || line.mount_point == nullptr)
		exit_with_error(usage, line.name);
	if (line.settings.writable != 0 && line.passcheck == nullptr)
		exit_with_error("%s: refusing -o writable without -o "
		    "passcheck=FILE: under a mistyped password, what is "
		    "written would go to DIR under another key.\n", line.name);
	if (line.threads_given == 0)
		fuse_line.max_threads = default_threads;
}

void
print_help(const char *name)
{
	std::printf(usage, name);
	std::printf("Show DIR at MOUNTPOINT, read-only unless -o writable, "
	    "each file as\nencrypt_video prints it "
	    "under the password, less the zero fill:\n"
	    "scrambled files read as their originals, and originals as "
	    "scrambled.  The\n"
	    "password is asked for on the terminal, or read from the first "
	    "line of\n"
	    "standard input, or of FILE with -o passfile=FILE.  Unmount with\n"
	    "fusermount3 -u MOUNTPOINT.  See encrypt_video_fs(1).\n\n");
	for (const option &o : table)
		if (o.help != nullptr)
			print_option(o.help);
	std::printf("    -h, --help             print this help\n"
	    "    -V, --version          print the version\n\nRefused:");
	const char *before = " -o ";
	for (const option &o : table) {
		if (o.kind != refuses)
			continue;
		std::printf("%s%s", before, o.key);
		before = ", ";
	}
	std::printf(".\nAlways on: %s, and ro unless -o writable.\nOther mount "
	    "options go to the kernel, as mount.fuse3(8) says.\n",
	    forced_options);
}
