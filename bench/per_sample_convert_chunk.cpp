// Stands in for the product's convert_chunk in velmora_per_sample, a build of
// the whole program with the per-sample reference loop, timed against the
// real one by bench/run.sh.
#include "signal/pulse_measurement.h"
#include "test_support/reference_scan.h"

namespace velmora {

std::size_t convert_chunk(const std::uint8_t* samples, std::size_t length, std::uint8_t period, wave_kind waves,
                          pulse_state& state, std::uint8_t* out)
{
    return convert_chunk_reference(samples, length, period, waves, state, out);
}

} // namespace velmora
