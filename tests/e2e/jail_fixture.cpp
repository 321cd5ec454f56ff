#include "jail_fixture.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include <boost/json/parse.hpp>

namespace tj::e2e {
namespace fs = std::filesystem;

RunAs as_root() {
    return {"root", 0, {}};
}
RunAs as_nobody() {
    return as_uid(65534);
}
RunAs as_uid(uid_t uid) {
    return {uid == 65534 ? "nobody" : "other", uid, as_uid_prefix(uid)};
}

bool can_act_as(const RunAs& user) {
    return ::geteuid() == 0 || (::getuid() == user.uid && ::geteuid() == user.uid);
}

namespace {

std::string make_dir(const std::string& tmpl) {
    std::string path = tmpl;
    if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp " + tmpl);
    ::chmod(path.c_str(), 0755);
    return path;
}

struct SharedBin {
    std::string dir = make_dir("/var/tmp/tj-jail-bin-XXXXXX");
    SharedBin() {
        fs::copy_file(launcher_path(), dir + "/tarrow-jail");
        for (const auto& entry : fs::directory_iterator(fs::path(helper_path("x")).parent_path()))
            fs::copy_file(entry.path(), dir + "/" + entry.path().filename().string());
    }
    ~SharedBin() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

}  // namespace

int high_fd(int fd) {
    if (fd < 0) return fd;
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 20);
    ::close(fd);
    return high;
}

const std::string& shared_bin() {
    static SharedBin bin;
    return bin.dir;
}

std::string shared_helper(const std::string& name) {
    return shared_bin() + "/" + name;
}

JailBed::JailBed(const RunAs& user) : user_(user), base_(make_dir("/var/tmp/tj-jail-XXXXXX")) {
    fs::create_directory(work());
    if (can_act_as(user) && ::chown(work().c_str(), user.uid, user.uid) != 0)
        throw std::runtime_error("chown");
}

JailBed::~JailBed() {
    std::error_code ec;
    fs::remove_all(base_, ec);
}

std::string JailBed::policy(const std::vector<std::string>& argv, const std::string& more) const {
    const std::string args = quote_each(argv);
    std::string text = "{\"cwd\":" + quote(work()) + ",\"argv\":[" + args + "]";
    if (more.find("\"tool_paths\"") == std::string::npos)
        text += ",\"tool_paths\":[" + quote(shared_bin()) + "]";
    if (!more.empty()) text += "," + more;
    return text + "}";
}

Launch JailBed::launch(const std::string& policy) const {
    Launch l;
    l.prefix = user_.prefix;
    l.program = shared_bin() + "/tarrow-jail";
    l.policy_fd = policy + "\n";
    return l;
}

std::string reply_stdout(const std::string& reply_line) {
    boost::system::error_code ec;
    auto value = boost::json::parse(reply_line, ec);
    if (ec || !value.is_object()) return "";
    auto* out = value.as_object().if_contains("stdout");
    return out != nullptr && out->is_string() ? std::string(out->as_string()) : "";
}

HeldSession::HeldSession(const RunAs& user) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2");
    std::vector<std::string> argv = user.prefix;
    argv.push_back(shared_bin() + "/tarrow-jail");
    argv.push_back("--hold-netns");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_w_ = in[1];
    char buf[64];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) {
        ready_.append(buf, static_cast<size_t>(n));
        if (ready_.find('\n') != std::string::npos) break;
    }
    ::close(out[0]);
    std::string ns = "/proc/" + std::to_string(pid_) + "/ns/";
    userns_ = high_fd(::open((ns + "user").c_str(), O_RDONLY | O_CLOEXEC));
    netns_ = high_fd(::open((ns + "net").c_str(), O_RDONLY | O_CLOEXEC));
}

int HeldSession::release() {
    if (stdin_w_ >= 0) ::close(stdin_w_);
    stdin_w_ = -1;
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return -1;
}

HeldSession::~HeldSession() {
    if (userns_ >= 0) ::close(userns_);
    if (netns_ >= 0) ::close(netns_);
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    release();
}

}  // namespace tj::e2e
