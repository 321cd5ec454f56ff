// The seccomp filter as a confined command meets it, in both isolations, as
// root and as uid 65534: each probe either is refused (EPERM, or ENOSYS where
// the C library falls back) or reaches the kernel and fails harmlessly there
// (EFAULT, EBADF, EINVAL), and processes and threads still start.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jail_fixture.hpp"

namespace tj::e2e {
namespace {

struct Expectation {
    const char* probe;
    const char* result;
};

// The same under both isolations: the filter is one.
const Expectation kProbes[] = {
    // Namespaces, whatever the call that would make them.
    {"unshare", "EPERM"},
    {"setns", "EPERM"},
    {"clone-newuser", "EPERM"},
    {"clone-newuser-flag", "EPERM"},
    {"clone-newns", "EPERM"},
    {"clone-newpid", "EPERM"},
    {"clone-newnet", "EPERM"},
    {"clone-newipc", "EPERM"},
    {"clone-newuts", "EPERM"},
    {"clone-newcgroup", "EPERM"},
    {"clone-newtime", "EPERM"},
    {"clone3", "ENOSYS"},
    // The mount API, old and new.
    {"mount", "EPERM"},
    {"statmount", "EPERM"},
    {"listmount", "EPERM"},
    {"open_tree_attr", "EPERM"},
    // What must keep working.
    {"fork", "OK"},
    {"vfork", "OK"},
    {"thread", "OK"},
    {"posix_spawn", "OK"},
    {"openat-create", "EFAULT"},
    {"getpid", "OK"},
};

std::vector<std::string> probe_argv() {
    std::vector<std::string> argv = {shared_helper("try_syscall")};
    for (const auto& e : kProbes) argv.push_back(e.probe);
    return argv;
}

std::string expected_lines() {
    std::string out;
    for (const auto& e : kProbes) out += std::string(e.result) + "\n";
    return out;
}

class SeccompInForce : public ::testing::TestWithParam<RunAs> {};

TEST_P(SeccompInForce, InTheStrictJailAndHardenedAlike) {
    JailBed bed(GetParam());
    for (const char* isolation : {"strict", "hardened"}) {
        const std::string more = "\"isolation\":\"" + std::string(isolation) + "\"";
        Outcome o = bed.run(bed.policy(probe_argv(), more));
        ASSERT_EQ(o.status, 0) << isolation << ": " << o.err;
        EXPECT_EQ(reply_stdout(o.out), expected_lines()) << isolation;
    }
}

INSTANTIATE_TEST_SUITE_P(Users, SeccompInForce, ::testing::Values(as_root(), as_nobody()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tj::e2e
