// Installs the launcher's seccomp filter on itself, then executes its arguments:
// a way to run probes under the real filter without a full policy.
#include <unistd.h>

#include <cstdio>

#include "confine/seccomp.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: with_seccomp PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    if (auto installed = tj::install_seccomp_filter(); !installed) {
        std::fprintf(stderr, "with_seccomp: seccomp failed: %s\n", installed.error().text.c_str());
        return 2;
    }
    ::execv(argv[1], argv + 1);
    std::perror("with_seccomp: execv");
    return 127;
}
