// .als files come from anywhere (downloads, shared drives, other tools).
// Whatever the bytes, inflating and parsing them gives a summary or one of the
// scanner's two errors, in bounded time and memory, and a summary always
// survives the trip through the index file's JSON unchanged.
//
// The first byte picks the entry: even, the bytes are a gzip stream; odd,
// they are the XML itself (most mutations of a gzip stream die in inflate).
#include "project/als_archive.h"
#include "project/als_project.h"
#include "project/als_summary_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// Well under the 1 GiB of real scans, so that each input stays quick.
constexpr std::uint64_t kFuzzInflateLimit = 64u << 20;
constexpr std::size_t kPiece = 64 * 1024;

void checkRoundTrip(vantorel::ALSDocumentFacts facts) {
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));
    vantorel::ALSProjectSummary summary = vantorel::summarize("/fuzz/set.als", std::move(facts), when, 1, when);
    nlohmann::json written = nlohmann::json::parse(summary.dictionary().dump(-1, ' ', false,
                                                                             nlohmann::json::error_handler_t::replace));
    if (!(vantorel::ALSProjectSummary::fromJson(written) == summary)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    vantorel::ALSXMLSummaryParser parser;
    if (data[0] % 2 == 0) {
        vantorel::GzipReader reader(vantorel::GzipReader::InMemory{bytes}, kFuzzInflateLimit);
        for (;;) {
            char* buffer = parser.buffer(kPiece);
            if (buffer == nullptr) break;
            std::size_t n = reader.read(buffer, kPiece);
            if (n == 0) break;
            parser.feedBuffer(n);
        }
        if (reader.failed()) return 0;
    } else {
        parser.feed(bytes);
    }
    if (parser.finish()) checkRoundTrip(parser.facts());
    return 0;
}
