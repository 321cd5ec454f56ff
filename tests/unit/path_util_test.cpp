#include "path_util.hpp"

#include <gtest/gtest.h>

namespace tj {
namespace {

TEST(PathUtil, ComparesByComponents) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
        bool under;
    };
    const Case cases[] = {
        {"/a/b", "/a/b", true, true},
        {"/a//b/", "/a/b", true, true},
        {"/a/./b", "/a/b", true, true},
        {"/a/b/c", "/a/b", false, true},
        {"/a/bc", "/a/b", false, false},
        {"/a/../b", "/b", false, false},
        {"/a", "/", false, true},
        {"a/b", "/a/b", false, false},
        {"./a", "./a/", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(path_equal(c.a, c.b), c.equal) << c.a << " vs " << c.b;
        EXPECT_EQ(path_under(c.a, c.b), c.under) << c.a << " under " << c.b;
    }
}

TEST(PathUtil, RemainderAndJoin) {
    EXPECT_EQ(path_remainder("/s/x//y/", "/s"), "x/y");
    EXPECT_EQ(path_remainder("/s", "/s/"), "");
    EXPECT_EQ(path_join("/g", "x/y"), "/g/x/y");
    EXPECT_EQ(path_join("/g/", ""), "/g/");
    EXPECT_EQ(path_join("/", "x"), "/x");
}

}  // namespace
}  // namespace tj
