#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>

namespace ravelgrid {

// A 16-bit handle into the process-wide payload table (hyperlink targets).
// Cells carry only the handle. The table is guarded by one mutex and may be
// used from any thread. Released codes are handed out again once the fresh
// ones run out, so the table never runs dry; callers release a code only
// when no cell refers to it any more.
struct TinyAtom {
    uint16_t code = 0;  // 0 = no atom; valid atoms are 1..65534

    static constexpr uint16_t maxCode = 65534;

    // Registers a value; no atom when every code is in use.
    static std::optional<TinyAtom> lookup(std::string value);

    // The stored value; nothing for atom 0 or a released atom.
    std::optional<std::string> target() const;
    static std::optional<std::string> target(uint16_t code);

    void release() const { release(code); }
    static void release(uint16_t code);
    // Releases many codes under one hold of the lock; 0 and absent codes are skipped.
    static void releaseAtoms(std::span<const uint16_t> codes);
    static void releaseAtoms(const std::unordered_set<uint16_t>& codes);

    // Number of live atoms in the table.
    static size_t liveCount();

    friend bool operator==(const TinyAtom&, const TinyAtom&) = default;
};

}  // namespace ravelgrid
