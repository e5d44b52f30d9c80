#include "platform/Keyring.h"
#include "platform/tests/support/HeldBusName.h"
#include "platform/tests/support/KeyringLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>

namespace {

bool envSet(const char* name)
{
    return std::getenv(name) != nullptr;
}

class KeyringTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!envSet("QM_KEYRING_TEST"))
            GTEST_SKIP() << "needs the throwaway Secret Service of with-keyring.sh";
        ASSERT_FALSE(keyring.remove("test-account").has_value());
    }
    platform::Keyring keyring{"quillmar-test"};
};

TEST_F(KeyringTest, StoresLooksUpReplacesAndRemoves)
{
    auto missing = keyring.lookup("test-account");
    ASSERT_TRUE(missing.ok()) << missing.error->message;
    EXPECT_FALSE(missing.secret.has_value());

    ASSERT_FALSE(keyring.store("test-account", "quillmar test", "first").has_value());
    EXPECT_EQ(keyring.lookup("test-account").secret, "first");
    ASSERT_FALSE(keyring.store("test-account", "quillmar test", "second").has_value());
    EXPECT_EQ(keyring.lookup("test-account").secret, "second");

    // Another service's item of the same account stays apart.
    platform::Keyring other("quillmar-other");
    EXPECT_FALSE(other.lookup("test-account").secret.has_value());

    ASSERT_FALSE(keyring.remove("test-account").has_value());
    EXPECT_FALSE(keyring.lookup("test-account").secret.has_value());
    EXPECT_FALSE(keyring.remove("test-account").has_value());
}

TEST_F(KeyringTest, RefusesSecretsItCannotHold)
{
    const auto error = keyring.store("test-account", "quillmar test", std::string("a\0b", 3));
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(keyring.lookup("test-account").secret.has_value());
}

// Callers take turns by owning a name on the session bus, each on a
// connection of its own: this process's holder keeps a call waiting. A
// cancel ends a task's call whenever it came once the task began, even
// before the call waits; later tasks wait on, and then add the item once.
TEST_F(KeyringTest, LookupOrAddWaitsForTheNameAndACancelEndsItWheneverItCame)
{
    using namespace std::chrono_literals;
    const std::string name = "org.quillmar.KeyringTest";
    const std::string file = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/keyring-test.lock";
    platform::testing::HeldBusName holder(name);
    ASSERT_TRUE(holder.held());
    auto add = [&](const platform::Keyring& task, const std::string& secret) {
        return std::async(std::launch::async,
                          [=] { return task.lookupOrAdd("test-account", "quillmar test", secret, name, file); });
    };
    for (int round = 0; round < 20; ++round) {
        const platform::Keyring task = keyring.fromNow();
        if (round == 0)
            keyring.cancel();  // before the call begins
        auto call = add(task, "cancelled");
        if (round > 0)
            keyring.cancel();  // as it begins, or waits
        const bool ended = call.wait_for(60s) == std::future_status::ready;
        if (!ended)
            holder.release();
        ASSERT_TRUE(ended) << "round " << round << ": the cancel was lost";
        const auto r = call.get();
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error->kind, platform::KeyringError::Kind::noAnswer);
    }
    auto later = add(keyring.fromNow(), "kept");
    ASSERT_EQ(later.wait_for(500ms), std::future_status::timeout) << "a call went on while the name was held";
    holder.release();
    ASSERT_EQ(later.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(later.get().secret, "kept");
    EXPECT_EQ(add(keyring, "other").get().secret, "kept");
}

TEST(LockedKeyringTest, ALockedItemIsReportedAsLockedNotMissing)
{
    if (!envSet("QM_KEYRING_TEST") || !envSet("QM_KEYRING_LOCK_TEST"))
        GTEST_SKIP() << "locks its own keyring";
    platform::Keyring keyring("quillmar-test");
    ASSERT_FALSE(keyring.store("test-account", "quillmar test", "kept").has_value());
    ASSERT_TRUE(platform::testing::lockDefaultKeyring());

    const auto lookup = keyring.lookup("test-account");
    ASSERT_FALSE(lookup.ok());
    EXPECT_EQ(lookup.error->kind, platform::KeyringError::Kind::locked);
    EXPECT_EQ(lookup.error->message, "The keyring is locked.");
    EXPECT_FALSE(lookup.secret.has_value());
    // While locked, "not there" can't be told from "hidden", and neither may be made anew.
    const auto missing = keyring.lookup("no-such-account");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error->kind, platform::KeyringError::Kind::locked);

    const auto stored = keyring.store("other-account", "quillmar test", "new");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->kind, platform::KeyringError::Kind::locked) << stored->message;
}

