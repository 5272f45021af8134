#include "project/als_archive.h"

#include "common/process.h"
#include "project/live_set_fixture.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantorel {
namespace {

using testing::gzipped;

struct Inflated {
    bool ok;
    std::string bytes;
};

Inflated inflateAll(GzipReader& reader, std::size_t piece = 4096) {
    std::string out;
    std::string buffer(piece, '\0');
    while (std::size_t n = reader.read(buffer.data(), buffer.size())) out.append(buffer.data(), n);
    return {!reader.failed(), out};
}

struct Case {
    const char* label;
    std::string file;
    bool ok;
    std::string content;
};

std::vector<Case> cases() {
    const std::string a = gzipped("<Ableton/>\n");
    const std::string b = gzipped("second member\n");
    return {
        {"one member", a, true, "<Ableton/>\n"},
        {"members are read one after the other", a + b, true, "<Ableton/>\nsecond member\n"},
        {"zero padding after the last member", a + std::string(512, '\0'), true, "<Ableton/>\n"},
        {"other bytes after the last member", a + "junk", false, ""},
        {"zeros then other bytes", a + std::string(4, '\0') + "x", false, ""},
        {"truncated stream", a.substr(0, a.size() - 6), false, ""},
        {"corrupt checksum", a.substr(0, a.size() - 8) + "\x01\x02\x03\x04" + a.substr(a.size() - 4), false, ""},
        {"empty file", "", false, ""},
        {"plain XML", "<?xml version=\"1.0\"?><Ableton/>", false, ""},
        {"five junk bytes", "junk\n", false, ""},
        {"an empty gzip stream inflates to nothing", gzipped(""), true, ""},
    };
}

TEST(GzipReader, InflatesLikeGzipDashDc) {
    testing::TempHome home;
    const bool haveGzip = std::filesystem::exists("/usr/bin/gzip");
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.label);
        GzipReader fromMemory(GzipReader::InMemory{c.file});
        Inflated memory = inflateAll(fromMemory);
        EXPECT_EQ(memory.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(memory.bytes, c.content);
        }

        auto path = home.root() / "set.als";
        testing::writeText(path, c.file);
        GzipReader fromFile(path);
        Inflated file = inflateAll(fromFile, 3);
        EXPECT_EQ(file.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(file.bytes, c.content);
        }

        // The reference these outcomes follow.
        if (haveGzip) {
            auto result = process::run(process::SpawnOptions::command({"/usr/bin/gzip", "-dc", path.string()}), "",
                                       std::chrono::seconds(10));
            ASSERT_TRUE(result.status.has_value());
            EXPECT_EQ(result.status->success(), c.ok) << "gzip -dc disagrees";
        }
    }
    // A missing file and a folder fail like a broken one.
    GzipReader missing(home.root() / "nowhere.als");
    EXPECT_FALSE(inflateAll(missing).ok);
    GzipReader folder(home.root());
    EXPECT_FALSE(inflateAll(folder).ok);
}

TEST(GzipReader, StopsPastItsLimit) {
    const std::string bomb = gzipped(std::string(1 << 20, '\0'));
    GzipReader limited(GzipReader::InMemory{bomb}, 1 << 16);
    EXPECT_FALSE(inflateAll(limited).ok);
    EXPECT_LE(limited.inflatedBytes(), (1u << 16) + 4096);

    GzipReader roomy(GzipReader::InMemory{bomb}, 1 << 20);
    Inflated all = inflateAll(roomy);
    EXPECT_TRUE(all.ok);
    EXPECT_EQ(all.bytes.size(), 1u << 20);
}

}  // namespace
}  // namespace vantorel
