#include "shell/autostart.h"

#include "common/files.h"
#include "common/paths.h"

#include <system_error>
#include <vector>

namespace vantorel::shell::autostart {

namespace {

std::string trim(std::string_view text) {
    std::size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) return {};
    std::size_t end = text.find_last_not_of(" \t\r");
    return std::string(text.substr(start, end - start + 1));
}

// The [Desktop Entry] group's value for a key (the last one wins, as readers do).
std::optional<std::string> value(const std::string& text, std::string_view key) {
    std::optional<std::string> found;
    bool inGroup = false;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = trim(std::string_view(text).substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inGroup) continue;
        std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        if (trim(std::string_view(line).substr(0, equals)) == key) found = trim(std::string_view(line).substr(equals + 1));
    }
    return found;
}

// The string escapes of a desktop entry value (\s \n \t \r \\).
std::string unescapeString(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            switch (next) {
            case 's': out.push_back(' '); break;
            case 'n': out.push_back('\n'); break;
            case 't': out.push_back('\t'); break;
            case 'r': out.push_back('\r'); break;
            default: out.push_back(next);
            }
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace

std::filesystem::path entryFile() { return paths::configHome() / "autostart" / "vantorel.desktop"; }

std::string execValue(const std::filesystem::path& program) {
    std::string quoted = "\"";
    for (char c : program.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
        if (c == '%') quoted.push_back('%');
        quoted.push_back(c);
    }
    quoted.push_back('"');
    // The Exec key is a string value: its own backslashes are escaped once more.
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += "\\\\";
        else if (c == '\n') value += "\\n";
        else if (c == '\t') value += "\\t";
        else if (c == '\r') value += "\\r";
        else value.push_back(c);
    }
    return value;
}

std::optional<std::filesystem::path> programOf(std::string_view exec) {
    const std::string command = unescapeString(exec);
    std::vector<std::string> arguments;
    std::string current;
    bool inQuotes = false, inArgument = false;
    for (std::size_t i = 0; i < command.size(); ++i) {
        char c = command[i];
        if (inQuotes) {
            if (c == '\\' && i + 1 < command.size()) {
                current.push_back(command[++i]);
            } else if (c == '"') {
                inQuotes = false;
            } else {
                current.push_back(c);
            }
        } else if (c == '"') {
            inQuotes = inArgument = true;
        } else if (c == ' ' || c == '\t') {
            if (inArgument) arguments.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else {
            current.push_back(c);
            inArgument = true;
        }
    }
    if (inQuotes) return std::nullopt;
    if (inArgument) arguments.push_back(std::move(current));
    if (arguments.size() != 1) return std::nullopt;
    std::string program;
    const std::string& raw = arguments.front();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%') {
            if (i + 1 < raw.size() && raw[i + 1] == '%') {
                program.push_back('%');
                ++i;
            } else {
                return std::nullopt;  // a field code: not an entry of ours
            }
        } else {
            program.push_back(raw[i]);
        }
    }
    return std::filesystem::path(program);
}

std::string entryText(const std::filesystem::path& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vantorel\n"
           "Comment=Assistant de finition pour Ableton Live\n"
           "Exec=" + execValue(program) + "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool isEnabled(const std::filesystem::path& program) {
    auto text = files::read(entryFile());
    if (!text) return false;
    auto exec = value(*text, "Exec");
    if (!exec) return false;
    auto named = programOf(*exec);
    if (!named || *named != program) return false;
    if (value(*text, "Hidden") == "true") return false;
    if (value(*text, "X-GNOME-Autostart-enabled") == "false") return false;
    return true;
}

bool setEnabled(const std::filesystem::path& program, bool enabled) {
    const auto file = entryFile();
    if (!enabled) {
        std::error_code error;
        std::filesystem::remove(file, error);
        return !error;
    }
    try {
        files::writeAtomically(file, entryText(program), 0644);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace vantorel::shell::autostart
