#include "reply.hpp"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "line_reader.hpp"

namespace tj {

std::string reply_text(std::initializer_list<ReplyField> fields) {
    return reply_text(std::span<const ReplyField>(fields.begin(), fields.size()));
}

std::string reply_text(std::span<const ReplyField> fields) {
    std::vector<const ReplyField*> sorted;
    for (const auto& f : fields) sorted.push_back(&f);
    std::sort(sorted.begin(), sorted.end(),
              [](const ReplyField* a, const ReplyField* b) { return a->first < b->first; });
    boost::json::object obj;
    for (const auto* f : sorted) obj.emplace(f->first, f->second);
    std::string text = boost::json::serialize(obj);
    text += '\n';
    return text;
}

Result<> write_reply(std::initializer_list<ReplyField> fields) {
    return write_all(STDOUT_FILENO, reply_text(fields));
}

Result<> write_reply(std::span<const ReplyField> fields) {
    return write_all(STDOUT_FILENO, reply_text(fields));
}

}  // namespace tj
