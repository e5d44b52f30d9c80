#include "quillmar/sshkeys/AgentListing.h"

#include "KeyTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace quillmar {
namespace {

using namespace std::chrono_literals;
using testing::processAlive;
using testing::TempHome;

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(agent_.running());
        settings_.home = home_.home();
        settings_.userName = "me";
        settings_.authSocket = agent_.socket();
    }

    std::string writeStandIn(const std::string& body)
    {
        const std::string path = home_.home() + "/ssh-add";
        home_.write(path, "#!/bin/sh\n" + body, 0755);
        return path;
    }

    TempHome home_;
    testing::TestAgent agent_{home_.home() + "/agent.sock"};
    KeyStoreSettings settings_;
};

TEST_F(AgentTest, UnreachableAgents)
{
    auto missing = settings_;
    missing.authSocket = home_.home() + "/no-such.sock";
    EXPECT_EQ(AgentAnswer::from(AgentListing::runSSHAdd(missing)).status.label(), "ssh-agent: not reachable");

    // A stale socket left by an agent that died without cleaning up.
    agent_.stop(SIGKILL);
    ASSERT_TRUE(std::filesystem::exists(agent_.socket()));
    EXPECT_EQ(AgentAnswer::from(AgentListing::runSSHAdd(settings_)).status, AgentStatus::notReachable());

    auto noTool = settings_;
    noTool.sshAddPath = home_.home() + "/no-ssh-add";
    const auto listing = AgentListing::runSSHAdd(noTool);
    EXPECT_FALSE(listing.output);
    EXPECT_EQ(AgentAnswer::from(listing).status, AgentStatus::notReachable());
}

TEST_F(AgentTest, HangingSshAddIsCutOffWithNothingLeftBehind)
{
    const std::string pids = home_.home() + "/pids";
    settings_.sshAddPath =
        writeStandIn("echo $$ > " + pids + "\nsleep 300 &\necho $! >> " + pids + "\necho '256 SHA256:half'\nwait\n");
    settings_.agentTimeLimit = 500ms;
    const auto start = std::chrono::steady_clock::now();
    const auto listing = AgentListing::runSSHAdd(settings_);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(listing.output);
    EXPECT_EQ(AgentAnswer::from(listing).status, AgentStatus::notReachable());
    EXPECT_GE(took, 500ms);

    std::ifstream in(pids);
    pid_t shell = 0, sleeper = 0;
    in >> shell >> sleeper;
    ASSERT_GT(shell, 0);
    ASSERT_GT(sleeper, 0);
    // On a busy machine a killed process may take a moment to go.
    for (int i = 0; i < 3000 && (processAlive(shell) || processAlive(sleeper)); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(processAlive(shell));
    EXPECT_FALSE(processAlive(sleeper));
}

TEST_F(AgentTest, StandInAnswersAreReadFromStandardOutputOnly)
{
    // Chatter on stderr far past a pipe buffer neither blocks nor joins the answer.
    settings_.sshAddPath = writeStandIn("head -c 1000000 /dev/zero >&2\n"
                                        "echo '256 SHA256:one c (ED25519)'\necho '256 SHA256:two c (ED25519)'\n");
    auto answer = AgentAnswer::from(AgentListing::runSSHAdd(settings_));
    EXPECT_EQ(answer.status, AgentStatus::loadedKeys(2));

    // The arguments are exactly -l -E sha256, and our SSH_AUTH_SOCK is passed on.
    settings_.sshAddPath = writeStandIn("[ \"$*\" = '-l -E sha256' ] && [ \"$SSH_AUTH_SOCK\" = '" + agent_.socket() +
                                        "' ] && exit 1\nexit 2\n");
    EXPECT_EQ(AgentAnswer::from(AgentListing::runSSHAdd(settings_)).status, AgentStatus::noKeys());

    // Death by a signal whose number happens to be 1 is no "no keys" answer.
    settings_.sshAddPath = writeStandIn("kill -HUP $$\n");
    EXPECT_EQ(AgentAnswer::from(AgentListing::runSSHAdd(settings_)).status, AgentStatus::notReachable());
}

}  // namespace
}  // namespace quillmar
