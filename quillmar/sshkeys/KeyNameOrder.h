#pragma once

#include "platform/NaturalOrder.h"

#include <string_view>

namespace quillmar {

struct SSHKeyInfo;

// The file-browser ordering of key names: case-insensitive, digit runs by
// value. Keys with names that compare equal fall back to their path so that
// the list never shuffles between scans.
class KeyNameOrder {
public:
    // Negative, zero or positive, like strcmp.
    int compareNames(std::string_view a, std::string_view b) const;
    // Keys that need attention first, then by name, then by path.
    bool operator()(const SSHKeyInfo& a, const SSHKeyInfo& b) const;

private:
    platform::NaturalOrder names_;
};

}  // namespace quillmar
