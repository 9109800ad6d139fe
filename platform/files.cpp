// The opening of an input, the same on every system.
#include "platform/files.h"

namespace velmora {
namespace {

bool take_input(std::FILE* file, input_file& input)
{
    input.stream = held_stream(file);
    if (file == nullptr || !identify_stream(file, input.identity) || input.identity.directory) {
        input = input_file{};
        return false;
    }
    return true;
}

} // namespace

bool open_input(const char* path, input_file& input)
{
    return take_input(std::fopen(path, "rb"), input);
}

bool open_standard_input(input_file& input)
{
    return take_input(stdin, input);
}

} // namespace velmora
