// rgdump: feeds a byte file (or standard input) into a Terminal and prints
// what it shows. Used by tests and benchmarks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/RgdumpHeadless.h"
#include "tools/TerminalDump.h"

namespace {

const char* kUsage =
    "usage: rgdump [--cols N] [--rows N] [--scrollback N] [--chunk N] [FILE]\n"
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

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--") == 0)
            return ravelgrid::tools::runHeadlessCommand(argc, argv);
    ravelgrid::tools::DumpOptions options;
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

    std::vector<uint8_t> input;
    if (path == "-") {
        input.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            std::cerr << "rgdump: cannot read " << path << ": " << std::strerror(errno) << "\n";
            return 1;
        }
        input.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::cout << ravelgrid::tools::runDump(input, options);
    return 0;
}
