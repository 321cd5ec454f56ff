#include "error.hpp"

#include <cstring>

#include <fmt/core.h>

namespace tj {

std::string errno_text(int err) {
    const char* name = strerrorname_np(err);
    const char* desc = strerrordesc_np(err);
    if (name == nullptr) return fmt::format("Unknown error {}", err);
    return fmt::format("{}: {}", name, desc);
}

std::string system_error_text(int err) {
    const char* desc = strerrordesc_np(err);
    if (desc == nullptr) return fmt::format("Unknown error {} (os error {})", err, err);
    return fmt::format("{} (os error {})", desc, err);
}

}  // namespace tj
