// Path grants, protected paths and hidden paths inside the strict jail, as
// root and as an unprivileged user, each on a small fixture tree.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "jail_fixture.hpp"

namespace tj::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class JailPaths : public PerUser {
  protected:
    JailBed bed{GetParam()};

    // A directory (or file with `content`) under the bed, owned by the user.
    std::string dir(const std::string& rel) {
        std::string path = bed.base() + "/" + rel;
        fs::create_directories(path);
        own(path);
        return path;
    }
    std::string file(const std::string& rel, const std::string& content) {
        std::string path = bed.base() + "/" + rel;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << content;
        own(path);
        return path;
    }
    void own(const std::string& path) {
        ASSERT_EQ(lchown(path.c_str(), GetParam().uid, GetParam().uid), 0) << path;
    }
    Outcome run(const std::string& script, const std::string& more) {
        return bed.run(bed.policy({"/bin/sh", "-c", script}, more));
    }
    std::string sh(const std::string& script, const std::string& more) {
        Outcome o = run(script, more);
        EXPECT_EQ(o.status, 0) << o.err;
        return reply_stdout(o.out);
    }
    // The rootfs failure line a jail ends with.
    std::string refused(const std::string& more) {
        Outcome o = run("true", more);
        EXPECT_EQ(o.status, 2) << o.out;
        return o.err;
    }
};

std::string list(std::initializer_list<std::string> paths) {
    const std::string items = quote_each(std::span(paths.begin(), paths.size()));
    return "[" + items + "]";
}

TEST_P(JailPaths, ReadAndWriteGrants) {
    std::string ro = file("ro/f", "read me\n").substr(0, bed.base().size() + 3);
    std::string rw = dir("rw");
    std::string both = dir("both");
    std::string missing = bed.base() + "/missing";
    std::string more = "\"extra_ro_paths\":" + list({ro, both, missing}) +
                       ",\"extra_rw_paths\":" + list({rw, both, missing + "2"});
    std::string out =
        sh("cat " + ro + "/f; touch " + ro + "/g 2>/dev/null || echo ro-refused; " + "touch " + rw +
               "/g && echo rw-ok; touch " + both + "/g && echo both-ok; ls " + missing +
               " 2>/dev/null || echo no-missing",
           more);
    EXPECT_EQ(out, "read me\nro-refused\nrw-ok\nboth-ok\nno-missing\n");
    EXPECT_TRUE(fs::exists(rw + "/g"));
}

TEST_P(JailPaths, GrantSourcesShowTheSourceAndNameIt) {
    std::string src = dir("srv/data");
    file("srv/data/item", "from source\n");
    std::string grant = bed.base() + "/data";
    std::string more =
        "\"extra_ro_paths\":" + list({grant}) + ",\"grant_sources\":[" + list({grant, src}) + "]";
    EXPECT_EQ(sh("cat " + grant + "/item", more), "from source\n");
    // The same grant under /usr is refused as a write grant, with the source named
    // only where the binder itself fails.
    std::string err =
        refused("\"extra_rw_paths\":[\"/\"],\"grant_sources\":[[\"/\"," + quote(src) + "]]");
    EXPECT_EQ(err, "tarrow-jail: rootfs setup failed: write grant / (bound from " + src +
                       "): the root directory cannot be granted: bound over the jail's own root "
                       "it would replace every mount the sandbox is made of. Grant the "
                       "directories a command needs.\n");
}

TEST_P(JailPaths, RefusedGrants) {
    EXPECT_EQ(refused("\"extra_ro_paths\":[\"/\"]"),
              "tarrow-jail: rootfs setup failed: read grant /: the root directory cannot be "
              "granted: bound over the jail's own root it would replace every mount the sandbox "
              "is made of. Grant the directories a command needs.\n");
    EXPECT_EQ(refused("\"extra_rw_paths\":[\"/dev\"]"),
              "tarrow-jail: rootfs setup failed: write grant /dev: /dev cannot be granted: bound "
              "over the jail's device nodes it opens none of them, and no command could start. "
              "Name a device in sandbox.extra_device_paths.\n");
    EXPECT_EQ(refused("\"extra_rw_paths\":[\"/usr/share\"]"),
              "tarrow-jail: rootfs setup failed: write grant /usr/share sits under a read-only "
              "system mount\n");
    // A read grant there is skipped: it is already visible, read-only.
    EXPECT_EQ(sh("ls -d /usr/share", "\"extra_ro_paths\":[\"/usr/share\"]"), "/usr/share\n");
}

