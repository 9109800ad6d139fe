#include "rom_tape/rom_tape_encoder.h"

#include <algorithm>

namespace velmora {
namespace {

// Lengths of leaders in full short waves: before a block, between its two
// copies, after it.
constexpr unsigned leader_waves = 5000;
constexpr unsigned repeat_leader_waves = 80;
constexpr unsigned trailer_waves = 450;

void put_waves(std::vector<std::uint32_t>& half_waves, std::uint32_t cycles, unsigned count)
{
    half_waves.insert(half_waves.end(), 2 * std::size_t{count}, cycles);
}

void put_bit_pair(std::vector<std::uint32_t>& half_waves, bool bit)
{
    put_waves(half_waves, bit ? rom_tape_medium_cycles : rom_tape_short_cycles, 1);
    put_waves(half_waves, bit ? rom_tape_short_cycles : rom_tape_medium_cycles, 1);
}

// `parity_of` gives the parity bit: odd, the data bits and it hold an odd number of ones.
void put_byte(std::vector<std::uint32_t>& half_waves, std::uint8_t value, std::uint8_t parity_of)
{
    put_waves(half_waves, rom_tape_long_cycles, 1);
    put_waves(half_waves, rom_tape_medium_cycles, 1);
    bool parity = true;
    for (unsigned bit = 0; bit < 8; ++bit) {
        put_bit_pair(half_waves, ((static_cast<unsigned>(value) >> bit) & 1U) != 0);
        parity = parity != (((static_cast<unsigned>(parity_of) >> bit) & 1U) != 0);
    }
    put_bit_pair(half_waves, parity);
}

void put_copy(std::vector<std::uint32_t>& half_waves, const std::vector<std::uint8_t>& payload,
              std::uint8_t countdown_flag, unsigned block, unsigned copy, std::span<const rom_tape_byte_fault> faults)
{
    for (unsigned count = rom_tape_countdown_length; count >= 1; --count) {
        const auto value = static_cast<std::uint8_t>(countdown_flag | count);
        put_byte(half_waves, value, value);
    }
    std::uint8_t checksum = 0;
    for (std::size_t i = 0; i <= payload.size(); ++i) {
        const std::uint8_t value = i < payload.size() ? payload[i] : checksum;
        checksum = i < payload.size() ? static_cast<std::uint8_t>(checksum ^ value) : checksum;
        const auto fault = std::find_if(faults.begin(), faults.end(), [&](const rom_tape_byte_fault& each) {
            return each.block == block && each.copy == copy && each.byte == i;
        });
        if (fault != faults.end()) {
            const auto sent = static_cast<std::uint8_t>(value ^ fault->flip);
            put_byte(half_waves, sent, fault->keep_parity ? sent : value);
        } else {
            put_byte(half_waves, value, value);
        }
    }
}

} // namespace

std::vector<std::uint32_t> rom_tape_block(const std::vector<std::uint8_t>& payload, unsigned block,
                                          std::span<const rom_tape_byte_fault> faults)
{
    std::vector<std::uint32_t> half_waves;
    put_waves(half_waves, rom_tape_short_cycles, leader_waves);
    put_copy(half_waves, payload, rom_tape_first_copy_flag, block, 0, faults);
    put_waves(half_waves, rom_tape_short_cycles, repeat_leader_waves);
    put_copy(half_waves, payload, 0x00, block, 1, faults);
    put_waves(half_waves, rom_tape_short_cycles, trailer_waves);
    return half_waves;
}

std::vector<std::uint8_t> rom_tape_header(std::uint16_t start, std::uint16_t end, const std::string& name)
{
    std::vector<std::uint8_t> header = {static_cast<std::uint8_t>(rom_file_type::basic_program),
                                        static_cast<std::uint8_t>(start), static_cast<std::uint8_t>(start >> 8),
                                        static_cast<std::uint8_t>(end), static_cast<std::uint8_t>(end >> 8)};
    for (std::size_t i = 0; i < rom_tape_name_bytes; ++i) {
        header.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : std::uint8_t{' '});
    }
    header.resize(rom_tape_header_bytes, ' ');
    return header;
}

std::vector<std::uint32_t> rom_tape_program(std::uint16_t start, const std::vector<std::uint8_t>& program,
                                            const std::string& name, std::span<const rom_tape_byte_fault> faults)
{
    const auto end = static_cast<std::uint16_t>(start + program.size());
    std::vector<std::uint32_t> half_waves = rom_tape_block(rom_tape_header(start, end, name), 0, faults);
    const std::vector<std::uint32_t> data = rom_tape_block(program, 1, faults);
    half_waves.insert(half_waves.end(), data.begin(), data.end());
    return half_waves;
}

std::size_t rom_tape_byte_half_wave(std::size_t program_size, unsigned block, unsigned copy, std::size_t byte)
{
    constexpr std::size_t byte_half_waves = 2 * rom_tape_byte_waves;
    const auto copy_half_waves = [](std::size_t payload) {
        return (rom_tape_countdown_length + payload + 1) * byte_half_waves;
    };
    const auto block_half_waves = [&](std::size_t payload) {
        return 2 * (leader_waves + repeat_leader_waves + trailer_waves) + 2 * copy_half_waves(payload);
    };
    const std::size_t payload = block == 0 ? rom_tape_header_bytes : program_size;
    std::size_t at = block == 0 ? 0 : block_half_waves(rom_tape_header_bytes);
    at += 2 * leader_waves;
    if (copy == 1) {
        at += copy_half_waves(payload) + 2 * repeat_leader_waves;
    }
    return at + (rom_tape_countdown_length + byte) * byte_half_waves;
}

} // namespace velmora
