#include "project/als_summary_parser.h"

// Debian's libexpat is built with DTD support; its header declares the
// entity-amplification guard only when told so.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace vantorel {

namespace {

// Live Sets use no entities at all. Expat's amplification guard is tightened
// well below its defaults so a document made of entity references is stopped
// after a little work rather than after a hundredfold blow-up.
constexpr float kMaximumEntityAmplification = 4.0f;
constexpr unsigned long long kEntityGuardThreshold = 1u << 20;

// ---- expat's memory, counted per parser ------------------------------------
//
// Expat buffers a whole token before reporting it, so a start tag with a
// gigabyte attribute would be held whole. Every allocation of a parser is
// charged to its budget; past the cap the allocation fails and expat stops
// with "out of memory", which reads as malformed XML. Expat's allocator
// functions take no context, so the budget being created or fed is passed
// through a thread-local for the duration of each call, and every block
// remembers its owner for free and realloc.

struct Budget {
    std::size_t used = 0;
    std::size_t limit = 0;
};

thread_local Budget* activeBudget = nullptr;

struct alignas(16) BlockHeader {
    Budget* owner;
    std::size_t size;
};

void* budgetMalloc(std::size_t size) {
    Budget* budget = activeBudget;
    if (budget == nullptr || size > budget->limit - budget->used) return nullptr;
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (header == nullptr) return nullptr;
    header->owner = budget;
    header->size = size;
    budget->used += size;
    return header + 1;
}

void budgetFree(void* pointer) {
    if (pointer == nullptr) return;
    BlockHeader* header = static_cast<BlockHeader*>(pointer) - 1;
    header->owner->used -= header->size;
    std::free(header);
}

void* budgetRealloc(void* pointer, std::size_t size) {
    if (pointer == nullptr) return budgetMalloc(size);
    BlockHeader* header = static_cast<BlockHeader*>(pointer) - 1;
    Budget* budget = header->owner;
    const std::size_t old = header->size;
    if (size > old && size - old > budget->limit - budget->used) return nullptr;
    auto* moved = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + size));
    if (moved == nullptr) return nullptr;
    budget->used = budget->used - old + size;
    moved->size = size;
    return moved + 1;
}

const XML_Memory_Handling_Suite kBudgetSuite = {budgetMalloc, budgetRealloc, budgetFree};

struct BudgetScope {
    Budget* saved;
    explicit BudgetScope(Budget* budget) : saved(activeBudget) { activeBudget = budget; }
    ~BudgetScope() { activeBudget = saved; }
};

// ---- element names -----------------------------------------------------------

enum Kind : unsigned char {
    kOther,
    kAbleton,
    kTempo,
    kManual,
    kAudioTrack,
    kMidiTrack,
    kGroupTrack,
    kLocator,
    kName,
    kUserName,
    kEffectiveName,
    kDevices,
    kAudioClip,
    kMidiClip,
    kCurrentEnd,
    kFloatEvent,
    kDeviceChain,
    kMainSequencer,
    kFreezeSequencer,
    kArrangerAutomation,
    kEvents,
};

// Called for every element of documents of millions of elements: a length
// switch and one comparison or two, never a string.
Kind classify(const char* name) {
    auto is = [name](const char* candidate, std::size_t length) { return std::memcmp(name, candidate, length) == 0; };
    switch (std::strlen(name)) {
        case 4: return is("Name", 4) ? kName : kOther;
        case 5: return is("Tempo", 5) ? kTempo : kOther;
        case 6: return is("Manual", 6) ? kManual : is("Events", 6) ? kEvents : kOther;
        case 7: return is("Devices", 7) ? kDevices : is("Locator", 7) ? kLocator : is("Ableton", 7) ? kAbleton : kOther;
        case 8: return is("MidiClip", 8) ? kMidiClip : is("UserName", 8) ? kUserName : kOther;
        case 9: return is("AudioClip", 9) ? kAudioClip : is("MidiTrack", 9) ? kMidiTrack : kOther;
        case 10:
            return is("FloatEvent", 10)   ? kFloatEvent
                   : is("CurrentEnd", 10) ? kCurrentEnd
                   : is("AudioTrack", 10) ? kAudioTrack
                   : is("GroupTrack", 10) ? kGroupTrack
                                          : kOther;
        case 11: return is("DeviceChain", 11) ? kDeviceChain : kOther;
        case 13: return is("MainSequencer", 13) ? kMainSequencer : is("EffectiveName", 13) ? kEffectiveName : kOther;
        case 15: return is("FreezeSequencer", 15) ? kFreezeSequencer : kOther;
        case 18: return is("ArrangerAutomation", 18) ? kArrangerAutomation : kOther;
        default: return kOther;
    }
}

bool isTrack(Kind kind) { return kind == kAudioTrack || kind == kMidiTrack || kind == kGroupTrack; }
bool isClip(Kind kind) { return kind == kAudioClip || kind == kMidiClip; }