TEST_P(JailPaths, ReadGrantOfTheWorkingDirectoryMakesItReadOnly) {
    std::string out =
        sh("touch x 2>/dev/null || echo refused", "\"extra_ro_paths\":" + list({bed.work()}));
    EXPECT_EQ(out, "refused\n");
}

TEST_P(JailPaths, LinksAtMountPointsAreNeverFollowed) {
    // A link planted in the working directory, pointing at a host directory
    // outside it, on the way to grants inside the working directory.
    std::string outside = dir("outside");
    std::string grant_src = dir("grant");
    ASSERT_EQ(symlink(outside.c_str(), (bed.work() + "/planted").c_str()), 0);
    own(bed.work() + "/planted");
    std::string via_link = bed.work() + "/planted/sub";
    // Read grant: left as it is, nothing created or mounted on the host.
    std::string out = sh("ls " + bed.work() + "/planted/ | wc -l",
                         "\"extra_ro_paths\":" + list({via_link}) + ",\"grant_sources\":[" +
                             list({via_link, grant_src}) + "]");
    EXPECT_EQ(out, "0\n");
    EXPECT_TRUE(fs::is_empty(outside));
    // Write grant: refused with the link reason, nothing created on the host.
    std::string err = refused("\"extra_rw_paths\":" + list({via_link}) + ",\"grant_sources\":[" +
                              list({via_link, grant_src}) + "]");
    EXPECT_EQ(err, "tarrow-jail: rootfs setup failed: write grant " + via_link + " (bound from " +
                       grant_src +
                       "): a symbolic link is already at its mount point, inside an earlier "
                       "grant, and no mount goes through a link. Grant the link's target.\n");
    EXPECT_TRUE(fs::is_empty(outside));
}

TEST_P(JailPaths, ProtectedPaths) {
    std::string git = dir("work/.git");
    file("work/.git/HEAD", "ref\n");
    // A link outside every writable tree is the supervisor's own: followed.
    ASSERT_EQ(symlink("/etc", (bed.base() + "/etc-link").c_str()), 0);
    Outcome o =
        run("cat .git/HEAD; touch .git/x 2>/dev/null || echo protected; touch y && echo "
            "rest-writable",
            "\"extra_protect_paths\":" +
                list({git, bed.base() + "/etc-link", bed.work() + "/missing"}));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(reply_stdout(o.out), "ref\nprotected\nrest-writable\n");
    EXPECT_EQ(o.err, "tarrow-jail: skipping protect_path " + bed.base() +
                         "/etc-link (canonical /etc not under cwd " + bed.work() + ")\n");
}

// A command chooses where a link in its working directory leads: a protected
// path that is or passes through one refuses the jail, wherever it points.
TEST_P(JailPaths, ProtectedPathThroughALinkInTheWorkingDirectoryRefusesTheJail) {
    dir("work/real/.git");
    ASSERT_EQ(symlink("/etc", (bed.work() + "/etc-link").c_str()), 0);
    ASSERT_EQ(symlink("real", (bed.work() + "/alias").c_str()), 0);
    const std::string loop = ": ELOOP: Too many levels of symbolic links\n";
    for (const std::string& path : {bed.work() + "/etc-link", bed.work() + "/alias/.git"}) {
        std::string root = "/tmp/tarrow-jail-root-" + std::to_string(GetParam().uid);
        EXPECT_EQ(
            refused("\"extra_protect_paths\":" + list({path})),
            "tarrow-jail: rootfs setup failed: protect bind " + path + " -> " + root + path + loop);
    }
}

TEST_P(JailPaths, HiddenFilesAndDirectories) {
    file("work/secret.txt", "secret\n");
    dir("work/private");
    file("work/private/key", "key\n");
    std::string more =
        "\"hide_paths\":" + list({bed.work() + "/secret.txt", bed.work() + "/private"});
    std::string out = sh(
        "printf '[%s]' \"$(cat secret.txt)\"; echo; echo x > secret.txt 2>/dev/null || echo "
        "no-write; rm -f secret.txt 2>/dev/null || echo no-remove; mv secret.txt s2 2>/dev/null "
        "|| echo no-rename; ls -A private | wc -l; touch private/new 2>/dev/null || echo no-create",
        more);
    EXPECT_EQ(out, "[]\nno-write\nno-remove\nno-rename\n0\nno-create\n");
    std::string kept;
    std::getline(std::ifstream(bed.work() + "/secret.txt"), kept);
    EXPECT_EQ(kept, "secret");
    EXPECT_TRUE(fs::exists(bed.work() + "/private/key"));
}

