#pragma once
// Limits shared by every stage that allocates a signal.

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvin {

// Most samples one file may hold. A file's stages keep several 16-byte copies at once, so a
// 32-bit process (2 GiB of address space) gets a smaller ceiling than a 64-bit one.
inline constexpr std::size_t max_samples_per_file =
    sizeof(void*) >= 8 ? std::size_t{1} << 26 : std::size_t{1} << 23;

// The message of the ceiling's std::length_error for a signal of `count` samples.
std::string sample_limit_message(double count);

// Returns `count` as a whole number of samples; throws std::length_error when it is not finite
// or exceeds max_samples_per_file. Call before allocating a signal of that length.
std::size_t require_sample_count(double count);

// fs / Rs truncated toward zero to a whole count of samples per symbol (0 below 1 or for NaN);
// ratios of 2^32 and above come back as 2^32 - 1 so the caller's ceiling check refuses them.
std::uint32_t whole_samples_per_symbol(double samples_per_symbol);

}  // namespace quorvin
