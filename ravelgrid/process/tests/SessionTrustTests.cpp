#include "ravelgrid/process/SessionTrust.h"

#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ravelgrid;
using namespace std::chrono_literals;
using Answer = SessionTrust::Answer;

namespace {

// A session whose looks answer what the test says, each costing `cost` of
// this thread's CPU time.
struct FakeSession {
    std::atomic<bool> remote{false};
    std::atomic<int> looks{0};
    std::chrono::microseconds cost{0};
    bool ptyEmpty = true;
    SessionTrust trust{[this] {
        ++looks;
        timespec start{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        for (timespec now = start;; clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now)) {
            if ((now.tv_sec - start.tv_sec) * 1'000'000'000LL + (now.tv_nsec - start.tv_nsec) >= cost.count() * 1000)
                break;
        }
        RemoteSessionProbe::Look look;
        look.remote = remote;
        look.remotePid = remote ? 42 : 0;
        return look;
    }};
    std::function<bool()> empty = [this] { return ptyEmpty; };

    SessionTrust::Mark read(SessionTrust::Clock::time_point at, bool emptied = true)
    {
        return trust.outputRead(at, emptied, false, empty);
    }
};

}  // namespace

// Output after a pause is looked at before it is handed over, so its
// requests are answered at once; output that keeps flowing is covered only
// by a later look, which a request waits for or makes itself.
TEST(SessionTrust, RequestsWaitForALookBegunAfterTheirOutputWasRead)
{
    const auto t0 = SessionTrust::Clock::now();
    FakeSession session;
    const auto first = session.read(t0);
    EXPECT_EQ(session.looks, 1);
    EXPECT_FALSE(first.remote);
    EXPECT_EQ(session.trust.answer(first.seq), Answer::trusted);

    const auto flowing = session.read(t0 + 2ms);
    EXPECT_EQ(session.looks, 1) << "no look for every read";
    EXPECT_EQ(session.trust.answer(flowing.seq), Answer::unknown);
    const auto later = session.read(t0 + 4ms);
    EXPECT_TRUE(session.trust.await(flowing.seq, 1s));
    EXPECT_EQ(session.looks, 2);
    EXPECT_EQ(session.trust.answer(later.seq), Answer::trusted) << "one look covers everything read before it";

    // A remote session seen by the look a request waits for refuses it.
    const auto next = session.read(t0 + 6ms);
    session.remote = true;
    EXPECT_FALSE(session.trust.await(next.seq, 1s));
    EXPECT_EQ(session.trust.answer(first.seq), Answer::untrusted) << "nothing is answered while one is there";

    // Once the session has ended, what no look covered is refused.
    session.remote = false;
    session.trust.lookNow(t0 + 20ms, session.empty);
    session.read(t0 + 21ms);
    const auto last = session.read(t0 + 22ms);
    session.trust.close();
    EXPECT_EQ(session.trust.answer(last.seq), Answer::untrusted);
    EXPECT_FALSE(session.trust.await(last.seq, 1s));
}

// What is read while a remote process runs, or after it ended but before the
// terminal was emptied of what it wrote, is remote; after that, local again.
TEST(SessionTrust, OutputStaysRemoteUntilTheTerminalIsEmptied)
{
    const auto t0 = SessionTrust::Clock::now();
    FakeSession session;
    session.remote = true;
    EXPECT_TRUE(session.read(t0).remote);
    EXPECT_TRUE(session.read(t0 + 1ms).remote);

    session.remote = false;
    session.ptyEmpty = false;  // the remote wrote more than has been read
    session.trust.lookNow(t0 + 20ms, session.empty);
    EXPECT_TRUE(session.read(t0 + 21ms, false).remote) << "its output is still coming";
    EXPECT_TRUE(session.read(t0 + 22ms, true).remote) << "the read that empties the terminal is still its";
    EXPECT_FALSE(session.read(t0 + 23ms).remote);

    // A look that finds the terminal empty ends it at once.
    session.remote = true;
    session.trust.lookNow(t0 + 40ms, session.empty);
    session.remote = false;
    session.ptyEmpty = true;
    session.trust.lookNow(t0 + 50ms, session.empty);
    EXPECT_FALSE(session.read(t0 + 51ms).remote);
}

// Looks take at most a 25th of the time, whatever one costs; after the
// watched remote process ends, a few quick looks are not held back.
TEST(SessionTrust, LooksAreSpacedByWhatTheyCost)
{
    const auto t0 = SessionTrust::Clock::now();
    FakeSession session;
    session.cost = 2ms;
    session.trust.lookNow(t0, session.empty);
    const auto due = session.trust.nextLook(t0);
    EXPECT_GE(due.at - t0, 48ms);
    EXPECT_FALSE(due.idle);
    session.read(t0 + 15ms);
    EXPECT_EQ(session.looks, 1) << "output after a pause waits for the spacing too";
    session.read(t0 + 55ms);
    EXPECT_EQ(session.looks, 2);

    session.trust.watchedRemoteEnded();
    EXPECT_LE(session.trust.nextLook(t0 + 56ms).at - t0, 56ms);

    // A shell alone and untouched is looked at rarely; input ends that.
    SessionTrust alone([] {
        RemoteSessionProbe::Look look;
        look.remote = false;
        look.leaderAlone = true;
        return look;
    });
    alone.activity(t0);
    alone.lookNow(t0 + 2s, session.empty);
    EXPECT_TRUE(alone.nextLook(t0 + 2s).idle);
    EXPECT_EQ(alone.nextLook(t0 + 2s).at - (t0 + 2s), SessionTrust::idleLookInterval);
    alone.activity(t0 + 2s);
    EXPECT_FALSE(alone.nextLook(t0 + 2s).idle);
}

// A read no look has covered yet may reach the window only after a look saw a
// remote client and a later one saw it gone: it is still the client's.
TEST(SessionTrust, OutputALookSawAsRemoteStaysRemoteHoweverLateItIsDelivered)
{
    const auto t0 = SessionTrust::Clock::now();
    FakeSession session;
    const auto before = session.read(t0);
    const auto unseen = session.read(t0 + 2ms);
    ASSERT_EQ(session.looks, 1) << "output that keeps flowing is not looked at every read";
    session.remote = true;
    session.trust.lookNow(t0 + 4ms, session.empty);
    session.remote = false;
    session.trust.watchedRemoteEnded();
    session.trust.lookNow(t0 + 5ms, session.empty);
    const auto after = session.read(t0 + 30ms);

    EXPECT_FALSE(unseen.remote) << "nothing was known of the client when it was read";
    EXPECT_TRUE(session.trust.readSeenRemote(unseen.seq)) << "what it printed is marked when parsed";
    EXPECT_FALSE(session.trust.readSeenRemote(before.seq));
    EXPECT_FALSE(session.trust.readSeenRemote(after.seq));
    EXPECT_EQ(session.trust.answer(unseen.seq), Answer::untrusted);
    EXPECT_FALSE(session.trust.await(unseen.seq, 1s));
    EXPECT_EQ(session.trust.answer(before.seq), Answer::trusted) << "looked at before the client came";
    EXPECT_EQ(session.trust.answer(after.seq), Answer::trusted);
    EXPECT_EQ(session.trust.answer(after.seq + 1), Answer::untrusted) << "a read not made yet";
    EXPECT_FALSE(session.trust.await(after.seq + 1, 10s)) << "refused at once, not after the limit";
}

// However many remote episodes follow, the record of them stays bounded and
// never forgets one: what no longer fits is refused with its neighbours.
TEST(SessionTrust, EveryRemoteEpisodeIsRememberedWithinABound)
{
    const auto t0 = SessionTrust::Clock::now();
    FakeSession session;
    std::vector<std::uint64_t> remote, local;
    auto at = t0;
    for (int i = 0; i < 1000; ++i) {
        // Two reads flowing: one looked at by a clean look, the other by a remote one.
        at += 30ms;
        local.push_back(session.read(at).seq);
        at += 1ms;
        remote.push_back(session.read(at).seq);
        session.remote = true;
        session.trust.lookNow(at + 1ms, session.empty);
        session.remote = false;
        session.trust.lookNow(at + 2ms, session.empty);
    }
    for (const auto seq : remote)
        ASSERT_EQ(session.trust.answer(seq), Answer::untrusted) << seq;
    EXPECT_EQ(session.trust.answer(local.back()), Answer::trusted) << "recent local output is still told apart";
}
