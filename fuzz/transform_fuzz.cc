// The block transform must agree with asking every position plainly, for
// any data and any key.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "plain_model.h"
#include "scramble.h"

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
	if (size == 0)
		return 0;
	const std::int32_t key = bytes[0] % 255;
	const std::span<const std::uint8_t> data(bytes + 1, size - 1);

	std::vector<std::uint8_t> scrambled(data.begin(), data.end());
	scramble_blocks(scrambled, make_scrambler(key));
	if (scrambled != scramble_plainly(data, key))
		std::abort();
	return 0;
}
