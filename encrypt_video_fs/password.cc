#include <sys/signalfd.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <charconv>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <system_error>

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
	bool empty = true;
	bool carriage_return = false;
	const auto take = [&](std::uint8_t byte) {
		hash = add_to_djb2_hash(hash, byte);
		empty = false;
	};

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
			take('\r');
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
			take('\r');
		carriage_return = c == '\r';
		if (!carriage_return)
			take(c);
	}
	if (!line)
		return password_missing;
	// A passfile left with only its line's end is a mistake, never a key.
	if (empty)
		return password_empty;
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

key_check
check_key(const char *path, std::int32_t key)
{
	char line[32];
	const auto length = static_cast<std::size_t>(std::snprintf(line,
	    sizeof line, "encrypt_video key %d\n", static_cast<int>(key)));

	int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC,
	    0600);
	if (fd >= 0) {
		const ssize_t n = retry_interrupted([&] {
			return write(fd, line, length);
		});
		int error = n == static_cast<ssize_t>(length) ? 0 :
		    n < 0 ? errno : ENOSPC;
		if (close(fd) != 0 && error == 0)
			error = errno;
		if (error == 0)
			return key_check::made;
		// A check half made would refuse every password after.
		unlink(path);
		errno = error;
		return key_check::failed;
	}
	if (errno != EEXIST ||
	    (fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC)) < 0)
		return key_check::failed;
	// One byte more than any check holds, so that a longer file is none.
	char held[sizeof line + 1];
	std::size_t got = 0;
	ssize_t n = 0;
	while (got < sizeof held && (n = retry_interrupted([&] {
		return read(fd, held + got, sizeof held - got);
	    })) > 0)
		got += static_cast<std::size_t>(n);
	const int error = errno;
	close(fd);
	if (n < 0) {
		errno = error;
		return key_check::failed;
	}
	const std::string_view check(held, got);
	const std::string_view prefix = "encrypt_video key ";
	if (!check.starts_with(prefix) || !check.ends_with('\n'))
		return key_check::not_a_check;
	// The number between the prefix and the line's end.
	const std::span number = std::span(held).subspan(prefix.size(),
	    got - prefix.size() - 1);
	int other = 0;
	const char *last = number.data() + number.size();
	const auto [end, fault] = std::from_chars(number.data(), last, other);
	if (fault != std::errc{} || end != last || other < 1 || other > 254)
		return key_check::not_a_check;
	return other == key ? key_check::same : key_check::other;
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
		exit_with_error("%s: could not read the password from %s: "
		    "%s.\n", name, from, std::strerror(errno));
	if (key == password_missing)
		exit_with_error("%s: no password: %s has no line.\n", name,
		    from);
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
		exit_with_error("%s: %s is not a password check.\n", name,
		    check);
	case key_check::failed:
		exit_with_error("%s: could not open %s: %s.\n", name, check,
		    std::strerror(errno));
	}
}
