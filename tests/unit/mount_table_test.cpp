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

TEST(MountTable, TakesTheFifthFieldOfALine) {
    EXPECT_EQ(mount_point_of_line("26 1 254:0 / / rw,relatime - ext4 /dev/vda rw"), "/");
    EXPECT_EQ(mount_point_of_line("27 26 0:24 / /mnt/a\\040b ro,nosuid - tmpfs x ro"), "/mnt/a b");
    EXPECT_EQ(mount_point_of_line("short line only"), std::nullopt);
    EXPECT_EQ(mount_point_of_line("1 2 3 4 "), "");
    EXPECT_EQ(mount_point_of_line("1 2 3 /x"), std::nullopt);
    EXPECT_EQ(mount_point_of_line("1 2 3 4 /x"), "/x");
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
