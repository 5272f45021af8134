// The bridge installer on a private home: what it writes, what it keeps and
// what it puts back when the switch fails.
#include "bridge/installer.h"
#include "support/expect_error.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using testing::readText;
using testing::writeText;

class BridgeInstallerTest : public ::testing::Test {
protected:
    BridgeInstallerTest()
        : bundled(home.root() / "app/resources/VantorelBridge"),
          remoteScripts(home.root() / "Music/Ableton/User Library/Remote Scripts"),
          support(home.root() / "support/Vantorel"),
          installer(bundled, remoteScripts, support) {
        writeBundle("0.18.0");
    }

    void writeBundle(const std::string& version) {
        writeText(bundled / "__init__.py", "from .surface import create_instance\n");
        writeText(bundled / "surface.py", "BRIDGE_VERSION = \"" + version + "\"\n");
        writeText(bundled / "simulator/model.py", "# simulated set\n");
    }

    nlohmann::json readJson(const fs::path& file) { return nlohmann::json::parse(readText(file)); }

    std::vector<fs::path> backups() {
        std::vector<fs::path> found;
        if (!fs::exists(installer.backupRoot())) return found;
        for (const auto& entry : fs::directory_iterator(installer.backupRoot())) found.push_back(entry.path());
        return found;
    }

    std::vector<std::string> remoteScriptEntries() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(remoteScripts)) names.push_back(entry.path().filename());
        return names;
    }

    testing::TempHome home;
    fs::path bundled, remoteScripts, support;
    BridgeInstaller installer;
};

TEST_F(BridgeInstallerTest, FreshInstallWritesBothFilesWithOneTokenAndPrivatePermissions) {
    EXPECT_FALSE(installer.status().readyForAbletonSetup());

    const BridgeInstallationStatus status = installer.install();
    EXPECT_TRUE(status.bridgeBundled);
    EXPECT_TRUE(status.bridgeInstalled);
    EXPECT_TRUE(status.configurationInstalled);
    EXPECT_TRUE(status.readyForAbletonSetup());
    EXPECT_EQ(status.destinationPath, (remoteScripts / "VantorelBridge").string());
    EXPECT_EQ(status, installer.status());

    const auto remote = readJson(remoteScripts / "VantorelBridge/remote_config.json");
    const auto client = readJson(support / "bridge.json");
    EXPECT_EQ(remote["host"], "127.0.0.1");
    EXPECT_EQ(remote["port"], 32123);
    EXPECT_EQ(client["bridgeUrl"], "http://127.0.0.1:32123");
    EXPECT_EQ(client["protocolVersion"], 1);
    const std::string token = client["authToken"];
    EXPECT_EQ(remote["auth_token"], token);
    EXPECT_EQ(token.size(), 43u);
    EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);

    for (const fs::path& file : {remoteScripts / "VantorelBridge/remote_config.json", support / "bridge.json"}) {
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    }
    EXPECT_TRUE(fs::exists(remoteScripts / "VantorelBridge/simulator/model.py"));
    // Only the package itself: no staging folder, no backup in Remote Scripts.
    EXPECT_EQ(remoteScriptEntries(), std::vector<std::string>{"VantorelBridge"});
}

TEST_F(BridgeInstallerTest, InstallingTwiceKeepsTheTokenAndBacksUpTheFirstCopyOutsideRemoteScripts) {
    installer.install();
    const std::string first = readJson(support / "bridge.json")["authToken"];
    writeText(remoteScripts / "VantorelBridge/user-note.txt", "keep me");

    installer.install();
    EXPECT_EQ(readJson(support / "bridge.json")["authToken"], first);
    EXPECT_EQ(readJson(remoteScripts / "VantorelBridge/remote_config.json")["auth_token"], first);

    const auto saved = backups();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(saved[0].filename().string().starts_with("VantorelBridge.backup-"));
    EXPECT_EQ(saved[0].filename().string().find(':'), std::string::npos);
    EXPECT_EQ(readText(saved[0] / "user-note.txt"), "keep me");
    EXPECT_FALSE(fs::exists(remoteScripts / "VantorelBridge/user-note.txt"));
    EXPECT_EQ(remoteScriptEntries(), std::vector<std::string>{"VantorelBridge"});
}

