#include "bridge/configuration.h"

#include "bridge/failure.h"
#include "common/files.h"
#include "common/json.h"
#include "common/text.h"

namespace vantorel {

std::optional<BridgeConfiguration> BridgeConfiguration::decode(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    auto url = json::text(*parsed, "bridgeUrl");
    auto token = json::text(*parsed, "authToken");
    if (!url || !token) return std::nullopt;
    return BridgeConfiguration{*url, *token};
}

AppBridgeConfiguration AppBridgeConfiguration::load(const std::filesystem::path& file) {
    auto content = files::read(file);
    if (!content) throw BridgeFailure(BridgeFailureCase::configurationMissing);
    auto configuration = BridgeConfiguration::decode(*content);
    if (!configuration) throw BridgeFailure(BridgeFailureCase::configurationInvalid);
    auto url = bridge::Url::parse(configuration->bridgeUrl);
    if (!url || url->scheme != "http" || (url->host != "127.0.0.1" && url->host != "::1")) {
        throw BridgeFailure(BridgeFailureCase::configurationInvalid);
    }
    if (text::graphemeCount(configuration->authToken) < minimumTokenLength) {
        throw BridgeFailure(BridgeFailureCase::configurationInvalid);
    }
    return AppBridgeConfiguration{std::move(*configuration), std::move(*url)};
}

}  // namespace vantorel
