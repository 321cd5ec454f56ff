// Output capture of one run: the first and last few MiB of both streams,
// shared by the runner and two detached reader threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

inline constexpr size_t kChunkReadSize = 65536;
// A chunk joins head while head_bytes is at most this before adding it.
inline constexpr uint64_t kHeadLastOffset = 4194303;
// tail is trimmed from the front while it holds more than this.
inline constexpr uint64_t kTailBudget = 4194304;

enum Stream : int { kStdout = 0, kStderr = 1, kBothStreams = 2 };

struct Chunk {
    int stream;
    std::string bytes;  // the exact result of one read
};

struct OutputCapture {
    std::vector<Chunk> head;
    std::deque<Chunk> tail;
    uint64_t head_bytes = 0;
    uint64_t tail_bytes = 0;
    uint64_t omitted_stdout = 0;
    uint64_t omitted_stderr = 0;
    UniqueFd log_fd;  // once set, chunks go to the log file instead
    // Cleared once the run was answered without a log file: later chunks
    // (from a process that kept the pipe) have no reader left and are dropped.
    bool retaining = true;

    // Files a chunk in head or tail, dropping the oldest tail chunks past the budget.
    void retain(Chunk chunk);
    // Forgets every retained chunk and count (their text went to the log file).
    void clear_retained();
};

// Stream `which` (kStdout, kStderr, or kBothStreams interleaved in arrival
// order): head, the omission marker when tail chunks were dropped, tail;
// invalid UTF-8 replaced by U+FFFD.
std::string render_output(const OutputCapture& capture, int which);

// The capture and the readers' progress; lives as long as its last holder, so
// a backgrounded command's readers keep it (and its log file) alive alone.
struct SharedCapture {
    std::mutex mutex;
    std::condition_variable reader_finished;
    OutputCapture capture;
    int finished_readers = 0;
};

// Starts a detached thread that reads `pipe` into `shared` until end of file.
Result<> start_reader(std::shared_ptr<SharedCapture> shared, UniqueFd pipe, int stream);

// Waits until `count` readers have finished or `deadline` passes; returns how
// many have finished.
int wait_for_readers(SharedCapture& shared, int count,
                     std::chrono::steady_clock::time_point deadline);

}  // namespace tj
