#include "exec/stdin_pass.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "exec/pipe.hpp"
#include "line_reader.hpp"

namespace tj {
namespace {

struct Feed {
    std::string pending;
    UniqueFd to_command;
};

// Writes the pending bytes, then copies descriptor 0 until end of file or
// until the command stops reading (EPIPE: SIGPIPE is ignored).
void* feed_main(void* raw) {
    std::unique_ptr<Feed> feed(static_cast<Feed*>(raw));
    if (!write_all(feed->to_command.get(), feed->pending)) return nullptr;
    feed->pending = {};
    char buf[65536];
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!write_all(feed->to_command.get(), std::string_view(buf, static_cast<size_t>(n)))) {
            break;
        }
    }
    return nullptr;
}

Result<> start_feed(std::string pending, UniqueFd to_command) {
    auto feed = std::make_unique<Feed>(Feed{std::move(pending), std::move(to_command)});
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, feed_main, feed.get());
    if (err != 0) return std::unexpected(fail_errno(err).error().wrap("stdin thread"));
    pthread_detach(thread);
    feed.release();
    return {};
}

bool rewindable(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

}  // namespace

Result<CommandInput> command_input() {
    LineReader& reader = stdin_reader();
    std::string_view buffered = reader.buffered();
    if (buffered.empty()) return CommandInput{};
    off_t back = -static_cast<off_t>(buffered.size());
    if (rewindable(STDIN_FILENO) && lseek(STDIN_FILENO, back, SEEK_CUR) >= 0) {
        reader.drop_buffered();
        return CommandInput{};
    }
    Pipe pipe = TJ_TRY(make_pipe());
    std::string pending(buffered);
    reader.drop_buffered();
    TJ_TRY(start_feed(std::move(pending), std::move(pipe.write)));
    CommandInput input;
    input.fd = pipe.read.get();
    input.owned = std::move(pipe.read);
    return input;
}

}  // namespace tj
