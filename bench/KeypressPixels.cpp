// Keypress to pixels on a real X server: sends keys to a window with XTest
// and times each until the X server reports damage on that window whose
// pixels really changed (damage that repaints the same pixels is ignored).
// The terminal in the window should run `cat` with a steady caret; the keys
// alternate "x" and BackSpace so the line never grows.
//   keypress_pixels <window id> [samples, default 100] [pause ms, default 80]
// Prints one line: "median <ms> p95 <ms> max <ms> samples <n> missed <n>".
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/keysym.h>

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

double nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

struct ImageDeleter {
    void operator()(XImage* image) const
    {
        if (image)
            XDestroyImage(image);
    }
};
using Image = std::unique_ptr<XImage, ImageDeleter>;

Image grab(Display* display, Window window, int x, int y, unsigned width, unsigned height)
{
    return Image(XGetImage(display, window, x, y, width, height, AllPlanes, ZPixmap));
}

// Whether the rectangle of the window now differs from the snapshot.
bool changed(Display* display, Window window, const XImage& before, const XRectangle& r)
{
    const int x0 = std::max<int>(r.x, 0);
    const int y0 = std::max<int>(r.y, 0);
    const int x1 = std::min<int>(r.x + r.width, before.width);
    const int y1 = std::min<int>(r.y + r.height, before.height);
    if (x1 <= x0 || y1 <= y0)
        return false;
    Image now = grab(display, window, x0, y0, unsigned(x1 - x0), unsigned(y1 - y0));
    if (!now)
        return false;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (XGetPixel(now.get(), x - x0, y - y0) != XGetPixel(const_cast<XImage*>(&before), x, y))
                return true;
    return false;
}

// Takes the damage reported so far; true when any of it changed pixels.
bool takeDamage(Display* display, Window window, Damage damage, XserverRegion region, const XImage* before)
{
    XDamageSubtract(display, damage, None, region);
    int count = 0;
    XRectangle* rects = XFixesFetchRegion(display, region, &count);
    bool any = false;
    for (int i = 0; before && i < count && !any; ++i)
        any = changed(display, window, *before, rects[i]);
    if (rects)
        XFree(rects);
    return any;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <window id> [samples] [pause ms]\n", argv[0]);
        return 2;
    }
    const Window window = std::strtoul(argv[1], nullptr, 0);
    const int samples = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    const int pauseMs = argc > 3 ? std::max(10, std::atoi(argv[3])) : 80;

    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    int damageEvent = 0, damageError = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor) ||
        !XDamageQueryExtension(display, &damageEvent, &damageError) || !XFixesQueryExtension(display, &event, &error)) {
        std::fprintf(stderr, "the X server lacks XTEST, DAMAGE or XFIXES\n");
        return 1;
    }
    XFixesQueryVersion(display, &major, &minor);
    XDamageQueryVersion(display, &major, &minor);

    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes)) {
        std::fprintf(stderr, "no window 0x%lx\n", window);
        return 1;
    }
    const Damage damage = XDamageCreate(display, window, XDamageReportNonEmpty);
    const XserverRegion region = XFixesCreateRegion(display, nullptr, 0);
    const KeyCode keys[2] = {XKeysymToKeycode(display, XK_x), XKeysymToKeycode(display, XK_BackSpace)};
    XSync(display, False);

    auto pump = [&](double untilMs, const XImage* before) {
        // Returns the time of the first damage that changed pixels, or a
        // negative value once untilMs passes.
        for (;;) {
            while (XPending(display)) {
                XEvent e;
                XNextEvent(display, &e);
                if (e.type == damageEvent + XDamageNotify) {
                    const double at = nowMs();
                    if (takeDamage(display, window, damage, region, before))
                        return at;
                }
            }
            const double left = untilMs - nowMs();
            if (left <= 0)
                return -1.0;
            pollfd fd{ConnectionNumber(display), POLLIN, 0};
            poll(&fd, 1, std::max(1, int(left)));
        }
    };

    std::vector<double> latencies;
    int missed = 0;
    const int warmup = 4;
    for (int i = 0; i < samples + warmup; ++i) {
        // Whatever the last key still changes settles first.
        pump(nowMs() + pauseMs, nullptr);
        takeDamage(display, window, damage, region, nullptr);
        Image before = grab(display, window, 0, 0, unsigned(attributes.width), unsigned(attributes.height));
        if (!before) {
            std::fprintf(stderr, "cannot read the window's pixels\n");
            return 1;
        }
        XSync(display, False);
        const KeyCode key = keys[i % 2];
        const double start = nowMs();
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XFlush(display);
        const double at = pump(start + 1000, before.get());
        if (at < 0) {
            ++missed;
            continue;
        }
        if (i >= warmup)
            latencies.push_back(at - start);
    }
    XDamageDestroy(display, damage);
    XFixesDestroyRegion(display, region);
    XCloseDisplay(display);

    if (latencies.empty()) {
        std::printf("no samples (missed %d)\n", missed);
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        return latencies[std::min(latencies.size() - 1, std::size_t(q * double(latencies.size())))];
    };
    std::printf("median %.3f p95 %.3f max %.3f samples %zu missed %d\n", at(0.5), at(0.95), latencies.back(),
                latencies.size(), missed);
    return 0;
}
