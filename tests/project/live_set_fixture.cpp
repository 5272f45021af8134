#include "project/live_set_fixture.h"

#include "support/temp_home.h"

#include <zlib.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace vantorel::testing {

namespace {

std::string number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

std::string escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string nameBlock(std::string_view effective, std::string_view user) {
    return "<Name><EffectiveName Value=\"" + escaped(effective) + "\" /><UserName Value=\"" + escaped(user) +
           "\" /><Annotation Value=\"\" /><MemorizedFirstClipName Value=\"\" /></Name>";
}

std::string clipXml(const FixtureClip& clip, bool audio) {
    std::string element = audio ? "AudioClip" : "MidiClip";
    return "<" + element + " Id=\"0\" Time=\"" + number(clip.time) + "\"><LomId Value=\"0\" /><CurrentStart Value=\"" +
           number(clip.time) + "\" /><CurrentEnd Value=\"" + number(clip.end) +
           "\" /><Loop><LoopStart Value=\"0\" /><LoopEnd Value=\"" + number(clip.end - clip.time) +
           "\" /></Loop><Name Value=\"Clip\" /><Envelopes><Envelopes /></Envelopes></" + element + ">";
}

std::string volumeWithDefaultEvent() {
    return "<Volume><LomId Value=\"0\" /><Manual Value=\"1\" /><AutomationTarget Id=\"1\"><LockEnvelope Value=\"0\" />"
           "</AutomationTarget><ArrangerAutomation><Events><FloatEvent Id=\"1\" Time=\"-63072000\" Value=\"1\" />"
           "</Events></ArrangerAutomation></Volume>";
}

std::string trackXml(const FixtureTrack& track, int id) {
    using Place = FixtureClip::Place;
    const bool audio = track.kind == "AudioTrack";
    std::ostringstream out;
    out << "<" << track.kind << " Id=\"" << id << "\"><LomId Value=\"0\" /><IsContentSelectedInDocument Value=\"false\" />"
        << nameBlock(track.effectiveName, track.userName) << "<Color Value=\"3\" />";
    out << "<AutomationEnvelopes><Envelopes>";
    out << "<AutomationEnvelope Id=\"0\"><EnvelopeTarget><PointeeId Value=\"1\" /></EnvelopeTarget><Automation><Events>"
        << "<FloatEvent Id=\"2\" Time=\"-63072000\" Value=\"1\" />";
    for (double time : track.automation) out << "<FloatEvent Id=\"3\" Time=\"" << number(time) << "\" Value=\"0.5\" />";
    out << "</Events></Automation></AutomationEnvelope></Envelopes></AutomationEnvelopes>";
    out << "<TrackGroupId Value=\"-1\" /><DeviceChain><AutomationLanes><AutomationLanes /></AutomationLanes>"
        << "<Mixer><LomId Value=\"0\" />" << volumeWithDefaultEvent() << "</Mixer>";

    out << "<MainSequencer><LomId Value=\"0\" /><ClipSlotList>";
    int slot = 0;
    for (const auto& clip : track.clips) {
        if (clip.place != Place::session) continue;
        out << "<ClipSlot Id=\"" << slot++ << "\"><LomId Value=\"0\" /><ClipSlot><Value>" << clipXml(clip, audio)
            << "</Value></ClipSlot><HasStop Value=\"true\" /></ClipSlot>";
    }
    out << "</ClipSlotList><MonitoringEnum Value=\"1\" />";
    out << (audio ? "<Sample>" : "<ClipTimeable>") << "<ArrangerAutomation><Events>";
    for (const auto& clip : track.clips) {
        if (clip.place == Place::arrangement) out << clipXml(clip, audio);
    }
    out << "</Events></ArrangerAutomation>" << (audio ? "</Sample>" : "</ClipTimeable>");
    out << "<VolumeModulationTarget Id=\"9\"><LockEnvelope Value=\"0\" /></VolumeModulationTarget></MainSequencer>";

    out << "<FreezeSequencer><ClipSlotList>";
    for (const auto& clip : track.clips) {
        if (clip.place == Place::freeze) {
            out << "<ClipSlot Id=\"0\"><ClipSlot><Value>" << clipXml(clip, true) << "</Value></ClipSlot></ClipSlot>";
        }
    }
    out << "</ClipSlotList><Sample><ArrangerAutomation><Events>";
    for (const auto& clip : track.clips) {
        if (clip.place == Place::freeze) out << clipXml(clip, true);
    }
    out << "</Events></ArrangerAutomation></Sample></FreezeSequencer>";

    out << "<DeviceChain><Devices>";
    for (const auto& d : track.devices) out << d;
    out << "</Devices><SignalModulations /></DeviceChain></DeviceChain>";

    out << "<TakeLanes><TakeLanes>";
    for (const auto& clip : track.clips) {
        if (clip.place == Place::takeLane) {
            out << "<TakeLane Id=\"0\">" << nameBlock("", "Take 1") << "<ClipAutomation><Events>" << clipXml(clip, audio)
                << "</Events></ClipAutomation></TakeLane>";
        }
    }
    out << "</TakeLanes><AreTakeLanesFolded Value=\"true\" /></TakeLanes>";
    out << "</" << track.kind << ">";
    return out.str();
}

}  // namespace

