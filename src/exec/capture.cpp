#include "exec/capture.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>

#include <fmt/core.h>

#include "line_reader.hpp"
#include "utf8.hpp"

namespace tj {
namespace {

// A reader needs its 64 KiB read buffer and little else.
constexpr size_t kReaderStack = 256 * 1024;

bool matches(const Chunk& chunk, int which) {
    return which == kBothStreams || chunk.stream == which;
}

struct ReaderArgs {
    std::shared_ptr<SharedCapture> shared;
    UniqueFd pipe;
    int stream;
};

void file_chunk(SharedCapture& shared, int stream, const char* data, size_t size) {
    std::unique_lock lock(shared.mutex);
    OutputCapture& capture = shared.capture;
    if (capture.log_fd) {
        // Nobody is left to tell about a failing log write: the run was answered.
        (void)write_all(capture.log_fd.get(), std::string_view(data, size));
        return;
    }
    if (capture.retaining) capture.retain(Chunk{stream, std::string(data, size)});
}

void* reader_main(void* raw) {
    std::unique_ptr<ReaderArgs> args(static_cast<ReaderArgs*>(raw));
    char buffer[kChunkReadSize];
    for (;;) {
        ssize_t n = read(args->pipe.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        file_chunk(*args->shared, args->stream, buffer, static_cast<size_t>(n));
    }
    args->pipe.reset();
    {
        std::lock_guard lock(args->shared->mutex);
        ++args->shared->finished_readers;
    }
    args->shared->reader_finished.notify_all();
    return nullptr;
}

}  // namespace

void OutputCapture::retain(Chunk chunk) {
    if (head_bytes <= kHeadLastOffset) {
        head_bytes += chunk.bytes.size();
        head.push_back(std::move(chunk));
        return;
    }
    tail_bytes += chunk.bytes.size();
    tail.push_back(std::move(chunk));
    while (tail_bytes > kTailBudget && !tail.empty()) {
        const Chunk& front = tail.front();
        tail_bytes -= front.bytes.size();
        (front.stream == kStdout ? omitted_stdout : omitted_stderr) += front.bytes.size();
        tail.pop_front();
    }
}

void OutputCapture::clear_retained() {
    head = {};
    tail = {};
    head_bytes = tail_bytes = omitted_stdout = omitted_stderr = 0;
}

std::string render_output(const OutputCapture& capture, int which) {
    uint64_t omitted = (which != kStderr ? capture.omitted_stdout : 0) +
                       (which != kStdout ? capture.omitted_stderr : 0);
    size_t size = 0;
    for (const auto& chunk : capture.head) size += matches(chunk, which) ? chunk.bytes.size() : 0;
    for (const auto& chunk : capture.tail) size += matches(chunk, which) ? chunk.bytes.size() : 0;
    std::string marker;
    if (omitted != 0) {
        marker = fmt::format(
            "\n[tarrow-jail] output over the retained cap; {} bytes omitted here\n", omitted);
    }
    std::string out;
    out.reserve(size + marker.size());
    for (const auto& chunk : capture.head) {
        if (matches(chunk, which)) out += chunk.bytes;
    }
    out += marker;
    for (const auto& chunk : capture.tail) {
        if (matches(chunk, which)) out += chunk.bytes;
    }
    return utf8_lossy(std::move(out));
}

Result<> start_reader(std::shared_ptr<SharedCapture> shared, UniqueFd pipe, int stream) {
    auto args =
        std::make_unique<ReaderArgs>(ReaderArgs{std::move(shared), std::move(pipe), stream});
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, std::max<size_t>(kReaderStack, PTHREAD_STACK_MIN));
    pthread_t thread;
    int err = pthread_create(&thread, &attr, reader_main, args.get());
    pthread_attr_destroy(&attr);
    if (err != 0) return std::unexpected(fail_errno(err).error().wrap("reader thread"));
    args.release();
    return {};
}

int wait_for_readers(SharedCapture& shared, int count,
                     std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(shared.mutex);
    shared.reader_finished.wait_until(lock, deadline,
                                      [&] { return shared.finished_readers >= count; });
    return shared.finished_readers;
}

}  // namespace tj
