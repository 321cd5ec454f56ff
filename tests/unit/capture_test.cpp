#include "exec/capture.hpp"

#include <gtest/gtest.h>

#include "utf8.hpp"

namespace tj {
namespace {

std::string fill(size_t size, char c) {
    return std::string(size, c);
}

// Retains `bytes` as reads of at most kChunkReadSize.
void retain(OutputCapture& capture, int stream, std::string_view bytes) {
    for (size_t at = 0; at < bytes.size(); at += kChunkReadSize)
        capture.retain(stream, bytes.substr(at, kChunkReadSize));
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

TEST(Utf8Repair, GivesWhatUtf8LossyGivesHoweverTheBytesAreSplit) {
    const std::string r = "\xEF\xBF\xBD";
    const std::string inputs[] = {
        "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
        "a\xFF"
        "b",
        "\xE2\x82"
        "A",
        "\xE2\x82",
        "\xE0\x80\xAF",
        "\xED\xA0\x80",
        "\xF4\x90\x80\x80",
        "\xF0\x9F\x98",
        "\xF0\x9F\x98\x80\xC3",
    };
    for (const std::string& in : inputs) {
        for (size_t i = 0; i <= in.size(); ++i) {
            for (size_t j = i; j <= in.size(); ++j) {
                StringSink out;
                Utf8Repair repair;
                repair.feed(std::string_view(in).substr(0, i), out);
                repair.feed(std::string_view(in).substr(i, j - i), out);
                repair.feed(std::string_view(in).substr(j), out);
                repair.finish(out);
                EXPECT_EQ(out.text, utf8_lossy(in)) << in << " split at " << i << ", " << j;
            }
        }
    }
}

TEST(OutputCapture, KeepsHeadThenTrimsTailToItsBudget) {
    OutputCapture capture;
    // 64 reads of 64 KiB fill head to exactly 4 MiB, past its last offset.
    retain(capture, kStdout, fill(64 * kChunkReadSize, 'h'));
    EXPECT_EQ(capture.head_bytes(), 64 * kChunkReadSize);
    capture.retain(kStdout, fill(10, 'x'));
    EXPECT_EQ(capture.head_bytes(), 64 * kChunkReadSize);
    EXPECT_EQ(capture.tail_bytes(), 10u);
    retain(capture, kStderr, fill(kTailBudget, 't'));
    // 10 + 4 MiB is over budget: the 10 stdout bytes go first.
    EXPECT_EQ(capture.tail_bytes(), kTailBudget);
    EXPECT_EQ(capture.omitted(kStdout), 10u);
    // The tail keeps exactly the last 4 MiB, whatever the size of the reads.
    capture.retain(kStderr, fill(100, 'u'));
    EXPECT_EQ(capture.omitted(kStderr), 100u);
    EXPECT_EQ(capture.omitted(kBothStreams), 110u);
    EXPECT_EQ(capture.tail_bytes(), kTailBudget);
}

TEST(OutputCapture, HeadTakesOneReadPastItsLastOffset) {
    OutputCapture capture;
    retain(capture, kStdout, fill(kHeadLastOffset, 'a'));
    capture.retain(kStdout, fill(kChunkReadSize, 'b'));  // head held 4194303: still head
    capture.retain(kStdout, fill(1, 'c'));
    EXPECT_EQ(capture.head_bytes(), kHeadLastOffset + kChunkReadSize);
    EXPECT_EQ(capture.tail_bytes(), 1u);
}

std::string with_marker(const char* count) {
    std::string m = "\n[tarrow-jail] output over the retained cap; {} bytes omitted here\n";
    return m.replace(m.find("{}"), 2, count);
}

TEST(RenderOutput, SelectsStreamsAndPlacesTheMarkerBetweenHeadAndTail) {
    OutputCapture capture;
    capture.retain(kStdout, "o1 ");
    capture.retain(kStderr, "e1 ");
    capture.retain(kStdout, "o2 ");
    const std::string rest = fill(kHeadLastOffset + 1 - 9, 'h');  // head ends past its last offset
    retain(capture, kStdout, rest);
    capture.retain(kStderr, "e3");
    capture.retain(kStdout, "o3");
    EXPECT_EQ(render_output(capture, kStdout), "o1 o2 " + rest + "o3");
    EXPECT_EQ(render_output(capture, kStderr), "e1 e3");
    EXPECT_EQ(render_output(capture, kBothStreams), "o1 e1 o2 " + rest + "e3o3");

    // 5 stdout and 7 stderr bytes go first; the ring wraps on the way.
    OutputCapture cut;
    cut.retain(kStdout, "o1 ");
    cut.retain(kStderr, "e1 ");
    cut.retain(kStdout, "o2 ");
    retain(cut, kStdout, rest);
    cut.retain(kStdout, "xxxxx");
    cut.retain(kStderr, "yyyyyyy");
    cut.retain(kStderr, "e3");
    cut.retain(kStdout, "o3");
    const std::string last = fill(kTailBudget - 4, 'z');
    retain(cut, kStdout, last);
    EXPECT_EQ(render_output(cut, kStdout), "o1 o2 " + rest + with_marker("5") + "o3" + last);
    EXPECT_EQ(render_output(cut, kStderr), "e1 " + with_marker("7") + "e3");
    EXPECT_EQ(render_output(cut, kBothStreams),
              "o1 e1 o2 " + rest + with_marker("12") + "e3o3" + last);
}

TEST(RenderOutput, DecodesAcrossReadsHeadTailAndTheRingsWrap) {
    OutputCapture capture;
    // A character split between two reads is whole again; the stderr byte in
    // between belongs to the other stream.
    capture.retain(kStdout, "\xE2\x82");
    capture.retain(kStderr, "\xFF");
    capture.retain(kStdout, "\xAC!");
    EXPECT_EQ(render_output(capture, kStdout), "\xE2\x82\xAC!");
    EXPECT_EQ(render_output(capture, kStderr), "\xEF\xBF\xBD");

    // Head ends inside a character that the tail completes: whole when nothing
    // was omitted between them, cut by the marker when something was.
    const std::string euro = "\xE2\x82\xAC";
    OutputCapture split;
    retain(split, kStdout, fill(kHeadLastOffset, 'a') + "\xE2");
    split.retain(kStdout, "\x82\xAC");
    EXPECT_EQ(render_output(split, kStdout), fill(kHeadLastOffset, 'a') + euro);
    // The ring's end falls inside a character: it wraps whole.
    retain(split, kStdout, fill(kTailBudget - 3, 'b'));
    split.retain(kStdout, euro);
    std::string out = render_output(split, kStdout);
    EXPECT_EQ(out.substr(out.size() - 4), "b" + euro);
    EXPECT_EQ(split.omitted(kStdout), 2u);
    EXPECT_EQ(out.substr(kHeadLastOffset, 4), "\xEF\xBF\xBD\n");
}

TEST(OutputCapture, ClearingForgetsBytesAndCounts) {
    OutputCapture capture;
    for (int i = 0; i < 200; ++i) capture.retain(i % 2, fill(kChunkReadSize, 'z'));
    capture.clear_retained();
    EXPECT_EQ(capture.head_bytes() + capture.tail_bytes(), 0u);
    EXPECT_EQ(capture.omitted(kBothStreams), 0u);
    EXPECT_EQ(render_output(capture, kBothStreams), "");
}

}  // namespace
}  // namespace tj
