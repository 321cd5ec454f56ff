#include "exec/capture.hpp"

#include <gtest/gtest.h>

#include "utf8.hpp"

namespace tj {
namespace {

Chunk chunk(int stream, size_t size, char fill) {
    return Chunk{stream, std::string(size, fill)};
}

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpart) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::string r = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"plain ascii", "plain ascii"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"a\xFF"
         "b",
         "a" + r + "b"},
        {"\x80\x80", r + r},  // lone continuation bytes
        {"\xE2\x82"
         "A",
         r + "A"},                            // truncated three-byte sequence: one replacement
        {"\xE2\x82", r},                      // truncated at the end
        {"\xC0\xAF", r + r},                  // overlong two-byte form
        {"\xE0\x80\xAF", r + r + r},          // overlong three-byte form
        {"\xED\xA0\x80", r + r + r},          // UTF-16 surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xF0\x9F\x98", r},                  // truncated four-byte sequence
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
}

TEST(OutputCapture, KeepsHeadThenTrimsTailToItsBudget) {
    OutputCapture capture;
    // 64 chunks of 64 KiB fill head to exactly 4 MiB, past its last offset.
    for (int i = 0; i < 64; ++i) capture.retain(chunk(kStdout, kChunkReadSize, 'h'));
    EXPECT_EQ(capture.head_bytes, 64 * kChunkReadSize);
    capture.retain(chunk(kStdout, 10, 'x'));
    EXPECT_EQ(capture.head.size(), 64u);
    EXPECT_EQ(capture.tail_bytes, 10u);
    for (int i = 0; i < 64; ++i) capture.retain(chunk(kStderr, kChunkReadSize, 't'));
    // 10 + 4 MiB is over budget: the 10-byte stdout chunk goes first.
    EXPECT_EQ(capture.tail_bytes, kTailBudget);
    EXPECT_EQ(capture.omitted_stdout, 10u);
    capture.retain(chunk(kStderr, 100, 'u'));
    EXPECT_EQ(capture.omitted_stderr, kChunkReadSize);
    EXPECT_EQ(capture.tail_bytes, kTailBudget - kChunkReadSize + 100);
}

TEST(OutputCapture, HeadTakesOneChunkPastItsLastOffset) {
    OutputCapture capture;
    capture.retain(chunk(kStdout, kHeadLastOffset, 'a'));
    capture.retain(chunk(kStdout, kChunkReadSize, 'b'));  // head_bytes was 4194303: still head
    capture.retain(chunk(kStdout, 1, 'c'));
    EXPECT_EQ(capture.head.size(), 2u);
    EXPECT_EQ(capture.tail.size(), 1u);
}

TEST(RenderOutput, SelectsStreamsAndPlacesTheMarkerBetweenHeadAndTail) {
    OutputCapture capture;
    capture.head = {{kStdout, "o1 "}, {kStderr, "e1 "}, {kStdout, "o2 "}};
    capture.tail = {{kStderr, "e3"}, {kStdout, "o3"}};
    EXPECT_EQ(render_output(capture, kStdout), "o1 o2 o3");
    EXPECT_EQ(render_output(capture, kStderr), "e1 e3");
    EXPECT_EQ(render_output(capture, kBothStreams), "o1 e1 o2 e3o3");

    capture.omitted_stdout = 5;
    capture.omitted_stderr = 7;
    const std::string marker =
        "\n[tarrow-jail] output over the retained cap; {} bytes omitted here\n";
    auto with = [&](const char* count) {
        std::string m = marker;
        return m.replace(m.find("{}"), 2, count);
    };
    EXPECT_EQ(render_output(capture, kStdout), "o1 o2 " + with("5") + "o3");
    EXPECT_EQ(render_output(capture, kStderr), "e1 " + with("7") + "e3");
    EXPECT_EQ(render_output(capture, kBothStreams), "o1 e1 o2 " + with("12") + "e3o3");
}

TEST(RenderOutput, DecodesAcrossChunkBoundariesAndReplacesInvalidBytes) {
    OutputCapture capture;
    // A character split between two reads is whole again; the stderr byte in
    // between belongs to the other stream.
    capture.head = {{kStdout, "\xE2\x82"}, {kStderr, "\xFF"}, {kStdout, "\xAC!"}};
    EXPECT_EQ(render_output(capture, kStdout), "\xE2\x82\xAC!");
    EXPECT_EQ(render_output(capture, kStderr), "\xEF\xBF\xBD");
}

TEST(OutputCapture, ClearingForgetsChunksAndCounts) {
    OutputCapture capture;
    for (int i = 0; i < 200; ++i) capture.retain(chunk(i % 2, kChunkReadSize, 'z'));
    capture.clear_retained();
    EXPECT_TRUE(capture.head.empty());
    EXPECT_TRUE(capture.tail.empty());
    EXPECT_EQ(capture.head_bytes + capture.tail_bytes, 0u);
    EXPECT_EQ(capture.omitted_stdout + capture.omitted_stderr, 0u);
    EXPECT_EQ(render_output(capture, kBothStreams), "");
}

}  // namespace
}  // namespace tj
