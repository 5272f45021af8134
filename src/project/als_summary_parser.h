// ALSXMLSummaryParser: the facts of one Live Set, read from its XML in one
// streaming pass (expat), never building a document tree.
//
// Feed the inflated document in pieces of any size, then call finish(). Only a
// few counters and depths are kept, so memory does not grow with the
// document; expat's own memory is capped (maximumParserMemory), which bounds a
// hostile document's huge attribute values, names and nesting. External
// entities are never resolved.
//
// What it reads, with the shape real Live 9–12 sets have:
// - the root `Ableton` element's `Creator`, `MajorVersion` and `MinorVersion`;
// - the tempo: the first `Manual` `Value` inside a `Tempo` element (the
//   master's `…/Mixer/Tempo/Manual`);
// - every `AudioTrack`, `MidiTrack` and `GroupTrack` (return and master
//   tracks are not counted) with
//   - its name from its own `Name` element, the direct child of the track:
//     `UserName`, else `EffectiveName`, else "Piste " + position. Rack
//     branches and drum pads inside the devices carry `Name` elements of their
//     own; they never name the track;
//   - its devices: the children of the outermost `Devices` element of the
//     track, its own chain (a rack counts as one device, whatever it nests);
//   - its clips (`AudioClip`, `MidiClip`), session and arrangement alike, with
//     `Time` as start and the largest `CurrentEnd` as end. Clips under
//     `FreezeSequencer` are renders of a frozen track, not the producer's
//     clips, and count nowhere;
//   - whether it holds an automation event (`FloatEvent`) at a time ≥ 0;
// - the arrangement length: the latest end of the arrangement clips, those
//   directly in an `ArrangerAutomation`'s `Events` under the track's
//   `DeviceChain/MainSequencer`. Session slots' `CurrentEnd` is a loop length
//   and take lanes hold alternative takes; neither lengthens the arrangement;
// - every `Locator`.
// Numbers are read as whole attribute values in C-locale decimal notation;
// anything else (white space, trailing characters, "inf", hex) is unreadable.
#pragma once

#include "project/als_project.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

namespace vantorel {

class ALSXMLSummaryParser {
public:
    static constexpr std::size_t maximumParserMemory = std::size_t{16} << 20;  // 16 MiB

    ALSXMLSummaryParser();
    ~ALSXMLSummaryParser();
    ALSXMLSummaryParser(const ALSXMLSummaryParser&) = delete;
    ALSXMLSummaryParser& operator=(const ALSXMLSummaryParser&) = delete;

    // Parses the next piece. False once the document is known to be
    // malformed (or over the memory cap); later calls do nothing.
    bool feed(std::string_view bytes);
    // A buffer of `size` bytes inside the parser to inflate into, then hand to
    // feedBuffer(): saves copying each piece. Null when the parser has failed.
    char* buffer(std::size_t size);
    bool feedBuffer(std::size_t length);
    // Ends the document. False when it is malformed or incomplete.
    bool finish();

    bool failed() const;
    // The facts read so far (complete after a successful finish()).
    const ALSDocumentFacts& facts() const;

    // Parses a whole document held in memory; nothing when it is malformed.
    static std::optional<ALSDocumentFacts> parseDocument(std::string_view xml);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads one number the way the parser does; nothing when unreadable.
std::optional<double> readDecimal(std::string_view text);

}  // namespace vantorel
