#pragma once

#include <optional>

namespace tj {

// Namespace descriptors of a held session network (--userns-fd, --netns-fd).
struct SessionFds {
    int userns_fd;
    int netns_fd;
};

}  // namespace tj
