// A receiver of text produced in pieces: a reply being written, a log file.
#pragma once

#include <string>
#include <string_view>

namespace tj {

class TextSink {
  public:
    virtual void operator()(std::string_view piece) = 0;

  protected:
    ~TextSink() = default;
};

// Collects the pieces into one string.
class StringSink final : public TextSink {
  public:
    void operator()(std::string_view piece) override { text += piece; }
    std::string text;
};

}  // namespace tj
