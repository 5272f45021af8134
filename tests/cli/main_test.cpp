// The output rules of vantorel-cli, checked on the built program: usage on
// request, errors worded as the app words them, and output that could not be
// written never reported as a success.
#include "support/cli_runner.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace vantorel::testing {
namespace {

const std::string kToken = "abcdefghijklmnopqrstuvwxyz0123456789-_ABCDEFG";

// Runs vantorel-cli with its standard output on `out` and its standard error
// in `error`; returns the exit code.
int runWithOutput(const std::vector<std::string>& arguments, int out, std::string& error, const TempHome& home) {
    std::string errorFile = (home.root() / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> argv = {cliProgram().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    error = readText(errorFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class CliOutput : public CliTest {};

TEST_F(CliOutput, CommandHelpPrintsItsUsageOnStandardOutput) {
    std::string file = (home.root() / "out.txt").string();
    int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string error;
    EXPECT_EQ(runWithOutput({"validate", "--help"}, out, error, home), 0);
    ::close(out);
    EXPECT_EQ(readText(file),
              "usage : vantorel-cli validate [OPTIONS] PLAN.json\n"
              "vérifie un plan d’actions contre la révision de la session\n"
              "\n"
              "Options :\n"
              "  --revision N  révision actuelle de la session (obligatoire)\n"
              "  --help        affiche cette aide\n");
    EXPECT_EQ(error, "");

    auto mistake = runCli({"validate", "--revison", "3"});
    EXPECT_EQ(mistake.code, 2);
    EXPECT_EQ(mistake.error.rfind("vantorel-cli: option inconnue : --revison\n\nusage : vantorel-cli validate", 0), 0u)
        << mistake.error;
}

TEST_F(CliOutput, AFullDiskFailsAndAClosedPipeDoesNot) {
    int full = ::open("/dev/full", O_WRONLY);
    VANTOREL_REQUIRE(full >= 0, "/dev/full is not available");
    std::string error;
    EXPECT_EQ(runWithOutput({"predicates", "crée un groove"}, full, error, home), 1);
    ::close(full);
    EXPECT_EQ(error.rfind("vantorel-cli: écriture impossible : ", 0), 0u) << error;

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);  // the reader is gone before anything is written
    EXPECT_EQ(runWithOutput({"predicates", "crée un groove"}, ends[1], error, home), 0);
    ::close(ends[1]);
    EXPECT_EQ(error, "");
}

// A bridge refusal reaches the command line as the sentence the app shows.
TEST_F(CliOutput, BridgeRefusalsAreWordedForTheProducer) {
    // Every mapping is in the readable() table's own test; here, that the
    // command prints the mapped sentence and not Live's words.
    LoopbackServer server([&](const RecordedRequest&) {
        return Reply{409, R"({"ok":false,"error":{"code":"LIVE_ERROR","message":"No registered converter was able to )"
                          R"(produce a C++ rvalue"}})"};
    });
    writeText(home.appData() / "bridge.json",
              R"({"authToken":")" + kToken + R"(","bridgeUrl":")" + server.url() + R"("})");
    auto outcome = runCli({"bridge", "POST", "/v1/tracks/create-midi"});
    EXPECT_EQ(outcome.code, 1);
    EXPECT_EQ(outcome.output["error"]["case"], "remote");
    EXPECT_EQ(outcome.output["error"]["message"],
              "Ableton a refusé le format des notes MIDI. Le plan n’a pas été appliqué.");
}

}  // namespace
}  // namespace vantorel::testing
