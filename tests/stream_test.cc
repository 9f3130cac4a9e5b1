#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "plain_model.h"
#include "scramble.h"

namespace {

std::vector<std::uint8_t>
random_bytes(std::size_t size, std::mt19937 &random)
{
	std::vector<std::uint8_t> bytes(size);
	std::uniform_int_distribution<int> byte(0, 255);

	for (auto &b : bytes)
		b = static_cast<std::uint8_t>(byte(random));
	return bytes;
}

}

TEST(BlockTransform, MatchesThePlainModel)
{
	std::mt19937 random(2026);
	std::uniform_int_distribution<std::int32_t> any_key(1, 254);
	std::vector<std::int32_t> keys{1, 2, 3, 127, 128, 253, 254};

	for (int i = 0; i < 40; i++)
		keys.push_back(any_key(random));
	for (const std::int32_t key : keys) {
		// Sizes that end mid-block, on a boundary and across several.
		for (const std::size_t size : {std::size_t{1}, block_size - 1,
		    block_size, 3 * block_size + 777}) {
			const auto data = random_bytes(size, random);
			auto scrambled = data;
			scramble_blocks(scrambled, key, make_scramble_table(key));
			ASSERT_EQ(scrambled, scramble_plainly(data, key))
			    << "key " << key << " size " << size;
		}
	}
}
