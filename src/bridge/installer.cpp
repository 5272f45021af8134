#include "bridge/installer.h"

#include "common/files.h"
#include "common/json.h"
#include "common/paths.h"
#include "common/regex.h"
#include "common/resources.h"
#include "common/text.h"
#include "common/iso8601.h"
#include "common/uuid.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace vantorel {

namespace fs = std::filesystem;

std::string_view BridgeInstallerError::caseName(BridgeInstallerErrorCase kind) {
    switch (kind) {
        case BridgeInstallerErrorCase::bundledBridgeMissing: return "bundledBridgeMissing";
        case BridgeInstallerErrorCase::tokenGenerationFailed: return "tokenGenerationFailed";
    }
    return "unknown";
}

std::string_view BridgeInstallerError::describe(BridgeInstallerErrorCase kind) {
    switch (kind) {
        case BridgeInstallerErrorCase::bundledBridgeMissing:
            return "Le bridge n’est pas présent dans cette copie de Vantorel.";
        case BridgeInstallerErrorCase::tokenGenerationFailed: return "Impossible de créer le jeton de sécurité local.";
    }
    return "";
}

nlohmann::json BridgeInstallationStatus::dictionary() const {
    return {{"bridgeBundled", bridgeBundled},
            {"bridgeInstalled", bridgeInstalled},
            {"configurationInstalled", configurationInstalled},
            {"destinationPath", destinationPath},
            {"readyForAbletonSetup", readyForAbletonSetup()}};
}

