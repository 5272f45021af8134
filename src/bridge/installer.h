// Copies the bundled VantorelBridge package into Live's Remote Scripts folder
// and writes the shared secret on both sides of the link.
//
// Live loads every folder of Remote Scripts as a script, so the installer
// never leaves a half-copied package or a stray copy there: it stages the copy
// under a hidden name, keeps the previous version as a dated backup outside
// the folder, and puts that version back if the switch fails.
#pragma once

#include "common/error.h"

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vantorel {

struct BridgeInstallationStatus {
    bool bridgeBundled = false;
    bool bridgeInstalled = false;
    bool configurationInstalled = false;
    std::string destinationPath;

    bool readyForAbletonSetup() const { return bridgeBundled && bridgeInstalled && configurationInstalled; }
    nlohmann::json dictionary() const;
    bool operator==(const BridgeInstallationStatus&) const = default;
};

enum class BridgeInstallerErrorCase { bundledBridgeMissing, tokenGenerationFailed };

class BridgeInstallerError : public EnumError<BridgeInstallerError, BridgeInstallerErrorCase> {
public:
    static constexpr std::string_view typeName = "BridgeInstallerError";
    static std::string_view caseName(BridgeInstallerErrorCase kind);
    static std::string_view describe(BridgeInstallerErrorCase kind);
    using EnumError::EnumError;
};

class BridgeInstaller {
public:
    static constexpr std::string_view bridgeFolder = "VantorelBridge";
    static constexpr std::string_view bridgeURL = "http://127.0.0.1:32123";
    static constexpr std::string_view bridgeHost = "127.0.0.1";
    static constexpr int bridgePort = 32123;
    static constexpr int protocolVersion = 1;

    // Defaults: the package among the app's resources, Live's Remote Scripts
    // folder and the app's data folder of the current user.
    BridgeInstaller();
    BridgeInstaller(std::filesystem::path bundledBridge, std::filesystem::path remoteScriptsRoot,
                    std::filesystem::path applicationSupportRoot);

    const std::filesystem::path& bundledBridge() const { return bundled_; }
    const std::filesystem::path& remoteScriptsRoot() const { return remoteScripts_; }
    const std::filesystem::path& applicationSupportRoot() const { return applicationSupport_; }

    std::filesystem::path destination() const { return remoteScripts_ / bridgeFolder; }
    std::filesystem::path clientConfiguration() const { return applicationSupport_ / "bridge.json"; }
    std::filesystem::path backupRoot() const { return remoteScripts_.parent_path() / "Vantorel Remote Script Backups"; }

    // Never fails: anything unreadable counts as absent.
    BridgeInstallationStatus status() const;
    // Throws BridgeInstallerError or std::filesystem::filesystem_error /
    // std::system_error; see the header comment for what a failure leaves.
    BridgeInstallationStatus install() const;

    // Live under Wine: the User Library inside the Wine prefix ($WINEPREFIX,
    // else ~/.wine) when the prefix holds one (in Documents or My Documents of
    // one of its users). The default Remote Scripts folder is then its own.
    static std::optional<std::filesystem::path> wineUserLibrary();
    // The Wine prefix a folder lies in (it has dosdevices and drive_c).
    static std::optional<std::filesystem::path> winePrefixOf(const std::filesystem::path& folder);
    // Drive letter → Linux folder, from the prefix's dosdevices links: the
    // bridge maps the Windows paths Live reports so the app can open them.
    static nlohmann::json wineDrives(const std::filesystem::path& prefix);

    static std::optional<std::string> bridgeVersion(const std::filesystem::path& folder);
    static std::optional<std::string> validToken(const std::filesystem::path& file);
    static std::string generateToken();
    static void writeJSON(const nlohmann::json& object, const std::filesystem::path& file, mode_t permissions);

private:
    void moveLegacyBackups() const;
    std::string reusableOrNewToken() const;

    std::filesystem::path bundled_;
    std::filesystem::path remoteScripts_;
    std::filesystem::path applicationSupport_;
};

}  // namespace vantorel
