// Link strings and OSC 8 payloads from untrusted output: whatever they hold,
// only the allowed schemes come out, files only for a trusted session and
// only regular files that are no program.

#include "ravelgrid/view/LinkOpener.h"
#include "ravelgrid/view/TerminalView.h"

#include <QFileInfo>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool trusted = data[0] & 1;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const ravelgrid::LinkOpener::Context context{trusted, std::string("file:///tmp")};
    if (const auto url = ravelgrid::LinkOpener::resolve(text, context)) {
        const QString scheme = url->scheme();
        const bool web = scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
                         scheme == QLatin1String("ftp") || scheme == QLatin1String("mailto");
        if (!web) {
            if (scheme != QLatin1String("file") || !trusted)
                std::abort();
            const QFileInfo info(url->toLocalFile());
            if (!info.isFile() || info.isExecutable() ||
                info.suffix().compare(QLatin1String("desktop"), Qt::CaseInsensitive) == 0)
                std::abort();
        }
    }
    if (const auto parsed = ravelgrid::TerminalView::urlPreviewText(text)) {
        // The URI is everything after the first ";".
        if (parsed->first != text.substr(text.find(';') + 1))
            std::abort();
    }
    (void)ravelgrid::LinkOpener::textDisguisesTarget(text, text.substr(text.size() / 2));
    (void)ravelgrid::LinkOpener::targetHidesText(QString::fromUtf8(text.data(), qsizetype(text.size())));
    return 0;
}
