#pragma once

#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

namespace ravelgrid {

// A fixed-capacity ring of values with the indexing, count rules and push of
// CircularBufferLineList; pushing into a full list drops the oldest value.
template <typename T>
class CircularList {
public:
    explicit CircularList(int maxLength)
        : array_(static_cast<size_t>(maxLength > 0 ? maxLength : 0)), maxLength_(maxLength > 0 ? maxLength : 0)
    {}

    int count() const { return count_; }
    // Raising the count past maxLength is a programming error.
    void setCount(int n)
    {
        if (n > maxLength_)
            std::abort();
        count_ = n < 0 ? 0 : n;
    }
    int maxLength() const { return maxLength_; }

    // Empty slots are filled by makeEmpty (a value-initialised T without it).
    T& operator[](int i)
    {
        auto& slot = array_[index(i)];
        if (!slot)
            slot = makeEmpty ? makeEmpty(static_cast<int>(index(i))) : T{};
        return *slot;
    }
    void set(int i, T value) { array_[index(i)] = std::move(value); }

    void push(T value)
    {
        if (maxLength_ == 0)
            std::abort();
        array_[index(count_)] = std::move(value);
        if (count_ != maxLength_)
            ++count_;
        else
            startIndex_ = (startIndex_ + 1) % maxLength_;
    }

    std::function<T(int)> makeEmpty;

private:
    size_t index(int i) const
    {
        const long long n = static_cast<long long>(array_.size());
        if (n == 0)
            std::abort();
        long long r = (static_cast<long long>(startIndex_) + i) % n;
        return static_cast<size_t>(r < 0 ? r + n : r);
    }

    std::vector<std::optional<T>> array_;
    int startIndex_ = 0;
    int count_ = 0;
    int maxLength_ = 0;
};

}  // namespace ravelgrid
