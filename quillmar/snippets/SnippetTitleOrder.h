#pragma once

#include <memory>
#include <string_view>

struct UCollator;

namespace quillmar {

// The file-browser order of titles: case-insensitive, digit runs by value
// ("Item 2" before "Item 10"), in the user's locale.
class SnippetTitleOrder {
public:
    SnippetTitleOrder();
    ~SnippetTitleOrder();
    SnippetTitleOrder(const SnippetTitleOrder&) = delete;
    SnippetTitleOrder& operator=(const SnippetTitleOrder&) = delete;
    SnippetTitleOrder(SnippetTitleOrder&&) noexcept = default;
    SnippetTitleOrder& operator=(SnippetTitleOrder&&) noexcept = default;

    // Negative, zero or positive, like strcmp.
    int compare(std::string_view a, std::string_view b) const;
    bool operator()(std::string_view a, std::string_view b) const { return compare(a, b) < 0; }

private:
    struct Closer {
        void operator()(UCollator* c) const;
    };
    std::unique_ptr<UCollator, Closer> collator_;
};

}  // namespace quillmar
