#ifndef ENCRYPT_VIDEO_OPTIONS_H
#define ENCRYPT_VIDEO_OPTIONS_H

#include <fuse_lowlevel.h>

#include <cstddef>
#include <span>

#include "view.h"

// What the view is mounted with, whatever is asked: given after the user's
// own options, these win over "rw", "dev" and "suid", which mount(8)
// passes for an /etc/fstab line.  Only -o writable mounts it read-write.
inline constexpr char forced_options[] = "nodev,nosuid,default_permissions";

// What the command line gives besides what libfuse takes itself.
struct command_line {
	const char *name = nullptr;
	const char *dir = nullptr;
	const char *mount_point = nullptr;
	char *passfile = nullptr;
	char *passcheck = nullptr;
	int allow_empty = 0;
	int threads_given = 0;
	view_settings settings{};
};

// What the view does with an -o option.
enum class option_kind {
	sets,       // puts a value, or value, at field of the command line
	sets_too,   // the same, and hands the option on to libfuse
	takes,      // take decides, and refusing says why
	discards,   // what mount(8) may pass, or what the view always does
	refuses,    // it would break a promise of the view, as why says
	libfuse,    // libfuse's own, here for --help alone
};

struct option {
	const char *key; // as libfuse's option parser matches it
	option_kind kind;
	std::size_t field = 0;
	int value = 0;
	bool (*take)(view_settings &, const char *) = nullptr;
	const char *why = nullptr;
	const char *help = nullptr; // "-o key=VALUE\twhat it does"
};

// Every option the view knows, once: it builds the parser's table, the
// --help lines and the tests' rows.
std::span<const option> options();

// Fills line and fuse_line from args, which keeps what libfuse is to take,
// or exits with the usage line, or an option's refusal, in our words.
void parse_command_line(fuse_args &args, command_line &line,
    fuse_cmdline_opts &fuse_line);

void print_help(const char *name);

#endif
