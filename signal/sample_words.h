// Sample bytes as 64-bit words, shared by the scan paths: as stored (first
// byte lowest, each byte's earliest sample in bit 7), or in sample order
// (the k-th sample of a word in bit k, so that a word compared with itself
// shifted left by one sample marks its edges).
#ifndef VELMORA_SIGNAL_SAMPLE_WORDS_H
#define VELMORA_SIGNAL_SAMPLE_WORDS_H

#include <cstddef>
#include <cstdint>

namespace velmora {

// Reverses the bits of every byte of `word`: each sample byte holds its
// earliest sample in bit 7.
inline std::uint64_t in_sample_order(std::uint64_t word)
{
    word = ((word >> 1) & 0x5555555555555555ULL) | ((word & 0x5555555555555555ULL) << 1);
    word = ((word >> 2) & 0x3333333333333333ULL) | ((word & 0x3333333333333333ULL) << 2);
    word = ((word >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((word & 0x0F0F0F0F0F0F0F0FULL) << 4);
    return word;
}

// Eight sample bytes, first byte lowest, bits as stored.
inline std::uint64_t load_sample_bytes(const std::uint8_t* samples)
{
    return std::uint64_t{samples[0]} | (std::uint64_t{samples[1]} << 8) | (std::uint64_t{samples[2]} << 16) |
           (std::uint64_t{samples[3]} << 24) | (std::uint64_t{samples[4]} << 32) | (std::uint64_t{samples[5]} << 40) |
           (std::uint64_t{samples[6]} << 48) | (std::uint64_t{samples[7]} << 56);
}

// The first `size` (below 8) sample bytes, first byte lowest; the rest read
// as 0 and must be masked off by the caller.
inline std::uint64_t load_sample_bytes(const std::uint8_t* samples, std::size_t size)
{
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < size; ++i) {
        word |= std::uint64_t{samples[i]} << (8 * i);
    }
    return word;
}

// The first `size` (1 to 8) sample bytes as a word in sample order; samples
// past them read as 0 and must be masked off by the caller.
inline std::uint64_t sample_word(const std::uint8_t* samples, std::size_t size)
{
    return in_sample_order(size == 8 ? load_sample_bytes(samples) : load_sample_bytes(samples, size));
}

} // namespace velmora

#endif
