// Runs the built vantorel-cli as a producer would, for the suites that check
// its commands end to end. Header-only: VANTOREL_BINARY_DIR is each suite's
// own definition.
#pragma once

#include "common/process.h"
#include "support/required.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vantorel::testing {

struct CliOutcome {
    int code = -1;          // the exit code; -1 when it did not exit in time
    nlohmann::json output;  // standard output as JSON, discarded when it is not JSON
    std::string error;      // standard error
};

inline std::filesystem::path cliProgram() { return std::filesystem::path(VANTOREL_BINARY_DIR) / "src/cli/vantorel-cli"; }

inline CliOutcome runCli(std::vector<std::string> arguments,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    arguments.insert(arguments.begin(), cliProgram().string());
    auto result = process::run(process::SpawnOptions::command(arguments), "", timeout);
    CliOutcome outcome;
    outcome.code = result.status && result.status->exited ? result.status->code : -1;
    outcome.output = nlohmann::json::parse(result.output, nullptr, false);
    outcome.error = result.error;
    return outcome;
}

// A test of the command line in a private home; skipped when the program is
// not built, failed when that happens in CI.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override { VANTOREL_REQUIRE(std::filesystem::exists(cliProgram()), "vantorel-cli is not built"); }
    TempHome home;
};

}  // namespace vantorel::testing
