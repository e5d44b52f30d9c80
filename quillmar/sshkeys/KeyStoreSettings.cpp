#include "quillmar/sshkeys/KeyStoreSettings.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace quillmar {

KeyStoreSettings KeyStoreSettings::forCurrentUser()
{
    KeyStoreSettings s;
    std::string pwHome;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        if (found->pw_name)
            s.userName = found->pw_name;
        if (found->pw_dir)
            pwHome = found->pw_dir;
    }
    if (s.userName.empty()) {
        if (const char* user = std::getenv("USER"))
            s.userName = user;
    }
    const char* envHome = std::getenv("HOME");
    s.home = (envHome && *envHome) ? envHome : pwHome;
    while (s.home.size() > 1 && s.home.back() == '/')
        s.home.pop_back();
    return s;
}

}  // namespace quillmar
