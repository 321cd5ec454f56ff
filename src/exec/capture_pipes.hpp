// The output pipes of a captured run, read into its capture by the runner's
// own wait: no thread runs while the command is answered for.
#pragma once

#include <array>

#include "error.hpp"
#include "exec/capture.hpp"
#include "exec/wait_loop.hpp"
#include "unique_fd.hpp"

namespace tj {

class CapturePipes final : public WaitClient {
  public:
    // Takes the read ends of the command's standard output and error.
    CapturePipes(UniqueFd out, UniqueFd err);

    size_t poll_entries(pollfd* fds) override;
    void serve(const pollfd* fds, size_t count) override;

    // Reads until both pipes reach end of file or `deadline` passes; true when
    // both ended.
    bool drain_until(Clock::time_point deadline);
    bool ended() const { return !pipes_[kStdout] && !pipes_[kStderr]; }
    // The pipes not yet at end of file, for whoever reads them from now on.
    std::array<UniqueFd, 2> release() { return {std::move(pipes_[0]), std::move(pipes_[1])}; }

    OutputCapture capture;

  private:
    // One read of `stream`'s pipe into the capture; false once it cannot
    // give more now (empty, ended or failed).
    bool read_once(int stream);

    std::array<UniqueFd, 2> pipes_;
};

// Reads the pipes to their end on a detached thread, appending what comes to
// `log` (or dropping it when `log` is not open): the output of a command
// handed to the background, or of a process that keeps a pipe open past the
// reply, which must not meet a closed pipe.
Result<> keep_reading(std::array<UniqueFd, 2> pipes, UniqueFd log);

}  // namespace tj
