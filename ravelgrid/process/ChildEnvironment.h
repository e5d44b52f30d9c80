#pragma once

#include <string>
#include <vector>

namespace ravelgrid {

// The environment a child gets when its owner names none: the terminal's
// default environment for "xterm-256color" with true colour.
std::vector<std::string> defaultChildEnvironment();

// Replaces "LANG=en_US.UTF-8" with "LANG=C.UTF-8" when that locale is not
// installed, so the child does not fall back to plain ASCII.
void useAvailableLanguage(std::vector<std::string>& environment);

bool localeInstalled(const char* name);

}  // namespace ravelgrid
