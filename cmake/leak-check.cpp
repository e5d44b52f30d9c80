// Leaks on purpose, for the sanitizer build's check of lsan.supp: a leak
// inside fontconfig must pass, one of our own must still fail the run.
//   leak-check fontconfig|own
#include <fontconfig/fontconfig.h>

#include <cstring>
#include <memory>

namespace {

// The pointers die with the frame; a later call writes over it, so no stale
// copy on the stack keeps them reachable.
[[gnu::noinline]] void leak(bool inFontconfig)
{
    for (int i = 0; i < 8; ++i) {
        if (inFontconfig)
            FcNameParse(reinterpret_cast<const FcChar8*>("monospace:weight=200"));
        else
            std::make_unique<char[]>(192).release();
    }
}

[[gnu::noinline]] void clobberStack()
{
    volatile char scratch[16384];
    std::memset(const_cast<char*>(scratch), 0, sizeof scratch);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    leak(std::strcmp(argv[1], "fontconfig") == 0);
    clobberStack();
    return 0;
}
