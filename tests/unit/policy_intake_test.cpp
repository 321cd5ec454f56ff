#include "policy_intake.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

namespace tj {
namespace {

class WidenHidePaths : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tj-widen-XXXXXX";
        root_ = mkdtemp(tmpl);
        std::filesystem::create_directories(root_ + "/real/secret");
        std::filesystem::create_directories(root_ + "/src/x");
        std::filesystem::create_directories(root_ + "/grant");
        std::filesystem::create_directory_symlink(root_ + "/real", root_ + "/link");
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    std::string root_;
};

TEST_F(WidenHidePaths, AddsTargetsAndGrantTranslations) {
    Policy p;
    p.hide_paths = {root_ + "/link/secret", root_ + "/src/x", root_ + "/missing"};
    p.grant_sources = {{root_ + "/grant", root_ + "/src"}, {root_ + "/other", root_ + "/nope"}};
    widen_hide_paths(p);
    EXPECT_EQ(p.hide_paths, (std::vector<std::string>{root_ + "/link/secret", root_ + "/src/x",
                                                      root_ + "/missing", root_ + "/real/secret",
                                                      root_ + "/grant/x"}));
}

TEST_F(WidenHidePaths, KeepsListsThatNeedNothing) {
    Policy p;
    p.hide_paths = {root_ + "/real/secret/", root_ + "/src"};
    p.grant_sources = {{root_ + "/grant", root_ + "/src"}};
    widen_hide_paths(p);
    // The canonical form equals an entry by components; the source itself maps
    // to the grant path itself.
    EXPECT_EQ(p.hide_paths, (std::vector<std::string>{root_ + "/real/secret/", root_ + "/src",
                                                      root_ + "/grant"}));
}

// The canonical path is opened with no link followed: one swapped in since
// canonicalization is refused, never entered.
TEST_F(WidenHidePaths, WorkspaceIsEnteredWithoutFollowingALink) {
    const auto before = std::filesystem::current_path();
    auto refused = enter_workspace(root_ + "/link/secret");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().err, ELOOP);
    EXPECT_EQ(std::filesystem::current_path(), before);
    ASSERT_TRUE(enter_workspace(root_ + "/real/secret"));
    EXPECT_EQ(std::filesystem::current_path(), root_ + "/real/secret");
    std::filesystem::current_path(before);
}

}  // namespace
}  // namespace tj