// A first start with the keyring locked and nothing stored in it asks the
// desktop to unlock it (no prompter can show here, so the prompt fails at
// once); a watch sees the keyring unlocked by another program.
TEST(LockedKeyringTest, AMissingItemAsksToUnlockAndAWatchSeesAnotherProgramUnlock)
{
    using namespace std::chrono_literals;
    if (!envSet("QM_KEYRING_TEST") || !envSet("QM_KEYRING_LOCK_TEST"))
        GTEST_SKIP() << "locks its own keyring";
    platform::Keyring keyring("quillmar-test");
    ASSERT_TRUE(platform::testing::unlockDefaultKeyring("test-password"));
    ASSERT_FALSE(keyring.store("test-account", "quillmar test", "kept").has_value());
    ASSERT_TRUE(platform::testing::lockDefaultKeyring());

    int prompts = 0;
    const auto missing = keyring.lookup("no-such-account", [&] { ++prompts; });
    EXPECT_EQ(prompts, 1);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error->kind, platform::KeyringError::Kind::locked);

    // A watch from another state ends at once; from this one, at the change.
    EXPECT_EQ(keyring.waitForChange(platform::KeyringState::open), platform::KeyringState::locked);
    auto watch = std::async(std::launch::async, [&] { return keyring.waitForChange(platform::KeyringState::locked); });
    ASSERT_EQ(watch.wait_for(500ms), std::future_status::timeout) << "the watch ended while nothing changed";
    ASSERT_TRUE(platform::testing::unlockDefaultKeyring("test-password"));
    ASSERT_EQ(watch.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(watch.get(), platform::KeyringState::open);
    prompts = 0;
    EXPECT_EQ(keyring.lookup("test-account", [&] { ++prompts; }).secret, "kept");
    EXPECT_EQ(prompts, 0);

    auto cancelled =
        std::async(std::launch::async, [&] { return keyring.waitForChange(platform::KeyringState::open); });
    ASSERT_EQ(cancelled.wait_for(500ms), std::future_status::timeout);
    keyring.cancel();
    ASSERT_EQ(cancelled.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(cancelled.get(), std::nullopt);
}

TEST(NoKeyringTest, EveryCallSaysTheKeyringIsMissing)
{
    if (!envSet("QM_NO_KEYRING_TEST"))
        GTEST_SKIP() << "runs with no session bus";
    platform::Keyring keyring("quillmar-test");
    const auto lookup = keyring.lookup("test-account");
    ASSERT_FALSE(lookup.ok());
    EXPECT_EQ(lookup.error->kind, platform::KeyringError::Kind::unavailable);
    EXPECT_EQ(lookup.error->message, "No keyring is available: the desktop's Secret Service isn't running.");
    const auto stored = keyring.store("test-account", "quillmar test", "secret");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->kind, platform::KeyringError::Kind::unavailable);
}

// A service that owns the name and never answers (with-keyring.sh --silent).
class SilentKeyringTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!envSet("QM_SILENT_KEYRING_TEST"))
            GTEST_SKIP() << "needs the silent service of with-keyring.sh";
    }
    static void expectNoAnswer(const std::optional<platform::KeyringError>& error)
    {
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, platform::KeyringError::Kind::noAnswer);
        EXPECT_EQ(error->message, "The keyring didn't answer in time.");
    }
};

TEST_F(SilentKeyringTest, CancelEndsEveryWaitingCallOfTheKeyringAndItsCopies)
{
    using namespace std::chrono_literals;
    platform::Keyring keyring("quillmar-test");
    const platform::Keyring copy = keyring;
    auto lookup = std::async(std::launch::async, [&] { return keyring.lookup("test-account"); });
    auto stored = std::async(std::launch::async, [&] { return copy.store("test-account", "quillmar test", "s"); });
    ASSERT_EQ(lookup.wait_for(500ms), std::future_status::timeout) << "the service answered";
    keyring.cancel();
    // Ended by the cancel, well before the bus's own time limit (25 s) would end them.
    ASSERT_EQ(lookup.wait_for(15s), std::future_status::ready);
    ASSERT_EQ(stored.wait_for(15s), std::future_status::ready);
    const auto found = lookup.get();
    expectNoAnswer(found.error);
    EXPECT_FALSE(found.secret.has_value());
    expectNoAnswer(stored.get());

    // Calls made after the cancel wait again.
    auto removed = std::async(std::launch::async, [&] { return keyring.remove("test-account"); });
    ASSERT_EQ(removed.wait_for(500ms), std::future_status::timeout);
    copy.cancel();
    ASSERT_EQ(removed.wait_for(15s), std::future_status::ready);
    expectNoAnswer(removed.get());
}

TEST_F(SilentKeyringTest, LeftAloneACallEndsWithTheBusTimeLimit)
{
    auto lookup =
        std::async(std::launch::async, [] { return platform::Keyring("quillmar-test").lookup("test-account"); });
    ASSERT_EQ(lookup.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the call never ended";
    const auto found = lookup.get();
    expectNoAnswer(found.error);
}

}  // namespace
