#pragma once

// The screen dump now lives in the terminal module's test support; this
// header keeps code written against the old place building.
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

namespace ravelgrid::tools {

using test::DumpOptions;
using test::dumpScreen;
using test::dumpStyles;
using test::escapeBytes;
using test::feedInChunks;
using test::ReplyRecorder;
using test::runDump;

}  // namespace ravelgrid::tools
