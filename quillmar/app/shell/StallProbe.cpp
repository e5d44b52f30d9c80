#include "quillmar/app/shell/StallProbe.h"

#include <termios.h>

namespace quillmar {

bool StallProbe::quietTooLong(std::uint64_t startedAt, std::optional<std::uint64_t> lastOutputAt, std::uint64_t now)
{
    const std::uint64_t last = lastOutputAt.value_or(startedAt);
    if (last < startedAt || last - startedAt >= quietAfterStartNs)
        return false;
    return now >= last && now - last >= silenceNs;
}

bool StallProbe::shouldShowHint(std::uint64_t now) const
{
    if (dismissed || !view)
        return false;
    ravelgrid::LocalProcess& process = view->process();
    if (!process.running())
        return false;
    if (!quietTooLong(startedAt, lastOutputAt, now))
        return false;
    const int fd = process.childfd();
    if (fd < 0)
        return false;
    termios attributes{};
    if (::tcgetattr(fd, &attributes) != 0)
        return false;
    return (attributes.c_lflag & ICANON) != 0;
}

}  // namespace quillmar
