#include "live_set_corpus.h"

#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vantorel::bench {

namespace {

const char* const kParameterNames[] = {"Gain",      "Frequency", "Resonance", "Attack",   "Release", "Threshold",
                                       "Ratio",     "DryWet",    "Feedback",  "Drive",    "Cutoff",  "Decay",
                                       "Sustain",   "Width",     "Spread",    "Detune",   "Volume",  "Pan",
                                       "LfoAmount", "LfoRate",   "Shape",     "Tone",     "Mix",     "Output"};
const char* const kDevices[] = {"Eq8",       "Compressor2", "AutoFilter", "Reverb",   "Delay",  "Saturator",
                                "Operator",  "Wavetable",   "Simpler",    "GlueCompressor", "Utility", "Chorus2"};
const char* const kTrackNames[] = {"Kick", "Sub Bass", "Hats", "Clap", "Chords", "Lead", "Pad", "Vox", "FX Riser",
                                   "Perc", "Arp", "Keys"};

class Writer {
public:
    explicit Writer(std::uint32_t seed) : random_(seed) {}

    std::string take() { return std::move(out_); }
    std::size_t size() const { return out_.size(); }

    void open(const std::string& element, const std::string& attributes = "") {
        indent();
        out_ += "<" + element + attributes + ">\n";
        ++depth_;
    }
    void close(const std::string& element) {
        --depth_;
        indent();
        out_ += "</" + element + ">\n";
    }
    void value(const std::string& element, const std::string& v) {
        indent();
        out_ += "<" + element + " Value=\"" + v + "\" />\n";
    }
    void empty(const std::string& element, const std::string& attributes) {
        indent();
        out_ += "<" + element + attributes + " />\n";
    }

    std::string number() {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.10g", std::uniform_real_distribution<double>(0, 1)(random_));
        return buffer;
    }
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    std::string id() { return std::to_string(nextId_++); }

    void parameter(const std::string& name, bool automated) {
        open(name);
        value("LomId", "0");
        value("Manual", number());
        open("MidiControllerRange");
        value("Min", "0");
        value("Max", "1");
        close("MidiControllerRange");
        open("AutomationTarget", " Id=\"" + id() + "\"");
        value("LockEnvelope", "0");
        close("AutomationTarget");
        open("ModulationTarget", " Id=\"" + id() + "\"");
        value("LockEnvelope", "0");
        close("ModulationTarget");
        open("ArrangerAutomation");
        open("Events");
        empty("FloatEvent", " Id=\"" + id() + "\" Time=\"-63072000\" Value=\"" + number() + "\"");
        if (automated) {
            for (int i = 0; i < 24; ++i) {
                empty("FloatEvent",
                      " Id=\"" + id() + "\" Time=\"" + std::to_string(i * 4) + "\" Value=\"" + number() + "\"");
            }
        }
        close("Events");
        close("ArrangerAutomation");
        close(name);
    }

    void device(const std::string& element) {
        open(element, " Id=\"" + id() + "\"");
        value("LomId", "0");
        value("IsExpanded", "true");
        parameter("On", false);
        value("ModulationSourceCount", "0");
        open("ParametersListWrapper");
        close("ParametersListWrapper");
        value("LastPresetRef", "");
        int parameters = 20 + below(40);
        for (int i = 0; i < parameters; ++i) {
            parameter(std::string(kParameterNames[i % 24]) + (i >= 24 ? "." + std::to_string(i / 24) : ""),
                      below(30) == 0);
        }
        close(element);
    }

