#ifndef ENCRYPT_VIDEO_EDGE_H
#define ENCRYPT_VIDEO_EDGE_H

#include <sys/types.h>

#include <cerrno>

// A 32-bit off_t would make fstat fail on every file over 2 GiB.
static_assert(sizeof(off_t) >= 8, "build with -D_FILE_OFFSET_BITS=64");

// Key 0 changes no byte: a password that gives it is refused in these words.
inline constexpr char key_zero_refusal[] =
    "this password gives no scrambling at all; choose another.";

// argv[0], or the program's own name where whoever started it gave none.
const char *program_name(int argc, char *argv[], const char *fallback);

[[noreturn]] __attribute__((format(printf, 1, 2))) void
exit_with_error(const char *format, ...);

// A signal that interrupts a call is no reason to fail it.
template <typename Call>
auto
retry_interrupted(Call call)
{
	decltype(call()) result;

	while ((result = call()) < 0 && errno == EINTR)
		;
	return result;
}

#endif
