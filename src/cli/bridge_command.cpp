// vantorel-cli bridge METHOD PATH [BODY.json]: one request through the app's
// own client, with the user's bridge.json.
#include "bridge/client.h"
#include "bridge/readable.h"
#include "cli/command.h"
#include "common/error.h"

namespace vantorel::cli {
namespace {

nlohmann::json runBridge(const Options& options) {
    std::string method = options.required(0, "méthode (GET ou POST)");
    const std::string& path = options.required(1, "chemin (par exemple /v1/health)");
    if (method != "GET" && method != "POST") throw UsageError("méthode inconnue : " + method + " (GET ou POST)");
    std::optional<nlohmann::json> body;
    if (options.positional().size() > 2) {
        body = readJsonFile(options.positional()[2]);
        if (!body->is_object()) {
            throw ReportedError("CommandLineError", "bodyNotObject", "Le corps de la requête doit être un objet JSON.");
        }
    }
    try {
        BridgeClient client;
        return client.request(path, method, body, options.number("--timeout"));
    } catch (const vantorel::Error&) {
        throw;
    } catch (const BridgeTransportError& error) {
        throw ReportedError("BridgeTransportError", error.name(), readable(error));
    } catch (const std::exception& error) {
        throw ReportedError("BridgeReplyError", "unreadableReply", readable(error));
    }
}

VANTOREL_CLI_COMMAND("bridge", "METHODE CHEMIN [CORPS.json]", "envoie une requête au bridge d’Ableton avec la configuration locale",
                     {{"--timeout", "SECONDES", "délai maximal de la réponse, en secondes"}},
                     runBridge);

}  // namespace
}  // namespace vantorel::cli
