#include "jail/mount_table.hpp"

#include <gtest/gtest.h>

#include "jail/mount_points.hpp"
#include "session/id_map.hpp"

namespace tj {
namespace {

TEST(MountTable, UnescapesOctalEscapes) {
    struct Case {
        std::string_view field;
        std::string want;
    };
    const Case cases[] = {
        {"/plain", "/plain"},
        {"/with\\040blank", "/with blank"},
        {"/tab\\011and\\012newline", "/tab\tand\nnewline"},
        {"/back\\134slash", "/back\\slash"},
        {"/high\\377", "/high\xff"},
        {"/wraps\\777", std::string("/wraps\xff")},  // 511 taken modulo 256
        {"/lone\\", "/lone\\"},
        {"/short\\04", "/short\\04"},
        {"/not\\089octal", "/not\\089octal"},
        {"\\040\\040", "  "},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(unescape_mount_field(c.field), c.want) << c.field;
}

TEST(MountTable, TakesTheFifthFieldOfEachLine) {
    const std::string text =
        "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
        "27 26 0:24 / /mnt/a\\040b ro,nosuid - tmpfs x ro\n"
        "short line only\n"
        "1 2 3 4 \n"
        "28 26 0:25 /sub /last rw - tmpfs y rw";  // no final newline
    EXPECT_EQ(parse_mount_points(text), (std::vector<std::string>{"/", "/mnt/a b", "", "/last"}));
    EXPECT_EQ(mount_point_of_line("1 2 3 /x"), std::nullopt);
    EXPECT_EQ(mount_point_of_line("1 2 3 4 /x"), "/x");
}

TEST(MountTable, SelectsUncoveredSubmountsInTableOrder) {
    struct Case {
        const char* name;
        std::vector<std::string> table;
        const char* target;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"nothing below", {"/", "/r", "/r/usr"}, "/r/usr", {}},
        {"target itself is never chosen", {"/r/usr", "/r/usr/"}, "/r/usr", {}},
        {"brought along by a recursive bind",
         {"/", "/r", "/r/home", "/r/home/u/nfs", "/r/home/u/nfs/deep"},
         "/r/home",
         {"/r/home/u/nfs", "/r/home/u/nfs/deep"}},
        {"sibling with a shared prefix is not below", {"/r/usr", "/r/usrx/a"}, "/r/usr", {}},
        {"covered by a later mount at the same path",
         {"/r/w", "/r/w/g", "/r/w/g"},
         "/r/w",
         {"/r/w/g"}},
        {"covered by a later mount at an ancestor",
         {"/r/w/g/sub", "/r/w/g", "/r/w", "/r/w/g/sub"},
         "/r/w",
         {"/r/w/g/sub"}},
        {"a later mount of the target covers earlier submounts",
         {"/r/w", "/r/w/old", "/r/w", "/r/w/new"},
         "/r/w",
         {"/r/w/new"}},
        {"component comparison, not text", {"/r//w/", "/r/w//x/"}, "/r/w", {"/r/w//x/"}},
        {"names with blanks", {"/r/a b", "/r/a b/c d"}, "/r/a b", {"/r/a b/c d"}},
    };
    for (const auto& c : cases) EXPECT_EQ(select_submounts(c.table, c.target), c.want) << c.name;
}

TEST(MountTable, ReadsThisProcessTable) {
    auto points = read_mount_points();
    ASSERT_TRUE(points.has_value()) << points.error().text;
    EXPECT_NE(std::find(points->begin(), points->end(), "/"), points->end());
}

TEST(JailPaths, JailSidePathsAndParents) {
    EXPECT_EQ(jail_path("/r", "/usr"), "/r/usr");
    EXPECT_EQ(jail_path("/r", "//etc/alternatives"), "/r/etc/alternatives");
    EXPECT_EQ(jail_path("/r", "rel/x"), "/r/rel/x");
    EXPECT_EQ(jail_path("/r", "/"), "/r");
    EXPECT_EQ(parent_dir("/r/dev/tty"), "/r/dev");
    EXPECT_EQ(parent_dir("/r//a//"), "/r");
    EXPECT_EQ(parent_dir("/x"), "/");
    EXPECT_EQ(parent_dir("x"), "/");
    EXPECT_EQ(id_map_line(65534), "65534 65534 1\n");
    EXPECT_EQ(id_map_line(0), "0 0 1\n");
}

}  // namespace
}  // namespace tj
