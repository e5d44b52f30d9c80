// rgdump: feeds a byte file (or standard input) into a Terminal and prints
// what it shows. Used by tests and benchmarks.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "ravelgrid/terminal/testsupport/TerminalDump.h"
#include "tools/RgdumpHeadless.h"

namespace {

const char* kUsage = "usage: rgdump [--cols N] [--rows N] [--scrollback N] [--chunk N] [FILE]\n"
                     "Feeds FILE (standard input when absent or \"-\") into a terminal and prints\n"
                     "its rows, the cursor and the replies it sent.\n"
                     "   or: rgdump [--cols N] [--rows N] [ACTION...] -- COMMAND [ARG...]\n"
                     "Runs COMMAND in a headless terminal (rgdump -- alone lists the actions).\n";

bool readNumber(const char* text, long max, long& out)
{
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!text[0] || *end || v < 0 || v > max)
        return false;
    out = v;
    return true;
}

// The whole input without a copy where it can be mapped, in large reads
// otherwise: a byte-at-a-time stream cost more than the terminal itself on
// large files.
class Input {
public:
    Input() = default;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input()
    {
        if (mapped_)
            ::munmap(mapped_, mappedSize_);
    }

    bool open(const std::string& path)
    {
        const int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool ok = load(fd);
        if (fd != STDIN_FILENO) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
        }
        return ok;
    }

    std::span<const uint8_t> bytes() const
    {
        if (mapped_)
            return {static_cast<const uint8_t*>(mapped_), mappedSize_};
        return {read_.data(), read_.size()};
    }

private:
    bool load(int fd)
    {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            const auto size = static_cast<size_t>(st.st_size);
            void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (p != MAP_FAILED) {
                mapped_ = p;
                mappedSize_ = size;
                return true;
            }
        }
        constexpr size_t kRead = 1 << 20;
        size_t used = 0;
        for (;;) {
            if (read_.size() - used < kRead)
                read_.resize(std::max(read_.size() * 2, used + kRead));
            const ssize_t n = ::read(fd, read_.data() + used, kRead);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                read_.resize(used);
                return n == 0;
            }
            used += static_cast<size_t>(n);
        }
    }

    void* mapped_ = nullptr;
    size_t mappedSize_ = 0;
    std::vector<uint8_t> read_;
};

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--") == 0)
            return ravelgrid::tools::runHeadlessCommand(argc, argv);
    ravelgrid::test::DumpOptions options;
    std::string path = "-";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        long value = 0;
        auto number = [&](long max) {
            if (i + 1 >= argc || !readNumber(argv[i + 1], max, value)) {
                std::cerr << "rgdump: " << arg << " needs a number from 0 to " << max << "\n";
                std::exit(2);
            }
            ++i;
            return static_cast<int>(value);
        };
        if (arg == "--cols")
            options.cols = number(4096);
        else if (arg == "--rows")
            options.rows = number(2048);
        else if (arg == "--scrollback")
            options.scrollback = number(1000000);
        else if (arg == "--chunk")
            options.chunk = static_cast<size_t>(number(1L << 30));
        else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            std::cerr << "rgdump: unknown option " << arg << "\n" << kUsage;
            return 2;
        } else {
            path = arg;
        }
    }

    Input input;
    if (!input.open(path)) {
        std::cerr << "rgdump: cannot read " << path << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::cout << ravelgrid::test::runDump(input.bytes(), options);
    return 0;
}
