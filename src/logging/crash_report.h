// Last-resort reporting of a failure nothing else caught.
#pragma once

namespace velmora::logging {

// Thread: the first thread, before anything else runs. An uncaught exception or a fatal
// signal prints what it can on stderr and ends the process; it never hangs.
void install_crash_reporting();

}  // namespace velmora::logging