std::string device(std::string_view element) {
    std::string e(element);
    return "<" + e + " Id=\"0\"><LomId Value=\"0\" /><On><Manual Value=\"true\" /><ArrangerAutomation><Events>"
           "<BoolEvent Id=\"0\" Time=\"-63072000\" Value=\"true\" /></Events></ArrangerAutomation></On>"
           "<Gain><Manual Value=\"0\" /><ArrangerAutomation><Events><FloatEvent Id=\"0\" Time=\"-63072000\" "
           "Value=\"0\" /></Events></ArrangerAutomation></Gain></" +
           e + ">";
}

std::string drumRack(const std::vector<std::string>& pads) {
    std::ostringstream out;
    out << "<DrumGroupDevice Id=\"0\"><LomId Value=\"0\" /><Branches>";
    int note = 36;
    for (const auto& pad : pads) {
        out << "<DrumBranch Id=\"0\"><LomId Value=\"0\" />" << nameBlock(pad, "")
            << "<DeviceChain><MidiToAudioDeviceChain Id=\"0\"><Devices>" << device("OriginalSimpler")
            << "</Devices></MidiToAudioDeviceChain></DeviceChain><BranchInfo><ReceivingNote Value=\"" << note++
            << "\" /></BranchInfo></DrumBranch>";
    }
    out << "</Branches></DrumGroupDevice>";
    return out.str();
}

std::string effectRack(const std::vector<std::string>& chains, const std::vector<std::string>& devicesPerChain) {
    std::ostringstream out;
    out << "<AudioEffectGroupDevice Id=\"0\"><LomId Value=\"0\" /><Branches>";
    for (const auto& chain : chains) {
        out << "<AudioEffectBranch Id=\"0\">" << nameBlock(chain, chain)
            << "<DeviceChain><AudioToAudioDeviceChain Id=\"0\"><Devices>";
        for (const auto& d : devicesPerChain) out << device(d);
        out << "</Devices></AudioToAudioDeviceChain></DeviceChain></AudioEffectBranch>";
    }
    out << "</Branches></AudioEffectGroupDevice>";
    return out.str();
}

std::string liveSetXml(const FixtureSet& set) {
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ableton";
    if (set.majorVersion) out << " MajorVersion=\"" << *set.majorVersion << "\"";
    if (set.minorVersion) out << " MinorVersion=\"" << *set.minorVersion << "\"";
    out << " SchemaChangeCount=\"3\" Creator=\"" << escaped(set.creator) << "\" Revision=\"0\">\n<LiveSet>";
    out << "<NextPointeeId Value=\"100\" /><OverwriteProtectionNumber Value=\"2819\" /><LomId Value=\"0\" /><Tracks>";
    int id = 1;
    for (const auto& track : set.tracks) out << trackXml(track, id++) << "\n";
    out << "</Tracks><" << set.masterElement << "><LomId Value=\"0\" />" << nameBlock("Main", "")
        << "<DeviceChain><Mixer>" << volumeWithDefaultEvent() << "<Tempo><LomId Value=\"0\" />";
    if (set.tempo) out << "<Manual Value=\"" << *set.tempo << "\" />";
    out << "<AutomationTarget Id=\"8\"><LockEnvelope Value=\"0\" /></AutomationTarget><MidiControllerRange>"
        << "<Min Value=\"60\" /><Max Value=\"200\" /></MidiControllerRange></Tempo></Mixer>"
        << "<DeviceChain><Devices>" << device("Limiter") << "</Devices></DeviceChain></DeviceChain></"
        << set.masterElement << ">";
    out << "<PreHearTrack><DeviceChain><Mixer>" << volumeWithDefaultEvent() << "</Mixer></DeviceChain></PreHearTrack>";
    out << "<Scenes>";
    for (const auto& tempo : set.sceneTempos) {
        out << "<Scene Id=\"0\"><Name Value=\"\" /><Tempo Value=\"" << tempo << "\" /><IsTempoEnabled Value=\"true\" /></Scene>";
    }
    out << "</Scenes><Transport><PhaseNudgeTempo Value=\"10\" /></Transport><Locators><Locators>";
    for (int i = 0; i < set.locators; ++i) {
        out << "<Locator Id=\"" << i << "\"><LomId Value=\"0\" /><Time Value=\"" << i * 64 << "\" /><Name Value=\"Part "
            << i + 1 << "\" /><Annotation Value=\"\" /><IsSongStart Value=\"false\" /></Locator>";
    }
    out << "</Locators></Locators></LiveSet>\n</Ableton>\n";
    return out.str();
}

std::string gzipped(std::string_view bytes) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&z, bytes.size()) + 64, '\0');
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

void writeLiveSet(const std::filesystem::path& path, const FixtureSet& set) {
    writeText(path, gzipped(liveSetXml(set)));
}

FixtureSet simpleSet(std::string_view trackName) {
    FixtureSet set;
    FixtureTrack track;
    track.userName = std::string(trackName);
    track.devices = {device("Operator")};
    track.clips = {{0, 16, FixtureClip::Place::arrangement}};
    set.tracks = {track};
    return set;
}

}  // namespace vantorel::testing