TEST_F(BridgeInstallerTest, TokensAreReusedOnlyWhenLongEnough) {
    // The installed package's token wins over the client's.
    const std::string installed(40, 'a'), client(40, 'b');
    writeText(remoteScripts / "VantorelBridge/remote_config.json", nlohmann::json{{"auth_token", installed}}.dump());
    writeText(support / "bridge.json", nlohmann::json{{"authToken", client}}.dump());
    installer.install();
    EXPECT_EQ(readJson(support / "bridge.json")["authToken"], installed);

    // 31 characters on both sides: a new token goes into both files.
    const std::string shortToken(31, 'c');
    writeText(remoteScripts / "VantorelBridge/remote_config.json", nlohmann::json{{"auth_token", shortToken}}.dump());
    writeText(support / "bridge.json", nlohmann::json{{"authToken", shortToken}}.dump());
    installer.install();
    const std::string fresh = readJson(support / "bridge.json")["authToken"];
    EXPECT_NE(fresh, shortToken);
    EXPECT_EQ(readJson(remoteScripts / "VantorelBridge/remote_config.json")["auth_token"], fresh);
}

TEST_F(BridgeInstallerTest, TokenFileRules) {
    const fs::path file = home.root() / "token.json";
    struct Case {
        std::string contents;
        std::optional<std::string> expected;
    };
    const std::string t32(32, 'x');
    const std::vector<Case> cases = {
        {nlohmann::json{{"auth_token", t32}}.dump(), t32},
        {nlohmann::json{{"authToken", t32}}.dump(), t32},
        {nlohmann::json{{"auth_token", 12}, {"authToken", t32}}.dump(), t32},
        {nlohmann::json{{"authToken", std::string(31, 'x')}}.dump(), std::nullopt},
        // 32 characters of which some take two bytes: still 32.
        {nlohmann::json{{"authToken", std::string(30, 'x') + "éé"}}.dump(), std::string(30, 'x') + "éé"},
        {"[\"" + t32 + "\"]", std::nullopt},
        {"not json", std::nullopt},
    };
    for (const Case& c : cases) {
        writeText(file, c.contents);
        EXPECT_EQ(BridgeInstaller::validToken(file), c.expected) << c.contents;
    }
    EXPECT_FALSE(BridgeInstaller::validToken(home.root() / "missing.json"));
    EXPECT_NE(BridgeInstaller::generateToken(), BridgeInstaller::generateToken());
}

TEST_F(BridgeInstallerTest, VersionDecidesWhetherTheBridgeCountsAsInstalled) {
    installer.install();
    EXPECT_TRUE(installer.status().bridgeInstalled);

    // A newer bundle than the installed copy.
    writeBundle("0.19.0");
    EXPECT_FALSE(installer.status().bridgeInstalled);
    EXPECT_TRUE(installer.status().configurationInstalled);

    // Without BRIDGE_VERSION nothing is ever installed, even after install().
    writeText(bundled / "surface.py", "VERSION = '1'\n");
    installer.install();
    EXPECT_FALSE(installer.status().bridgeInstalled);
    EXPECT_EQ(BridgeInstaller::bridgeVersion(bundled), std::nullopt);

    writeText(bundled / "surface.py", "x = 1\nBRIDGE_VERSION   =   '0.17.10'  # pinned\n");
    EXPECT_EQ(BridgeInstaller::bridgeVersion(bundled), "0.17.10");
}

TEST_F(BridgeInstallerTest, MissingBundleIsRefusedBeforeAnythingIsWritten) {
    fs::remove(bundled / "__init__.py");
    EXPECT_FALSE(installer.status().bridgeBundled);
    EXPECT_ERROR(installer.install(), BridgeInstallerError, BridgeInstallerErrorCase::bundledBridgeMissing,
                 "Le bridge n’est pas présent dans cette copie de Vantorel.");
    EXPECT_FALSE(fs::exists(remoteScripts));
    EXPECT_FALSE(fs::exists(support / "bridge.json"));
}

