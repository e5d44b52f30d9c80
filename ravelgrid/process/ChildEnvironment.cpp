#include "ravelgrid/process/ChildEnvironment.h"

#include <locale.h>

#include <cstdlib>

namespace ravelgrid {

namespace {

std::vector<std::string> terminalEnvironment() {
    std::vector<std::string> env{"TERM=xterm-256color", "COLORTERM=truecolor", "LANG=en_US.UTF-8"};
    for (const char* name : {"LOGNAME", "USER", "DISPLAY", "LC_CTYPE", "HOME"}) {
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    return env;
}

}  // namespace

bool localeInstalled(const char* name) {
    locale_t loc = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr));
    if (!loc) return false;
    freelocale(loc);
    return true;
}

void useAvailableLanguage(std::vector<std::string>& environment) {
    static const bool haveEnglish = localeInstalled("en_US.UTF-8");
    if (haveEnglish) return;
    for (auto& entry : environment) {
        if (entry == "LANG=en_US.UTF-8") entry = "LANG=C.UTF-8";
    }
}

std::vector<std::string> defaultChildEnvironment() {
    auto env = terminalEnvironment();
    useAvailableLanguage(env);
    return env;
}

}  // namespace ravelgrid
