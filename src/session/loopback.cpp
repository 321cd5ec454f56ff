#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>

#include "session/holder.hpp"
#include "unique_fd.hpp"

namespace tj {

Result<> bring_loopback_up() {
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return fail_system();
    struct ifreq request;
    std::memset(&request, 0, sizeof request);
    std::memcpy(request.ifr_name, "lo", 3);
    // A fresh network namespace's loopback has no other flag worth keeping, so
    // the flags are set outright instead of read first.
    request.ifr_flags = IFF_UP | IFF_RUNNING;
    if (::ioctl(sock.get(), SIOCSIFFLAGS, &request) != 0) return fail_system();
    return {};
}

}  // namespace tj
