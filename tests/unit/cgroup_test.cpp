#include "exec/cgroup.hpp"

#include <gtest/gtest.h>

namespace tj {
namespace {

TEST(SessionGroupPath, BesideTheLaunchersOwnV2Group) {
    struct Case {
        const char* cgroup;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"0::/\n", "/sys/fs/cgroup/tarrow-jail-42"},
        {"0::/user.slice/session-3.scope\n",
         "/sys/fs/cgroup/user.slice/session-3.scope/tarrow-jail-42"},
        // A hybrid host: v1 hierarchies first, the v2 line last.
        {"4:memory:/a\n1:name=systemd:/b\n0::/c\n", "/sys/fs/cgroup/c/tarrow-jail-42"},
        {"4:memory:/a\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(session_group_path("/sys/fs/cgroup", c.cgroup, 42), c.path) << c.cgroup;
    }
}

}  // namespace
}  // namespace tj
