#include "exec/capture_pipes.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "line_reader.hpp"

namespace tj {
namespace {

// A flooding writer may not hold the wait away from its checks: each pipe
// gives at most this many reads per pause.
constexpr int kReadsPerServe = 16;
// A reader needs its 64 KiB read buffer and little else.
constexpr size_t kReaderStack = 256 * 1024;

void set_nonblocking(const UniqueFd& fd) {
    int flags = fcntl(fd.get(), F_GETFL);
    if (flags >= 0) fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
}

struct Reader {
    std::array<UniqueFd, 2> pipes;
    UniqueFd log;
};

// Reads one ready pipe; false once it has ended.
bool pass_on(Reader& reader, UniqueFd& pipe, char* buffer) {
    ssize_t n = read(pipe.get(), buffer, kChunkReadSize);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    // Nobody is left to tell about a failing log write: the run was answered.
    if (reader.log) (void)write_all(reader.log.get(), std::string_view(buffer, n));
    return true;
}

void* reader_main(void* raw) {
    std::unique_ptr<Reader> reader(static_cast<Reader*>(raw));
    char buffer[kChunkReadSize];
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        for (UniqueFd& pipe : reader->pipes) {
            if (pipe) fds[count++] = {pipe.get(), POLLIN, 0};
        }
        if (count == 0) return nullptr;
        if (poll(fds, count, -1) < 0 && errno != EINTR) return nullptr;
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            UniqueFd& pipe =
                reader->pipes[0].get() == fds[i].fd ? reader->pipes[0] : reader->pipes[1];
            if (!pass_on(*reader, pipe, buffer)) pipe.reset();
        }
    }
}

}  // namespace

CapturePipes::CapturePipes(UniqueFd out, UniqueFd err) : pipes_{std::move(out), std::move(err)} {
    for (const UniqueFd& pipe : pipes_) set_nonblocking(pipe);
}

size_t CapturePipes::poll_entries(pollfd* fds) {
    size_t count = 0;
    for (const UniqueFd& pipe : pipes_) {
        if (pipe) fds[count++] = {pipe.get(), POLLIN, 0};
    }
    return count;
}

void CapturePipes::serve(const pollfd* fds, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        int stream = pipes_[kStdout].get() == fds[i].fd ? kStdout : kStderr;
        for (int reads = 0; reads < kReadsPerServe && read_once(stream); ++reads) {
        }
    }
}

bool CapturePipes::read_once(int stream) {
    UniqueFd& pipe = pipes_[stream];
    if (!pipe) return false;
    OutputCapture::Space room = capture.space();
    ssize_t n = readv(pipe.get(), room.pieces, room.count);
    if (n > 0) {
        capture.commit(stream, static_cast<size_t>(n));
        return static_cast<size_t>(n) == kChunkReadSize;  // a short read emptied the pipe
    }
    if (n < 0 && errno == EINTR) return true;
    if (n < 0 && errno == EAGAIN) return false;
    pipe.reset();  // end of file, or a pipe that cannot be read
    return false;
}

bool CapturePipes::drain_until(Clock::time_point deadline) {
    while (!ended()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[kMaxEntries];
        size_t count = poll_entries(fds);
        int ready = poll(fds, count, static_cast<int>(std::min<int64_t>(left.count(), 50)));
        if (ready > 0) serve(fds, count);
    }
    return true;
}

Result<> keep_reading(std::array<UniqueFd, 2> pipes, UniqueFd log) {
    if (!pipes[0] && !pipes[1]) return {};
    auto reader = std::make_unique<Reader>(Reader{std::move(pipes), std::move(log)});
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, std::max<size_t>(kReaderStack, PTHREAD_STACK_MIN));
    pthread_t thread;
    int err = pthread_create(&thread, &attr, reader_main, reader.get());
    pthread_attr_destroy(&attr);
    if (err != 0) return std::unexpected(fail_errno(err).error().wrap("reader thread"));
    reader.release();
    return {};
}

}  // namespace tj
