// What must hold for any data and key whatever the rule's details: the
// transform undoes itself, leaves reserved values where they are and makes
// no new ones, changes no byte off a multiple of 32 within its block (so at
// most one in 32), and reads nothing past the data (the copy is exactly as
// long as the data, for the address sanitizer).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "scramble.h"

namespace {

bool
is_reserved(std::uint8_t value)
{
	return std::find(reserved_values.begin(), reserved_values.end(),
	    value) != reserved_values.end();
}

}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
	if (size == 0)
		return 0;
	const std::int32_t key = bytes[0] % 255;
	const std::vector<std::uint8_t> data(bytes + 1, bytes + size);
	const scrambler s = make_scrambler(key);

	std::vector<std::uint8_t> once = data;
	scramble_blocks(once, s);
	for (std::size_t i = 0; i < data.size(); i++) {
		if (once[i] == data[i])
			continue;
		if (i % block_size % 32 != 0 || is_reserved(data[i]) ||
		    is_reserved(once[i]))
			std::abort();
	}
	std::vector<std::uint8_t> twice = once;
	scramble_blocks(twice, s);
	if (twice != data)
		std::abort();
	return 0;
}
