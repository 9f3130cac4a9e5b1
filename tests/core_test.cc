#include <gtest/gtest.h>

#include <set>
#include <string>

#include "scramble.h"

TEST(PasswordKey, HashesBytesUnsignedAndWraps)
{
	EXPECT_EQ(compute_djb2_hash(""), 5381u);
	EXPECT_EQ(compute_djb2_hash("a"), 177670u);
	EXPECT_EQ(compute_djb2_hash("hello"), 261238937u);
	// A signed reading of these bytes would subtract instead of add.
	EXPECT_EQ(compute_djb2_hash("\xff"), 177828u);
	EXPECT_EQ(compute_djb2_hash("\x80\xfe"), 5864387u);
	EXPECT_EQ(compute_djb2_hash(std::string(100, 'z').c_str()),
	    3393731245u);
}

TEST(PasswordKey, ReducesModulo255AsUnsigned)
{
	EXPECT_EQ(reduce_hash_to_key(5381), 26);
	EXPECT_EQ(reduce_hash_to_key(255), 0);
	EXPECT_EQ(reduce_hash_to_key(256), 1);
	EXPECT_EQ(reduce_hash_to_key(0xffffffffu), 0);
	EXPECT_EQ(reduce_hash_to_key(0x80000000u), 128);
	EXPECT_EQ(reduce_hash_to_key(0xfffffffeu), 254);
	EXPECT_EQ(reduce_hash_to_key(compute_djb2_hash("ai")), 0);
}

TEST(ByteSelection, OnlyMultiplesOfKeyTimes32AreCandidates)
{
	const std::vector<std::uint8_t> block(block_size, 0x42);

	for (const std::int32_t position : {0, 160, 8160})
		EXPECT_EQ(should_encrypt_byte(block, position, 5), 1) <<
		    position;
	for (const std::int32_t position : {1, 32, 159, 161, 8191})
		EXPECT_EQ(should_encrypt_byte(block, position, 5), 0) <<
		    position;
	EXPECT_EQ(should_encrypt_byte(block, 254 * 32, 254), 1);
	EXPECT_EQ(should_encrypt_byte(block, 8127, 254), 0);
}

TEST(ByteSelection, LeavesReservedValuesAndTheirPartners)
{
	// Written out, not taken from the header: a wrong constant there must
	// not be agreed with.  The six reserved values, then each XOR 0x21.
	const std::set<int> left{0x00, 0x01, 0x41, 0x65, 0x80, 0x88,
	    0x21, 0x20, 0x60, 0x44, 0xa1, 0xa9};

	for (int value = 0; value < 256; value++) {
		const std::vector<std::uint8_t> byte{
		    static_cast<std::uint8_t>(value)};
		EXPECT_EQ(should_encrypt_byte(byte, 0, 0x21),
		    left.contains(value) ? 0 : 1) << value;
	}
}

TEST(ByteSelection, IsItsOwnInverseAndNeverMakesAReservedValue)
{
	for (std::int32_t key = 1; key < 255; key++) {
		for (int value = 0; value < 256; value++) {
			const std::vector<std::uint8_t> in{
			    static_cast<std::uint8_t>(value)};
			const std::vector<std::uint8_t> out{
			    static_cast<std::uint8_t>(value ^ key)};
			const int answer = should_encrypt_byte(in, 0, key);
			ASSERT_EQ(answer, should_encrypt_byte(out, 0, key));
			if (answer == 1) {
				for (const auto reserved : reserved_values)
					ASSERT_NE(out[0], reserved);
			}
		}
	}
}

TEST(ByteSelection, KeyZeroSelectsNothing)
{
	const std::vector<std::uint8_t> block(block_size, 0x42);

	for (const std::int32_t position : {0, 1, 32, 8191})
		EXPECT_EQ(should_encrypt_byte(block, position, 0), 0);
	std::vector<std::uint8_t> data = block;
	scramble_blocks(data, make_scrambler(0));
	EXPECT_EQ(data, block);
}
