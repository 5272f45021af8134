#include "planning/pattern_generators.h"

#include <array>

namespace vantorel::SafeActionPlanner {

namespace {

constexpr int kick = 36;
constexpr int closedHat = 42;
constexpr int clap = 39;
constexpr int openHat = 46;

struct Chord {
    int offset;
    std::array<int, 3> intervals;
};

constexpr std::array<Chord, 4> minorProgression = {{{0, {0, 3, 7}}, {8, {0, 4, 7}}, {3, {0, 4, 7}}, {10, {0, 4, 7}}}};
constexpr std::array<Chord, 4> majorProgression = {{{0, {0, 4, 7}}, {5, {0, 4, 7}}, {9, {0, 3, 7}}, {7, {0, 4, 7}}}};

}  // namespace

std::vector<SafeMidiNote> drumPattern(int bars) {
    std::vector<SafeMidiNote> notes;
    if (bars <= 0) return notes;
    notes.reserve(static_cast<std::size_t>(bars) * 11);
    for (int b = 0; b < bars; ++b) {
        double t = 4.0 * b;
        notes.emplace_back(kick, t, 0.18, 118);
        notes.emplace_back(closedHat, t + 0.5, 0.12, 84);
        notes.emplace_back(kick, t + 1, 0.18, 108);
        notes.emplace_back(closedHat, t + 1.5, 0.12, 76);
        notes.emplace_back(kick, t + 2, 0.18, 108);
        notes.emplace_back(closedHat, t + 2.5, 0.12, 84);
        notes.emplace_back(kick, t + 3, 0.18, 108);
        notes.emplace_back(closedHat, t + 3.5, 0.12, 76);
        notes.emplace_back(clap, t + 1, 0.16, 104);
        notes.emplace_back(clap, t + 3, 0.16, 110);
        notes.emplace_back(openHat, t + 3.5, 0.2, 72, 0.72);
    }
    return notes;
}

std::vector<SafeMidiNote> bassPattern(int bars, int rootPitch, bool rolling) {
    std::vector<SafeMidiNote> notes;
    if (bars <= 0) return notes;
    notes.reserve(static_cast<std::size_t>(bars) * (rolling ? 5 : 4));
    const int r = rootPitch;
    for (int b = 0; b < bars; ++b) {
        double t = 4.0 * b;
        // The bar's last note climbs a minor third every other bar, so a
        // two-bar phrase answers itself.
        int last = (b % 2 == 1) ? r + 3 : r;
        if (rolling) {
            notes.emplace_back(r, t + 0.5, 0.22, 108);
            notes.emplace_back(r, t + 1.5, 0.26, 98);
            notes.emplace_back(r + 10, t + 2.25, 0.16, 78, 0.82);
            notes.emplace_back(r, t + 2.5, 0.24, 103);
            notes.emplace_back(last, t + 3.5, 0.2, 94);
        } else {
            notes.emplace_back(r, t + 0.5, 0.32, 108);
            notes.emplace_back(r, t + 1.5, 0.32, 98);
            notes.emplace_back(r, t + 2.5, 0.32, 98);
            notes.emplace_back(last, t + 3.5, 0.32, 98);
        }
    }
    return notes;
}

std::vector<SafeMidiNote> chordPattern(int bars, const MusicalKey& key) {
    std::vector<SafeMidiNote> notes;
    if (bars <= 0) return notes;
    notes.reserve(static_cast<std::size_t>(bars) * 3);
    const auto& progression = key.minor ? minorProgression : majorProgression;
    const int base = key.root + 48;
    for (int b = 0; b < bars; ++b) {
        const Chord& chord = progression[static_cast<std::size_t>(b % 4)];
        int root = base + chord.offset;
        // Keep the voicing around middle C instead of climbing with the key.
        if (root >= 61) root -= 12;
        for (int interval : chord.intervals) {
            notes.emplace_back(root + interval, 4.0 * b, 3.75, interval == 0 ? 88 : 80);
        }
    }
    return notes;
}

}  // namespace vantorel::SafeActionPlanner
