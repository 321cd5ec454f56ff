#include "unconfined.hpp"

#include <sys/prctl.h>
#include <unistd.h>

#include <string_view>

#include "fatal.hpp"
#include "line_reader.hpp"
#include "run_mode.hpp"
#include "status_record.hpp"

namespace tj {

void run_unconfined(const Policy& policy, std::optional<int> interrupt_fd) {
    constexpr std::string_view kWarning =
        "[tarrow-jail] WARNING: running UNCONFINED (isolation = \"none\"): no namespaces, "
        "no Landlock, no seccomp. Commands run with this process's own access.\n";
    static_assert(kWarning.size() == 149);
    (void)write_all(STDERR_FILENO, kWarning);
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        fatal_exit("PR_SET_DUMPABLE failed: " + system_error_text(errno));
    status_record().network = "host";
    run_mode(policy, false, interrupt_fd);
}

}  // namespace tj