namespace {

bool present(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

// A bytecode cache is the interpreter's, not the package's: Live rebuilds it.
void copyPackage(const fs::path& from, const fs::path& to) {
    fs::create_directory(to);
    for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
        const fs::path name = entry.path().filename();
        if (entry.is_directory()) {
            if (name == "__pycache__") continue;
            copyPackage(entry.path(), to / name);
        } else {
            fs::copy(entry.path(), to / name, fs::copy_options::copy_symlinks);
        }
    }
}

// Removes the folder when this scope ends, unless it has been moved away.
class StagingFolder {
public:
    explicit StagingFolder(fs::path path) : path_(std::move(path)) {}
    ~StagingFolder() {
        std::error_code ignored;
        if (present(path_)) fs::remove_all(path_, ignored);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string backupTimestamp() {
    std::string stamp = iso8601::now();
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    return stamp;
}

std::string base64URLUnpadded(const unsigned char* bytes, std::size_t count) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((count * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 2 < count; i += 3) {
        unsigned value = (unsigned(bytes[i]) << 16) | (unsigned(bytes[i + 1]) << 8) | bytes[i + 2];
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
        out += alphabet[(value >> 6) & 63];
        out += alphabet[value & 63];
    }
    if (count - i == 1) {
        unsigned value = unsigned(bytes[i]) << 16;
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
    } else if (count - i == 2) {
        unsigned value = (unsigned(bytes[i]) << 16) | (unsigned(bytes[i + 1]) << 8);
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
        out += alphabet[(value >> 6) & 63];
    }
    return out;
}

}  // namespace

namespace {

fs::path defaultRemoteScripts() {
    if (auto library = BridgeInstaller::wineUserLibrary()) return *library / "Remote Scripts";
    return paths::remoteScripts();
}

}  // namespace

BridgeInstaller::BridgeInstaller()
    : BridgeInstaller(resources::folder() / bridgeFolder, defaultRemoteScripts(), paths::appData()) {}

std::optional<fs::path> BridgeInstaller::wineUserLibrary() {
    const char* variable = std::getenv("WINEPREFIX");
    const fs::path prefix = variable != nullptr && variable[0] != '\0' ? fs::path(variable) : paths::home() / ".wine";
    std::error_code error;
    std::vector<fs::path> users;
    for (fs::directory_iterator it(prefix / "drive_c" / "users", error), end; !error && it != end;
         it.increment(error)) {
        users.push_back(it->path());
    }
    std::sort(users.begin(), users.end());
    for (const fs::path& user : users) {
        for (const char* documents : {"Documents", "My Documents"}) {
            fs::path library = user / documents / "Ableton" / "User Library";
            if (fs::is_directory(library, error)) return library;
        }
    }
    return std::nullopt;
}

std::optional<fs::path> BridgeInstaller::winePrefixOf(const fs::path& folder) {
    std::error_code error;
    for (fs::path at = fs::absolute(folder, error); !at.empty(); at = at.parent_path()) {
        if (fs::is_directory(at / "dosdevices", error) && fs::is_directory(at / "drive_c", error)) return at;
        if (at == at.root_path()) break;
    }
    return std::nullopt;
}

nlohmann::json BridgeInstaller::wineDrives(const fs::path& prefix) {
    nlohmann::json drives = nlohmann::json::object();
    std::error_code error;
    const fs::path devices = prefix / "dosdevices";
    for (fs::directory_iterator it(devices, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        // "c:" is a drive; "c::" is the raw device under it.
        if (name.size() != 2 || name[1] != ':' || !std::isalpha(static_cast<unsigned char>(name[0]))) continue;
        std::error_code linkError;
        fs::path target = fs::read_symlink(it->path(), linkError);
        if (linkError) continue;
        if (target.is_relative()) target = devices / target;
        fs::path resolved = fs::weakly_canonical(target, linkError);
        if (linkError) continue;
        drives[std::string(1, char(std::tolower(static_cast<unsigned char>(name[0]))))] = resolved.string();
    }
    return drives;
}

BridgeInstaller::BridgeInstaller(fs::path bundledBridge, fs::path remoteScriptsRoot, fs::path applicationSupportRoot)
    : bundled_(std::move(bundledBridge)),
      remoteScripts_(std::move(remoteScriptsRoot)),
      applicationSupport_(std::move(applicationSupportRoot)) {}

std::optional<std::string> BridgeInstaller::bridgeVersion(const fs::path& folder) {
    auto source = files::read(folder / "surface.py");
    if (!source) return std::nullopt;
    auto match = regex::firstMatch(R"re(BRIDGE_VERSION\s*=\s*['"]([^'"]+)['"])re", *source);
    if (!match) return std::nullopt;
    return match->group(1);
}

std::optional<std::string> BridgeInstaller::validToken(const fs::path& file) {
    auto contents = files::read(file);
    if (!contents) return std::nullopt;
    auto parsed = json::parse(*contents);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    auto token = json::text(*parsed, "auth_token");
    if (!token) token = json::text(*parsed, "authToken");
    if (!token || text::graphemeCount(*token) < 32) return std::nullopt;
    return token;
}

std::string BridgeInstaller::generateToken() {
    std::array<unsigned char, 32> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw BridgeInstallerError(BridgeInstallerErrorCase::tokenGenerationFailed);
        }
        filled += std::size_t(got);
    }
    return base64URLUnpadded(bytes.data(), bytes.size());
}

void BridgeInstaller::writeJSON(const nlohmann::json& object, const fs::path& file, mode_t permissions) {
    // Created with its final permissions: the token is never readable by
    // others, not even between the write and a later chmod.
    files::writeAtomically(file, json::pretty(object), permissions);
    fs::permissions(file, fs::perms(permissions), fs::perm_options::replace);
}

BridgeInstallationStatus BridgeInstaller::status() const {
    BridgeInstallationStatus status;
    std::error_code error;
    status.bridgeBundled = fs::is_regular_file(bundled_ / "__init__.py", error);
    auto bundledVersion = bridgeVersion(bundled_);
    auto installedVersion = bridgeVersion(destination());
    status.bridgeInstalled = bundledVersion && installedVersion && *bundledVersion == *installedVersion;
    status.configurationInstalled = validToken(clientConfiguration()).has_value();
    status.destinationPath = destination().string();
    return status;
}

void BridgeInstaller::moveLegacyBackups() const {
    constexpr std::string_view prefix = "VantorelBridge.backup-";
    std::vector<fs::path> legacy;
    for (const fs::directory_entry& entry : fs::directory_iterator(remoteScripts_)) {
        if (entry.path().filename().string().starts_with(prefix)) legacy.push_back(entry.path());
    }
    if (legacy.empty()) return;
    files::createDirectories(backupRoot());
    for (const fs::path& old : legacy) {
        fs::path target = backupRoot() / old.filename();
        if (present(target)) target = backupRoot() / (old.filename().string() + uuid::upper());
        fs::rename(old, target);
    }
}

std::string BridgeInstaller::reusableOrNewToken() const {
    if (auto token = validToken(destination() / "remote_config.json")) return *token;
    if (auto token = validToken(clientConfiguration())) return *token;
    return generateToken();
}

BridgeInstallationStatus BridgeInstaller::install() const {
    std::error_code error;
    if (!fs::is_regular_file(bundled_ / "__init__.py", error)) {
        throw BridgeInstallerError(BridgeInstallerErrorCase::bundledBridgeMissing);
    }
    files::createDirectories(remoteScripts_);
    files::createDirectories(applicationSupport_);
    moveLegacyBackups();
    const std::string token = reusableOrNewToken();

    StagingFolder staging(remoteScripts_ / (".VantorelBridge.installing-" + uuid::upper()));
    copyPackage(bundled_, staging.path());
    writeJSON({{"host", bridgeHost}, {"port", bridgePort}, {"auth_token", token}},
              staging.path() / "remote_config.json", 0600);
    if (auto prefix = winePrefixOf(remoteScripts_)) {
        writeJSON(wineDrives(*prefix), staging.path() / "wine_drives.json", 0644);
    }

    std::optional<fs::path> backup;
    if (present(destination())) {
        files::createDirectories(backupRoot());
        fs::path target =
            backupRoot() / ("VantorelBridge.backup-" + backupTimestamp() + "-" + uuid::upper().substr(0, 8));
        fs::rename(destination(), target);
        backup = target;
    }

    // Putting the previous version back: Live must not be left without a
    // bridge because the new one could not be put in place or configured.
    auto restoreBackup = [&] {
        std::error_code ignored;
        if (present(destination())) fs::remove_all(destination(), ignored);
        if (backup) fs::rename(*backup, destination(), ignored);
    };

    try {
        fs::rename(staging.path(), destination());
    } catch (...) {
        restoreBackup();
        throw;
    }
    try {
        writeJSON({{"bridgeUrl", bridgeURL}, {"authToken", token}, {"protocolVersion", protocolVersion}},
                  clientConfiguration(), 0600);
    } catch (...) {
        restoreBackup();
        throw;
    }
    return status();
}

}  // namespace vantorel
