#include "ravelgrid/view/DisplayScheduler.h"

#include <QTimer>

#include <chrono>
#include <ctime>

namespace ravelgrid {
namespace {

class SystemDisplayScheduler final : public DisplayScheduler {
public:
    uint64_t uptimeNs() const override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return uint64_t(ts.tv_sec) * 1'000'000'000ull + uint64_t(ts.tv_nsec);
    }

    void scheduleAfter(uint64_t delayNs, QObject* context, std::function<void()> task) override {
        // Rounded up so that the call never comes early.
        const auto ms = std::chrono::milliseconds((delayNs + 999'999) / 1'000'000);
        QTimer::singleShot(ms, Qt::PreciseTimer, context, std::move(task));
    }
};

}  // namespace

DisplayScheduler& DisplayScheduler::system() {
    static SystemDisplayScheduler scheduler;
    return scheduler;
}

}  // namespace ravelgrid
