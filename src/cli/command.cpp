#include "cli/command.h"
#include "common/format.h"
#include "common/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace vantorel::cli {

namespace {
std::map<std::string, Command>& table() {
    static std::map<std::string, Command> commands;
    return commands;
}
}  // namespace

void registerCommand(Command command) {
    std::string name = command.name;
    table().insert_or_assign(std::move(name), std::move(command));
}

const std::map<std::string, Command>& commands() { return table(); }

namespace {
// Columns of the usage, counted in characters rather than bytes ("…", "É").
std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    for (unsigned char c : text) width += (c & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

std::string optionLabel(const OptionSpec& spec) { return spec.value.empty() ? spec.name : spec.name + " " + spec.value; }
}  // namespace

std::string usage(const Command& command) {
    std::string out = "usage : vantorel-cli " + command.name;
    if (!command.options.empty()) out += " [OPTIONS]";
    if (!command.arguments.empty()) out += " " + command.arguments;
    out += "\n" + command.summary + "\n\nOptions :\n";
    std::vector<OptionSpec> lines = command.options;
    lines.push_back({"--help", "", "affiche cette aide"});
    std::size_t width = 0;
    for (const auto& spec : lines) width = std::max(width, displayWidth(optionLabel(spec)));
    for (const auto& spec : lines) {
        std::string label = optionLabel(spec);
        out += "  " + label + std::string(width - displayWidth(label) + 2, ' ') + spec.help + "\n";
    }
    return out;
}

Options::Options(const Args& args, const std::vector<OptionSpec>& specs) {
    for (const auto& spec : specs) declared_.push_back(spec.name);
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 3 || arg.rfind("--", 0) != 0) {
            if (arg == "--" && !optionsEnded) {
                optionsEnded = true;
                continue;
            }
            positional_.push_back(arg);
            continue;
        }
        if (arg == "--help") {
            help_ = true;
            return;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto spec = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return s.name == name; });
        if (spec == specs.end()) throw UsageError("option inconnue : " + name);
        if (spec->value.empty()) {
            if (inlineValue) throw UsageError("l’option " + name + " ne prend pas de valeur");
            values_[name] = std::nullopt;
            continue;
        }
        if (inlineValue) {
            values_[name] = *inlineValue;
        } else if (i + 1 < args.size()) {
            values_[name] = args[++i];
        } else {
            throw UsageError("valeur manquante pour " + name);
        }
    }
}

void Options::checkDeclared(std::string_view name) const {
    if (std::find(declared_.begin(), declared_.end(), name) == declared_.end()) {
        throw std::logic_error("option not declared by the command: " + std::string(name));
    }
}

bool Options::has(std::string_view name) const {
    checkDeclared(name);
    return values_.find(name) != values_.end();
}

std::optional<std::string> Options::value(std::string_view name) const {
    checkDeclared(name);
    auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::optional<double> Options::number(std::string_view name) const {
    auto text = value(name);
    if (!text) return std::nullopt;
    auto parsed = format::parseNumber(*text);
    if (!parsed || !std::isfinite(*parsed)) throw UsageError("nombre attendu pour " + std::string(name) + " : " + *text);
    return *parsed;
}

std::optional<long long> Options::integer(std::string_view name) const {
    auto text = value(name);
    if (!text) return std::nullopt;
    long long parsed = 0;
    const char* first = text->data() + (text->rfind('+', 0) == 0 ? 1 : 0);
    const char* last = text->data() + text->size();
    auto [end, error] = std::from_chars(first, last, parsed);
    if (first == last || (*first == '-' && first != text->data()) || error != std::errc() || end != last) {
        throw UsageError("entier attendu pour " + std::string(name) + " : " + *text);
    }
    return parsed;
}

const std::string& Options::required(std::size_t index, std::string_view what) const {
    if (index >= positional_.size()) throw UsageError(std::string(what) + " manquant");
    return positional_[index];
}

nlohmann::json readJsonFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ReportedError("CommandLineError", "fileUnreadable", "Impossible de lire le fichier " + path + ".");
    std::ostringstream content;
    content << in.rdbuf();
    auto parsed = json::parse(content.str());
    if (!parsed) {
        throw ReportedError("CommandLineError", "invalidJSON", "Le fichier " + path + " ne contient pas de JSON valide.");
    }
    return *parsed;
}

}  // namespace vantorel::cli
