#include "quillmar/sshconfig/SSHConfigMerge.h"
#include "quillmar/sshconfig/SSHConfigRemove.h"
#include "quillmar/sshconfig/SSHConfigWriter.h"
#include "quillmar/sshconfig/tests/support/TestHome.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmar;
using quillmar::test::TestHome;

namespace {

constexpr int kRounds = 30;

timespec after(const timespec& start, long ms)
{
    timespec t = start;
    t.tv_nsec += (ms % 1000) * 1000000L;
    t.tv_sec += ms / 1000 + t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

// Runs `work(round)` in a child process at the same instants as the other
// children; gives the lines it reported, "ok NAME" or the refusal.
class Writer {
public:
    Writer(const timespec& start, std::function<std::string(int)> work)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            for (int round = 0; round < kRounds; ++round) {
                timespec at = after(start, 40L * round);
                while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
                }
                std::string line = work(round) + "\n";
                (void)!::write(fds[1], line.data(), line.size());
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        fd_ = fds[0];
    }
    std::vector<std::string> lines()
    {
        std::string all;
        char buf[4096];
        ssize_t n;
        while (fd_ >= 0 && (n = ::read(fd_, buf, sizeof buf)) > 0)
            all.append(buf, static_cast<std::size_t>(n));
        if (fd_ >= 0)
            ::close(fd_);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        std::vector<std::string> out;
        std::istringstream in(all);
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

timespec soon()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return after(now, 150);
}

SSHConfigWriter fastWriter(const TestHome& h)
{
    SSHConfigWriter w(h.paths());
    w.setSSHExecutable(h.path("no-ssh"));  // the race is in the files, not in ssh
    return w;
}

HostEntry host(const std::string& alias)
{
    HostEntry e;
    e.alias = alias;
    e.hostName = alias + ".example";
    return e;
}

std::string add(const TestHome& h, const std::string& alias)
{
    auto done = fastWriter(h).addHost(host(alias));
    return done ? "ok " + alias : done.error().message;
}

std::string remove(const TestHome& h, const std::string& alias)
{
    SSHConfigRemove remover(fastWriter(h));
    auto change = remover.plan(alias, {h.ssh("quillmar_config"), true});
    if (!change)
        return "nothing to remove for " + alias;
    auto done = remover.apply(*change);
    return done ? "ok " + alias : done.error().message;
}

std::set<std::string> ownAliases(const TestHome& h)
{
    auto blocks = SSHConfigMerge::splitBlocks(ConfigDocument::parse(h.readSsh("quillmar_config")).lines).second;
    auto list = SSHConfigMerge::blockAliases(blocks);
    return {list.begin(), list.end()};
}

}  // namespace

// Two windows add hosts to the same own file (and the first saves add the
// Include line) at the same instants: every save succeeds and every host it
// reported is in the file.
TEST(SSHConfigTwoWriters, SimultaneousAddsAreAllKept)
{
    TestHome h;
    const timespec start = soon();
    Writer a(start, [&](int r) { return add(h, "a" + std::to_string(r)); });
    Writer b(start, [&](int r) { return add(h, "b" + std::to_string(r)); });
    auto lines = a.lines();
    for (std::string& l : b.lines())
        lines.push_back(std::move(l));
    const auto now = ownAliases(h);
    int acknowledged = 0;
    for (const std::string& line : lines) {
        ASSERT_EQ(line.rfind("ok ", 0), 0u) << line;
        ++acknowledged;
        EXPECT_TRUE(now.count(line.substr(3))) << line << " was reported saved but is gone";
    }
    EXPECT_EQ(acknowledged, 2 * kRounds);
    EXPECT_TRUE(fastWriter(h).includePresentAtTop());
    EXPECT_EQ(h.readSsh("config").find("Include quillmar_config"),
              h.readSsh("config").rfind("Include quillmar_config"));
    EXPECT_FALSE(h.temporaryLeft());
}

// One window removes hosts while another adds: no removal comes back and no
// addition goes.
TEST(SSHConfigTwoWriters, SimultaneousRemovesAndAdds)
{
    TestHome h;
    std::string own = SSHConfigWriter::kOwnFileHeader;
    for (int r = 0; r < kRounds; ++r)
        own += "\nHost r" + std::to_string(r) + "\n    HostName r.example\n";
    h.writeSsh("quillmar_config", own);
    h.writeSsh("config", std::string(SSHConfigWriter::kIncludeComment) + "\nInclude quillmar_config\n");
    const timespec start = soon();
    Writer remover(start, [&](int r) { return remove(h, "r" + std::to_string(r)); });
    Writer adder(start, [&](int r) { return add(h, "b" + std::to_string(r)); });
    const auto removed = remover.lines();
    const auto added = adder.lines();
    ASSERT_EQ(removed.size() + added.size(), 2u * kRounds);
    const auto now = ownAliases(h);
    for (const std::string& line : removed) {
        ASSERT_EQ(line.rfind("ok ", 0), 0u) << line;
        EXPECT_FALSE(now.count(line.substr(3))) << line.substr(3) << " came back";
    }
    for (const std::string& line : added) {
        ASSERT_EQ(line.rfind("ok ", 0), 0u) << line;
        EXPECT_TRUE(now.count(line.substr(3))) << line.substr(3) << " was lost";
    }
}

// The last host of the own file removed (with the Include line) while another
// window adds one: the added host ends up in a file ssh reads.
TEST(SSHConfigTwoWriters, AddDuringTheLastRemovalStaysIncluded)
{
    for (int round = 0; round < 8; ++round) {
        TestHome h;
        h.writeSsh("quillmar_config", std::string(SSHConfigWriter::kOwnFileHeader) + "\nHost solo\n    HostName s\n");
        h.writeSsh("config", std::string(SSHConfigWriter::kIncludeComment) + "\nInclude quillmar_config\n\nHost x\n");
        SSHConfigRemove planner(fastWriter(h));
        auto change = planner.plan("solo", {h.ssh("quillmar_config"), true});
        ASSERT_TRUE(change && change->cleanup);
        const timespec start = soon();
        pid_t child = ::fork();
        if (child == 0) {
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &start, nullptr) == EINTR) {
            }
            ::_exit(planner.apply(*change) ? 0 : 1);
        }
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &start, nullptr) == EINTR) {
        }
        auto added = fastWriter(h).addHost(host("late"));
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(added) << added.error().message;
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the removal failed on round " << round;
        EXPECT_EQ(ownAliases(h), std::set<std::string>{"late"});
        EXPECT_TRUE(fastWriter(h).includePresentAtTop()) << h.readSsh("config");
    }
}
