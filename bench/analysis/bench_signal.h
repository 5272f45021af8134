// A stereo 16-bit WAV that sounds like a producer's loop (a minor cadence
// over a bass line, off-beat hats, slightly different channels), of any
// length, for the analysis benchmarks.
#pragma once

#include <filesystem>

namespace vantorel::bench {

// Writes `seconds` of the loop at 44.1 kHz; throws std::runtime_error when
// the file cannot be written.
void writeLoop(const std::filesystem::path& path, double seconds);

}  // namespace vantorel::bench
