// Master listen as the server sees it: the job lives in the bridge and is
// known here only by its id, so every poll starts from nothing.
#include "analysis/local_audio_analyzer.h"
#include "common/json.h"
#include "mcp/catalogue.h"
#include "mcp/server_error.h"
#include "mcp/tool_handlers.h"

namespace vantorel::VantorelMCP {

using json::Json;

Json masterListenStatus(const MCPBridgeClient& bridge, const Json& arguments) {
    std::string jobId = validateJobId(arguments);
    Json capture = bridge.request("/v1/master-capture/status", "POST", Json{{"jobId", jobId}}, 6);
    auto status = json::text(capture, "status");
    if (!capture.is_object() || !status) throw MCPServerError(MCPServerErrorCase::invalidBridgeResponse);

    const Json cleanup = {{"jobId", jobId}, {"confirm", true}};
    if (*status == "failed") {
        try {
            bridge.request("/v1/master-capture/cleanup", "POST", cleanup, 6);
        } catch (const std::exception&) {
            // The failure the agent must hear about is the capture's own.
        }
        return toolResult(capture, true);
    }
    if (*status != "ready") return toolResult(capture, false);

    auto filePath = json::text(capture, "filePath");
    if (!filePath) throw MCPServerError(MCPServerErrorCase::invalidBridgeResponse);
    // An analysis error propagates before any cleanup: the temporary track
    // stays until the agent cancels the job.
    Json measurement = LocalAudioAnalyzer::analyze(*filePath, 0, 0, std::nullopt).dictionary();
    measurement["scope"] = "renderedMasterResampling";
    measurement["measurementNotice"] =
        "Mesure locale de la sortie master réellement rendue par Ableton pendant la capture Resampling, avec devices, "
        "retours et traitements master actifs.";
    measurement["capture"] = capture;
    try {
        bridge.request("/v1/master-capture/cleanup", "POST", cleanup, 6);
        measurement["temporaryTrackRemoved"] = true;
    } catch (const std::exception&) {
        measurement["temporaryTrackRemoved"] = false;
        measurement["cleanupWarning"] = "La mesure est valide, mais la piste temporaire doit être supprimée manuellement.";
    }
    return toolResult(measurement, false);
}

}  // namespace vantorel::VantorelMCP