const char* attribute(const XML_Char** attributes, const char* name) {
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
        if (std::strcmp(a[0], name) == 0) return a[1];
    }
    return nullptr;
}

std::optional<double> numberAttribute(const XML_Char** attributes, const char* name) {
    const char* value = attribute(attributes, name);
    if (value == nullptr) return std::nullopt;
    return readDecimal(value);
}

}  // namespace

std::optional<double> readDecimal(std::string_view text) {
    // [+-]? (digits [. digits*] | . digits) ([eE] [+-]? digits)?
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto digits = [&] {
        std::size_t start = i;
        while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
        return i - start;
    };
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t mantissaStart = i;
    std::size_t whole = digits();
    std::size_t fraction = 0;
    if (i < n && text[i] == '.') {
        ++i;
        fraction = digits();
    }
    if (whole + fraction == 0) return std::nullopt;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() == 0) return std::nullopt;
    }
    if (i != n) return std::nullopt;
    double value = 0;
    const char* begin = text.data() + mantissaStart;
    auto [end, error] = std::from_chars(begin, text.data() + n, value);
    if (error != std::errc() || end != text.data() + n || !std::isfinite(value)) return std::nullopt;
    return negative ? -value : value;
}

struct ALSXMLSummaryParser::State {
    Budget budget{0, maximumParserMemory};
    XML_Parser parser = nullptr;
    bool failed = false;

    ALSDocumentFacts facts;
    int depth = 0;
    std::vector<Kind> kinds;  // kinds[d - 1]: the element open at depth d
    int tempoDepth = 0;       // 0: none open

    // The open track.
    int trackDepth = 0;
    std::string userName, effectiveName;
    int trackClips = 0, trackDevices = 0;
    bool trackAutomated = false;
    int nameDepth = 0;         // the track's own Name
    int devicesDepth = 0;      // the track's outermost Devices
    int chainDepth = 0;        // the track's own DeviceChain
    int mainSequencerDepth = 0;
    int freezeDepth = 0;

    // The open clip.
    int clipDepth = 0;
    double clipStart = 0, clipEnd = 0;
    bool clipInArrangement = false;

    Kind parentKind(int levelsUp) const {
        int index = depth - 1 - levelsUp;
        return index >= 0 ? kinds[static_cast<std::size_t>(index)] : kOther;
    }

    void start(const char* name, const XML_Char** attributes) {
        ++depth;
        const Kind kind = classify(name);
        kinds.push_back(kind);
        switch (kind) {
            case kAbleton: {
                const char* creator = attribute(attributes, "Creator");
                facts.creator = creator ? creator : "";
                const char* major = attribute(attributes, "MajorVersion");
                const char* minor = attribute(attributes, "MinorVersion");
                facts.schemaVersion.clear();
                if (major) facts.schemaVersion = major;
                if (minor) {
                    if (major) facts.schemaVersion += '.';
                    facts.schemaVersion += minor;
                }
                break;
            }
            case kTempo: tempoDepth = depth; break;
            case kManual:
                if (tempoDepth != 0 && !facts.tempo) facts.tempo = numberAttribute(attributes, "Value");
                break;
            default: break;
        }
        if (isTrack(kind) && trackDepth == 0) {
            trackDepth = depth;
            userName.clear();
            effectiveName.clear();
            trackClips = trackDevices = 0;
            trackAutomated = false;
            return;
        }
        if (trackDepth == 0) {
            if (kind == kLocator) ++facts.locatorCount;
            return;
        }
        insideTrack(kind, attributes);
    }

    void insideTrack(Kind kind, const XML_Char** attributes) {
        if (devicesDepth != 0 && depth == devicesDepth + 1) ++trackDevices;
        if (nameDepth != 0 && depth == nameDepth + 1 && (kind == kUserName || kind == kEffectiveName)) {
            const char* value = attribute(attributes, "Value");
            if (value != nullptr && value[0] != '\0') (kind == kUserName ? userName : effectiveName) = value;
        }
        switch (kind) {
            case kName:
                if (depth == trackDepth + 1) nameDepth = depth;
                break;
            case kDevices:
                if (devicesDepth == 0) devicesDepth = depth;
                break;
            case kDeviceChain:
                if (depth == trackDepth + 1) chainDepth = depth;
                break;
            case kMainSequencer:
                if (chainDepth != 0 && depth == chainDepth + 1) mainSequencerDepth = depth;
                break;
            case kFreezeSequencer:
                if (freezeDepth == 0) freezeDepth = depth;
                break;
            case kAudioClip:
            case kMidiClip: {
                if (freezeDepth != 0) break;
                clipDepth = depth;
                clipStart = clipEnd = numberAttribute(attributes, "Time").value_or(0);
                clipInArrangement = mainSequencerDepth != 0 && parentKind(1) == kEvents &&
                                    parentKind(2) == kArrangerAutomation;
                ++trackClips;
                ++facts.clipCount;
                break;
            }
            case kCurrentEnd:
                if (clipDepth != 0) {
                    if (auto end = numberAttribute(attributes, "Value")) clipEnd = std::max(clipEnd, *end);
                }
                break;
            case kFloatEvent:
                if (auto time = numberAttribute(attributes, "Time"); time && *time >= 0) trackAutomated = true;
                break;
            case kLocator: ++facts.locatorCount; break;
            default: break;
        }
    }

