// Drives scan_corpus.sh: generates the 200-set corpus and scans a folder in a
// fresh process, printing the figures (time, inflated megabytes per second,
// peak resident memory) as one line of JSON.
//
//   als_corpus_tool generate FOLDER COUNT MIN_MB MAX_MB
//   als_corpus_tool scan FOLDER
#include "live_set_corpus.h"
#include "project/als_archive.h"
#include "project/als_project_scanner.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace vantorel;

// Inflated size of every Live Set below folder, read before the timed scan
// (which also warms the page cache for both contenders).
std::uint64_t inflatedBytes(const std::vector<std::filesystem::path>& files) {
    std::uint64_t total = 0;
    std::string buffer(1 << 20, '\0');
    for (const auto& file : files) {
        GzipReader reader(file);
        while (std::size_t n = reader.read(buffer.data(), buffer.size())) total += n;
    }
    return total;
}

int scan(const std::filesystem::path& folder) {
    ALSProjectScanner scanner;
    const auto files = scanner.liveSets(folder);
    const std::uint64_t bytes = inflatedBytes(files);
    const auto started = std::chrono::steady_clock::now();
    ALSProjectIndex index = scanner.scan(folder);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("{\"files\": %zu, \"projects\": %zu, \"warnings\": %zu, \"inflatedMB\": %.1f, \"seconds\": %.3f, "
                "\"mbPerSecond\": %.1f, \"peakRssMB\": %.1f}\n",
                files.size(), index.projects.size(), index.warnings.size(), bytes / 1e6, seconds,
                bytes / 1e6 / seconds, usage.ru_maxrss / 1024.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "generate" && argc == 6) {
        auto files = bench::ensureCorpus(argv[2], std::atoi(argv[3]), std::size_t(std::atof(argv[4]) * 1024 * 1024),
                                         std::size_t(std::atof(argv[5]) * 1024 * 1024));
        std::printf("%zu sets in %s\n", files.size(), argv[2]);
        return 0;
    }
    if (command == "scan" && argc == 3) return scan(argv[2]);
    std::fprintf(stderr, "usage: als_corpus_tool generate FOLDER COUNT MIN_MB MAX_MB | scan FOLDER\n");
    return 2;
}