TEST_P(JailPaths, GrantsInsideAHiddenPathStayVisible) {
    std::string home = dir("home/u");
    std::string work = dir("home/u/work");
    dir("home/u/other");
    file("home/u/work/f", "f\n");
    // Landlock keeps the masked parent itself unreadable; what the mounts show
    // is seen by looking up names.
    std::string more = "\"extra_rw_paths\":" + list({work}) + ",\"hide_paths\":" + list({home});
    EXPECT_EQ(sh("test -e " + home + "/other || echo other-hidden; cat " + work + "/f; touch " +
                     work + "/made && echo writable",
                 more),
              "other-hidden\nf\nwritable\n");
    // Hiding exactly a granted path keeps it masked.
    std::string exact = "\"extra_rw_paths\":" + list({work}) + ",\"hide_paths\":" + list({work});
    EXPECT_EQ(sh("ls -A " + work + " | wc -l", exact), "0\n");
}

TEST_P(JailPaths, HidePathsAreWidenedThroughLinksAndSources) {
    std::string real = dir("real");
    file("real/f", "visible?\n");
    std::string link = bed.base() + "/link";
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    // Named through a link, the target is hidden where it is granted.
    std::string more = "\"extra_ro_paths\":" + list({real}) + ",\"hide_paths\":" + list({link});
    EXPECT_EQ(sh("ls -A " + real + " | wc -l", more), "0\n");
    // Under a grant_sources source, hidden at the grant path.
    std::string src = dir("src");
    file("src/secret", "s\n");
    file("src/public", "p\n");
    std::string grant = bed.base() + "/shown";
    std::string via = "\"extra_ro_paths\":" + list({grant}) + ",\"grant_sources\":[" +
                      list({grant, src}) + "],\"hide_paths\":" + list({src + "/secret"});
    EXPECT_EQ(sh("cat " + grant + "/public; wc -c < " + grant + "/secret", via), "p\n0\n");
}

TEST_P(JailPaths, HiddenLinkIsMaskedAsTheLink) {
    // The link's target does not exist, so widening adds nothing: the mask
    // must land on the link itself.
    ASSERT_EQ(symlink("not-yet", (bed.work() + "/alias").c_str()), 0);
    own(bed.work() + "/alias");
    std::string out =
        sh("wc -c < alias; test -L alias || echo no-link; test -e not-yet || echo "
           "no-target",
           "\"hide_paths\":" + list({bed.work() + "/alias"}));
    EXPECT_EQ(out, "0\nno-link\nno-target\n");
    EXPECT_TRUE(fs::is_symlink(bed.work() + "/alias"));
}

// While jails start, a host process keeps exchanging the directory that holds
// a protected path with a link to a look-alike outside the working directory.
// A jail either protects the real directory, skips the path with its notice
// (the link was seen when the path was canonicalized), or refuses to start
// (the link was met on the way to the mount point); it never starts with the
// real directory writable.
TEST_P(JailPaths, ProtectedPathSurvivesALinkSwapRace) {
    dir("work/a/prot");
    file("work/a/prot/REAL", "");
    dir("decoy/prot");
    ASSERT_EQ(symlink((bed.base() + "/decoy").c_str(), (bed.work() + "/b").c_str()), 0);
    own(bed.work() + "/b");
    const std::string a = bed.work() + "/a", b = bed.work() + "/b", go = bed.work() + "/go";
    std::atomic<bool> racing{true};
    std::thread racer([&] {
        while (racing) {
            renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
            std::this_thread::sleep_for(50us);
        }
    });
    std::string script =
        "mktemp -p . started-XXXXXX >/dev/null; while [ ! -e go ]; do sleep 0.02; done; "
        "touch a/prot/x 2>/dev/null && echo WRITABLE || echo read-only";
    std::string more = "\"extra_protect_paths\":" + list({a + "/prot"});
    std::vector<std::future<Outcome>> jails;
    for (int i = 0; i < 8; ++i)
        jails.push_back(std::async(std::launch::async, [&] { return run(script, more); }));
    auto started = [&] {
        int n = 0;
        for (const auto& e : fs::directory_iterator(bed.work()))
            n += e.path().filename().string().rfind("started-", 0) == 0;
        return n;
    };
    auto ended = [&] {
        int n = 0;
        for (auto& jail : jails) n += jail.wait_for(0s) == std::future_status::ready;
        return n;
    };
    for (int i = 0; i < 400 && started() + ended() < 8; ++i) std::this_thread::sleep_for(50ms);
    racing = false;
    racer.join();
    if (!fs::exists(a + "/prot/REAL"))
        renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    ASSERT_TRUE(fs::exists(a + "/prot/REAL"));
    std::ofstream(go).put('\n');
    int protected_runs = 0;
    for (auto& jail : jails) {
        Outcome o = jail.get();
        if (o.status == 2) {
            EXPECT_NE(o.err.find("protect bind"), std::string::npos) << o.err;
            continue;
        }
        if (o.err.find("skipping protect_path") != std::string::npos) continue;
        EXPECT_EQ(reply_stdout(o.out), "read-only\n") << o.err;
        ++protected_runs;
    }
    RecordProperty("protected_runs", protected_runs);
}

