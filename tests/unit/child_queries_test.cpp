#include "serve/child_queries.hpp"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "exec/pidfd.hpp"
#include "reply.hpp"

namespace tj {
namespace {

// A command that shrugs off SIGTERM, with a second member in its group.
pid_t start_stubborn_group() {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        signal(SIGTERM, SIG_IGN);
        if (fork() == 0) pause();
        pause();
        _exit(0);
    }
    setpgid(pid, pid);
    return pid;
}

std::string stop_reply(pid_t pid) {
    StopOutcome outcome = stop_child(pid);
    return reply_text(outcome.fields(std::nullopt));
}

TEST(StopChild, KillsTheGroupAndCollectsTheEnd) {
    pid_t pid = start_stubborn_group();
    EXPECT_EQ(stop_reply(pid), "{\"returncode\":137,\"stopped\":true}\n");
    EXPECT_EQ(stop_reply(pid), "{\"returncode\":null,\"stopped\":true}\n");
    EXPECT_EQ(stop_reply(0), "{\"error\":\"EINVAL: Invalid argument\",\"stopped\":false}\n");
}

// Makes pidfd_open fail as on kernels before 5.3.
void refuse_pidfd_open() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog = {sizeof code / sizeof code[0], code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(10);
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0) _exit(11);
}

TEST(StopChild, FallsBackToSleepsWithoutPidfdOpen) {
    pid_t tester = fork();
    if (tester == 0) {
        refuse_pidfd_open();
        pid_t pid = start_stubborn_group();
        if (open_pidfd(pid)) _exit(12);
        bool ok = stop_reply(pid) == "{\"returncode\":137,\"stopped\":true}\n";
        _exit(ok ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(tester, &status, 0), tester);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(QueryStatus, RefusesPidsThatMeanAGroup) {
    pid_t pid = fork();
    if (pid == 0) _exit(4);
    for (pid_t bad : {0, -1, -pid}) {
        EXPECT_EQ(
            reply_text(query_status(bad).fields()),
            "{\"error\":\"EINVAL: Invalid argument\",\"returncode\":null,\"running\":false}\n");
    }
    StatusOutcome outcome;
    while ((outcome = query_status(pid)).running) usleep(1000);
    EXPECT_EQ(reply_text(outcome.fields()), "{\"returncode\":4,\"running\":false}\n");
    EXPECT_TRUE(outcome.gone);
}

}  // namespace
}  // namespace tj
