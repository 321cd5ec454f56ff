// Helpers for tests of irreversible confinement: a throw-away file tree, and a
// forked child that confines itself and reports what it saw.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "exec/fork_alone.hpp"

namespace tj::test {

// A fresh directory (mode 0755) under `base`, removed with everything in it.
class FixtureTree {
  public:
    explicit FixtureTree(const std::string& base = "/tmp") {
        std::string tmpl = base + "/tj-unit-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
        root_ = tmpl;
        std::filesystem::permissions(root_, std::filesystem::perms(0755));
    }
    ~FixtureTree() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    FixtureTree(const FixtureTree&) = delete;
    FixtureTree& operator=(const FixtureTree&) = delete;

    const std::string& root() const { return root_; }
    std::string operator/(const std::string& rel) const { return root_ + "/" + rel; }

    // Directories end in "/"; everything else is a file holding "x".
    void make(std::initializer_list<const char*> entries) const {
        for (std::string rel : entries) {
            std::string path = *this / rel;
            if (rel.ends_with('/')) {
                std::filesystem::create_directories(path);
                continue;
            }
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, "x", 1) != 1) throw std::runtime_error("fixture " + path);
            ::close(fd);
        }
    }
    void link(const std::string& rel, const std::string& target) const {
        std::filesystem::create_symlink(target, *this / rel);
    }

  private:
    std::string root_;
};

// 0, or the errno of open(path, flags): selftest-style probes.
inline int test_open(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

// Runs `body` in a forked child and returns what it returned ("" for success),
// or a note on how the child ended abnormally. The child starts with a single
// thread, so that it can create a user namespace; the test process has one.
inline std::string in_child(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe2 failed";
    pid_t pid = fork_alone();
    if (pid == 0) {
        ::close(fds[0]);
        std::string report = body();
        size_t off = 0;
        while (off < report.size()) {
            ssize_t n = ::write(fds[1], report.data() + off, report.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        report += "child ended with status " + std::to_string(status);
    return report;
}

}  // namespace tj::test
