#ifndef ENCRYPT_VIDEO_RANGE_H
#define ENCRYPT_VIDEO_RANGE_H

#include <cstdint>
#include <functional>
#include <span>

#include "scramble.h"

// Reads input from an offset into as much of the span as it can: the count,
// 0 only at the end of the input, or a negative errno.
using read_input_at = std::function<std::int64_t(std::span<std::uint8_t>,
    std::uint64_t)>;

// The input's bytes from offset on, scrambled, into out: only those asked
// for are read, and the input's end is not zero-filled.  Returns the count,
// short only where the input ends, or the negative errno of a failed read.
std::int64_t read_scrambled(std::span<std::uint8_t> out, std::uint64_t offset,
    const scrambler &s, const read_input_at &read_at);

#endif
