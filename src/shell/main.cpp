// vantorel: the desktop app. One controller (AppDelegate) with one of two
// front ends: the floating panel showing the page in WebKitGTK, or, when no
// display can be opened or with --browser, the same page served on
// 127.0.0.1 to any browser.
//
//   vantorel [--browser] [--report-ready]
//
// --report-ready prints "ready MS" on stdout each time the page announces
// itself (MS since the program started; the first is the start-up time), for
// the smoke test and benchmarks.
#include "app/app_delegate.h"
#include "app/proc_applications.h"
#include "common/json.h"
#include "common/paths.h"
#include "common/resources.h"
#include "shell/activation_watcher.h"
#include "shell/desktop_shell.h"
#include "shell/panel.h"
#include "shell/single_instance.h"
#include "shell/tray.h"
#include "shell/web_server.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#ifndef VANTOREL_VERSION
#define VANTOREL_VERSION "0"
#endif

namespace vantorel {
namespace {

using Clock = std::chrono::steady_clock;

// Where events go: the panel's web view or the loopback server's streams.
class Channel : public WebChannel {
public:
    shell::Panel* panel = nullptr;
    shell::WebServer* server = nullptr;
    void deliver(const std::string& eventJson) override {
        if (panel) panel->deliver(eventJson);
        else if (server) server->publish(eventJson);
    }
};

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int usage() {
    std::fputs("usage: vantorel [--browser] [--report-ready]\n", stderr);
    return 2;
}

int run(int argc, char** argv) {
    const auto started = Clock::now();
    bool browser = false, reportReady = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--browser") == 0) browser = true;
        else if (std::strcmp(argv[i], "--report-ready") == 0) reportReady = true;
        else return usage();
    }

    // 1. One instance per user.
    auto instance = shell::SingleInstance::claim({VANTOREL_VERSION, getpid()});
    if (instance->result() == shell::SingleInstance::Claim::deferred) {
        if (instance->holderAddress()) printLine(*instance->holderAddress());
        return 0;
    }

    // 2. A display, X11 first: placement, keep-above and activation need it.
    bool gui = false;
    if (!browser) {
        gdk_set_allowed_backends("x11,*");
        gui = gtk_init_check(nullptr, nullptr);
    }

    // 3. The bundled resources.
    const auto resources = resources::folder();
    std::error_code error;
    if (!std::filesystem::is_directory(resources / "VantorelBridge", error)) {
        std::fputs("Missing bundled VantorelBridge\n", stderr);
        return 1;
    }
    const auto webRoot = resources / "web";
    if (!std::filesystem::is_regular_file(webRoot / "index.html", error)) {
        std::fputs("Missing Vantorel interface\n", stderr);
        return 1;
    }
    const std::filesystem::path executable =
        AgentConnector::runningExecutable().value_or(std::filesystem::path(argv[0]));

    MainLoop loop(g_main_context_default());
    Channel channel;
    AppDelegate* controller = nullptr;
    bool quitting = false;
    auto quit = [&] {
        if (quitting) return;
        quitting = true;
        loop.quit();
    };

    // Page messages reach the controller on the loop, one at a time.
    auto receive = [&](std::string message) {
        if (reportReady) {
            auto parsed = json::parse(message);
            if (parsed && json::text(*parsed, "type") == "ready") {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
                printLine("ready " + std::to_string(ms));
            }
        }
        if (controller) controller->receive(message);
    };

    shell::DesktopShell desktop(nullptr, executable);
    std::unique_ptr<shell::Panel> panel;
    std::unique_ptr<shell::WebServer> server;
    if (gui) {
        panel = std::make_unique<shell::Panel>(webRoot, shell::PanelHandlers{
                                                            .message = receive,
                                                            // The close button hides, never closes.
                                                            .closeRequested = [&desktop] { desktop.hidePanelByUser(); },
                                                            .quit = quit,
                                                        });
        channel.panel = panel.get();
        desktop.setPanel(panel.get());
    } else {
        shell::WebServerOptions options;
        options.webRoot = webRoot;
        options.onMessage = [&loop, &receive](std::string message) {
            loop.post([&receive, message = std::move(message)]() mutable { receive(std::move(message)); });
        };
        server = std::make_unique<shell::WebServer>(std::move(options));
        server->start();
        channel.server = server.get();
    }

    ProcRunningApplications applications(loop);
    AppSettings settings;
    settings.dataFolder = paths::appData();
    settings.bridgeConfiguration = paths::bridgeConfiguration();
    auto app = std::make_unique<AppDelegate>(loop, channel, desktop, applications, std::move(settings));
    controller = app.get();
    desktop.attach(*app);

    // 5. Index, panel, tray, activation, first connection.
    std::unique_ptr<shell::Tray> tray;
    std::unique_ptr<shell::ActivationWatcher> watcher;
    if (gui) {
        const std::string icons = (resources / "icons").string();
        tray = shell::Tray::create(
            {
                .showPanel = [&desktop] { desktop.showPanelFromMenu(); },
                .setLaunchAtLogin = [&app](bool enabled) { app->setLaunchAtLogin(enabled); },
                .configureAgent =
                    [&desktop, &app] {
                        desktop.showPanelFromMenu();
                        app->send("showSetup", Json::object());
                        app->sendSetupStatus();
                    },
                .installBridge =
                    [&desktop, &app] {
                        desktop.showPanelFromMenu();
                        app->installBridge();
                    },
                .quit = quit,
            },
            icons.c_str());
        desktop.setTray(tray.get());
        watcher = std::make_unique<shell::ActivationWatcher>([&desktop](pid_t pid) { desktop.windowActivated(pid); });
        panel->load();
    }
    app->start();

    instance->serve(loop.context(), {
                                        .show = [&desktop] { desktop.showPanelFromMenu(); },
                                        .quit = quit,
                                        .address = [&server]() -> std::optional<std::string> {
                                            if (server) return server->address();
                                            return std::nullopt;
                                        },
                                    });
    auto onSignal = +[](gpointer data) -> gboolean {
        (*static_cast<decltype(quit)*>(data))();
        return G_SOURCE_CONTINUE;
    };
    const guint sigint = g_unix_signal_add(SIGINT, onSignal, &quit);
    const guint sigterm = g_unix_signal_add(SIGTERM, onSignal, &quit);

    if (panel) panel->present();
    else printLine(server->address());

    loop.run();

    g_source_remove(sigint);
    g_source_remove(sigterm);
    // The controller goes first (its pending work is dropped), then the
    // front end it talked to.
    controller = nullptr;
    app.reset();
    watcher.reset();
    tray.reset();
    if (server) server->stop();
    panel.reset();
    return 0;
}

}  // namespace
}  // namespace vantorel

int main(int argc, char** argv) { return vantorel::run(argc, argv); }