TEST_F(BridgeInstallerTest, LegacyBackupsLeaveRemoteScripts) {
    installer.install();
    installer.install();
    ASSERT_EQ(backups().size(), 1u);
    const std::string taken = backups()[0].filename();
    // Two legacy copies Live would otherwise load as scripts, one of them
    // with a name already used in the backup root.
    writeText(remoteScripts / taken / "surface.py", "old");
    writeText(remoteScripts / "VantorelBridge.backup-2025-01-01T00-00-00Z-ABCDEF01/surface.py", "older");

    installer.install();
    EXPECT_EQ(remoteScriptEntries(), std::vector<std::string>{"VantorelBridge"});
    const auto saved = backups();
    EXPECT_EQ(saved.size(), 4u);  // two installs' backups and the two moved copies
    EXPECT_TRUE(fs::exists(installer.backupRoot() / "VantorelBridge.backup-2025-01-01T00-00-00Z-ABCDEF01/surface.py"));
    int renamed = 0;
    for (const fs::path& path : saved) {
        if (path.filename() != taken && path.filename().string().starts_with(taken)) ++renamed;
    }
    EXPECT_EQ(renamed, 1);
}

TEST_F(BridgeInstallerTest, FailedClientConfigurationRestoresThePreviousVersion) {
    installer.install();
    const std::string token = readJson(support / "bridge.json")["authToken"];
    writeText(remoteScripts / "VantorelBridge/marker.txt", "previous");
    writeBundle("0.19.0");

    // bridge.json cannot be replaced: a non-empty folder stands in its place.
    fs::remove(support / "bridge.json");
    writeText(support / "bridge.json" / "blocker", "x");

    EXPECT_ANY_THROW(installer.install());
    EXPECT_EQ(readText(remoteScripts / "VantorelBridge/marker.txt"), "previous");
    EXPECT_EQ(BridgeInstaller::bridgeVersion(remoteScripts / "VantorelBridge"), "0.18.0");
    EXPECT_EQ(readJson(remoteScripts / "VantorelBridge/remote_config.json")["auth_token"], token);
    EXPECT_EQ(remoteScriptEntries(), std::vector<std::string>{"VantorelBridge"});
    EXPECT_TRUE(backups().empty());
}

// Live under Wine reads the Remote Scripts of its prefix and reports Windows
// paths: the installer finds the prefix's User Library and leaves the bridge
// a map of the prefix's drives.
TEST_F(BridgeInstallerTest, WinePrefixIsFoundAndItsDrivesAreMappedForTheBridge) {
    const char* saved = std::getenv("WINEPREFIX");
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    unsetenv("WINEPREFIX");
    EXPECT_EQ(BridgeInstaller::wineUserLibrary(), std::nullopt);
    installer.install();
    EXPECT_FALSE(fs::exists(remoteScripts / "VantorelBridge/wine_drives.json")) << "no prefix, no drive map";

    const fs::path prefix = home.root() / ".wine";
    const fs::path library = prefix / "drive_c/users/lea/Documents/Ableton/User Library";
    fs::create_directories(library);
    fs::create_directories(prefix / "drive_c/users/Public");
    fs::create_directories(prefix / "dosdevices");
    fs::create_symlink("../drive_c", prefix / "dosdevices/c:");
    fs::create_symlink("/", prefix / "dosdevices/z:");
    fs::create_symlink("/dev/null", prefix / "dosdevices/c::");
    ASSERT_EQ(BridgeInstaller::wineUserLibrary(), library);
    EXPECT_EQ(BridgeInstaller().remoteScriptsRoot(), library / "Remote Scripts");

    BridgeInstaller wine(bundled, library / "Remote Scripts", support);
    wine.install();
    EXPECT_EQ(readJson(library / "Remote Scripts/VantorelBridge/wine_drives.json"),
              (nlohmann::json{{"c", fs::canonical(prefix / "drive_c").string()}, {"z", "/"}}));
    EXPECT_EQ(BridgeInstaller::bridgeVersion(library / "Remote Scripts/VantorelBridge"), "0.18.0");

    // $WINEPREFIX wins over ~/.wine, and "My Documents" counts too.
    const fs::path other = home.root() / "games/live-prefix";
    fs::create_directories(other / "drive_c/users/lea/My Documents/Ableton/User Library");
    setenv("WINEPREFIX", other.c_str(), 1);
    EXPECT_EQ(BridgeInstaller::wineUserLibrary(), other / "drive_c/users/lea/My Documents/Ableton/User Library");
    if (previous) {
        setenv("WINEPREFIX", previous->c_str(), 1);
    } else {
        unsetenv("WINEPREFIX");
    }
}

}  // namespace
}  // namespace vantorel
