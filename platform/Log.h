#pragma once

#include <functional>
#include <string_view>

namespace platform {

enum class LogLevel { debug, info, warning, error };

// Library code logs through here, never to stdout. The host may install its
// own sink (Qt logging in the application); the default writes to stderr.
using LogSink = std::function<void(LogLevel, std::string_view category, std::string_view message)>;

void setLogSink(LogSink sink);
void log(LogLevel level, std::string_view category, std::string_view message);

inline void logDebug(std::string_view category, std::string_view message)
{
    log(LogLevel::debug, category, message);
}
inline void logInfo(std::string_view category, std::string_view message)
{
    log(LogLevel::info, category, message);
}
inline void logWarning(std::string_view category, std::string_view message)
{
    log(LogLevel::warning, category, message);
}
inline void logError(std::string_view category, std::string_view message)
{
    log(LogLevel::error, category, message);
}

}  // namespace platform
