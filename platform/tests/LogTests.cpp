#include "platform/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Log, SinkReceivesMessagesAndCanBeRemoved)
{
    std::vector<std::string> seen;
    platform::setLogSink([&](platform::LogLevel level, std::string_view cat, std::string_view msg) {
        seen.push_back(std::to_string(static_cast<int>(level)) + std::string(cat) + ":" + std::string(msg));
    });
    platform::logWarning("screen", "ring full");
    platform::logDebug("pty", "read");
    platform::setLogSink(nullptr);
    platform::logDebug("pty", "after removal goes to stderr, not the sink");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "2screen:ring full");
    EXPECT_EQ(seen[1], "0pty:read");
}
