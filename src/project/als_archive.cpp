#include "project/als_archive.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace vantorel {

namespace {

constexpr std::size_t kInputChunk = 64 * 1024;
// 15 window bits plus 16: gzip framing only. A bare zlib or deflate stream is
// not what `gzip -dc` accepts either.
constexpr int kGzipWindowBits = 15 + 16;

}  // namespace

struct GzipReader::State {
    enum class Phase { member, betweenMembers, padding, done, failed };

    int fd = -1;
    bool fromMemory = false;
    std::string_view memory;
    bool inputEnded = false;
    std::unique_ptr<unsigned char[]> input;
    z_stream z{};
    bool zReady = false;
    Phase phase = Phase::member;
    std::uint64_t total = 0;
    std::uint64_t limit = GzipReader::maximumInflatedBytes;

    ~State() {
        if (zReady) inflateEnd(&z);
        if (fd >= 0) ::close(fd);
    }

    void fail() { phase = Phase::failed; }

    // Makes input available when none is left; false at the end of input.
    bool refill() {
        if (z.avail_in > 0) return true;
        if (inputEnded) return false;
        if (fromMemory) {
            // zlib counts in 32-bit units; hand large memory over in pieces.
            std::size_t piece = std::min<std::size_t>(memory.size(), 1u << 30);
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(memory.data()));
            z.avail_in = static_cast<uInt>(piece);
            memory.remove_prefix(piece);
            if (memory.empty()) inputEnded = true;
            return piece > 0;
        }
        for (;;) {
            ssize_t n = ::read(fd, input.get(), kInputChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                fail();
                inputEnded = true;
                return false;
            }
            if (n == 0) {
                inputEnded = true;
                return false;
            }
            z.next_in = input.get();
            z.avail_in = static_cast<uInt>(n);
            return true;
        }
    }
};

GzipReader::GzipReader(const std::filesystem::path& file, std::uint64_t limit) : state_(std::make_unique<State>()) {
    state_->limit = limit;
    state_->input = std::make_unique<unsigned char[]>(kInputChunk);
    state_->fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (state_->fd < 0 || inflateInit2(&state_->z, kGzipWindowBits) != Z_OK) {
        state_->fail();
        return;
    }
    state_->zReady = true;
}

GzipReader::GzipReader(InMemory compressed, std::uint64_t limit) : state_(std::make_unique<State>()) {
    state_->limit = limit;
    state_->fromMemory = true;
    state_->memory = compressed.bytes;
    state_->inputEnded = compressed.bytes.empty();
    if (inflateInit2(&state_->z, kGzipWindowBits) != Z_OK) {
        state_->fail();
        return;
    }
    state_->zReady = true;
}

GzipReader::~GzipReader() = default;

bool GzipReader::failed() const { return state_->phase == State::Phase::failed; }

std::uint64_t GzipReader::inflatedBytes() const { return state_->total; }

std::size_t GzipReader::read(char* out, std::size_t capacity) {
    using Phase = State::Phase;
    State& s = *state_;
    std::size_t produced = 0;
    while (produced < capacity && (s.phase == Phase::member || s.phase == Phase::betweenMembers ||
                                   s.phase == Phase::padding)) {
        if (s.phase == Phase::betweenMembers) {
            if (!s.refill()) {
                if (s.phase != Phase::failed) s.phase = Phase::done;
                break;
            }
            // Another member follows, or the zero padding some tools add.
            // Anything else is garbage, which gzip reports with a non-zero
            // status; inflate rejects it as a bad header.
            if (*s.z.next_in == 0) {
                s.phase = Phase::padding;
            } else {
                inflateReset(&s.z);
                s.phase = Phase::member;
            }
            continue;
        }
        if (s.phase == Phase::padding) {
            if (!s.refill()) {
                if (s.phase != Phase::failed) s.phase = Phase::done;
                break;
            }
            while (s.z.avail_in > 0 && *s.z.next_in == 0) {
                ++s.z.next_in;
                --s.z.avail_in;
            }
            if (s.z.avail_in > 0) s.fail();
            continue;
        }
        if (!s.refill() && s.phase == Phase::failed) break;
        std::size_t room = std::min<std::size_t>(capacity - produced, 1u << 30);
        s.z.next_out = reinterpret_cast<Bytef*>(out + produced);
        s.z.avail_out = static_cast<uInt>(room);
        int status = inflate(&s.z, Z_NO_FLUSH);
        std::size_t made = room - s.z.avail_out;
        produced += made;
        s.total += made;
        if (s.total > s.limit) {
            s.fail();
            break;
        }
        if (status == Z_STREAM_END) {
            s.phase = Phase::betweenMembers;
        } else if (status == Z_BUF_ERROR) {
            // No progress: out of input. At the end of the file that is a
            // truncated stream (an empty file included).
            if (s.z.avail_in == 0 && s.inputEnded) s.fail();
        } else if (status != Z_OK) {
            s.fail();
        }
    }
    if (s.phase == Phase::failed) return 0;
    return produced;
}

}  // namespace vantorel
