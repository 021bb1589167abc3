// Entry point of the Velmora client.
#include <exception>
#include <iostream>

#include "velmora/host/run.h"

int main(int argc, char** argv) {
    try {
        return velmora::host::run_velmora(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "velmora: start-up failed: " << e.what() << '\n';
    }
    return 1;
}
