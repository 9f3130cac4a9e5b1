// Kept apart from the rest of the core: only the view reads ranges, and a
// static tool need not carry std::function and its exceptions.
#include "range.h"

namespace {

// Only a read of 0 ends the input: a short read is no reason to zero-fill.
std::int64_t
read_fully(std::span<std::uint8_t> into, std::uint64_t offset,
    const read_input_at &read_at)
{
	std::size_t got = 0;

	while (got < into.size()) {
		const std::int64_t n = read_at(into.subspan(got), offset + got);
		if (n < 0)
			return n;
		if (n == 0)
			break;
		got += static_cast<std::size_t>(n);
	}
	return static_cast<std::int64_t>(got);
}

}

std::int64_t
read_scrambled(std::span<std::uint8_t> out, std::uint64_t offset,
    const scrambler &s, const read_input_at &read_at)
{
	const std::int64_t got = read_fully(out, offset, read_at);

	if (got > 0)
		scramble_from(out.first(static_cast<std::size_t>(got)),
		    offset, s);
	return got;
}
