// The whole program: single-instance test, the chosen UI engine and the client.
#pragma once

namespace velmora::host {

int run_velmora(int argc, const char* const* argv);

}  // namespace velmora::host
