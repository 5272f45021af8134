// A stand-in program for the single-instance tests: claims the instance in a
// folder with a version, says what happened on stdout, and, when it holds the
// lock, answers newcomers until one asks it to quit.
//   instance_probe FOLDER VERSION [ADDRESS|-] [ignore-quit]
#include "shell/single_instance.h"

#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using vantorel::shell::SingleInstance;
    if (argc < 3) return 2;
    const std::string address = argc > 3 ? argv[3] : "-";
    const bool ignoreQuit = argc > 4 && std::string(argv[4]) == "ignore-quit";
    vantorel::shell::InstanceTimings timings;
    timings.holderExit = std::chrono::milliseconds(1500);
    auto instance = SingleInstance::claim({argv[2], getpid()}, argv[1], timings);
    auto say = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    switch (instance->result()) {
    case SingleInstance::Claim::deferred:
        say("deferred " + instance->holderAddress().value_or("-"));
        return 0;
    case SingleInstance::Claim::unguarded: say("unguarded"); return 0;
    case SingleInstance::Claim::only: say("only"); break;
    case SingleInstance::Claim::replaced: say("replaced"); break;
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    instance->serve(nullptr, {
        .show = [&] { say("shown"); },
        .quit = [&] {
            say("asked to quit");
            if (!ignoreQuit) g_main_loop_quit(loop);
        },
        .address = [&]() -> std::optional<std::string> {
            if (address == "-") return std::nullopt;
            return address;
        },
    });
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    say("quit");
    return 0;
}
