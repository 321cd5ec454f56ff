// A held session network: the holder's own life, and strict jails joined to it
// that reach each other over loopback but nothing of the host's network.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "jail_fixture.hpp"

namespace tj::e2e {
namespace {

// An IPv4 address of a host interface other than loopback, or "".
std::string host_address() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return "";
    std::string found;
    for (ifaddrs* i = list; i != nullptr && found.empty(); i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        auto* in = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        if (std::string(text).rfind("127.", 0) != 0) found = text;
    }
    ::freeifaddrs(list);
    return found;
}

class SessionNetwork : public PerUser {
  protected:
    JailBed bed{GetParam()};
    HeldSession session{GetParam()};
    std::string probe = shared_helper("jail_probe");

    Launch joined(const std::vector<std::string>& argv) {
        Launch l = bed.launch(bed.policy(argv, R"("network":"session")"));
        l.args = {"--userns-fd", std::to_string(session.userns_fd()), "--netns-fd",
                  std::to_string(session.netns_fd())};
        l.pass_fds = {session.userns_fd(), session.netns_fd()};
        return l;
    }
};

TEST_P(SessionNetwork, JailsTalkOverLoopbackAndReachNothingElse) {
    ASSERT_EQ(session.ready_line(), "ready\n");
    Outcome server;
    std::thread listening([&] { server = run_launcher(joined({probe, "listen", "40000"})); });
    std::string host = host_address();
    std::string script = probe + " ifaces; " + probe + " connect 127.0.0.1 40000 hello; " + probe +
                         " fds; id -u; uname -n";
    if (!host.empty()) script += "; " + probe + " reach " + host + " 22";
    Outcome client = run_launcher(joined({"/bin/sh", "-c", script}));
    listening.join();
    EXPECT_EQ(client.status, 0) << client.err;
    EXPECT_EQ(reply_stdout(client.out), "lo up\nok\n0 1 2\n" + std::to_string(GetParam().uid) +
                                            "\ntarrow\n" + (host.empty() ? "" : "ENETUNREACH\n"));
    EXPECT_EQ(server.status, 0) << server.err;
    EXPECT_EQ(reply_stdout(server.out), "got hello\n");
    EXPECT_EQ(session.release(), 0);
}

TEST_P(SessionNetwork, JoinedJailKeepsItsNetworkAfterTheHolderEnds) {
    Launch l =
        joined({"/bin/sh", "-c",
                "touch joined; while [ ! -e go ]; do sleep 0.01; done; " + probe + " ifaces"});
    Outcome o;
    std::thread jailed([&] { o = run_launcher(l); });
    // The jail has joined the session once its command runs.
    for (int i = 0; i < 3000 && !std::filesystem::exists(bed.work() + "/joined"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(session.release(), 0);
    std::ofstream(bed.work() + "/go");
    jailed.join();
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(reply_stdout(o.out), "lo up\n");
}

INSTANTIATE_TEST_SUITE_P(Users, SessionNetwork, ::testing::Values(as_root(), as_nobody()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tj::e2e
