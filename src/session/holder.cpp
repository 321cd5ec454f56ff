#include "session/holder.hpp"

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include "fatal.hpp"
#include "jail/ns_sys.hpp"
#include "line_reader.hpp"
#include "session/id_map.hpp"

namespace tj {
namespace {

// Blocks until standard input ends; the supervisor ends the session by closing
// it (or by dying). A read error other than EINTR counts as the end too.
void wait_for_end_of_input() {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        return;
    }
}

}  // namespace

void hold_session_network() {
    // A closed reply channel must show up as a write error, not kill the holder.
    ::signal(SIGPIPE, SIG_IGN);
    // 1. The ids to map, read before the user namespace changes them.
    const unsigned uid = ::getuid();
    const unsigned gid = ::getgid();
    // 2. The namespaces, created while the process is single-threaded.
    if (auto r = sys_unshare(CLONE_NEWUSER | CLONE_NEWNET); !r)
        fatal_exit("session network: unshare failed: " + r.error().text);
    // 3-5. ID maps.
    deny_setgroups();
    if (auto r = write_id_map("/proc/self/uid_map", uid); !r)
        fatal_exit("session network: id map failed: " + r.error().text);
    if (auto r = write_id_map("/proc/self/gid_map", gid); !r)
        fatal_exit("session network: id map failed: " + r.error().text);
    // 6. Loopback.
    if (auto r = bring_loopback_up(); !r)
        fatal_exit("session network: loopback failed: " + r.error().text);
    // 7. Readiness.
    if (!write_all(STDOUT_FILENO, "ready\n"))
        fatal_exit("session network: could not report readiness");
    // 8-9. Hold until the supervisor lets go.
    wait_for_end_of_input();
    ::_exit(0);
}

}  // namespace tj
