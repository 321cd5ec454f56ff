#include "serve/serve_loop.hpp"

#include "fatal.hpp"

namespace tj {

void serve_loop(const std::string&, bool, std::optional<int>) {
    fatal_exit("mode serve is not built yet");
}

}  // namespace tj
