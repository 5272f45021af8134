#include "cli/command.h"
#include "common/json.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
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

Options::Options(const Args& args, std::initializer_list<OptionSpec> specs) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 3 || arg.rfind("--", 0) != 0) {
            if (arg == "--") {
                optionsEnded = true;
                continue;
            }
            positional_.push_back(arg);
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const OptionSpec* spec = nullptr;
        for (const auto& candidate : specs) {
            if (candidate.name == name) spec = &candidate;
        }
        if (spec == nullptr) throw UsageError("option inconnue : " + name);
        if (!spec->takesValue) {
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

bool Options::has(std::string_view name) const { return values_.find(name) != values_.end(); }

std::optional<std::string> Options::value(std::string_view name) const {
    auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::optional<double> Options::number(std::string_view name) const {
    auto text = value(name);
    if (!text) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    double parsed = std::strtod(text->c_str(), &end);
    if (text->empty() || end != text->c_str() + text->size() || errno == ERANGE || !std::isfinite(parsed)) {
        throw UsageError("nombre attendu pour " + std::string(name) + " : " + *text);
    }
    return parsed;
}

std::optional<long long> Options::integer(std::string_view name) const {
    auto text = value(name);
    if (!text) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || end != text->c_str() + text->size() || errno == ERANGE) {
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
