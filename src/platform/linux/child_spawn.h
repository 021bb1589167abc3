// Starting the desktop's helper programs: no shell, no terminal, nothing inherited that the
// client set up for itself.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace velmora::platform {

enum class ProgramLookup { ExactPath, SearchPath };

// Starts argv[0] with the arguments, its standard input and output on /dev/null (standard
// error too unless `keep_stderr`), with no signal blocked. The child is reaped in the
// background once `wait` has passed without its end. False when it could not be started.
// Thread: any.
bool spawn_quiet(const std::vector<std::string>& argv,
                 ProgramLookup lookup,
                 std::chrono::milliseconds wait = std::chrono::milliseconds(0),
                 bool keep_stderr = false);

}  // namespace velmora::platform
