#include "utf8.hpp"

#include <gtest/gtest.h>

namespace tj {
namespace {

TEST(Utf8, BlankMeansOnlyUnicodeWhiteSpace) {
    struct Case {
        std::string text;
        bool valid;
        bool blank;
    };
    const Case cases[] = {
        {"", true, true},
        {" \t\r\n\v\f", true, true},
        {"\xc2\xa0\xe2\x80\x83\xe3\x80\x80\xc2\x85", true,
         true},  // NBSP, EM SPACE, ideographic, NEL
        {"  x ", true, false},
        {"\xe2\x80\x8b", true, false},  // zero-width space is not white space
        {"\xff", false, false},
        {" \xc0\xa0", false, false},         // overlong
        {"\xed\xa0\x80", false, false},      // surrogate
        {"\xf4\x90\x80\x80", false, false},  // above U+10FFFF
        {"é€𝄞", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(valid_utf8(c.text), c.valid) << c.text;
        EXPECT_EQ(is_blank(c.text), c.blank) << c.text;
    }
}

}  // namespace
}  // namespace tj
