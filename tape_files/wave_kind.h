// What the entries of a TAP image measure: every half wave of the signal, or
// every full wave (written as twice its low phase). The file states it as
// its version byte; only the command lines and the image's header see that
// number.
#ifndef VELMORA_TAPE_FILES_WAVE_KIND_H
#define VELMORA_TAPE_FILES_WAVE_KIND_H

#include <cstdint>

namespace velmora {

enum class wave_kind : std::uint8_t {
    full_waves, // TAP version 1
    half_waves, // TAP version 2
};

// The version byte of an image whose entries measure `waves`.
constexpr std::uint8_t tap_version(wave_kind waves)
{
    return waves == wave_kind::half_waves ? 2 : 1;
}

} // namespace velmora

#endif
