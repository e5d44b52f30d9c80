#pragma once

#include <chrono>
#include <string_view>

namespace ravelgrid {

inline constexpr std::string_view gpuProfileLogCategory = "MetalProfile";

// The process-wide profiling switch: on exactly when RAVELGRID_PROFILE is
// "1", read once on first use.
bool gpuProfilingEnabled();
// The rule alone, for a value read elsewhere (null: unset).
bool profilingSwitchValue(const char* value);

// One profiling interval ("Metal.Draw", ...): logged at debug level with its
// length when the switch is on, nothing at all otherwise.
class GpuProfileInterval {
public:
    explicit GpuProfileInterval(std::string_view name);
    ~GpuProfileInterval();
    GpuProfileInterval(const GpuProfileInterval&) = delete;
    GpuProfileInterval& operator=(const GpuProfileInterval&) = delete;

private:
    std::string_view name_;
    bool active_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace ravelgrid
