// What each face of the platform layer (posix.cpp, windows.cpp) gives the
// code both share. Not for use outside platform/.
#ifndef VELMORA_PLATFORM_FACE_H
#define VELMORA_PLATFORM_FACE_H

#include "platform/output_guard.h"

namespace velmora::platform_face {

// The refusal, if any, of the file `path` names now (opened if none, or if
// nothing is there yet).
output_open_result check_named_file(const char* path, const file_identity& input);

// One attempt at open_guarded_output on an `output` whose path is set:
// path_changed if the file opened was no longer the one the path names.
output_open_result open_once(const char* path, const file_identity& input, replace_check may_replace,
                             guarded_output& output);

// Sets output.aside_path to the private name in the folder of output.path
// that the path is renamed to before an unfinished output is removed (left
// empty where the face keeps its own, or the path is too long).
void set_aside_path(guarded_output& output);

} // namespace velmora::platform_face

#endif
