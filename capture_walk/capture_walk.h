// The one walk over a CTF capture: its header, its blocks, each block's
// samples a chunk at a time through convert_chunk, and the entries handed to
// a sink. velmora's sink writes them as a TAP image; velmora-inspect's
// measures them. The phase open at the end of a chunk is carried into the
// next chunk, of the same block or the next; nothing is reset between
// blocks. Also the one home of the advice to measure half waves.
#ifndef VELMORA_CAPTURE_WALK_CAPTURE_WALK_H
#define VELMORA_CAPTURE_WALK_CAPTURE_WALK_H

#include "signal/pulse_measurement.h"
#include "tape_files/ctf_file.h"
#include "tape_files/wave_kind.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora {

static_assert(ctf_chunk_size <= max_chunk_bytes, "every chunk read must be accepted by convert_chunk");

// How a walk ended.
enum class walk_ending {
    completed,     // every block the header announces was read whole and taken by the sink
    empty_capture, // the block count field marks the capture empty: the sink was handed nothing
    truncated,     // the stream ended inside the header, a descriptor or a block's samples
    unreadable,    // the stream reported a read error
    sink_failed,   // the sink refused to go on
};

// The part of the capture a walk was in when it stopped short.
enum class walk_place { header, descriptor, samples };

struct walk_result {
    walk_ending ending;
    walk_place place;     // where it stopped, unless completed or empty_capture
    std::int32_t block;   // the block it stopped in, 1 for the first; 0 in the header
    std::uint64_t offset; // file offset where the header, descriptor or samples it stopped in start
    ctf_header header;    // valid unless it stopped in the header
    std::uint64_t asymmetric_waves; // full waves whose phases do not match; 0 measuring half waves
};

// A block as its descriptor announces it.
struct walk_block {
    std::int32_t number; // 1 for the first
    std::uint8_t sample_period;
    std::int64_t announced_bytes; // sample bytes its end offset announces; 0 or below: none
};

// One chunk of sample bytes and the entries convert_chunk wrote for it.
struct walk_chunk {
    std::size_t sample_bytes; // fewer than a whole chunk only where the capture ends early
    std::size_t entry_bytes;  // written from the start of the room the sink gave for this chunk
    std::uint8_t level_before; // the signal's level before the chunk, 0 or 1
    std::uint8_t level_after;  // and after it
};

// The advice rule: after more than this many asymmetric full waves, the
// capture is better written as half waves.
inline constexpr std::uint64_t half_wave_advice_threshold = 200;

// True if a capture measured as `waves` that gave `asymmetric_waves` is
// better measured as half waves.
constexpr bool half_waves_advised(wave_kind waves, std::uint64_t asymmetric_waves)
{
    return waves == wave_kind::full_waves && asymmetric_waves > half_wave_advice_threshold;
}

// Reads the header and fills `result`'s header, or its ending and place;
// true if the walk goes on to the blocks. Part of walk_capture.
bool walk_header(ctf_reader& reader, walk_result& result);

// Records a read that did not return ok as the walk's ending. Part of
// walk_capture.
void walk_stopped_reading(ctf_read_result read, walk_result& result);

// Walks the capture from the start of `reader`, measuring `waves`, and
// hands what it finds to `sink`, through these functions, found by
// argument-dependent lookup; each stops the walk (sink_failed) by returning
// false or null:
//   bool capture_begins(sink&, const ctf_header&)  once, after a header that is not marked empty
//   bool block_begins(sink&, const walk_block&)    after each block's descriptor
//   std::uint8_t* entry_room(sink&)                before each chunk: pulse_output_capacity bytes
//   bool take_entries(sink&, const walk_chunk&)    the entries of that chunk, written at that room
//   bool between_blocks(sink&)                     after each block but the last
// Stops at the first failure; what was read before it (the part of a chunk
// included) is measured and handed on first.
template <typename sink_type>
walk_result walk_capture(ctf_reader& reader, wave_kind waves, sink_type& sink)
{
    walk_result result{};
    if (!walk_header(reader, result)) {
        return result;
    }
    // From here on, a return before the end that is not a read's is the sink's.
    result.ending = walk_ending::sink_failed;
    if (!capture_begins(sink, result.header)) {
        return result;
    }
    pulse_state state{};
    const std::int32_t blocks = ctf_block_count(result.header);
    for (std::int32_t number = 1; number <= blocks; ++number) {
        result.place = walk_place::descriptor;
        result.block = number;
        result.offset = reader.position;
        ctf_block_descriptor block{};
        ctf_read_result read = read_ctf_block_descriptor(reader, block);
        if (read != ctf_read_result::ok) {
            walk_stopped_reading(read, result);
            return result;
        }
        if (!block_begins(sink, walk_block{number, block.sample_period, block.remaining})) {
            return result;
        }
        result.place = walk_place::samples;
        result.offset = reader.position;
        while (block.remaining > 0) {
            std::span<const std::uint8_t> samples;
            read = read_ctf_chunk(reader, block, samples);
            if (!samples.empty()) {
                std::uint8_t* const room = entry_room(sink);
                if (room == nullptr) {
                    return result;
                }
                const std::uint8_t before = state.level;
                const std::size_t size =
                    convert_chunk(samples.data(), samples.size(), block.sample_period, waves, state, room);
                result.asymmetric_waves = waves == wave_kind::full_waves ? state.asymmetric_pulses : 0;
                if (!take_entries(sink, walk_chunk{samples.size(), size, before, state.level})) {
                    return result;
                }
            }
            if (read != ctf_read_result::ok) {
                walk_stopped_reading(read, result);
                return result;
            }
        }
        if (number < blocks && !between_blocks(sink)) {
            return result;
        }
    }
    result.ending = walk_ending::completed;
    return result;
}

} // namespace velmora

#endif
