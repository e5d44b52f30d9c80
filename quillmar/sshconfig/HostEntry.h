#pragma once

#include <string>

namespace quillmar {

// The fields of the Add host form; an empty text means "not given".
struct HostEntry {
    std::string alias;
    std::string hostName;
    std::string user;
    std::string port;          // as typed
    std::string identityFile;  // as typed; may begin with "~"
    std::string proxyJump;
};

}  // namespace quillmar
