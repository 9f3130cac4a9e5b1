#include <sys/signalfd.h>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "edge.h"
#include "password.h"
#include "scramble.h"

namespace {

// Whether fd can be read before a signal comes on signals, which is then
// left to be read.
bool
wait_for_input(int fd, int signals)
{
	pollfd ready[2] = {{fd, POLLIN, 0}, {signals, POLLIN, 0}};

	retry_interrupted([&] { return poll(ready, 2, -1); });
	return (ready[1].revents & POLLIN) == 0;
}

}

std::int32_t
read_password_key(int fd, int signals)
{
	std::uint32_t hash = djb2_start;
	bool line = false;
	bool carriage_return = false;

	// A byte at a time: nothing past the line is taken from a shared input.
	for (;;) {
		if (signals >= 0 && !wait_for_input(fd, signals))
			return password_interrupted;
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

	// A signal at the prompt waits until the terminal has its echo back;
	// after a stop (^Z, fg) the password is asked for again, since the
	// shell has set the terminal as it likes meanwhile.
	sigset_t stop;
	sigset_t old;
	sigemptyset(&stop);
	for (const int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGTTIN,
	    SIGTTOU})
		sigaddset(&stop, s);
	sigprocmask(SIG_BLOCK, &stop, &old);
	const int signals = signalfd(-1, &stop, SFD_CLOEXEC);
	std::int32_t key = password_unreadable;
	// Asked only once echo is off: what was typed before is dropped.
	while (signals >= 0 && tcsetattr(terminal, TCSAFLUSH, &quiet) == 0) {
		std::fputs("Password: ", stderr);
		std::fflush(stderr);
		key = read_password_key(terminal, signals);
		tcsetattr(terminal, TCSAFLUSH, &saved);
		if (key != password_interrupted)
			break;
		std::fputc('\n', stderr);
		signalfd_siginfo caught{};
		if (read(signals, &caught, sizeof caught) != sizeof caught)
			break;
		const int signal = static_cast<int>(caught.ssi_signo);
		sigset_t one;
		sigemptyset(&one);
		sigaddset(&one, signal);
		sigprocmask(SIG_UNBLOCK, &one, nullptr);
		raise(signal);
		// raise returns after a stop, or for a signal that is ignored.
		// cppcheck-suppress unreachableCode
		sigprocmask(SIG_BLOCK, &one, nullptr);
		// Still here after anything but a stop: the signal is ignored.
		key = password_missing;
		if (signal != SIGTSTP && signal != SIGTTIN && signal != SIGTTOU)
			break;
	}
	if (signals >= 0)
		close(signals);
	sigprocmask(SIG_SETMASK, &old, nullptr);
	return key;
}
