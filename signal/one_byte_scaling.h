// Scaling of short phases in 16- and 32-bit vector lanes: the vector scan
// computes a phase's entry value this way when the value fits in one byte,
// and falls back to the exact 64-bit formulas otherwise. The functions here
// do, in scalar code, the very operations of one lane, so that a test can
// hold them against the exact formulas for every period and distance.
#ifndef VELMORA_SIGNAL_ONE_BYTE_SCALING_H
#define VELMORA_SIGNAL_ONE_BYTE_SCALING_H

#include "signal/pulse_measurement.h"

#include <cstdint>

namespace velmora {

// Half waves: floor((13 × n × p + 50) / 100). The division by 100 of a value
// below 25600 is a multiplication by half_wave_magic keeping the high 16 bits,
// then a shift right by half_wave_shift.
inline constexpr auto half_wave_factor = static_cast<std::uint16_t>(half_wave_sample_percent / 8);
inline constexpr std::uint16_t half_wave_bias = 50;
inline constexpr std::uint16_t half_wave_magic = 5243;
inline constexpr unsigned half_wave_shift = 3;

// Full waves: floor((101 × n × p + 200) / 400), as floor(floor(x / 16) / 25)
// with x = 101 × n × p + 200 below 102400; the division by 25 of a value
// below 6400 is a multiplication by full_wave_magic and a shift right by
// full_wave_shift, in 32 bits.
inline constexpr auto full_wave_factor = static_cast<std::uint32_t>(full_wave_sample_percent);
inline constexpr std::uint32_t full_wave_bias = 200;
inline constexpr unsigned full_wave_pre_shift = 4;
inline constexpr std::uint32_t full_wave_magic = 5243;
inline constexpr unsigned full_wave_shift = 17;

// Longest phase, in samples, whose half-wave value at period p is at most
// 255 (every phase at period 0, whose value is 0).
constexpr std::uint16_t one_byte_half_wave_limit(std::uint8_t p)
{
    return p == 0 ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>((25600 - half_wave_bias - 1) / (half_wave_factor * p));
}

// Longest low phase, in samples, whose full-wave value at period p is at
// most 255 (every phase at period 0).
constexpr std::uint16_t one_byte_full_wave_limit(std::uint8_t p)
{
    return p == 0 ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>((102400 - full_wave_bias - 1) / (full_wave_factor * p));
}

// Half-wave value of a phase of n samples, n at most
// one_byte_half_wave_limit(p), as one 16-bit lane computes it.
constexpr std::uint16_t half_wave_value_in_lane(std::uint16_t n, std::uint8_t p)
{
    const auto scaled = static_cast<std::uint16_t>(n * static_cast<std::uint16_t>(half_wave_factor * p) + half_wave_bias);
    const auto high = static_cast<std::uint16_t>((std::uint32_t{scaled} * half_wave_magic) >> 16);
    return static_cast<std::uint16_t>(high >> half_wave_shift);
}

// Full-wave value of a low phase of n samples, n at most
// one_byte_full_wave_limit(p), as one 32-bit lane computes it.
constexpr std::uint32_t full_wave_value_in_lane(std::uint32_t n, std::uint8_t p)
{
    const std::uint32_t sixteenths = (n * (full_wave_factor * p) + full_wave_bias) >> full_wave_pre_shift;
    return (sixteenths * full_wave_magic) >> full_wave_shift;
}

} // namespace velmora

#endif
