#ifndef ENCRYPT_VIDEO_SCRAMBLE_H
#define ENCRYPT_VIDEO_SCRAMBLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t block_size = 8192;

// Bytes the transform neither changes nor produces, so that every one of
// them keeps its offset in the output.
inline constexpr std::array<std::uint8_t, 6> reserved_values{
	0x00, 0x01, 0x41, 0x65, 0x80, 0x88,
};

inline constexpr std::uint32_t djb2_start = 5381;

std::uint32_t compute_djb2_hash(const char *password);
// One more byte of a password whose bytes so far hashed to hash.
std::uint32_t add_to_djb2_hash(std::uint32_t hash, std::uint8_t byte);
std::int32_t reduce_hash_to_key(std::uint32_t hash);
int should_encrypt_byte(std::span<const std::uint8_t> block,
    std::int32_t position, std::int32_t key);

// A key, and what a candidate byte of each value is XORed with under it:
// the key where the selection test says yes, else 0.  Made only together,
// since a table of another key scrambles other bytes without a word.
struct scrambler {
	std::int32_t key;
	std::array<std::uint8_t, 256> table;
};
scrambler make_scrambler(std::int32_t key);

// Scrambles data in place, data being its input's bytes from offset on.
// Whether a byte changes depends only on its value and where it is within
// its block, so any part of an input can be scrambled without the rest.
void scramble_from(std::span<std::uint8_t> data, std::uint64_t offset,
    const scrambler &s);

// Scrambles data in place, from the start of its input: a short last
// block is scrambled as far as it goes.
inline void
scramble_blocks(std::span<std::uint8_t> data, const scrambler &s)
{
	scramble_from(data, 0, s);
}

// An input's output is whole blocks: its length rounded up to one.
constexpr std::uint64_t
scrambled_size(std::uint64_t input_size)
{
	return (input_size + block_size - 1) / block_size * block_size;
}

// Turns the first filled bytes of buffer, input from a block boundary on,
// into output: zeros after them to the end of their last block, then
// scrambled.  Returns the output's length, which buffer must hold.
std::size_t scramble_filled(std::span<std::uint8_t> buffer,
    std::size_t filled, const scrambler &s);

#endif
