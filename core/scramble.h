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

std::uint32_t compute_djb2_hash(const char *password);
std::int32_t reduce_hash_to_key(std::uint32_t hash);
int should_encrypt_byte(std::span<const std::uint8_t> block,
    std::int32_t position, std::int32_t key);

// What a candidate byte of each value is XORed with: the key where the
// selection test says yes, else 0.
using scramble_table = std::array<std::uint8_t, 256>;
scramble_table make_scramble_table(std::int32_t key);

// Scrambles data in place.  Block positions restart every block_size bytes
// from the start of data; a short last block is scrambled as far as it goes.
void scramble_blocks(std::span<std::uint8_t> data, std::int32_t key,
    const scramble_table &table);

#endif
