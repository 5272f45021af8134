#include "app/project_index_payload.h"

#include "project/json_fields.h"

#include <charconv>
#include <string_view>

namespace vantorel {

namespace {

using Json = nlohmann::json;

// Appends JSON text to one string. Leaves whose text is not plain ASCII
// (accents, control characters, invalid UTF-8) and every double go through
// the JSON library's own serializer, so they come out exactly as dumping the
// tree writes them (shortest round-trip doubles, non-finite as null, U+FFFD
// for invalid bytes).
class Writer {
public:
    explicit Writer(std::string& out)
        : out_(out), leaves_(nlohmann::detail::output_adapter<char>(out), ' ', Json::error_handler_t::replace) {}

    void raw(std::string_view text) { out_.append(text); }

    // `"key":`, the key given already quoted with its colon.
    void key(std::string_view quotedKey, bool first = false) {
        if (!first) out_.push_back(',');
        out_.append(quotedKey);
    }

    void string(const std::string& value) {
        for (unsigned char c : value) {
            if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') {
                leaves_.dump(Json(value), false, false, 0);
                return;
            }
        }
        out_.push_back('"');
        out_.append(value);
        out_.push_back('"');
    }

    void integer(std::int64_t value) {
        char buffer[24];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
        out_.append(buffer, end);
    }

    void number(double value) { leaves_.dump(Json(value), false, false, 0); }

    void flag(bool value) { out_.append(value ? "true" : "false"); }

    void strings(const std::vector<std::string>& values) {
        out_.push_back('[');
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i > 0) out_.push_back(',');
            string(values[i]);
        }
        out_.push_back(']');
    }

private:
    std::string& out_;
    nlohmann::detail::serializer<Json> leaves_;
};

// Keys in the order the sorted object of dictionary() has them.
void writeTrack(Writer& w, const ALSIndexedTrack& track) {
    w.key(R"({"automated":)", true);
    w.flag(track.automated);
    w.key(R"("clipCount":)");
    w.integer(track.clipCount);
    w.key(R"("deviceCount":)");
    w.integer(track.deviceCount);
    w.key(R"("name":)");
    w.string(track.name);
    w.raw("}");
}

void writeSummary(Writer& w, const ALSProjectSummary& s) {
    w.key(R"({"arrangementLengthBeats":)", true);
    w.number(s.arrangementLengthBeats);
    w.key(R"("clipCount":)");
    w.integer(s.clipCount);
    w.key(R"("creator":)");
    w.string(s.creator);
    w.key(R"("fileSize":)");
    w.integer(s.fileSize);
    w.key(R"("locatorCount":)");
    w.integer(s.locatorCount);
    w.key(R"("longestClipBeats":)");
    w.number(s.longestClipBeats);
    w.key(R"("missing":)");
    w.string(s.missing);
    w.key(R"("modifiedAt":)");
    w.string(project::formatDate(s.modifiedAt));
    w.key(R"("name":)");
    w.string(s.name);
    w.key(R"("path":)");
    w.string(s.path);
    w.key(R"("schemaVersion":)");
    w.string(s.schemaVersion);
    w.key(R"("score":)");
    w.number(s.score);
    w.key(R"("stage":)");
    w.integer(s.stage);
    w.key(R"("stageName":)");
    w.string(s.stageName);
    if (s.tempo) {
        w.key(R"("tempo":)");
        w.number(*s.tempo);
    }
    w.key(R"("timeRemaining":)");
    w.string(s.timeRemaining);
    w.key(R"("tracks":[)");
    for (std::size_t i = 0; i < s.tracks.size(); ++i) {
        if (i > 0) w.raw(",");
        writeTrack(w, s.tracks[i]);
    }
    w.key(R"(],"warnings":)", true);
    w.strings(s.warnings);
    w.raw("}");
}

}  // namespace

std::string projectIndexPayload(const ALSProjectIndex& index) {
    std::string out;
    // About 580 bytes a set with its tracks: one allocation for most indexes.
    out.reserve(1024 + index.projects.size() * 640);
    Writer w(out);
    w.key(R"({"folderPath":)", true);
    w.string(index.folderPath);
    w.key(R"("indexed":true,"projects":[)");
    for (std::size_t i = 0; i < index.projects.size(); ++i) {
        if (i > 0) w.raw(",");
        writeSummary(w, index.projects[i]);
    }
    w.key(R"(],"scannedAt":)", true);
    w.string(project::formatDate(index.scannedAt));
    w.key(R"("warnings":)");
    w.strings(index.warnings);
    w.raw("}");
    return out;
}

}  // namespace vantorel
