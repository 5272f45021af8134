// A generated corpus of Live Sets for the scanner's benchmarks: documents
// with the density of real Live 11–12 saves (tab-indented, about forty bytes
// per element: mixer and device parameters with automation and modulation
// targets, MIDI clips with notes, audio clips with warp markers, automation
// envelopes), gzip-compressed at the default level as Live writes them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vantorel::bench {

// One document of about targetBytes of XML; the same seed gives the same set.
std::string liveSetDocument(std::uint32_t seed, std::size_t targetBytes);
std::string gzipped(const std::string& bytes, int level);

struct CorpusFile {
    std::filesystem::path path;
    std::uint64_t inflatedBytes = 0;
};

// Writes `count` sets of minBytes to maxBytes of XML into folder (kept when
// already there, so that runs after the first reuse it), on `threads`
// threads. Returns the files with their inflated sizes.
std::vector<CorpusFile> ensureCorpus(const std::filesystem::path& folder, int count, std::size_t minBytes,
                                     std::size_t maxBytes, unsigned threads = 2);

// Where generated corpora live: $VANTOREL_BUILD_DIR/bench-data, else the
// temporary folder.
std::filesystem::path corpusRoot();

}  // namespace vantorel::bench
