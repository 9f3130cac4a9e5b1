#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "edge.h"

const char *
program_name(int argc, char *argv[], const char *fallback)
{
	return argc > 0 && argv[0] != nullptr ? argv[0] : fallback;
}

void
exit_with_error(const char *format, ...)
{
	va_list args;

	va_start(args, format);
	vfprintf(stderr, format, args);
	va_end(args);
	std::exit(1);
}
