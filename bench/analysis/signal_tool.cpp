// analysis_signal_tool FILE SECONDS: writes the benchmark loop, for the
// scripts that time vantorel-cli against other programs on the same file.
#include "bench_signal.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: analysis_signal_tool FILE SECONDS\n");
        return 2;
    }
    try {
        vantorel::bench::writeLoop(argv[1], std::atof(argv[2]));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "analysis_signal_tool: %s\n", error.what());
        return 1;
    }
    return 0;
}
