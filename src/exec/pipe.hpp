// A close-on-exec pipe with owned ends.
#pragma once

#include "error.hpp"
#include "unique_fd.hpp"

namespace tj {

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Result<Pipe> make_pipe();

}  // namespace tj
