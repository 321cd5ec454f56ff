// Drives a serve-mode launcher interactively, as a supervisor does: request
// lines in on its standard input, reply lines out, each awaited with a timeout.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include <boost/json/object.hpp>

namespace tj::e2e {

struct ServeOptions {
    std::vector<std::string> prefix;    // e.g. unshare ... in front of the launcher
    bool interrupt_pipe = false;        // pass a pipe's read end as --interrupt-fd 3
    std::string interrupt_file;         // or this file, opened for reading, instead
    bool reply_channel_closed = false;  // the launcher's standard output has no reader
};

class ServeSession {
  public:
    // Starts the launcher with `policy` as the first line of its standard input.
    explicit ServeSession(const std::string& policy, const ServeOptions& options = {});
    ~ServeSession();
    ServeSession(const ServeSession&) = delete;
    ServeSession& operator=(const ServeSession&) = delete;

    // Writes `line` and a newline; false when the launcher no longer reads.
    bool send(const std::string& line);
    // The next reply line without its newline; nothing when none arrives within
    // `timeout_s` or the output has ended.
    std::optional<std::string> reply(double timeout_s = 10);
    // send() then reply().
    std::string request(const std::string& line, double timeout_s = 10);
    // The reply as a JSON object (empty when there was none).
    static boost::json::object parse(const std::string& reply);

    // Writes `bytes` on the interrupt descriptor.
    void interrupt(const std::string& bytes = "x");
    // Ends the launcher's input and waits for its exit status (128 + signal;
    // -1 after `timeout_s`, when it is killed).
    int finish(double timeout_s = 10);
    int wait_exit(double timeout_s = 10);

    pid_t pid() const { return pid_; }
    const std::string& stderr_text();

  private:
    void drain_stderr();

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1, interrupt_ = -1;
    std::string out_buf_, err_buf_;
    std::optional<int> status_;
};

// Descriptors the process has open, from /proc/{pid}/fd.
int open_fd_count(pid_t pid);
// The descriptor count once it is at most `at_most`, or the last one read
// when it stays above for seconds: a passing descriptor is not a leak.
int settled_fd_count(pid_t pid, int at_most);
// Children of `pid` that have ended and wait to be collected.
std::vector<pid_t> zombie_children(pid_t pid);
// Whether `pid` exists and has not ended (a zombie counts as ended).
bool process_running(pid_t pid);
// Waits up to `timeout_s` for `pid` to end; true when it did.
bool await_process_end(pid_t pid, double timeout_s = 5);

}  // namespace tj::e2e
