#pragma once

namespace ravelgrid::tools {

// rgdump [options] -- COMMAND [ARGS...]: runs the command in a headless
// terminal, carries out the actions in order, waits for the exit and prints
// the screen, the cursor and the exit status.
int runHeadlessCommand(int argc, char** argv);

}  // namespace ravelgrid::tools
