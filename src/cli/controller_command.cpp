// vantorel-cli controller: the app controller without a window. Each line of
// standard input is one page message; each line of standard output one event
// exactly as the page receives it, or a platform call as
// {"platform":NAME,…}. Two platform lines come in on standard input:
// {"platform":"plan","plan":{…}} installs a plan built elsewhere as the
// pending one, when it passes the validator; {"platform":"folder","path":P}
// answers the folder chooser that {"platform":"folder",…} asked (P null:
// cancelled).
//
// vantorel-cli identity SNAPSHOT.json [INDEX.json]: which saved project a
// session snapshot is.
#include "app/app_delegate.h"
#include "app/proc_applications.h"
#include "cli/command.h"
#include "common/json.h"
#include "common/paths.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace vantorel::cli {
namespace {

// One line on standard output, whole and at once: a reader that follows the
// events line by line never sees half of one.
void printLine(const std::string& line) {
    std::string out = line + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

void printPlatform(const std::string& name, Json fields = Json::object()) {
    fields["platform"] = name;
    printLine(json::compact(fields));
}

class StdoutChannel : public WebChannel {
public:
    void deliver(const std::string& eventJson) override { printLine(eventJson); }
};

// The desktop's part, reported instead of performed.
class PrintedShell : public Shell {
public:
    void keepPanelVisible() override { printPlatform("keepPanelVisible"); }
    void presentPanelForLive() override { printPlatform("presentPanelForLive"); }
    void showPanelUnlessHidden() override { printPlatform("showPanelUnlessHidden"); }
    void hidePanel() override { printPlatform("hidePanel"); }
    void minimize() override { printPlatform("minimize"); }
    void setCompact(bool compact) override { printPlatform("setCompact", Json{{"compact", compact}}); }
    LoginItemStatus loginItem() override { return login_; }
    bool registerLoginItem(bool enabled) override {
        printPlatform("registerLoginItem", Json{{"enabled", enabled}});
        login_.enabled = enabled;
        return true;
    }
    void openLoginSettings() override { printPlatform("openLoginSettings"); }
    // Like the desktop's dialog, the chooser is modal: asking again while
    // it is open shows nothing more, and one answer closes it.
    void chooseFolder(std::function<void(std::optional<std::filesystem::path>)> chosen) override {
        if (folderChosen_) return;
        folderChosen_ = std::move(chosen);
        printPlatform("folder", Json{{"title", folder_chooser::title},
                                     {"message", folder_chooser::message},
                                     {"button", folder_chooser::button}});
    }
    // The answer line: `path` a folder, or null for a cancel. Anything else
    // (no chooser open, a path missing, empty or of another type) is
    // ignored, and an open chooser stays open.
    void answerFolder(const Json& line) {
        const Json* path = json::member(line, "path");
        if (!folderChosen_ || path == nullptr) return;
        std::optional<std::filesystem::path> folder;
        if (path->is_string() && !path->get_ref<const std::string&>().empty()) {
            folder = std::filesystem::path(path->get<std::string>());
        } else if (!path->is_null()) {
            return;
        }
        auto chosen = std::move(folderChosen_);
        folderChosen_ = nullptr;
        chosen(std::move(folder));
    }
    bool openDocument(const std::filesystem::path& file) override {
        printPlatform("openDocument", Json{{"path", file.string()}});
        return true;
    }

private:
    LoginItemStatus login_;
    std::function<void(std::optional<std::filesystem::path>)> folderChosen_;
};

// Standard input on a thread of its own, each line handed to the loop.
void readInput(MainLoop& loop, AppDelegate& app, PrintedShell& shell, bool& ended) {
    char* buffer = nullptr;
    std::size_t capacity = 0;
    ssize_t length = 0;
    while ((length = ::getline(&buffer, &capacity, stdin)) >= 0) {
        std::string line(buffer, static_cast<std::size_t>(length));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        loop.post([&app, &shell, line = std::move(line)] {
            if (line.size() <= (1u << 20) && json::nestingWithin(line)) {
                auto parsed = json::parse(line);
                auto platform = parsed && parsed->is_object() ? json::text(*parsed, "platform") : std::nullopt;
                if (platform == "plan") {
                    const Json* plan = json::object(*parsed, "plan");
                    if (plan) app.installPlan(*plan, json::text(*parsed, "prompt").value_or(""));
                    return;
                }
                if (platform == "folder") {
                    shell.answerFolder(*parsed);
                    return;
                }
            }
            app.receive(line);
        });
    }
    std::free(buffer);
    loop.post([&ended] { ended = true; });
}

Json runController(const Options& options) {
    if (!options.positional().empty()) throw UsageError("aucun argument attendu");

    AppSettings settings;
    settings.dataFolder = paths::appData();
    settings.bridgeConfiguration = paths::bridgeConfiguration();
    if (auto folder = options.value("--agent-folder")) {
        settings.agents = AgentConnector({std::filesystem::path(*folder)}, AgentConnector::runningExecutable());
    }
    if (auto limit = options.number("--agent-time-limit")) {
        if (*limit <= 0) throw UsageError("--agent-time-limit attend un nombre de secondes positif");
        settings.agentTimeLimitSeconds = *limit;
    }

    MainLoop loop;
    StdoutChannel web;
    PrintedShell shell;
    ProcRunningApplications applications(loop, options.value("--proc-root").value_or("/proc"));
    auto app = std::make_unique<AppDelegate>(loop, web, shell, applications, settings);
    bool ended = false;
    std::thread reader(readInput, std::ref(loop), std::ref(*app), std::ref(shell), std::ref(ended));
    loop.post([&app] { app->start(); });
    // End of input: wait for what is in flight (a plan run, an undo, a
    // request), then stop.
    Timer watch = loop.every(std::chrono::milliseconds(20), [&] {
        if (ended && !app->busy()) loop.quit();
    });
    loop.run();
    reader.join();
    app.reset();
    return Json(Json::value_t::discarded);
}

Json runIdentity(const Options& options) {
    const Json snapshot = readJsonFile(options.required(0, "instantané de session"));
    if (options.positional().size() > 2) throw UsageError("au plus deux fichiers attendus");
    std::optional<ALSProjectIndex> index;
    if (options.positional().size() == 2) index = ALSProjectIndex::fromJson(readJsonFile(options.positional()[1]));
    return AppDelegate::resolveProjectIdentity(snapshot, index);
}

}  // namespace

VANTOREL_CLI_COMMAND("controller", "",
                     "le contrôleur de l’app, messages de la page sur l’entrée, événements en sortie",
                     {{"--proc-root", "DOSSIER", "où lire les processus en cours (/proc par défaut)"},
                      {"--agent-folder", "DOSSIER", "le seul dossier où chercher les agents"},
                      {"--agent-time-limit", "SECONDES", "durée maximale d’une réponse d’agent"}},
                     runController);
VANTOREL_CLI_COMMAND("identity", "INSTANTANÉ.json [INDEX.json]",
                     "le projet enregistré qui correspond à une session", {}, runIdentity);

}  // namespace vantorel::cli
