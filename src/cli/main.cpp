// vantorel-cli: the producer's commands, the bridge set-up and the
// diagnostics, all over the same libraries as the app.
//
// Output convention, shared by every command: the result as JSON on stdout
// and exit 0; a failure as {"error":{"type","case","message"}} on stdout and
// exit 1, the message being the sentence the app would show; a usage mistake
// as a message and the usage on stderr and exit 2; `COMMAND --help` prints the
// usage on stdout and exits 0. Output that cannot be written (a full disk) is
// a failure, exit 1; a reader that went away (`… | head`) is not.
#include "bridge/readable.h"
#include "cli/command.h"
#include "common/error.h"
#include "common/json.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

using vantorel::cli::commands;

std::string commandList() {
    std::string out = "usage : vantorel-cli COMMANDE [ARGUMENTS]\n       vantorel-cli COMMANDE --help\n\nCommandes :\n";
    for (const auto& [name, command] : commands()) {
        out += "  " + name + std::string(name.size() < 14 ? 15 - name.size() : 1, ' ') + command.summary + "\n";
    }
    return out;
}

// Exit code after writing `text` on standard output: 0 when it was written or
// when the reader closed the pipe, 1 (with the reason on stderr) otherwise, so
// that `scan DIR > file` on a full disk does not look like a success.
int writeOut(const std::string& text) {
    errno = 0;
    bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    written = std::fflush(stdout) == 0 && written;
    if (written || errno == EPIPE) return 0;
    int failure = errno;
    std::fprintf(stderr, "vantorel-cli: écriture impossible : %s\n",
                 failure != 0 ? std::strerror(failure) : "sortie standard indisponible");
    return 1;
}

int reportError(const std::string& type, const std::string& caseName, const std::string& message) {
    nlohmann::json error = {{"error", {{"type", type}, {"case", caseName}, {"message", message}}}};
    writeOut(vantorel::json::pretty(error) + "\n");
    return 1;
}

int usageMistake(const std::string& message, const std::string& usage) {
    std::fprintf(stderr, "vantorel-cli: %s\n\n%s", message.c_str(), usage.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) return usageMistake("commande manquante", commandList());
    std::string name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") return writeOut(commandList());
    auto found = commands().find(name);
    if (found == commands().end()) return usageMistake("commande inconnue : " + name, commandList());
    const auto& command = found->second;
    vantorel::cli::Args args(argv + 2, argv + argc);
    try {
        vantorel::cli::Options options(args, command.options);
        if (options.helpRequested()) return writeOut(vantorel::cli::usage(command));
        nlohmann::json result = command.run(options);
        // A command that streams its own output (controller) has printed
        // everything already.
        if (result.is_discarded()) return 0;
        return writeOut(vantorel::json::pretty(result) + "\n");
    } catch (const vantorel::cli::UsageError& mistake) {
        return usageMistake(mistake.what(), vantorel::cli::usage(command));
    } catch (const vantorel::cli::ReportedError& error) {
        return reportError(error.type, error.caseName, error.message);
    } catch (const vantorel::Error& error) {
        return reportError(error.type(), error.caseName(), vantorel::readable(error));
    } catch (const std::exception& error) {
        return reportError("UnexpectedError", "unexpected", std::string("Erreur inattendue : ") + error.what());
    }
}
