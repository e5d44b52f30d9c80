// Sample for check-test-timing-test.sh, never built: lower bounds, deadlines
// for waiting and computed times, none of which check-test-timing.sh may name.
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void work();
bool done();

TEST(Passed, LowerBoundsAndDeadlines)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 400ms) << "took " << took.count() << " < limit";
    EXPECT_GT(took, 400ms);
    EXPECT_LT(400ms, took);
    EXPECT_TRUE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count() >= 400);
    EXPECT_FALSE(took < 400ms);
    while (std::chrono::steady_clock::now() - start < 5s && !done())
        work();
    for (auto t0 = Clock::now(); Clock::now() - t0 < 1s;)
        work();
    if (took > 50ms)
        return;
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(Clock::now() - start, 400ms);
    if (took < 50ms)
        ADD_FAILURE() << "it did not wait";
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
        if (done())
            break;
    }
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, 5s, [] { return done(); }));
    auto eventually = [](auto condition, std::chrono::milliseconds limit) {
        const auto giveUp = Clock::now() + limit;
        while (!condition()) {
            if (Clock::now() > giveUp)
                return false;
        }
        return true;
    };
    EXPECT_TRUE(eventually([&] { return done() || Clock::now() - start > 10s; }, 20s));
    std::vector<bool> late;
    const auto opening = std::chrono::steady_clock::now();
    late.push_back(std::chrono::steady_clock::now() - opening >= std::chrono::milliseconds(2));
    EXPECT_EQ(late.size(), 1u);
}

TEST(Passed, ComputedTimes)
{
    struct Trust {
        struct Due {
            Clock::time_point at;
        };
        Due nextLook(Clock::time_point t) const { return {t + 48ms}; }
    } trust;
    const auto t0 = Clock::now();
    EXPECT_LE(trust.nextLook(t0 + 8ms).at - t0, 56ms);
    EXPECT_EQ(trust.nextLook(t0 + 2s).at - (t0 + 2s), 48ms);
    // EXPECT_LT(Clock::now() - t0, 50ms) in a comment is no assertion,
    const char* text = "EXPECT_LT(Clock::now() - t0, 50ms);";
    const char* raw = R"(nor in a string: EXPECT_LT(Clock::now() - t0, 50ms);)";
    EXPECT_NE(text, raw);
}

void waits()
{
    QElapsedTimer timer;
    timer.start();
    QTRY_VERIFY_WITH_TIMEOUT(done(), 5000);
    QVERIFY(QTest::qWaitFor([&] { return done(); }, 5000));
    QVERIFY(timer.elapsed() >= 1400);
    QVERIFY(timer.hasExpired(1000));
    QVERIFY2(done(), qPrintable(QString::number(timer.elapsed())));
    QCOMPARE_GE(timer.elapsed(), 1000);
}

// A scheduler's clock may be a test's fake one: its readings are no measurement.
struct Scheduler {
    unsigned long nowNs() const;
};

void fakeClock(const Scheduler& clock)
{
    const unsigned long start = clock.nowNs();
    work();
    EXPECT_LE(clock.nowNs() - start, 5000000u);
}
