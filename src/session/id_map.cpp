#include "session/id_map.hpp"

#include <fmt/core.h>

#include "file_io.hpp"

namespace tj {

std::string id_map_line(unsigned id) {
    return fmt::format("{0} {0} 1\n", id);
}

void deny_setgroups() {
    (void)write_file("/proc/self/setgroups", "deny");
}

Result<> write_id_map(const std::string& file, unsigned id) {
    return write_file(file, id_map_line(id));
}

}  // namespace tj
