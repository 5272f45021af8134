// Throughput of the .als scanner: the XML pass alone, inflate + parse of one
// set, a full scan of a generated corpus on every core, and a rescan of an
// unchanged corpus of 1,000 sets.
#include "live_set_corpus.h"
#include "project/als_archive.h"
#include "project/als_project_scanner.h"
#include "project/als_summary_parser.h"

#include <benchmark/benchmark.h>

namespace vantorel::bench {
namespace {

const std::string& document() {
    static const std::string xml = liveSetDocument(42, 6u << 20);
    return xml;
}

void BM_ParseXml(benchmark::State& state) {
    const std::string& xml = document();
    for (auto _ : state) {
        auto facts = ALSXMLSummaryParser::parseDocument(xml);
        benchmark::DoNotOptimize(facts);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_ParseXml)->Unit(benchmark::kMillisecond);

void BM_InflateAndParse(benchmark::State& state) {
    static const std::string compressed = gzipped(document(), 6);
    for (auto _ : state) {
        GzipReader reader(GzipReader::InMemory{compressed});
        ALSXMLSummaryParser parser;
        for (;;) {
            char* buffer = parser.buffer(256 * 1024);
            std::size_t n = reader.read(buffer, 256 * 1024);
            if (n == 0) break;
            parser.feedBuffer(n);
        }
        benchmark::DoNotOptimize(parser.finish());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(document().size()));
}
BENCHMARK(BM_InflateAndParse)->Unit(benchmark::kMillisecond);

// 40 sets of 2–10 MB here; the 200-set corpus and its comparison with
// gzip -dc are in scan_corpus.sh.
void BM_ScanCorpus(benchmark::State& state) {
    auto files = ensureCorpus(corpusRoot() / "scan-40", 40, 2u << 20, 10u << 20);
    std::uint64_t inflated = 0;
    for (const auto& f : files) inflated += f.inflatedBytes;
    ALSProjectScanner scanner;
    for (auto _ : state) {
        auto index = scanner.scan(corpusRoot() / "scan-40");
        if (index.projects.size() != files.size()) state.SkipWithError("a set failed to parse");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * inflated));
}
BENCHMARK(BM_ScanCorpus)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void BM_RescanUnchanged(benchmark::State& state) {
    auto files = ensureCorpus(corpusRoot() / "rescan-1000", 1000, 8u << 10, 64u << 10);
    ALSProjectScanner scanner;
    const ALSProjectIndex first = scanner.scan(corpusRoot() / "rescan-1000");
    if (first.projects.size() != files.size()) state.SkipWithError("a set failed to parse");
    for (auto _ : state) {
        auto index = scanner.scan(corpusRoot() / "rescan-1000", &first);
        benchmark::DoNotOptimize(index);
    }
}
BENCHMARK(BM_RescanUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vantorel::bench

BENCHMARK_MAIN();
