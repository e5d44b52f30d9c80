#include "ravelgrid/gpu/GpuProfile.h"

#include "platform/Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace ravelgrid {

bool profilingSwitchValue(const char* value)
{
    return value && std::strcmp(value, "1") == 0;
}

bool gpuProfilingEnabled()
{
    static const bool enabled = profilingSwitchValue(std::getenv("RAVELGRID_PROFILE"));
    return enabled;
}

GpuProfileInterval::GpuProfileInterval(std::string_view name) : name_(name), active_(gpuProfilingEnabled())
{
    if (active_)
        start_ = std::chrono::steady_clock::now();
}

GpuProfileInterval::~GpuProfileInterval()
{
    if (!active_)
        return;
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start_).count();
    char tail[48];
    std::snprintf(tail, sizeof tail, " %.1f us", us);
    std::string line(name_);
    line.append(tail);
    platform::logDebug(gpuProfileLogCategory, line);
}

}  // namespace ravelgrid
