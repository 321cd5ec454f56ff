#include "harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>

#include "reply_log.hpp"

namespace tj::e2e {
namespace {

// A shell ignores SIGINT and SIGQUIT in the programs it starts in the
// background, and children inherit that; the launchers and commands these
// tests start see both at their defaults, as under a supervisor.
[[maybe_unused]] const bool default_signals = [] {
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    return true;
}();

// `fd` at number `to`, inherited across exec. A pipe may already sit there
// (another thread closed a low number), where dup2 would leave it close-on-exec.
void place(int fd, int to) {
    if (fd == to) {
        fcntl(fd, F_SETFD, 0);
    } else {
        dup2(fd, to);
    }
}

// Child side: fds land at 0, 1, 2 and (policy) 3; everything else is closed on exec.
[[noreturn]] void exec_child(const Launch& l, int in, int out, int err, int policy,
                             const std::vector<std::string>& argv) {
    place(out, 1);
    place(err, 2);
    if (l.stdin_closed) {
        close(0);
    } else {
        place(in, 0);
    }
    if (policy >= 0) place(policy, 3);
    for (int fd : l.pass_fds) fcntl(fd, F_SETFD, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
}

void pump(int in_w, const std::string& input, int out_r, int err_r, pid_t pid, double timeout,
          Outcome& o) {
    size_t written = 0;
    if (input.empty() && in_w >= 0) {
        close(in_w);
        in_w = -1;
    }
    const double deadline = now_s() + timeout;
    bool killed = false;
    while (out_r >= 0 || err_r >= 0) {
        pollfd fds[3] = {{out_r, POLLIN, 0}, {err_r, POLLIN, 0}, {in_w, POLLOUT, 0}};
        int left = static_cast<int>((deadline - now_s()) * 1000);
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        poll(fds, 3, left > 0 ? left : 100);
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? o.out : o.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                (i == 0 ? out_r : err_r) = -1;
            }
        }
        if (in_w >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in_w, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN) || written == input.size()) {
                close(in_w);
                in_w = -1;
            }
        }
    }
    if (in_w >= 0) close(in_w);
}

}  // namespace

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double scaled(double seconds) {
    static const double scale = [] {
        const char* text = ::getenv("TARROW_TEST_TIME_SCALE");
        double value = text != nullptr ? ::strtod(text, nullptr) : 0;
        return value >= 1 ? value : 1.0;
    }();
    return seconds * scale;
}

void make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
}

namespace {

// The build puts this program in <build>/tests, the launcher at
// <build>/tarrow-jail and the helpers in <build>/helpers; a copied test tree
// keeps that shape, or names the places in the environment.
std::string beside_build(const char* env, const char* relative) {
    if (const char* set = ::getenv(env); set != nullptr && *set != '\0') return set;
    static const std::filesystem::path build =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
    return (build / relative).string();
}

}  // namespace

std::string launcher_path() {
    static const std::string path = beside_build("TARROW_JAIL", "tarrow-jail");
    return path;
}
std::string helper_path(const std::string& name) {
    static const std::string dir = beside_build("TARROW_HELPERS", "helpers");
    return dir + "/" + name;
}

std::vector<std::string> as_uid_prefix(uid_t uid) {
    return {helper_path("run_as"), std::to_string(uid)};
}

Outcome run_launcher(const Launch& l) {
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2], pol[2] = {-1, -1};
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    std::vector<std::string> argv = l.prefix;
    argv.push_back(l.program.empty() ? launcher_path() : l.program);
    argv.insert(argv.end(), l.args.begin(), l.args.end());
    if (l.policy_fd) {
        make_pipe(pol);
        if (write(pol[1], l.policy_fd->data(), l.policy_fd->size()) < 0)
            throw std::runtime_error("w");
        close(pol[1]);
        argv.push_back("--policy-fd");
        argv.push_back("3");
    }
    pid_t pid = fork();
    if (pid == 0) exec_child(l, in[0], out[1], err[1], pol[0], argv);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pol[0] >= 0) close(pol[0]);
    if (l.on_start) l.on_start(pid);
    Outcome o;
    // Input goes in as the pipe takes it, so a command that answers before it
    // has read everything cannot deadlock against us.
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    pump(in[1], l.stdin_data, out[0], err[0], pid, scaled(l.timeout_s), o);
    int status = 0;
    waitpid(pid, &status, 0);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const bool launcher = l.program.empty() || l.program.ends_with("/tarrow-jail");
    const bool holder = std::find(l.args.begin(), l.args.end(), "--hold-netns") != l.args.end();
    if (launcher && !holder) log_reply_lines(l.policy_fd.value_or(l.stdin_data), o.out);
    return o;
}

Outcome run_policy(const std::string& policy, const std::string& more_stdin) {
    Launch l;
    l.stdin_data = policy + "\n" + more_stdin;
    return run_launcher(l);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/tj-e2e-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string quote(const std::string& text) {
    return boost::json::serialize(boost::json::string(text));
}

std::string quote_each(std::span<const std::string> items) {
    // Appended piece by piece: `"," + quote(...)` trips a false -Wrestrict of
    // g++ 12 in optimised builds.
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += ',';
        out += quote(item);
    }
    return out;
}

}  // namespace tj::e2e
