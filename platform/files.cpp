// The opening of an input, the same on every system.
#include "platform/files.h"

namespace velmora {
namespace {

// `must_identify`: false for standard input, which is read even where its
// identity cannot be queried (a file redirected to a program under Wine);
// an unknown identity matches no output, so the output's other checks alone
// protect it.
bool take_input(std::FILE* file, bool must_identify, input_file& input)
{
    input.stream = held_stream(file);
    const bool identified = file != nullptr && identify_stream(file, input.identity);
    if (file == nullptr || (must_identify && !identified) || input.identity.directory) {
        input = input_file{};
        return false;
    }
    return true;
}

} // namespace

bool open_input(const char* path, input_file& input)
{
    return take_input(std::fopen(path, "rb"), true, input);
}

bool open_standard_input(input_file& input)
{
    return take_input(stdin, false, input);
}

} // namespace velmora
