// Strict jails as a supervisor runs them, as root and as an unprivileged user:
// the launcher and helpers copied where every user can reach them, a work
// directory the user owns outside /tmp, and a held session network.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace tj::e2e {

struct RunAs {
    const char* name;
    uid_t uid;
    std::vector<std::string> prefix;  // what switches to the user
};

// Test names and failure messages show the user's name, not the record's bytes.
inline void PrintTo(const RunAs& user, std::ostream* os) {
    *os << user.name;
}

RunAs as_root();
RunAs as_nobody();
// Another unprivileged user, for files the user does not own.
RunAs as_uid(uid_t uid);

// Whether this test program can run commands as `user`: it is root, or it
// is that user already.
bool can_act_as(const RunAs& user);

// Tests run once per user; the cases of a user this program cannot become
// are skipped.
class PerUser : public ::testing::TestWithParam<RunAs> {
  protected:
    void SetUp() override {
        if (!can_act_as(GetParam())) GTEST_SKIP() << "needs root to run as " << GetParam().name;
    }
};

// `fd` moved to a number above the ones the harness assigns (0 to 3), so that
// it can be passed to the launcher as it is.
int high_fd(int fd);

// A 0755 directory holding copies of the launcher and the helper programs.
const std::string& shared_bin();
std::string shared_helper(const std::string& name);

// A fresh 0755 directory under /var/tmp (the jail's /tmp is its own) with an
// empty "work" directory owned by the user.
class JailBed {
  public:
    explicit JailBed(const RunAs& user);
    ~JailBed();
    JailBed(const JailBed&) = delete;
    JailBed& operator=(const JailBed&) = delete;

    const std::string& base() const { return base_; }
    std::string work() const { return base_ + "/work"; }

    // A strict policy running `argv` in work(), plus `more` (JSON members,
    // without braces); the helpers are the tool path unless `more` names some.
    std::string policy(const std::vector<std::string>& argv, const std::string& more = "") const;

    Launch launch(const std::string& policy) const;
    Outcome run(const std::string& policy) const { return run_launcher(launch(policy)); }

  private:
    RunAs user_;
    std::string base_;
};

// The "stdout" of a once reply line ("" when the line is no such reply).
std::string reply_stdout(const std::string& reply_line);

// A session network holder running as `user`; closes its input and collects
// it on destruction.
class HeldSession {
  public:
    explicit HeldSession(const RunAs& user);
    ~HeldSession();
    HeldSession(const HeldSession&) = delete;
    HeldSession& operator=(const HeldSession&) = delete;

    const std::string& ready_line() const { return ready_; }
    // Descriptors of the holder's namespaces (close-on-exec in this process).
    int userns_fd() const { return userns_; }
    int netns_fd() const { return netns_; }
    // Closes the holder's standard input; returns its exit status.
    int release();

  private:
    pid_t pid_ = -1;
    int stdin_w_ = -1;
    int userns_ = -1;
    int netns_ = -1;
    std::string ready_;
};

}  // namespace tj::e2e
