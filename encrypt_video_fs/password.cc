#include <sys/signalfd.h>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "view.h"

std::int32_t
read_password_key(int fd)
{
	std::uint32_t hash = djb2_start;
	bool line = false;
	bool carriage_return = false;

	// A byte at a time: nothing past the line is taken from a shared input.
	for (;;) {
		unsigned char c;
		const ssize_t n = read(fd, &c, 1);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return password_unreadable;
		// "\r\n" ends a line; a "\r" at the very end belongs to the
		// password.
		if (n == 0 && carriage_return)
			hash = add_to_djb2_hash(hash, '\r');
		if (n == 0)
			break;
		line = true;
		if (c == '\n')
			break;
		// An operand can hold no zero byte, so no key of the tool's
		// would match.
		if (c == '\0')
			return password_with_zero_byte;
		if (carriage_return)
			hash = add_to_djb2_hash(hash, '\r');
		carriage_return = c == '\r';
		if (!carriage_return)
			hash = add_to_djb2_hash(hash, c);
	}
	if (!line)
		return password_missing;
	return reduce_hash_to_key(hash);
}

std::int32_t
ask_password_key(int terminal)
{
	termios saved{};
	if (tcgetattr(terminal, &saved) != 0)
		return password_unreadable;
	termios quiet = saved;
	quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
	quiet.c_lflag |= ECHONL;

	// Interrupted at the prompt, the terminal must not be left without
	// echo: the signal waits until it is restored.
	sigset_t stop;
	sigset_t old;
	sigemptyset(&stop);
	for (const int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
		sigaddset(&stop, s);
	sigprocmask(SIG_BLOCK, &stop, &old);
	const int signals = signalfd(-1, &stop, SFD_CLOEXEC);

	// Asked only once echo is off: what was typed before is dropped.
	tcsetattr(terminal, TCSAFLUSH, &quiet);
	std::fputs("Password: ", stderr);
	std::fflush(stderr);
	pollfd ready[2] = {{terminal, POLLIN, 0}, {signals, POLLIN, 0}};
	while (poll(ready, signals < 0 ? 1 : 2, -1) < 0 && errno == EINTR)
		;
	const std::int32_t key = (ready[1].revents & POLLIN) != 0 ?
	    password_missing : read_password_key(terminal);
	tcsetattr(terminal, TCSAFLUSH, &saved);
	if (key == password_missing)
		std::fputc('\n', stderr);
	if (signals >= 0)
		close(signals);
	sigprocmask(SIG_SETMASK, &old, nullptr);
	return key;
}