    void midiClip(double time, double length) {
        open("MidiClip", " Id=\"" + id() + "\" Time=\"" + std::to_string(time) + "\"");
        value("LomId", "0");
        value("CurrentStart", std::to_string(time));
        value("CurrentEnd", std::to_string(time + length));
        open("Loop");
        value("LoopStart", "0");
        value("LoopEnd", std::to_string(length));
        value("LoopOn", "false");
        close("Loop");
        value("Name", "Clip " + id());
        value("Color", std::to_string(below(70)));
        open("Envelopes");
        close("Envelopes");
        open("Notes");
        open("KeyTracks");
        int keys = 2 + below(6);
        for (int k = 0; k < keys; ++k) {
            open("KeyTrack", " Id=\"" + std::to_string(k) + "\"");
            open("Notes");
            int notes = 8 + below(40);
            for (int n = 0; n < notes; ++n) {
                empty("MidiNoteEvent", " Time=\"" + std::to_string(n * 0.25) + "\" Duration=\"0.25\" Velocity=\"" +
                                           std::to_string(60 + below(60)) +
                                           "\" VelocityDeviation=\"0\" OffVelocity=\"64\" Probability=\"1\" "
                                           "IsEnabled=\"true\" NoteId=\"" +
                                           id() + "\"");
            }
            close("Notes");
            value("MidiKey", std::to_string(36 + k));
            close("KeyTrack");
        }
        close("KeyTracks");
        close("Notes");
        close("MidiClip");
    }

    void audioClip(double time, double length) {
        open("AudioClip", " Id=\"" + id() + "\" Time=\"" + std::to_string(time) + "\"");
        value("LomId", "0");
        value("CurrentStart", std::to_string(time));
        value("CurrentEnd", std::to_string(time + length));
        open("Loop");
        value("LoopStart", "0");
        value("LoopEnd", std::to_string(length));
        close("Loop");
        value("Name", "Audio " + id());
        open("WarpMarkers");
        for (int i = 0; i < 12; ++i) {
            empty("WarpMarker", " Id=\"" + std::to_string(i) + "\" SecTime=\"" + number() + "\" BeatTime=\"" +
                                    std::to_string(i * 4) + "\"");
        }
        close("WarpMarkers");
        open("SampleRef");
        open("FileRef");
        value("RelativePath", "Samples/Recorded/take " + id() + ".wav");
        value("Type", "1");
        close("FileRef");
        value("DefaultDuration", std::to_string(100000 + below(900000)));
        close("SampleRef");
        value("SampleVolume", number());
        close("AudioClip");
    }

    void track(int index) {
        const bool audio = below(3) == 0;
        const std::string kind = audio ? "AudioTrack" : "MidiTrack";
        open(kind, " Id=\"" + id() + "\"");
        value("LomId", "0");
        open("Name");
        value("EffectiveName", kTrackNames[index % 12]);
        value("UserName", below(2) ? std::string(kTrackNames[index % 12]) + " " + std::to_string(index) : "");
        value("Annotation", "");
        close("Name");
        value("Color", std::to_string(below(70)));
        open("DeviceChain");
        open("Mixer");
        for (const char* p : {"Volume", "Pan", "Speaker", "CrossFadeState", "SplitStereoPanL", "SplitStereoPanR"}) {
            parameter(p, below(4) == 0);
        }
        close("Mixer");
        open("MainSequencer");
        open("ClipSlotList");
        for (int s = 0; s < 8; ++s) {
            open("ClipSlot", " Id=\"" + std::to_string(s) + "\"");
            open("ClipSlot");
            open("Value");
            if (below(3) == 0) audio ? audioClip(0, 16) : midiClip(0, 16);
            close("Value");
            close("ClipSlot");
            close("ClipSlot");
        }
        close("ClipSlotList");
        open(audio ? "Sample" : "ClipTimeable");
        open("ArrangerAutomation");
        open("Events");
        int clips = 4 + below(12);
        for (int c = 0; c < clips; ++c) audio ? audioClip(c * 32.0, 32) : midiClip(c * 32.0, 32);
        close("Events");
        close("ArrangerAutomation");
        close(audio ? "Sample" : "ClipTimeable");
        close("MainSequencer");
        open("DeviceChain");
        open("Devices");
        int devices = 2 + below(5);
        for (int d = 0; d < devices; ++d) device(kDevices[below(12)]);
        close("Devices");
        close("DeviceChain");
        close("DeviceChain");
        close(kind);
    }

private:
    void indent() { out_.append(static_cast<std::size_t>(depth_), '\t'); }