// A link a command left in the working directory, on the way to a grant's
// source: the source is never looked up through it.
TEST_P(JailPaths, LinksUnderAGrantSourceInTheWorkingDirectoryAreNeverFollowed) {
    std::string outside = dir("outside/g");
    file("outside/g/host-only", "host\n");
    ASSERT_EQ(symlink((bed.base() + "/outside").c_str(), (bed.work() + "/sub").c_str()), 0);
    own(bed.work() + "/sub");
    const std::string source = bed.work() + "/sub/g", shown = bed.base() + "/shown";
    const std::string pair = ",\"grant_sources\":[" + list({shown, source}) + "]";
    // A read grant stays unmounted.
    EXPECT_EQ(sh("ls " + shown + " 2>/dev/null || echo not-there",
                 "\"extra_ro_paths\":" + list({shown}) + pair),
              "not-there\n");
    // A write grant is refused.
    EXPECT_EQ(refused("\"extra_rw_paths\":" + list({shown}) + pair),
              "tarrow-jail: rootfs setup failed: write grant " + shown + " (bound from " + source +
                  "): a symbolic link is already at its mount point, inside an earlier grant, and "
                  "no mount goes through a link. Grant the link's target.\n");
    // Inside a write grant the same holds: its tree is as writable as cwd.
    std::string rw = dir("rw");
    ASSERT_EQ(symlink((bed.base() + "/outside").c_str(), (rw + "/sub").c_str()), 0);
    EXPECT_EQ(sh("ls " + shown + " 2>/dev/null || echo not-there",
                 "\"extra_rw_paths\":" + list({rw}) + ",\"extra_ro_paths\":" + list({shown}) +
                     ",\"grant_sources\":[" + list({shown, rw + "/sub/g"}) + "]"),
              "not-there\n");
    // A link in the supervisor's own tree is followed.
    ASSERT_EQ(symlink((bed.base() + "/outside").c_str(), (bed.base() + "/own-link").c_str()), 0);
    EXPECT_EQ(sh("cat " + shown + "/host-only",
                 "\"extra_ro_paths\":" + list({shown}) + ",\"grant_sources\":[" +
                     list({shown, bed.base() + "/own-link/g"}) + "]"),
              "host\n");
}

// A hidden path reached through a link a command left: the link itself is
// masked, its target outside is left alone.
TEST_P(JailPaths, HiddenPathThroughALinkMasksTheLinkItself) {
    std::string outside = dir("outside");
    file("outside/secret", "outside\n");
    ASSERT_EQ(symlink(outside.c_str(), (bed.work() + "/l").c_str()), 0);
    own(bed.work() + "/l");
    // Widening would add the target; name it so that it cannot (its canonical
    // form is taken before the link exists in this policy's eyes).
    std::string out = sh("test -L l || echo masked; wc -c < l; cat " + outside + "/secret",
                         "\"extra_ro_paths\":" + list({outside}) +
                             ",\"hide_paths\":" + list({bed.work() + "/l/missing"}));
    EXPECT_EQ(out, "masked\n0\noutside\n");
}

