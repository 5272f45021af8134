#include "common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

namespace vantorel::files {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

void writeAll(int fd, std::string_view contents, const std::string& name) {
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail("write " + name);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

std::optional<std::string> read(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return content.str();
}

void createDirectories(const std::filesystem::path& folder) {
    if (folder.empty()) return;
    std::filesystem::create_directories(folder);
}

namespace {
std::string temporaryPrefix(const std::filesystem::path& path) { return "." + path.filename().string() + ".tmp-"; }
}  // namespace

void writeAtomically(const std::filesystem::path& path, std::string_view contents, std::optional<mode_t> permissions,
                     const WriteStepHook& afterStep) {
    auto step = [&](WriteStep done) {
        if (afterStep) afterStep(done);
    };
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    createDirectories(folder);
    std::string temporary = (folder / (temporaryPrefix(path) + "XXXXXX")).string();
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) fail("create temporary file in " + folder.string());
    try {
        // mkstemp creates the file 0600; widen it to the usual umask-based
        // mode unless owner-only was asked for.
        mode_t mode = 0;
        if (permissions) {
            mode = *permissions;
        } else {
            mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        if (::fchmod(fd, mode) != 0) fail("chmod " + temporary);
        step(WriteStep::opened);
        writeAll(fd, contents, temporary);
        step(WriteStep::written);
        if (::fsync(fd) != 0) fail("fsync " + temporary);
        if (::close(fd) != 0) {
            fd = -1;
            fail("close " + temporary);
        }
        fd = -1;
        step(WriteStep::flushed);
        if (::rename(temporary.c_str(), path.c_str()) != 0) fail("rename " + temporary + " to " + path.string());
        step(WriteStep::renamed);
    } catch (...) {
        int saved = errno;
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        errno = saved;
        throw;
    }
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

void removeStaleTemporaries(const std::filesystem::path& path, std::chrono::seconds olderThan) {
    namespace fs = std::filesystem;
    fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    const std::string prefix = temporaryPrefix(path);
    std::error_code error;
    const auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        // mkstemp's six characters, exactly: nothing else of the folder is ours.
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        std::error_code entryError;
        if (!it->is_regular_file(entryError)) continue;
        auto modified = it->last_write_time(entryError);
        if (entryError || now - modified < olderThan) continue;
        fs::remove(it->path(), entryError);
    }
}

}  // namespace vantorel::files
