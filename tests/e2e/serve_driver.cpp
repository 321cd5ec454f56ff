#include "serve_driver.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

#include <boost/json/parse.hpp>

#include "harness.hpp"
#include "reply_log.hpp"

namespace tj::e2e {
namespace {

// "S", "Z"... and the parent pid of `pid`, from the fields after the last ") ".
// Read with plain calls: the process may be reaped mid-read, which a file
// stream turns into an exception.
bool stat_of(pid_t pid, char& state, pid_t& ppid) {
    int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n <= 0) return false;
    std::string text(buf, static_cast<size_t>(n));
    size_t close = text.rfind(") ");
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 2));
    return static_cast<bool>(rest >> state >> ppid);
}

}  // namespace

ServeSession::ServeSession(const std::string& policy, const ServeOptions& options) {
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2], intr[2] = {-1, -1};
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    if (options.interrupt_pipe) make_pipe(intr);
    if (!options.interrupt_file.empty()) {
        intr[0] = open(options.interrupt_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (intr[0] < 0) throw std::runtime_error("open " + options.interrupt_file);
    }
    std::vector<std::string> argv = options.prefix;
    argv.push_back(launcher_path());
    if (intr[0] >= 0) argv.insert(argv.end(), {"--interrupt-fd", "3"});
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (intr[0] >= 0) dup2(intr[0], 3);
        signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (intr[0] >= 0) close(intr[0]);
    in_ = in[1], out_ = out[0], err_ = err[0], interrupt_ = intr[1];
    fcntl(err_, F_SETFL, O_NONBLOCK);
    if (options.reply_channel_closed) {
        close(out_);
        out_ = -1;
    }
    send(policy);
}

ServeSession::~ServeSession() {
    if (!status_) finish(5);
    for (int fd : {in_, out_, err_, interrupt_}) {
        if (fd >= 0) close(fd);
    }
}

bool ServeSession::send(const std::string& line) {
    std::string data = line + "\n";
    for (size_t off = 0; off < data.size();) {
        ssize_t n = write(in_, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

std::optional<std::string> ServeSession::reply(double timeout_s) {
    const double deadline = now_s() + scaled(timeout_s);
    for (;;) {
        size_t nl = out_buf_.find('\n');
        if (nl != std::string::npos) {
            std::string line = out_buf_.substr(0, nl);
            out_buf_.erase(0, nl + 1);
            log_reply_line(line);
            return line;
        }
        drain_stderr();
        double left = deadline - now_s();
        if (out_ < 0 || left <= 0) return std::nullopt;
        pollfd fd = {out_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        char buf[65536];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) {
            close(out_);
            out_ = -1;
            continue;
        }
        out_buf_.append(buf, static_cast<size_t>(n));
    }
}

std::string ServeSession::request(const std::string& line, double timeout_s) {
    send(line);
    return reply(timeout_s).value_or("<no reply>");
}

boost::json::object ServeSession::parse(const std::string& reply) {
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse(reply, ec);
    if (ec || !v.is_object()) return {};
    return v.as_object();
}

void ServeSession::interrupt(const std::string& bytes) {
    if (write(interrupt_, bytes.data(), bytes.size()) < 0) throw std::runtime_error("interrupt");
}

int ServeSession::finish(double timeout_s) {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
    return wait_exit(timeout_s);
}

int ServeSession::wait_exit(double timeout_s) {
    if (status_) return *status_;
    const double deadline = now_s() + scaled(timeout_s);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (now_s() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            status_ = -1;
            return -1;
        }
        drain_stderr();
        usleep(2000);
    }
    drain_stderr();
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return *status_;
}

const std::string& ServeSession::stderr_text() {
    drain_stderr();
    return err_buf_;
}

void ServeSession::drain_stderr() {
    char buf[4096];
    for (ssize_t n; err_ >= 0 && (n = read(err_, buf, sizeof buf)) > 0;) {
        err_buf_.append(buf, static_cast<size_t>(n));
    }
}

int open_fd_count(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

int settled_fd_count(pid_t pid, int at_most) {
    // The server's orphan reaper lists /proc on its own thread when a child
    // ends, so one reading may include that passing descriptor.
    int count = open_fd_count(pid);
    for (double until = now_s() + scaled(10); count > at_most && now_s() < until; usleep(10000)) {
        count = open_fd_count(pid);
    }
    return count;
}

std::vector<pid_t> zombie_children(pid_t pid) {
    std::vector<pid_t> found;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return found;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long p = strtol(entry->d_name, &end, 10);
        char state = 0;
        pid_t ppid = 0;
        if (*end != '\0' || p <= 0 || !stat_of(static_cast<pid_t>(p), state, ppid)) continue;
        if (ppid == pid && state == 'Z') found.push_back(static_cast<pid_t>(p));
    }
    closedir(dir);
    return found;
}

bool process_running(pid_t pid) {
    char state = 0;
    pid_t ppid = 0;
    return stat_of(pid, state, ppid) && state != 'Z' && state != 'X';
}

bool await_process_end(pid_t pid, double timeout_s) {
    const double deadline = now_s() + scaled(timeout_s);
    while (process_running(pid)) {
        if (now_s() >= deadline) return false;
        usleep(2000);
    }
    return true;
}

}  // namespace tj::e2e
