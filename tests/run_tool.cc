#include "run_tool.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "plain_model.h"

std::string
tool_path(const char *variable, const char *built)
{
	const char *other = std::getenv(variable);

	return other != nullptr && *other != '\0' ? other : built;
}

std::pair<int, int>
open_terminal()
{
	const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK |
	    O_CLOEXEC);

	return {master, master < 0 || grantpt(master) != 0 ||
	    unlockpt(master) != 0 ? -1 : open(ptsname(master),
	    O_RDWR | O_NOCTTY | O_CLOEXEC)};
}

std::string
scratch_file(const std::string &name, std::string_view contents)
{
	static const std::string dir = make_temp_dir();
	std::string path = dir + "/" + name;

	write_file(path, contents);
	return path;
}

std::string
random_string(std::size_t size, unsigned seed)
{
	std::mt19937 random(seed);
	std::string s(size, '\0');

	for (auto &c : s)
		c = static_cast<char>(random());
	return s;
}

std::string
padded(const std::string &input)
{
	const std::size_t size = (input.size() + block_size - 1) / block_size *
	    block_size;

	return input + std::string(size - input.size(), '\0');
}

std::string
expected_output(const std::string &input, std::int32_t key)
{
	const std::string whole = padded(input);
	const auto out = scramble_plainly(std::span(
	    reinterpret_cast<const std::uint8_t *>(whole.data()), whole.size()),
	    key);

	return {out.begin(), out.end()};
}

std::string
scrambled(const std::string &input, const char *password)
{
	return expected_output(input,
	    reduce_hash_to_key(compute_djb2_hash(password)));
}

tool_process
start_tool(const std::vector<std::string> &argv, const spawn_options &options)
{
	const int stdout_fd = options.stdout_fd;
	int out[2] = {-1, -1};
	int err[2];
	posix_spawn_file_actions_t actions;
	posix_spawnattr_t attr;
	sigset_t defaults;

	if ((stdout_fd == capture_output && pipe2(out, O_CLOEXEC) != 0) ||
	    pipe2(err, O_CLOEXEC) != 0)
		throw std::runtime_error("pipe failed");
	posix_spawn_file_actions_init(&actions);
	if (options.stdin_fd >= 0)
		posix_spawn_file_actions_adddup2(&actions, options.stdin_fd,
		    STDIN_FILENO);
	else
		posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
		    "/dev/null", O_RDONLY, 0);
	if (stdout_fd == closed_output)
		posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
	else
		posix_spawn_file_actions_adddup2(&actions,
		    stdout_fd == capture_output ? out[1] : stdout_fd,
		    STDOUT_FILENO);
	posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
	if (options.dir != nullptr)
		posix_spawn_file_actions_addchdir_np(&actions, options.dir);
	// A harness that ignores SIGPIPE would hand that on through exec.
	posix_spawnattr_init(&attr);
	sigemptyset(&defaults);
	sigaddset(&defaults, SIGPIPE);
	posix_spawnattr_setsigdefault(&attr, &defaults);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

	const auto pointers = [](const std::vector<std::string> &strings) {
		std::vector<char *> p;
		p.reserve(strings.size() + 1);
		for (const auto &s : strings)
			p.push_back(const_cast<char *>(s.c_str()));
		p.push_back(nullptr);
		return p;
	};
	// The test's variables replace those it inherits, except that its
	// preloaded library joins those already preloaded (eatmydata's, in a
	// package build): the loader heeds only the last LD_PRELOAD.
	const auto name_of = [](std::string_view variable) {
		return variable.substr(0, variable.find('='));
	};
	std::vector<std::string> env(options.env);
	for (char **e = environ; *e != nullptr; e++) {
		const std::string_view inherited(*e);
		const std::string_view name = name_of(inherited);
		const auto ours = std::ranges::find(env, name, name_of);
		if (ours == env.end())
			env.emplace_back(inherited);
		else if (name == "LD_PRELOAD")
			ours->append(":").append(
			    inherited.substr(name.size() + 1));
	}
	const std::string program = options.program.empty() ? tool_path() :
	    options.program;
	pid_t pid;
	const int failed = posix_spawnp(&pid, program.c_str(), &actions,
	    &attr, pointers(argv).data(), pointers(env).data());
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attr);
	if (failed != 0)
		throw std::runtime_error("could not start " + program);
	if (out[1] >= 0)
		close(out[1]);
	close(err[1]);
	return {pid, out[0], err[0]};
}

tool_result
finish_tool(tool_process process,
    const std::function<bool(std::string_view)> &sink)
{
	tool_result result{};
	pollfd fds[2] = {{process.out, POLLIN, 0}, {process.err, POLLIN, 0}};
	std::string *into[2] = {&result.out, &result.err};
	static char chunk[1 << 20];

	while (fds[0].fd >= 0 || fds[1].fd >= 0) {
		if (poll(fds, 2, -1) < 0)
			continue;
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
			bool keep = n > 0;
			if (keep && i == 0 && sink)
				keep = sink({chunk,
				    static_cast<std::size_t>(n)});
			else if (keep)
				into[i]->append(chunk,
				    static_cast<std::size_t>(n));
			if (!keep) {
				close(fds[i].fd);
				fds[i].fd = -1;
			}
		}
	}

	int status;
	rusage usage{};
	wait4(process.pid, &status, 0, &usage);
	result.status = WIFEXITED(status) ? WEXITSTATUS(status) :
	    128 + WTERMSIG(status);
	result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec +
	    usage.ru_stime.tv_sec) + static_cast<double>(
	    usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
	return result;
}

tool_result
run_tool(const std::vector<std::string> &argv, const spawn_options &options)
{
	return finish_tool(start_tool(argv, options));
}
