#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

#include "plain_model.h"
#include "range.h"

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
			scramble_blocks(scrambled, make_scrambler(key));
			ASSERT_EQ(scrambled, scramble_plainly(data, key))
			    << "key " << key << " size " << size;
		}
	}
}

TEST(BlockTransform, AnyRangeReadsOnlyItsBytesAsTheWholeOutputHasThem)
{
	std::mt19937 random(2027);
	const auto input = random_bytes(5 * block_size + 123, random);
	// The tool's output without the zero fill.
	auto whole = input;
	whole.resize(static_cast<std::size_t>(scrambled_size(input.size())), 0);
	whole = scramble_plainly(whole, 3);
	whole.resize(input.size());
	const scrambler s = make_scrambler(3);
	std::uint64_t asked_from = 0;
	std::uint64_t asked_to = 0;
	// Pieces of any size, as a network file system may deliver them; never
	// more of the input than the range asked for.
	const read_input_at read_at = [&](std::span<std::uint8_t> into,
	    std::uint64_t at) -> std::int64_t {
		EXPECT_TRUE(at >= asked_from &&
		    at + into.size() <= asked_to) << at;
		if (at >= input.size())
			return 0;
		const std::size_t n = std::min({into.size(),
		    static_cast<std::size_t>(input.size() - at),
		    static_cast<std::size_t>(1 + random() % 9000)});
		std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(at), n,
		    into.begin());
		return static_cast<std::int64_t>(n);
	};

	for (int i = 0; i < 500; i++) {
		const std::size_t offset = random() %
		    (whole.size() + 2 * block_size);
		std::vector<std::uint8_t> out(random() % (3 * block_size + 2));
		asked_from = offset;
		asked_to = offset + out.size();
		const std::int64_t n = read_scrambled(out, offset, s, read_at);
		const std::size_t from = std::min(offset, whole.size());
		ASSERT_EQ(static_cast<std::size_t>(n),
		    std::min(out.size(), whole.size() - from)) << offset;
		ASSERT_TRUE(std::equal(out.begin(), out.begin() +
		    static_cast<std::ptrdiff_t>(n), whole.begin() +
		    static_cast<std::ptrdiff_t>(from))) << offset;
	}
	// A failed read fails the range, however much came before it.
	int calls = 0;
	std::vector<std::uint8_t> out(4 * block_size);
	asked_from = 100;
	asked_to = 100 + out.size();
	const read_input_at failing = [&](std::span<std::uint8_t> into,
	    std::uint64_t at) -> std::int64_t {
		return ++calls == 2 ? -EIO : read_at(into, at);
	};
	EXPECT_EQ(read_scrambled(out, 100, s, failing), -EIO);
}
