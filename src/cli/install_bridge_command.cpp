// vantorel-cli install-bridge and bridge-status: the set-up screen's two
// questions, answered from the command line.
#include "bridge/installer.h"
#include "cli/command.h"

#include <filesystem>
#include <system_error>

namespace vantorel::cli {
namespace {

nlohmann::json installBridge(const Options&) {
    try {
        return BridgeInstaller().install().dictionary();
    } catch (const vantorel::Error&) {
        throw;
    } catch (const std::filesystem::filesystem_error& error) {
        throw ReportedError("BridgeInstallerError", "fileSystem",
                            "Impossible d’installer le bridge : " + error.code().message() + " (" +
                                error.path1().string() + ").");
    } catch (const std::system_error& error) {
        throw ReportedError("BridgeInstallerError", "fileSystem",
                            std::string("Impossible d’installer le bridge : ") + error.what() + ".");
    }
}

nlohmann::json bridgeStatus(const Options&) {
    return BridgeInstaller().status().dictionary();
}

VANTOREL_CLI_COMMAND("install-bridge", "", "installe VantorelBridge dans les Remote Scripts d’Ableton", {},
                     installBridge);
VANTOREL_CLI_COMMAND("bridge-status", "", "indique si VantorelBridge est prêt pour Ableton", {}, bridgeStatus);

}  // namespace
}  // namespace vantorel::cli
