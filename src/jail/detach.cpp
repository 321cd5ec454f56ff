#include "jail/detach.hpp"

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace tj {
namespace {

constexpr char kRequest = 'd';

// One small message; a peer that hung up is an answer, never a SIGPIPE.
bool send_whole(int fd, const void* data, size_t size) {
    ssize_t n;
    do n = ::send(fd, data, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(size);
}

// The launcher's answer once it is there: 0, its unmount's errno, or nothing
// (-1, EOF or a short read) for a launcher that will not help.
std::optional<int> answer_of(int helper) {
    struct pollfd pfd = {helper, POLLIN, 0};
    if (::poll(&pfd, 1, 0) <= 0) return std::nullopt;
    int err = -1;
    ssize_t n;
    do n = ::read(helper, &err, sizeof err);
    while (n < 0 && errno == EINTR);
    return n == sizeof err ? err : -1;
}

Result<> unmount_here(const std::string& old_root) {
    if (::umount2(old_root.c_str(), MNT_DETACH) != 0) return fail_errno();
    (void)::rmdir(old_root.c_str());
    return {};
}

Result<> wait_for_detach(const std::string& old_root, int helper) {
    if (!send_whole(helper, &kRequest, 1)) return unmount_here(old_root);
    // A mount point cannot be removed while anything is mounted on it, so a
    // removal that succeeds is the proof that the host's tree has left.
    for (;;) {
        if (::rmdir(old_root.c_str()) == 0) return {};
        if (auto answer = answer_of(helper)) {
            if (*answer != 0) return unmount_here(old_root);  // no help: as without it
            (void)::rmdir(old_root.c_str());
            return {};
        }
        sched_yield();
    }
}

}  // namespace

Result<> detach_old_root(const std::string& old_root, int helper) {
    auto done = wait_for_detach(old_root, helper);
    ::close(helper);
    return done;
}

void serve_old_root_detach(const std::string& old_root, int jail_init) {
    char request = 0;
    ssize_t n;
    do n = ::read(jail_init, &request, 1);
    while (n < 0 && errno == EINTR);
    if (n == 1 && request == kRequest) {
        int err = ::umount2(old_root.c_str(), MNT_DETACH) == 0 ? 0 : errno;
        (void)send_whole(jail_init, &err, sizeof err);  // the jail init may have gone on already
    }
    ::close(jail_init);
}

}  // namespace tj
