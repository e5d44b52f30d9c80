// Sample for check-test-timing-test.sh, never built: each statement after a
// "caught" line holds a measured duration to an upper bound and must be
// named; nothing else may be.
#include <QElapsedTimer>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <time.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void work();

std::chrono::nanoseconds timeOf(void (*f)())
{
    const auto before = Clock::now();
    f();
    return Clock::now() - before;
}

TEST(Caught, ReadingsSubtractedLater)
{
    const auto t0 = std::chrono::steady_clock::now();
    work();
    const auto t1 = std::chrono::steady_clock::now();
    // caught
    EXPECT_LT(t1 - t0, 50ms);
    const auto copy = t1;
    // caught
    ASSERT_LE(copy - t0, 50ms);
    auto d = t1 - t0;
    // caught
    EXPECT_LT(d, 50ms);
    // caught
    EXPECT_GT(50ms, t1 - t0);
    // caught
    EXPECT_TRUE(std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count() < 50);
    // caught
    EXPECT_FALSE(d > 50ms);
    // caught
    EXPECT_NEAR(std::chrono::duration<double>(d).count(), 0.1, 0.05);
    // caught
    EXPECT_THAT(d, ::testing::Lt(50ms));
    // caught
    EXPECT_LT(timeOf(work), 10ms);
    auto measure = [] {
        const auto from = Clock::now();
        work();
        return Clock::now() - from;
    };
    // caught
    EXPECT_LT(measure(), 10ms);
    // caught
    for (int i = 0; i < 3; ++i)
        EXPECT_LT(measure(), 10ms);
    // caught
    if (measure() > 10ms)
        ADD_FAILURE() << "slow";
}

TEST(Caught, WrappedByTheFormatter)
{
    const auto startedWaitingForTheAnswer = std::chrono::steady_clock::now();
    work();
    const auto waitedForTheAnswerToTheFirstQuestion = std::chrono::steady_clock::now() - startedWaitingForTheAnswer;
    // caught
    EXPECT_GT(std::chrono::milliseconds(50) + std::chrono::milliseconds(50) + std::chrono::milliseconds(50) +
                  std::chrono::milliseconds(50),
              waitedForTheAnswerToTheFirstQuestion)
        << "the answer came late";
    // As another formatter's settings wrap it.
    // clang-format off
    // caught
    EXPECT_LT(
        waitedForTheAnswerToTheFirstQuestion,
        50ms);
    // clang-format on
    // caught
    EXPECT_TRUE(std::chrono::duration_cast<std::chrono::milliseconds>(waitedForTheAnswerToTheFirstQuestion).count() <
                std::chrono::milliseconds(500).count());
}

TEST(Caught, OtherClocks)
{
    timespec start{}, end{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    work();
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    const long ms = (end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000;
    // caught
    ASSERT_LE(ms, 20);
    const qint64 a = QDateTime::currentMSecsSinceEpoch();
    work();
    const qint64 b = QDateTime::currentMSecsSinceEpoch();
    // caught
    QVERIFY(b - a <= 100);
    std::thread([] {
        const auto began = Clock::now();
        work();
        // caught
        EXPECT_LT(Clock::now() - began, 5ms);
    }).join();
}

void elapsedTimers()
{
    QElapsedTimer timer;
    timer.start();
    work();
    const qint64 took = timer.elapsed();
    // caught
    QVERIFY(took < 50);
    // caught
    QCOMPARE_LE(timer.elapsed(), 100);
    // caught
    QVERIFY(!timer.hasExpired(100));
    QElapsedTimer other;
    other.start();
    // caught
    QVERIFY2(timer.msecsTo(other) < 10, "late");
}

bool quickEnough(std::chrono::milliseconds limit)
{
    const auto t0 = Clock::now();
    work();
    // caught
    return Clock::now() - t0 < limit;
}
