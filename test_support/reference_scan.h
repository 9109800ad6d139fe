// The straightforward per-sample pulse measurement: one counter increment and
// one comparison per sample. Not part of the product; the tests, fuzz targets
// and benchmarks hold the fast scan of convert_chunk against it.
#ifndef VELMORA_TEST_SUPPORT_REFERENCE_SCAN_H
#define VELMORA_TEST_SUPPORT_REFERENCE_SCAN_H

#include "signal/pulse_measurement.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

// Same contract as convert_chunk.
std::size_t convert_chunk_reference(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                    wave_kind waves, pulse_state& state, std::uint8_t* out);

} // namespace velmora

#endif
