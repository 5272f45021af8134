// vantorel-cli: the producer's commands, the bridge set-up and the
// diagnostics, all over the same libraries as the app.
//
// Output convention, shared by every command: the result as JSON on stdout
// and exit 0; a failure as {"error":{"type","case","message"}} on stdout and
// exit 1; a usage mistake as a message and the usage on stderr and exit 2.
#include "cli/command.h"
#include "common/error.h"
#include "common/json.h"

#include <csignal>
#include <cstdio>
#include <iostream>

namespace {

using vantorel::cli::commands;

void printCommandList(std::FILE* out) {
    std::fprintf(out, "usage : vantorel-cli COMMANDE [ARGUMENTS]\n\nCommandes :\n");
    for (const auto& [name, command] : commands()) {
        std::fprintf(out, "  %-14s %s\n", name.c_str(), command.summary.c_str());
    }
}

// A closed pipe (vantorel-cli … | head) is not a failure of the command.
int writeOut(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) return 0;
    return 0;
}

int reportError(const std::string& type, const std::string& caseName, const std::string& message) {
    nlohmann::json error = {{"error", {{"type", type}, {"case", caseName}, {"message", message}}}};
    writeOut(vantorel::json::pretty(error) + "\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        printCommandList(stderr);
        return 2;
    }
    std::string name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        printCommandList(stdout);
        return 0;
    }
    auto found = commands().find(name);
    if (found == commands().end()) {
        std::fprintf(stderr, "vantorel-cli: commande inconnue : %s\n\n", name.c_str());
        printCommandList(stderr);
        return 2;
    }
    const auto& command = found->second;
    vantorel::cli::Args args(argv + 2, argv + argc);
    try {
        nlohmann::json result = command.run(args);
        return writeOut(vantorel::json::pretty(result) + "\n");
    } catch (const vantorel::cli::UsageError& usage) {
        std::fprintf(stderr, "vantorel-cli: %s\nusage : vantorel-cli %s %s\n", usage.what(), command.name.c_str(),
                     command.usage.c_str());
        return 2;
    } catch (const vantorel::cli::ReportedError& error) {
        return reportError(error.type, error.caseName, error.message);
    } catch (const vantorel::Error& error) {
        return reportError(error.type(), error.caseName(), error.description());
    } catch (const std::exception& error) {
        return reportError("UnexpectedError", "unexpected", std::string("Erreur inattendue : ") + error.what());
    }
}
