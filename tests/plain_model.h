#ifndef ENCRYPT_VIDEO_PLAIN_MODEL_H
#define ENCRYPT_VIDEO_PLAIN_MODEL_H

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "scramble.h"

// The rule as it reads: every position of every block is asked, with none
// of the shortcuts the real transform takes.
inline std::vector<std::uint8_t>
scramble_plainly(std::span<const std::uint8_t> data, std::int32_t key)
{
	// Sized, then copied: built from the span's iterators, GCC 14 sees a
	// negative distance on a 32-bit target and warns of a huge allocation.
	std::vector<std::uint8_t> out(data.size());
	std::ranges::copy(data, out.begin());
	const auto mask = static_cast<std::uint8_t>(key);

	for (std::size_t start = 0; start < data.size(); start += block_size) {
		const auto block = data.subspan(start,
		    std::min(block_size, data.size() - start));
		for (std::size_t p = 0; p < block.size(); p++) {
			const auto at = static_cast<std::int32_t>(p);
			if (should_encrypt_byte(block, at, key) == 1)
				out[start + p] = block[p] ^ mask;
		}
	}
	return out;
}

#endif
