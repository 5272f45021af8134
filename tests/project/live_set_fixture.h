// Live Sets written by the tests, shaped like the documents Live 10–12 saves:
// tracks in LiveSet/Tracks with their own Name, the chain's devices in
// DeviceChain/DeviceChain/Devices (racks nesting branches with names and
// device lists of their own), session clips in ClipSlotList, arrangement clips
// in MainSequencer/…/ArrangerAutomation/Events, take lanes, frozen renders in
// FreezeSequencer, the tempo under the master's Mixer/Tempo/Manual and
// locators in Locators/Locators.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::testing {

struct FixtureClip {
    enum class Place { session, arrangement, takeLane, freeze };
    double time = 0;
    double end = 16;
    Place place = Place::arrangement;
};

struct FixtureTrack {
    std::string kind = "MidiTrack";  // AudioTrack, MidiTrack, GroupTrack, ReturnTrack
    std::string userName;
    std::string effectiveName;
    // Raw XML of each device of the track's own chain (see the helpers below).
    std::vector<std::string> devices;
    std::vector<FixtureClip> clips;
    // Times of automation events in the track's envelopes; Live also writes
    // a default event at -63072000 for every envelope, always included.
    std::vector<double> automation;
};

struct FixtureSet {
    std::string creator = "Ableton Live 12.1.5";
    std::optional<std::string> majorVersion = "5";
    std::optional<std::string> minorVersion = "12.0_12120";
    std::optional<std::string> tempo = "120";  // the master's Tempo/Manual Value
    std::string masterElement = "MainTrack";  // "MasterTrack" up to Live 11
    std::vector<FixtureTrack> tracks;
    int locators = 0;
    std::vector<std::string> sceneTempos;  // Live 12 writes one Tempo per scene
};

// A plain device with a parameter automated at -63072000.
std::string device(std::string_view element);
// A drum rack whose pads are branches named after their samples, each with a
// Simpler inside.
std::string drumRack(const std::vector<std::string>& pads);
// An audio effect rack with named chains, each holding the given devices.
std::string effectRack(const std::vector<std::string>& chains, const std::vector<std::string>& devicesPerChain);

std::string liveSetXml(const FixtureSet& set);
std::string gzipped(std::string_view bytes);
// Writes the set gzip-compressed, as Live does.
void writeLiveSet(const std::filesystem::path& path, const FixtureSet& set);

// A small set that grades as stage 2 ("Groove").
FixtureSet simpleSet(std::string_view trackName = "Kick");

}  // namespace vantorel::testing
