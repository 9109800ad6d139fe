// The guarded output's opening, the same on every system: one more attempt
// when the path changed under the first.
#include "platform/output_guard.h"

#include "platform/face.h"

namespace velmora {

output_open_result open_guarded_output(const char* path, const file_identity& input, replace_check may_replace,
                                       guarded_output& output)
{
    release_output(output);
    output.path = path;
    output.identity = file_identity{};
    output.stream = nullptr;
    platform_face::set_aside_path(output);
    if (const output_open_result refused = platform_face::check_named_file(path, input);
        refused != output_open_result::opened) {
        return refused;
    }
    const output_open_result result = platform_face::open_once(path, input, may_replace, output);
    return result == output_open_result::path_changed ? platform_face::open_once(path, input, may_replace, output)
                                                      : result;
}

bool finish_guarded_output(guarded_output& output, bool written)
{
    const bool closed = output.stream != nullptr && std::fclose(output.stream) == 0;
    output.stream = nullptr;
    const bool kept = written && closed;
    if (!kept) {
        discard_unfinished_output(output);
    }
    release_output(output);
    return kept;
}

} // namespace velmora
