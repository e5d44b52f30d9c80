#include "platform/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex& sinkMutex()
{
    static std::mutex m;
    return m;
}

LogSink& currentSink()
{
    static LogSink sink;
    return sink;
}

const char* levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::warning: return "warning";
    case LogLevel::error: return "error";
    }
    return "?";
}

}  // namespace

void setLogSink(LogSink sink)
{
    std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
}

void log(LogLevel level, std::string_view category, std::string_view message)
{
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(level, category, message);
        return;
    }
    if (level == LogLevel::debug)
        return;
    std::string line;
    line.reserve(category.size() + message.size() + 16);
    line.append("[").append(levelName(level)).append("] ");
    line.append(category).append(": ").append(message).append("\n");
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace platform
