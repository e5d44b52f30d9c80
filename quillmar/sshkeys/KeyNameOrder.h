#pragma once

#include <memory>
#include <string_view>

struct UCollator;

namespace quillmar {

struct SSHKeyInfo;

// The file-browser ordering of key names: case-insensitive, digit runs by
// value. Keys with names that compare equal fall back to their path so that
// the list never shuffles between scans.
class KeyNameOrder {
public:
    KeyNameOrder();
    ~KeyNameOrder();
    KeyNameOrder(const KeyNameOrder&) = delete;
    KeyNameOrder& operator=(const KeyNameOrder&) = delete;

    // Negative, zero or positive, like strcmp.
    int compareNames(std::string_view a, std::string_view b) const;
    // Keys that need attention first, then by name, then by path.
    bool operator()(const SSHKeyInfo& a, const SSHKeyInfo& b) const;

private:
    struct Closer {
        void operator()(UCollator* c) const;
    };
    std::unique_ptr<UCollator, Closer> collator_;
};

}  // namespace quillmar
