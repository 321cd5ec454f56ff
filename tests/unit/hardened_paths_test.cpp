#include "confine/hardened_paths.hpp"

#include <gtest/gtest.h>

namespace tj::hardened {
namespace {

TEST(HardenedPaths, ProtectedSetComparesByComponents) {
    ProtectedSet set({"/w/secret/", "/w/a//b/c", "relative/p"});
    struct Case {
        const char* path;
        bool contains;
        bool covers;
        bool any_under;
    };
    const Case cases[] = {
        {"/w/secret", true, true, true},
        {"/w//secret/", true, true, true},
        {"/w/secret/key", false, true, false},
        {"/w/secretive", false, false, false},
        {"/w", false, false, true},
        {"/", false, false, true},
        {"/w/a/b", false, false, true},
        {"/w/a/b/c/d", false, true, false},
        {"/w/a/x", false, false, false},
        {"relative/p", true, true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(set.contains(c.path), c.contains) << c.path;
        EXPECT_EQ(set.covers(c.path), c.covers) << c.path;
        EXPECT_EQ(set.any_under(c.path), c.any_under) << c.path;
    }
    EXPECT_TRUE(ProtectedSet().empty());
    EXPECT_FALSE(ProtectedSet().covers("/"));
}

TEST(HardenedPaths, ListsSubstituteSourcesFirstMatchWins) {
    Policy policy;
    policy.extra_rw_paths = {"/grant/rw/", "/plain"};
    policy.extra_ro_paths = {"/grant/ro", "/ro"};
    policy.tool_paths = {"/grant/ro"};  // tools stay as written
    policy.grant_sources = {
        {"/grant/rw", "/src/rw"}, {"/grant//rw", "/src/other"}, {"/grant/ro", "/src/ro"}};
    EXPECT_EQ(rw_list(policy), (std::vector<std::string>{"/tmp", "/src/rw", "/plain"}));
    EXPECT_EQ(ro_list(policy), (std::vector<std::string>{"/usr", "/bin", "/sbin", "/lib", "/lib64",
                                                         "/etc", "/src/ro", "/ro", "/grant/ro"}));
}

TEST(HardenedPaths, WorkingDirectoryIsWalkedOnlyAroundProtectedPaths) {
    EXPECT_FALSE(cwd_needs_walk(ProtectedSet(), "/w"));
    EXPECT_TRUE(cwd_needs_walk(ProtectedSet({"/w/.git"}), "/w"));
    EXPECT_TRUE(cwd_needs_walk(ProtectedSet({"/w"}), "/w"));
    EXPECT_TRUE(cwd_needs_walk(ProtectedSet({"/"}), "/w"));
    // A protected path elsewhere is kept off by the grant checks; the working
    // directory stays writable as a whole.
    EXPECT_FALSE(cwd_needs_walk(ProtectedSet({"/home/u/.ssh"}), "/w"));
}

TEST(HardenedPaths, WalkChoicePerEntry) {
    ProtectedSet set({"/w/secret", "/w/a/b/c", "/outside/p"});
    struct Case {
        const char* entry;
        const char* canonical;
        bool directory;
        WalkChoice choice;
    };
    const Case cases[] = {
        {"/w/secret", "/w/secret", true, WalkChoice::Skip},
        {"/w/link", "/w/secret", false, WalkChoice::Skip},        // link onto a protected path
        {"/w/link2", "/w/secret/inner", true, WalkChoice::Skip},  // link into one
        {"/w/secret", "/elsewhere", true, WalkChoice::Skip},      // protected as written
        {"/w/out", "/etc", true, WalkChoice::Outside},
        {"/w/up", "/outside/p", true, WalkChoice::Skip},  // protection comes first
        {"/w/a", "/w/a", true, WalkChoice::Descend},
        {"/w/a/b", "/w/a/b", true, WalkChoice::Descend},
        {"/w/a/b", "/w/a/b", false, WalkChoice::Grant},  // not a directory after all
        {"/w/a/x", "/w/a/x", true, WalkChoice::Grant},
        {"/w/file", "/w/file", false, WalkChoice::Grant},
        {"/w/alias", "/w/a", true, WalkChoice::Descend},
    };
    for (const auto& c : cases)
        EXPECT_EQ(classify_walk_entry(c.entry, c.canonical, c.directory, set, "/w"), c.choice)
            << c.entry << " -> " << c.canonical;
}

}  // namespace
}  // namespace tj::hardened