    void end() {
        const Kind kind = kinds.back();
        if (clipDepth == depth && isClip(kind)) {
            // Extreme values can overflow to infinity; they would not survive
            // a round trip through JSON, so they count for nothing.
            const double length = std::max(clipEnd - clipStart, 0.0);
            if (std::isfinite(length)) facts.longestClipBeats = std::max(facts.longestClipBeats, length);
            if (clipInArrangement) facts.arrangementLengthBeats = std::max(facts.arrangementLengthBeats, clipEnd);
            clipDepth = 0;
        }
        if (trackDepth == depth && isTrack(kind)) {
            std::string name = !userName.empty()        ? userName
                               : !effectiveName.empty() ? effectiveName
                                                        : "Piste " + std::to_string(facts.tracks.size() + 1);
            facts.tracks.push_back({std::move(name), trackClips, trackDevices, trackAutomated});
            trackDepth = nameDepth = devicesDepth = chainDepth = mainSequencerDepth = freezeDepth = tempoDepth = 0;
        }
        for (int* marker : {&nameDepth, &devicesDepth, &tempoDepth, &chainDepth, &mainSequencerDepth, &freezeDepth}) {
            if (*marker == depth) *marker = 0;
        }
        kinds.pop_back();
        --depth;
    }

    static void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attributes) {
        static_cast<State*>(data)->start(name, attributes);
    }
    static void XMLCALL onEnd(void* data, const XML_Char*) { static_cast<State*>(data)->end(); }

    bool check(XML_Status status) {
        if (status != XML_STATUS_OK) failed = true;
        return !failed;
    }
};

ALSXMLSummaryParser::ALSXMLSummaryParser() : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.kinds.reserve(64);
    BudgetScope scope(&s.budget);
    s.parser = XML_ParserCreate_MM(nullptr, &kBudgetSuite, nullptr);
    if (s.parser == nullptr) {
        s.failed = true;
        return;
    }
    XML_SetUserData(s.parser, &s);
    XML_SetElementHandler(s.parser, State::onStart, State::onEnd);
    XML_SetParamEntityParsing(s.parser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(s.parser, kMaximumEntityAmplification);
    XML_SetBillionLaughsAttackProtectionActivationThreshold(s.parser, kEntityGuardThreshold);
}

ALSXMLSummaryParser::~ALSXMLSummaryParser() {
    if (state_->parser != nullptr) {
        BudgetScope scope(&state_->budget);
        XML_ParserFree(state_->parser);
    }
}

bool ALSXMLSummaryParser::feed(std::string_view bytes) {
    State& s = *state_;
    BudgetScope scope(&s.budget);
    while (!s.failed && !bytes.empty()) {
        std::size_t piece = std::min<std::size_t>(bytes.size(), 1u << 30);
        s.check(XML_Parse(s.parser, bytes.data(), static_cast<int>(piece), XML_FALSE));
        bytes.remove_prefix(piece);
    }
    return !s.failed;
}

char* ALSXMLSummaryParser::buffer(std::size_t size) {
    State& s = *state_;
    if (s.failed || size > static_cast<std::size_t>(std::numeric_limits<int>::max())) return nullptr;
    BudgetScope scope(&s.budget);
    void* buffer = XML_GetBuffer(s.parser, static_cast<int>(size));
    if (buffer == nullptr) s.failed = true;
    return static_cast<char*>(buffer);
}

bool ALSXMLSummaryParser::feedBuffer(std::size_t length) {
    State& s = *state_;
    if (s.failed) return false;
    BudgetScope scope(&s.budget);
    return s.check(XML_ParseBuffer(s.parser, static_cast<int>(length), XML_FALSE));
}

bool ALSXMLSummaryParser::finish() {
    State& s = *state_;
    if (s.failed) return false;
    BudgetScope scope(&s.budget);
    return s.check(XML_Parse(s.parser, nullptr, 0, XML_TRUE));
}

bool ALSXMLSummaryParser::failed() const { return state_->failed; }

const ALSDocumentFacts& ALSXMLSummaryParser::facts() const { return state_->facts; }

std::optional<ALSDocumentFacts> ALSXMLSummaryParser::parseDocument(std::string_view xml) {
    ALSXMLSummaryParser parser;
    if (!parser.feed(xml) || !parser.finish()) return std::nullopt;
    return parser.facts();
}

}  // namespace vantorel
