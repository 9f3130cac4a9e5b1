// Kept apart from the rest of the core: only the view reads ranges, and a
// static tool need not carry std::function and its exceptions.
#include <algorithm>

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
	std::size_t done = 0;

	// Once the input has ended, whatever a later read would find belongs
	// to another version of it.
	while (done < out.size()) {
		const std::uint64_t at = offset + done;
		const std::size_t skip = at % block_size;
		const std::size_t left = out.size() - done;
		if (skip == 0 && left >= block_size) {
			const auto blocks = out.subspan(done, left - left % block_size);
			const std::int64_t got = read_fully(blocks, at, read_at);
			if (got < 0)
				return got;
			done += scramble_filled(blocks, static_cast<std::size_t>(got),
			    s);
			if (static_cast<std::size_t>(got) < blocks.size())
				break;
		} else {
			// Only part of this block is asked for, but all of it is
			// needed to know where its candidates are.
			std::array<std::uint8_t, block_size> block;
			const std::int64_t got = read_fully(block, at - skip, read_at);
			if (got <= 0)
				return got < 0 ? got : static_cast<std::int64_t>(done);
			scramble_filled(block, static_cast<std::size_t>(got), s);
			const std::size_t n = std::min(block_size - skip, left);
			std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(skip), n,
			    out.begin() + static_cast<std::ptrdiff_t>(done));
			done += n;
			if (static_cast<std::size_t>(got) < block_size)
				break;
		}
	}
	return static_cast<std::int64_t>(done);
}
