// Line reading through a pipe fed from another thread: lines split across
// reads, lines large enough to leave the buffer whole, and the length limit.
#include "line_reader.hpp"

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "exec/pipe.hpp"

namespace tj {
namespace {

// Every line `input` holds, read back through a pipe; the error text last.
std::vector<std::string> lines_of(const std::string& input) {
    Pipe pipe = *make_pipe();
    std::thread writer([&] {
        (void)write_all(pipe.write.get(), input);
        pipe.write.reset();
    });
    LineReader reader(pipe.read.get());
    std::vector<std::string> out;
    for (;;) {
        auto line = reader.read_line();
        if (!line) {
            out.push_back("error: " + line.error().text);
            break;
        }
        if (!*line) break;
        out.push_back(std::move(**line));
    }
    pipe.read.reset();  // a writer still blocked on a refused line gets EPIPE
    writer.join();
    return out;
}

TEST(LineReader, HandsOutEveryLineWithItsNewline) {
    const std::string big(300000, 'b');  // spans many reads, leaves the buffer whole
    const std::string medium(9000, 'm');
    std::vector<std::string> expected = {"a\n", big + "\n", "\n", medium + "\n", "c\n", "tail"};
    std::string input;
    for (const auto& line : expected) input += line;
    EXPECT_EQ(lines_of(input), expected);
    EXPECT_EQ(lines_of(""), std::vector<std::string>{});
}

TEST(LineReader, RefusesALineOverTheLimit) {
    const std::string longest(kMaxLineBytes, 'x');
    auto fitting = lines_of(longest + "\nnext\n");
    ASSERT_EQ(fitting.size(), 2u);
    EXPECT_EQ(fitting[0].size(), kMaxLineBytes + 1);
    EXPECT_EQ(fitting[1], "next\n");
    EXPECT_EQ(lines_of(longest + "y\n").back(), "error: line longer than 67108864 bytes");
}

}  // namespace
}  // namespace tj
