#include "fatal.hpp"

#include <unistd.h>

#include <string>

#include "status_record.hpp"

namespace tj {

void fatal_exit(std::string_view message) {
    std::string line = "tarrow-jail: ";
    line += message;
    line += '\n';
    write_status_fatal(message);
    for (size_t off = 0; off < line.size();) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + off, line.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    _exit(2);
}

}  // namespace tj
