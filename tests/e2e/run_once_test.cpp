// Mode once as a supervisor sees it: return codes, the time limit, capture
// limits, the group kill and the launcher's own memory.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include "harness.hpp"

namespace tj::e2e {
namespace {

constexpr size_t kMiB = 1 << 20;
const std::string kWarning =
    "[tarrow-jail] WARNING: running UNCONFINED (isolation = \"none\"): no namespaces, no "
    "Landlock, no seccomp. Commands run with this process's own access.\n";
const std::string kEndedEarly =
    "\n[tarrow-jail] output capture ended early: a process outside the command's group still "
    "holds its pipe";
const std::string kTimeout = "\n[tarrow-jail] timeout";

std::string once_policy(const std::string& script, const std::string& extra = "") {
    return R"({"isolation":"none","cwd":"/tmp","argv":["sh","-c",)" + quote(script) + "]" + extra +
           "}";
}

struct Reply {
    Outcome outcome;
    boost::json::object json;
    double seconds = 0;

    int64_t code() const { return json.at("returncode").as_int64(); }
    std::string out() const { return std::string(json.at("stdout").as_string()); }
    std::string err() const { return std::string(json.at("stderr").as_string()); }
};

Reply run(const std::string& policy, Launch launch = {}) {
    launch.stdin_data = policy + "\n" + launch.stdin_data;
    auto begin = std::chrono::steady_clock::now();
    Reply reply{run_launcher(launch)};
    reply.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(reply.outcome.status, 0) << reply.outcome.err;
    EXPECT_EQ(reply.outcome.err, kWarning);
    if (!reply.outcome.out.ends_with("\n")) {
        ADD_FAILURE() << "no reply line: " << reply.outcome.out.substr(0, 200);
        return reply;
    }
    reply.json = boost::json::parse(reply.outcome.out).as_object();
    return reply;
}

bool alive(pid_t pid) {
    return kill(pid, 0) == 0;
}

bool gone_within(pid_t pid, double seconds) {
    for (int i = 0; i < seconds * 100 && alive(pid); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !alive(pid);
}

// A supervisor that ignores SIGCHLD passes that on: the kernel would collect
// the command before its status could be read.
TEST(RunOnce, AnInheritedIgnoredSigchldDoesNotLoseTheStatus) {
    Launch launch;
    launch.prefix = {"/bin/sh", "-c", "trap '' CHLD; exec \"$@\"", "sh"};
    Reply r = run(once_policy("echo hi; sleep 0.2; exit 3"), launch);
    EXPECT_EQ(r.code(), 3);
    EXPECT_EQ(r.out(), "hi\n");
}

TEST(RunOnce, ReturnCodesAndTimeLimit) {
    struct Case {
        const char* script;
        std::string extra;
        int64_t code;
        std::string err;
    };
    const Case cases[] = {
        {"echo out; echo err >&2; exit 3", "", 3, "err\n"},
        {"kill -TERM $$", "", 143, ""},
        {"kill -KILL $$", "", 137, ""},
        {"echo before; sleep 30", R"(,"timeout_s":0.5)", 124, kTimeout},
        {"sleep 1.2; echo slept", R"(,"timeout_s":0)", 0, ""},
        {"sleep 1.2; echo slept", R"(,"timeout_s":-1)", 0, ""},
    };
    for (const auto& c : cases) {
        Reply r = run(once_policy(c.script, c.extra));
        EXPECT_EQ(r.code(), c.code) << c.script;
        EXPECT_EQ(r.err(), c.err) << c.script;
    }
    Reply timed = run(once_policy("echo before; sleep 30", R"(,"timeout_s":0.5)"));
    EXPECT_EQ(timed.out(), "before\n");
    EXPECT_LT(timed.seconds, 5);
}

TEST(RunOnce, RepliesForAStaticProgram) {
    Reply r = run(once_policy("exit 0"));
    EXPECT_EQ(r.outcome.out, "{\"returncode\":0,\"stderr\":\"\",\"stdout\":\"\"}\n");
    Reply quick =
        run(R"({"isolation":"none","cwd":"/tmp","argv":[)" + quote(helper_path("noop")) + "]}");
    EXPECT_EQ(quick.code(), 0);
}

TEST(RunOnce, StandardInputIsTheNullDevice) {
    Launch l;
    l.stdin_data = "this belongs to nobody\n";
    Reply r = run(once_policy("cat; echo end"), l);
    EXPECT_EQ(r.out(), "end\n");
}

TEST(RunOnce, InvalidUtf8BecomesReplacementCharacters) {
    Reply r = run(once_policy(R"(printf 'a\377b\342\202'; printf '\300' >&2)"));
    EXPECT_EQ(r.out(),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(r.err(), "\xEF\xBF\xBD");
}

TEST(RunOnce, KeepsHeadAndTailOfALargeOutput) {
    // Distinct lines, so that the kept parts can be placed in the full text.
    Reply r = run(once_policy("seq 1 2800000"));
    std::string full;
    for (int i = 1; i <= 2800000; ++i) full += std::to_string(i) + "\n";
    ASSERT_GT(full.size(), 20 * kMiB);
    std::string out = r.out();
    const std::string lead = "\n[tarrow-jail] output over the retained cap; ";
    size_t marker = out.find(lead);
    ASSERT_NE(marker, std::string::npos);
    size_t count_end = out.find(" bytes omitted here\n", marker);
    ASSERT_NE(count_end, std::string::npos);
    uint64_t omitted = std::stoull(out.substr(marker + lead.size(), count_end - marker));
    std::string head = out.substr(0, marker);
    std::string tail = out.substr(count_end + std::string(" bytes omitted here\n").size());
    EXPECT_GE(head.size(), 4 * kMiB);
    EXPECT_LT(head.size(), 4 * kMiB + 65536);
    EXPECT_LE(tail.size(), 4 * kMiB);
    EXPECT_GT(tail.size(), 4 * kMiB - 65536);
    EXPECT_EQ(head.size() + omitted + tail.size(), full.size());
    EXPECT_TRUE(full.starts_with(head));
    EXPECT_TRUE(full.ends_with(tail));
    EXPECT_EQ(r.code(), 0);
}

// One stream of a reply split at its omission marker.
struct Kept {
    std::string head;
    uint64_t omitted = 0;  // 0: no marker, the text is all in head
    std::string tail;
};

Kept split_kept(const std::string& text) {
    const std::string lead = "\n[tarrow-jail] output over the retained cap; ";
    const std::string trail = " bytes omitted here\n";
    size_t marker = text.find(lead);
    if (marker == std::string::npos) return {text, 0, ""};
    size_t count_end = text.find(trail, marker);
    if (count_end == std::string::npos) return {text, 0, ""};
    return {text.substr(0, marker),
            std::stoull(text.substr(marker + lead.size(), count_end - marker - lead.size())),
            text.substr(count_end + trail.size())};
}

// Kept parts of `full` as a stream of the reply: a prefix of head size, the
// omitted bytes, a suffix; or the whole text.
void expect_kept(const std::string& text, const std::string& full, const std::string& what) {
    Kept kept = split_kept(text);
    if (kept.omitted == 0) {
        EXPECT_EQ(text.size(), full.size()) << what;
        EXPECT_TRUE(text == full) << what;
        return;
    }
    EXPECT_EQ(kept.head.size() + kept.omitted + kept.tail.size(), full.size()) << what;
    EXPECT_LE(kept.tail.size(), 4 * kMiB) << what;
    EXPECT_TRUE(full.starts_with(kept.head)) << what;
    EXPECT_TRUE(full.ends_with(kept.tail)) << what;
}

TEST(RunOnce, KeepsOutputsAtTheRetainedSizeOnOneStreamOrBoth) {
    struct Case {
        const char* what;
        size_t size;
        bool both;
    };
    const Case cases[] = {
        {"8 MiB", 8 * kMiB, false},
        {"8 MiB + 1", 8 * kMiB + 1, false},
        {"8 MiB on each stream", 8 * kMiB, true},
    };
    for (const Case& c : cases) {
        const std::string make = "head -c " + std::to_string(c.size) + " /dev/zero | tr '\\0' x";
        Reply r = run(once_policy(c.both ? make + " & " + make + " >&2; wait" : make));
        EXPECT_EQ(r.code(), 0) << c.what;
        const std::string full(c.size, 'x');
        expect_kept(r.out(), full, c.what);
        if (c.both) {
            expect_kept(r.err(), full, c.what);
        } else if (Kept kept = split_kept(r.out()); kept.omitted != 0) {
            EXPECT_GE(kept.head.size(), 4 * kMiB) << c.what;
            EXPECT_EQ(kept.tail.size(), 4 * kMiB) << c.what;  // the whole tail budget
        }
    }
}

TEST(RunOnce, InterleavedStreamsKeepTheirOwnHeadTailAndCounts) {
    // Numbered lines, one to each stream in turn, 12 MB per stream.
    Reply r = run(once_policy(
        "awk 'BEGIN { for (i = 1; i <= 120000; i++) { l = sprintf(\"%099d\", i); print l; "
        "print l > \"/dev/stderr\" } }'"));
    EXPECT_EQ(r.code(), 0);
    std::string full;
    for (int i = 1; i <= 120000; ++i) {
        std::string n = std::to_string(i);
        full += std::string(99 - n.size(), '0') + n + "\n";
    }
    expect_kept(r.out(), full, "stdout");
    expect_kept(r.err(), full, "stderr");
    // Head and tail are shared by both streams.
    Kept out = split_kept(r.out()), err = split_kept(r.err());
    EXPECT_GE(out.head.size() + err.head.size(), 4 * kMiB);
    EXPECT_LT(out.head.size() + err.head.size(), 4 * kMiB + 65536);
    EXPECT_EQ(out.tail.size() + err.tail.size(), 4 * kMiB);
}

TEST(RunOnce, CharactersCutAtTheKeptPartsEndsAreReplacedAndOthersKeptWhole) {
    const std::string euro = "\xE2\x82\xAC";
    const std::string bad = "\xEF\xBF\xBD";
    // Nothing omitted: a character across the head's end is whole again.
    Reply whole =
        run(once_policy("{ head -c 4194302 /dev/zero | tr '\\0' a; printf '\\342\\202\\254'; "
                        "head -c 1048576 /dev/zero | tr '\\0' b; }"));
    EXPECT_TRUE(whole.out() == std::string(4194302, 'a') + euro + std::string(1048576, 'b'));
    // 15 MiB of three-byte characters: the head may end inside one and the tail
    // begin inside one, each cut replaced; the ring wraps inside the tail,
    // where every character stays whole.
    std::string line;  // 64 bytes with its newline
    for (int i = 0; i < 21; ++i) line += euro;
    Reply cut = run(once_policy("yes '" + line + "' | head -c 15728640"));
    Kept kept = split_kept(cut.out());
    ASSERT_NE(kept.omitted, 0u);
    // What is left once every whole character and newline is taken out.
    auto strip = [&](const std::string& text) {
        std::string rest;
        for (size_t i = 0; i < text.size();) {
            if (text[i] == '\n') {
                ++i;
            } else if (text.compare(i, euro.size(), euro) == 0) {
                i += euro.size();
            } else {
                rest += text[i++];
            }
        }
        return rest;
    };
    std::string head_rest = strip(kept.head);
    std::string tail_rest = strip(kept.tail);
    EXPECT_TRUE(head_rest.empty() || head_rest == bad) << head_rest.size();
    EXPECT_TRUE(tail_rest.empty() || tail_rest == bad || tail_rest == bad + bad)
        << tail_rest.size();
    EXPECT_TRUE(tail_rest.empty() || kept.tail.starts_with(tail_rest));
    EXPECT_TRUE(head_rest.empty() || kept.head.ends_with(head_rest));
}

TEST(RunOnce, KillsTheWholeGroupAfterTheCommandEnds) {
    Reply r = run(once_policy("sleep 30 & echo $!"));
    pid_t left = std::stoi(r.out());
    EXPECT_TRUE(gone_within(left, 5)) << "group member " << left << " survived";
}

TEST(RunOnce, AnswersWhenADaemonKeepsThePipe) {
    // The daemon leaves the command's group, so the group kill misses it; the
    // command waits until the daemon has left, then prints its pid.
    TempDir dir;
    const std::string ready = dir / "daemon";
    const std::string daemon = "setsid sh -c 'echo $$ > " + ready + "; exec sleep 30' & " +
                               "until [ -s " + ready + " ]; do sleep 0.01; done; cat " + ready +
                               "; ";
    Reply ended = run(once_policy(daemon + "echo done"));
    EXPECT_EQ(ended.code(), 0);
    EXPECT_TRUE(ended.err().ends_with(kEndedEarly)) << ended.err();
    // The notice says the answer did not wait for the daemon's end of the pipe.
    EXPECT_GT(ended.seconds, 1.8);
    unlink(ready.c_str());
    // The time limit falls after the daemon has started, even on a loaded machine.
    const std::string limit = ",\"timeout_s\":" + std::to_string(scaled(3));
    Reply timed = run(once_policy(daemon + "sleep 30", limit));
    EXPECT_EQ(timed.code(), 124);
    EXPECT_EQ(timed.err(), kEndedEarly + kTimeout);
    for (const Reply* r : {&ended, &timed}) {
        ASSERT_FALSE(r->out().empty()) << "the daemon never started";
        kill(std::stoi(r->out()), SIGKILL);
    }
}

TEST(RunOnce, LauncherMemoryStaysSmallWhateverTheOutput) {
    TempDir dir;
    Launch l;
    l.prefix = {helper_path("peak_rss"), dir / "rss"};
    Reply r = run(once_policy("head -c 104857600 /dev/zero | tr '\\0' x"), l);
    EXPECT_EQ(r.code(), 0);
    EXPECT_GT(r.out().size(), 8 * kMiB - 65536);
    EXPECT_LT(r.out().size(), 8 * kMiB + 65536 + 100);
    long peak_kib = 0;
    std::ifstream(dir / "rss") >> peak_kib;
    EXPECT_GT(peak_kib, 0);
    if (!kSanitizedBuild) {
        // The retained 8 MiB, small buffers, and the launcher's own code
        // pages (about 2 MiB resident, counted in the peak as well).
        EXPECT_LE(peak_kib, 11 * 1024) << "peak RSS " << peak_kib << " KiB";
    }
}

TEST(RunOnce, StartFailuresEndTheLauncher) {
    struct Case {
        std::string argv;
        std::string message;
    };
    const Case cases[] = {
        {R"(["tj-no-such-program"])", "No such file or directory (os error 2)"},
        {R"(["/"])", "Permission denied (os error 13)"},
        {R"(["echo","a\u0000b"])", "nul byte found in provided data"},
        {R"([])", "empty argv"},
    };
    for (const auto& c : cases) {
        Outcome o = run_policy(R"({"isolation":"none","cwd":"/tmp","argv":)" + c.argv + "}");
        EXPECT_EQ(o.status, 2) << c.argv;
        EXPECT_EQ(o.out, "") << c.argv;
        EXPECT_EQ(o.err, kWarning + "tarrow-jail: child execution failed: " + c.message + "\n");
    }
}

}  // namespace
}  // namespace tj::e2e
