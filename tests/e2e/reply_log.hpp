// Every JSON line the launcher writes to a supervisor during the end-to-end
// tests, collected in one file for the schema check that runs after them.
#pragma once

#include <string>
#include <string_view>

namespace tj::e2e {

// Appends each complete line of `out` as a reply line, unless the policy's
// mode is "exec" (standard output is then the command's own) or unknown.
void log_reply_lines(std::string_view policy, std::string_view out);
// Appends one reply line (without its newline) of a serve session.
void log_reply_line(std::string_view line);
// Appends each complete line written to --status-fd.
void log_record_lines(std::string_view text);

}  // namespace tj::e2e
