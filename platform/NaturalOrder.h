#pragma once

#include <memory>
#include <string_view>

struct UCollator;

namespace platform {

// The file-browser order of names and titles: case-insensitive, digit runs
// by value ("Item 2" before "Item 10"), in the user's locale.
class NaturalOrder {
public:
    NaturalOrder();
    ~NaturalOrder();
    NaturalOrder(const NaturalOrder&) = delete;
    NaturalOrder& operator=(const NaturalOrder&) = delete;
    NaturalOrder(NaturalOrder&&) noexcept = default;
    NaturalOrder& operator=(NaturalOrder&&) noexcept = default;

    // Negative, zero or positive, like strcmp.
    int compare(std::string_view a, std::string_view b) const;
    bool operator()(std::string_view a, std::string_view b) const { return compare(a, b) < 0; }

private:
    struct Closer {
        void operator()(UCollator* c) const;
    };
    std::unique_ptr<UCollator, Closer> collator_;
};

}  // namespace platform
