#ifndef ENCRYPT_VIDEO_RUN_TOOL_H
#define ENCRYPT_VIDEO_RUN_TOOL_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "files.h"

// Where the child's standard output goes besides a descriptor of our own.
inline constexpr int capture_output = -1;
inline constexpr int closed_output = -2;

struct tool_process {
	pid_t pid;
	int out;
	int err;
};

struct tool_result {
	int status; // the exit status, or 128 plus the signal that ended it
	std::string out;
	std::string err;
	double cpu_seconds; // user and system time of the child
};

// A file of that name in a folder the test binary makes once.
std::string scratch_file(const std::string &name, std::string_view contents);
// The program under test: $variable if set (an installed one), else the one
// this build made.
std::string tool_path(const char *variable = "ENCRYPT_VIDEO",
    const char *built = TOOL_PATH);
// A pseudo-terminal: its master end, which never blocks, and the other end,
// to be a child's terminal, or -1 where there is none.  Both are the caller's
// to close.
std::pair<int, int> open_terminal();

std::string random_string(std::size_t size, unsigned seed);
// The input with the zero fill of its last block.
std::string padded(const std::string &input);
// What the tool must print for input under key, from the plain model, or
// under password.
std::string expected_output(const std::string &input, std::int32_t key);
std::string scrambled(const std::string &input,
    const char *password = "secret");

struct spawn_options {
	int stdout_fd = capture_output;
	int stdin_fd = -1; // else /dev/null
	const char *dir = nullptr;
	// Not redundant: without {}, a designated initializer that leaves the
	// member out is a -Wmissing-field-initializers warning.
	// NOLINTBEGIN(readability-redundant-member-init)
	// NAME=value, added to the test's own.
	std::vector<std::string> env{};
	// Run in place of the tool; PATH is searched.
	std::string program{};
	// NOLINTEND(readability-redundant-member-init)
};

// argv[0] is passed as given; the program run is the tool unless the options
// name another.
tool_process start_tool(const std::vector<std::string> &argv,
    const spawn_options &options = {});

// Reads both streams to their end and reaps the child.  A sink, when given,
// takes standard output instead of the result, and may return false to close
// the pipe early.
tool_result finish_tool(tool_process process,
    const std::function<bool(std::string_view)> &sink = nullptr);

tool_result run_tool(const std::vector<std::string> &argv,
    const spawn_options &options = {});

#endif
