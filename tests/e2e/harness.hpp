// Runs the built launcher as a supervisor would: policy on a descriptor or on
// standard input, standard streams captured, exit status returned.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tj::e2e {

struct Outcome {
    int status = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

struct Launch {
    std::vector<std::string> args;         // after the program name
    std::optional<std::string> policy_fd;  // policy text passed on a descriptor (--policy-fd added)
    std::string stdin_data;                // standard input's content
    bool stdin_closed = false;             // start with descriptor 0 closed
    std::vector<std::string> prefix;       // e.g. as_uid_prefix(65534) to run unprivileged
    std::string program;                   // the launcher to run; empty: launcher_path()
    double timeout_s = 60;                 // scaled()
    std::vector<int> pass_fds;             // open descriptors the launcher inherits as they are
    std::function<void(pid_t)> on_start;   // called with the launcher's pid once it runs
};

Outcome run_launcher(const Launch& launch);

// Whether the launcher (built with the same flags as these tests) carries a
// sanitizer runtime, whose allocator and shadow memory make resident-size
// figures meaningless.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

// Shorthand: policy text on standard input, followed by `more_stdin`.
Outcome run_policy(const std::string& policy, const std::string& more_stdin = "");

// The built launcher and helper programs, found beside this test program's
// directory, or at $TARROW_JAIL and in $TARROW_HELPERS when set.
std::string launcher_path();
std::string helper_path(const std::string& name);
// A Launch prefix that runs the program as `uid` (group `uid`, no
// supplementary groups).
std::vector<std::string> as_uid_prefix(uid_t uid);

// A fresh directory under /tmp, removed at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Seconds on the monotonic clock.
double now_s();
// A deadline of `seconds` stretched by $TARROW_TEST_TIME_SCALE (default 1), for
// a system that runs everything many times slower (an emulated machine). Only
// for how long to wait for something, never for how long something may take.
double scaled(double seconds);
// A close-on-exec pipe; throws on failure.
void make_pipe(int fds[2]);

// A JSON string literal for `text`.
std::string quote(const std::string& text);
// The JSON string literals of `items`, comma-separated (no brackets).
std::string quote_each(std::span<const std::string> items);

}  // namespace tj::e2e
