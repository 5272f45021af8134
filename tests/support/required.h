// What a test needs from the machine: a built program, a generated locale.
// On a developer's machine a missing one skips the test with the reason; in
// continuous integration (CI set) it fails the run, so that a suite cannot
// pass by skipping what it was meant to check.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

namespace vantorel::testing {

inline bool continuousIntegration() {
    const char* value = std::getenv("CI");
    return value != nullptr && *value != '\0';
}

// Use as `if (missing(...)) return;` in SetUp or a test body: fails under CI,
// else skips.
#define VANTOREL_REQUIRE(condition, what)                                 \
    do {                                                                 \
        if (!(condition)) {                                              \
            if (::vantorel::testing::continuousIntegration()) {          \
                FAIL() << what << " (CI is set: nothing may be skipped)"; \
            }                                                            \
            GTEST_SKIP() << what;                                        \
        }                                                                \
    } while (0)

// The process locale switched to French for one test, as gtk_init does from
// the environment of a French producer; restored afterwards.
class FrenchLocale {
public:
    FrenchLocale() {
        const char* previous = std::setlocale(LC_ALL, nullptr);
        previous_ = previous ? previous : "C";
        active_ = std::setlocale(LC_ALL, "fr_FR.UTF-8") != nullptr;
    }
    ~FrenchLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
    FrenchLocale(const FrenchLocale&) = delete;
    FrenchLocale& operator=(const FrenchLocale&) = delete;

    bool active() const { return active_; }

private:
    std::string previous_;
    bool active_ = false;
};

}  // namespace vantorel::testing
