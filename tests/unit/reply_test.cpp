#include "reply.hpp"

#include <gtest/gtest.h>

namespace tj {
namespace {

// A string produced in pieces is escaped exactly as the same string given
// whole, and takes its place among the keys.
TEST(Reply, StreamedTextMatchesTheSameTextGivenWhole) {
    std::string text;
    for (int c = 0; c < 0x80; ++c) text += static_cast<char>(c);
    text += "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \"quoted\\\"";
    const ReplyField whole[] = {{"a", 1}, {"m", boost::json::string_view(text)}, {"z", 2}};
    const ReplyField plain[] = {{"a", 1}, {"z", 2}};
    const StreamedText streamed[] = {{"m", [&](TextSink& out) {
                                          for (char c : text) out(std::string_view(&c, 1));
                                      }}};
    EXPECT_EQ(reply_text(plain, streamed), reply_text(whole));
}

}  // namespace
}  // namespace tj
