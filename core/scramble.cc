#include "scramble.h"

#include <algorithm>

std::uint32_t
compute_djb2_hash(const char *password)
{
	std::uint32_t hash = djb2_start;

	for (const char *p = password; *p != '\0'; p++)
		hash = add_to_djb2_hash(hash, static_cast<unsigned char>(*p));
	return hash;
}

std::uint32_t
add_to_djb2_hash(std::uint32_t hash, std::uint8_t byte)
{
	return hash * 33 + byte;
}

std::int32_t
reduce_hash_to_key(std::uint32_t hash)
{
	return static_cast<std::int32_t>(hash % 255);
}

int
should_encrypt_byte(std::span<const std::uint8_t> block,
    std::int32_t position, std::int32_t key)
{
	const std::int32_t spacing = key * 32;

	// Key 0 would divide by zero, and its XOR changes nothing anyway.
	if (spacing == 0 || position % spacing != 0)
		return 0;

	const std::uint8_t byte = block[static_cast<std::size_t>(position)];
	for (const std::uint8_t reserved : reserved_values) {
		if (byte == reserved || (byte ^ key) == reserved)
			return 0;
	}
	return 1;
}

scrambler
make_scrambler(std::int32_t key)
{
	scrambler s{key, {}};

	// At a candidate position the answer depends on the byte's value
	// alone, so asking once per value serves every block.
	for (std::size_t value = 0; value < s.table.size(); value++) {
		const std::array<std::uint8_t, 1> byte{
		    static_cast<std::uint8_t>(value)};
		if (should_encrypt_byte(byte, 0, key) == 1)
			s.table[value] = static_cast<std::uint8_t>(key);
	}
	return s;
}

void
scramble_from(std::span<std::uint8_t> data, std::uint64_t offset,
    const scrambler &s)
{
	const std::size_t spacing = static_cast<std::size_t>(s.key) * 32;

	if (spacing == 0)
		return;
	// Only multiples of the spacing can be selected, so the others are
	// never visited.
	std::size_t within = static_cast<std::size_t>(offset % block_size);
	for (std::size_t start = 0; start < data.size();
	    start += block_size - within, within = 0) {
		const auto block = data.subspan(start,
		    std::min(block_size - within, data.size() - start));
		const std::size_t first = (within + spacing - 1) / spacing *
		    spacing - within;
		for (std::size_t p = first; p < block.size(); p += spacing)
			block[p] ^= s.table[block[p]];
	}
}

std::size_t
scramble_filled(std::span<std::uint8_t> buffer, std::size_t filled,
    const scrambler &s)
{
	const auto out = buffer.first(static_cast<std::size_t>(
	    scrambled_size(filled)));

	std::fill(out.begin() + static_cast<std::ptrdiff_t>(filled), out.end(),
	    0);
	scramble_blocks(out, s);
	return out.size();
}