// Every directory between the working directory (or a write grant) and a
// protected path, a hidden path or a grant is a mount point in the jail, so no
// command can rename one to walk a guarantee off its object; and the next jail
// finds everything where it was.
TEST_P(JailPaths, ParentsOfGuardedPathsCannotBeMoved) {
    dir("work/a/b/.git");
    file("work/c/d/secret", "secret\n");
    dir("work/e/f/g");
    std::string rw = dir("rw");
    dir("rw/h/i");
    const std::string w = bed.work();
    std::string more = "\"extra_protect_paths\":" + list({w + "/a/b/.git"}) +
                       ",\"hide_paths\":" + list({w + "/c/d/secret"}) +
                       ",\"extra_rw_paths\":" + list({w + "/e/f/g", rw}) +
                       ",\"extra_ro_paths\":" + list({rw + "/h/i"});
    // Each move stays in its directory, so mv cannot fall back to copying.
    std::string script;
    for (std::string from : {"a", "a/b", "c", "c/d", "e", "e/f"})
        script += "mv " + from + " " + from + "-moved 2>/dev/null && echo MOVED " + from + "; ";
    script += "mv " + rw + "/h " + rw + "/h-moved 2>/dev/null && echo MOVED h; ";
    script += "mkdir -p c/d && cat c/d/secret; echo done";
    EXPECT_EQ(sh(script, more), "done\n");
    for (const char* kept : {"a/b/.git", "c/d/secret", "e/f/g"})
        EXPECT_TRUE(fs::exists(w + "/" + kept)) << kept;
    EXPECT_TRUE(fs::exists(rw + "/h/i"));
    for (const char* moved : {"a-moved", "a/b-moved", "c-moved", "c/d-moved", "e-moved"})
        EXPECT_FALSE(fs::exists(w + "/" + moved)) << moved;
}

// One jail tries to carry a hidden file and a protected directory away by
// moving their parent and leaving decoys; the next jail of the same policy
// still guards the real ones.
TEST_P(JailPaths, AMovedParentCannotCarryAGuaranteeAway) {
    file("work/d/secret", "secret\n");
    dir("work/d/.git");
    const std::string w = bed.work();
    std::string more = "\"hide_paths\":" + list({w + "/d/secret"}) +
                       ",\"extra_protect_paths\":" + list({w + "/d/.git"});
    EXPECT_EQ(sh("mv d d_moved 2>/dev/null && mkdir -p d/.git && : > d/secret; echo tried", more),
              "tried\n");
    EXPECT_EQ(sh("cat d/secret d_moved/secret 2>/dev/null; touch d/.git/HEAD d_moved/.git/HEAD "
                 "2>/dev/null || echo guarded",
                 more),
              "guarded\n");
    EXPECT_FALSE(fs::exists(w + "/d_moved"));
}

// A relative entry would be resolved against whatever directory the launcher
// is in and miss what it names: the launcher ends before anything runs.
TEST_P(JailPaths, RelativeEntriesAreRefusedInEveryIsolation) {
    struct Case {
        std::string member, list, entry;
    };
    const std::vector<Case> cases = {
        {"[\"sub\"]", "extra_ro_paths", "sub"},
        {"[\"./x\"]", "extra_rw_paths", "./x"},
        {"[[\"/data\",\"src\"]]", "grant_sources", "src"},
        {"[\"dev/null\"]", "extra_device_paths", "dev/null"},
        {"[\"bin\"]", "tool_paths", "bin"},
        {"[\".env\"]", "hide_paths", ".env"},
        {"[\".git\"]", "extra_protect_paths", ".git"},
    };
    for (const char* isolation : {"strict", "hardened", "none"}) {
        for (const auto& c : cases) {
            Outcome o = bed.run(bed.policy(
                {"/bin/sh", "-c", "touch ran"},
                "\"isolation\":" + quote(isolation) + ",\"" + c.list + "\":" + c.member));
            EXPECT_EQ(o.status, 2) << isolation << " " << c.list;
            EXPECT_EQ(o.err, "tarrow-jail: " + c.list + " entry \"" + c.entry +
                                 "\" is not an absolute path\n")
                << isolation;
            EXPECT_EQ(o.out, "");
        }
    }
    EXPECT_FALSE(fs::exists(bed.work() + "/ran"));
}

INSTANTIATE_TEST_SUITE_P(Users, JailPaths, ::testing::Values(as_root(), as_nobody()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tj::e2e
