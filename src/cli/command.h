// The command table of vantorel-cli and the small option parser its commands
// share.
//
// Each command lives in its own src/cli/<name>_command.cpp and registers
// itself with VANTOREL_CLI_COMMAND, declaring its options once. A command
// returns its JSON result or throws: a UsageError (exit 2, usage on stderr), a
// vantorel::Error or a ReportedError (exit 1, {"error":{"type","case",
// "message"}} on stdout, the message being the sentence the app would show).
// Only main() picks the exit code.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::cli {

using Args = std::vector<std::string>;

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An error already turned into the words the user reads, for failures that
// are not a vantorel::Error (transport errors, parse errors...).
struct ReportedError : std::runtime_error {
    ReportedError(std::string type, std::string caseName, std::string message)
        : std::runtime_error(message), type(std::move(type)), caseName(std::move(caseName)), message(std::move(message)) {}
    std::string type;
    std::string caseName;
    std::string message;
};

class Options;

// An option of a command: "--name VALUE", or a flag when `value` is empty.
// Declared once, with the line its usage shows.
struct OptionSpec {
    std::string name;   // "--timeout"
    std::string value;  // the value's placeholder in the usage ("SECONDES"); empty for a flag
    std::string help;   // one line in the command's usage
};

struct Command {
    std::string name;
    std::string arguments;  // the positional arguments as the usage shows them
    std::string summary;    // one line for the command list and the usage
    std::vector<OptionSpec> options;
    std::function<nlohmann::json(const Options&)> run;
};

void registerCommand(Command command);
const std::map<std::string, Command>& commands();

// The command's usage, generated from its declaration: synopsis, summary and
// one line per option ("--help" included).
std::string usage(const Command& command);

struct Registrar {
    explicit Registrar(Command command) { registerCommand(std::move(command)); }
};

#define VANTOREL_CLI_CONCAT_(a, b) a##b
#define VANTOREL_CLI_CONCAT(a, b) VANTOREL_CLI_CONCAT_(a, b)
#define VANTOREL_CLI_COMMAND(...) \
    static const ::vantorel::cli::Registrar VANTOREL_CLI_CONCAT(vantorelCliRegistrar_, __LINE__){::vantorel::cli::Command{__VA_ARGS__}}

// Parses "--name value", "--name=value" and flags; everything else is
// positional. "--" ends the options; "--help" stops the parsing and asks for
// the usage. Unknown options and missing values are usage errors. Asking for
// an option the command did not declare is a programming error
// (std::logic_error), so a misspelt lookup cannot silently read as absent.
class Options {
public:
    Options(const Args& args, const std::vector<OptionSpec>& specs);

    bool helpRequested() const { return help_; }
    bool has(std::string_view name) const;
    std::optional<std::string> value(std::string_view name) const;
    // A number option; a value that is not a finite number is a usage error.
    std::optional<double> number(std::string_view name) const;
    std::optional<long long> integer(std::string_view name) const;

    const std::vector<std::string>& positional() const { return positional_; }
    // The positional argument at `index`, or a usage error naming `what`.
    const std::string& required(std::size_t index, std::string_view what) const;

private:
    void checkDeclared(std::string_view name) const;

    std::vector<std::string> declared_;
    std::map<std::string, std::optional<std::string>, std::less<>> values_;
    std::vector<std::string> positional_;
    bool help_ = false;
};

// Reads a JSON file given on the command line; a missing or malformed file is
// reported with the path in French.
nlohmann::json readJsonFile(const std::string& path);

}  // namespace vantorel::cli
