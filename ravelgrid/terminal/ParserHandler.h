#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "ravelgrid/terminal/TransitionTable.h"

namespace ravelgrid {

// Numeric parameters of one CSI or DCS sequence. Never empty: an empty first
// parameter reads as 0. separators[k] is the byte (':' or ';') that opened
// parameter k+1, which SGR needs to tell "38:2:r:g:b" from "38;2;r;g;b".
struct CsiParams {
    static constexpr int kMaxParams = 24;
    static constexpr int kMaxValue = 65535;

    std::array<int, kMaxParams> values{};
    std::array<uint8_t, kMaxParams> separators{};
    int count = 1;

    int size() const { return count; }
    int operator[](int i) const { return values[static_cast<size_t>(i)]; }
    // Parameter i, or `fallback` when it is missing.
    int get(int i, int fallback) const { return i < count ? values[static_cast<size_t>(i)] : fallback; }
    // A count or position: missing, 0 and 1 all mean 1.
    int count1(int i = 0) const
    {
        const int v = get(i, 1);
        return v < 1 ? 1 : v;
    }
    bool colonAfter(int i) const { return i + 1 < count && separators[static_cast<size_t>(i)] == ':'; }
    std::span<const int> list() const { return {values.data(), static_cast<size_t>(count)}; }
};

// What the parser shows the error hook.
struct ParsingState {
    size_t position = 0;  // index of the offending byte in the current input
    uint8_t code = 0;
    ParserState currentState = ParserState::ground;
    long print = -1;  // start of the pending print run, -1 when none
    long dcs = -1;    // start of the pending DCS data run, -1 when none
    std::span<const uint8_t> osc;
    std::span<const uint8_t> apc;
    std::span<const uint8_t> collect;
};

// The receiver of the parser's actions. The parser knows nothing of screens:
// it turns bytes into these calls and nothing else.
class ParserHandler {
public:
    virtual ~ParserHandler() = default;

    // A run of bytes >= 0x20 seen in the ground state, as a slice of the input.
    virtual void print(std::span<const uint8_t> run) = 0;
    // The same for a run known to hold only printable ASCII (0x20-0x7E).
    virtual void printAscii(std::span<const uint8_t> run) { print(run); }
    virtual void execute(uint8_t code) = 0;
    virtual void csiDispatch(const CsiParams& params, std::span<const uint8_t> collect, uint8_t final) = 0;
    virtual void escDispatch(std::span<const uint8_t> collect, uint8_t final) = 0;
    virtual void oscDispatch(int64_t number, std::span<const uint8_t> payload) = 0;
    virtual void apcDispatch(uint8_t command, std::span<const uint8_t> payload) = 0;
    // Returns whether the string's data is wanted; when false no put/unhook follow.
    virtual bool dcsHook(const CsiParams& params, std::span<const uint8_t> collect, uint8_t final) = 0;
    virtual void dcsPut(std::span<const uint8_t> data) = 0;
    virtual void dcsUnhook() = 0;
    // Returns true to stop parsing the rest of the current input.
    virtual bool parseError(const ParsingState&) { return false; }
    // A sequence began: a half-received printable character is no longer pending.
    virtual void printStateReset() {}
};

}  // namespace ravelgrid