    std::mt19937 random_;
    std::string out_;
    int depth_ = 0;
    unsigned long long nextId_ = 1;
};

}  // namespace

std::string liveSetDocument(std::uint32_t seed, std::size_t targetBytes) {
    Writer w(seed);
    std::string head =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ableton MajorVersion=\"5\" MinorVersion=\"12.0_12120\" "
        "SchemaChangeCount=\"3\" Creator=\"Ableton Live 12.1.5\" Revision=\"0\">\n";
    std::string body;
    {
        w.open("LiveSet");
        w.open("Tracks");
        for (int i = 0; w.size() + head.size() < targetBytes; ++i) w.track(i);
        w.close("Tracks");
        w.open("MainTrack");
        w.open("DeviceChain");
        w.open("Mixer");
        w.parameter("Tempo", false);
        w.close("Mixer");
        w.close("DeviceChain");
        w.close("MainTrack");
        w.open("Locators");
        w.open("Locators");
        for (int i = 0; i < 6; ++i) {
            w.open("Locator", " Id=\"" + std::to_string(i) + "\"");
            w.value("Time", std::to_string(i * 64));
            w.value("Name", "Section " + std::to_string(i + 1));
            w.close("Locator");
        }
        w.close("Locators");
        w.close("Locators");
        w.close("LiveSet");
        body = w.take();
    }
    return head + body + "</Ableton>\n";
}

std::string gzipped(const std::string& bytes, int level) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
    std::string out(deflateBound(&z, bytes.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int status = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (status != Z_STREAM_END) throw std::runtime_error("deflate");
    return out;
}

std::vector<CorpusFile> ensureCorpus(const std::filesystem::path& folder, int count, std::size_t minBytes,
                                     std::size_t maxBytes, unsigned threads) {
    namespace fs = std::filesystem;
    const fs::path manifest = folder / "manifest.txt";
    const std::string header = std::to_string(count) + " " + std::to_string(minBytes) + " " + std::to_string(maxBytes);
    std::vector<CorpusFile> files(static_cast<std::size_t>(count));
    {
        std::ifstream in(manifest);
        std::string line;
        if (std::getline(in, line) && line == header) {
            std::size_t i = 0;
            std::string name;
            std::uint64_t bytes = 0;
            while (i < files.size() && in >> name >> bytes) files[i++] = {folder / name, bytes};
            if (i == files.size()) return files;
        }
    }
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i = next++; i < count; i = next++) {
            std::mt19937 sizes(static_cast<std::uint32_t>(i) * 7919u + 1);
            std::size_t target = std::uniform_int_distribution<std::size_t>(minBytes, maxBytes)(sizes);
            std::string xml = liveSetDocument(static_cast<std::uint32_t>(i) + 1, target);
            char name[32];
            std::snprintf(name, sizeof name, "Set-%03d.als", i + 1);
            std::ofstream(folder / name, std::ios::binary) << gzipped(xml, Z_DEFAULT_COMPRESSION);
            files[static_cast<std::size_t>(i)] = {folder / name, xml.size()};
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < std::max(1u, threads); ++t) pool.emplace_back(work);
    for (auto& t : pool) t.join();
    std::ofstream out(manifest);
    out << header << "\n";
    for (const auto& f : files) out << f.path.filename().string() << " " << f.inflatedBytes << "\n";
    return files;
}

std::filesystem::path corpusRoot() {
    if (const char* build = std::getenv("VANTOREL_BUILD_DIR")) return std::filesystem::path(build) / "bench-data";
    return std::filesystem::temp_directory_path() / "vantorel-bench-data";
}

}  // namespace vantorel::bench
