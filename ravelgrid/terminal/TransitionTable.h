#pragma once

#include <array>
#include <cstdint>

namespace ravelgrid {

enum class ParserState : uint8_t {
    ground = 0,
    escape,
    escapeIntermediate,
    csiEntry,
    csiParam,
    csiIntermediate,
    csiIgnore,
    sosPmApcString,
    oscString,
    apcString,
    dcsEntry,
    dcsParam,
    dcsIgnore,
    dcsIntermediate,
    dcsPassthrough,
};
inline constexpr int kParserStateCount = 15;

enum class ParserAction : uint8_t {
    ignore = 0,
    error,
    print,
    execute,
    stringStart,
    stringPut,
    stringEnd,
    csiDispatch,
    param,
    collect,
    escDispatch,
    clear,
    dcsHook,
    dcsPut,
    dcsUnhook,
};

// The VT500-style state machine as data: one byte per (state, column), the
// action in the high nibble and the next state in the low one. Bytes 0xA0-0xFF
// share column 0xA0. Built at compile time, so every parser shares it for free.
class TransitionTable {
public:
    static constexpr int kColumns = 0xA1;

    static constexpr int column(uint8_t byte) { return byte < 0xA0 ? byte : 0xA0; }

    constexpr uint8_t entry(ParserState state, uint8_t byte) const
    {
        return table_[static_cast<int>(state) * 256 + column(byte)];
    }
    static constexpr ParserAction action(uint8_t entry) { return static_cast<ParserAction>(entry >> 4); }
    static constexpr ParserState next(uint8_t entry) { return static_cast<ParserState>(entry & 0x0F); }

    static constexpr TransitionTable build();

private:
    constexpr void set(ParserState s, int byte, ParserAction a, ParserState n)
    {
        table_[static_cast<int>(s) * 256 + byte] = static_cast<uint8_t>(static_cast<int>(a) << 4 | static_cast<int>(n));
    }
    constexpr void range(ParserState s, int from, int to, ParserAction a, ParserState n)
    {
        for (int b = from; b <= to; ++b)
            set(s, b, a, n);
    }
    // The executable controls: C0 without ESC, SUB and EM.
    constexpr void executables(ParserState s, ParserAction a, ParserState n)
    {
        range(s, 0x00, 0x18, a, n);
        range(s, 0x1C, 0x1F, a, n);
    }

    std::array<uint8_t, kParserStateCount * 256> table_{};
};

constexpr TransitionTable TransitionTable::build()
{
    using S = ParserState;
    using A = ParserAction;
    TransitionTable t;
    for (int s = 0; s < kParserStateCount; ++s) {
        const auto st = static_cast<S>(s);
        t.range(st, 0x00, 0xA0, A::error, S::ground);
        t.set(st, 0x18, A::execute, S::ground);
        t.set(st, 0x1A, A::execute, S::ground);
        t.range(st, 0x80, 0x8F, A::execute, S::ground);
        t.range(st, 0x91, 0x97, A::execute, S::ground);
        t.set(st, 0x99, A::execute, S::ground);
        t.set(st, 0x9A, A::execute, S::ground);
        t.set(st, 0x19, A::error, S::ground);
        t.set(st, 0xA0, A::error, S::ground);
        t.set(st, 0x1B, A::clear, S::escape);
        t.set(st, 0x90, A::clear, S::dcsEntry);
        t.set(st, 0x9B, A::clear, S::csiEntry);
        t.set(st, 0x9C, A::ignore, S::ground);
        t.set(st, 0x9D, A::stringStart, S::oscString);
        t.set(st, 0x9F, A::stringStart, S::apcString);
        t.set(st, 0x98, A::ignore, S::sosPmApcString);
        t.set(st, 0x9E, A::ignore, S::sosPmApcString);
    }

    t.executables(S::ground, A::execute, S::ground);
    t.range(S::ground, 0x20, 0x7E, A::print, S::ground);
    t.set(S::ground, 0x7F, A::error, S::ground);

    t.executables(S::escape, A::execute, S::escape);
    t.range(S::escape, 0x20, 0x2F, A::collect, S::escapeIntermediate);
    t.range(S::escape, 0x30, 0x7E, A::escDispatch, S::ground);
    t.set(S::escape, 'P', A::clear, S::dcsEntry);
    t.set(S::escape, 'X', A::ignore, S::sosPmApcString);
    t.set(S::escape, '^', A::ignore, S::sosPmApcString);
    t.set(S::escape, '[', A::clear, S::csiEntry);
    t.set(S::escape, ']', A::stringStart, S::oscString);
    t.set(S::escape, '_', A::stringStart, S::apcString);
    t.set(S::escape, 0x7F, A::ignore, S::escape);

    t.executables(S::escapeIntermediate, A::execute, S::escapeIntermediate);
    t.range(S::escapeIntermediate, 0x20, 0x2F, A::collect, S::escapeIntermediate);
    t.range(S::escapeIntermediate, 0x30, 0x7E, A::escDispatch, S::ground);
    t.set(S::escapeIntermediate, 0x7F, A::ignore, S::escapeIntermediate);

    t.executables(S::csiEntry, A::execute, S::csiEntry);
    t.range(S::csiEntry, 0x20, 0x2F, A::collect, S::csiIntermediate);
    t.range(S::csiEntry, 0x30, 0x39, A::param, S::csiParam);
    t.set(S::csiEntry, ';', A::param, S::csiParam);
    t.set(S::csiEntry, ':', A::error, S::ground);
    t.range(S::csiEntry, 0x3C, 0x3F, A::collect, S::csiParam);
    t.range(S::csiEntry, 0x40, 0x7E, A::csiDispatch, S::ground);
    t.set(S::csiEntry, 0x7F, A::ignore, S::csiEntry);

    t.executables(S::csiParam, A::execute, S::csiParam);
    t.range(S::csiParam, 0x20, 0x2F, A::collect, S::csiIntermediate);
    t.range(S::csiParam, 0x30, 0x3B, A::param, S::csiParam);
    t.range(S::csiParam, 0x3C, 0x3F, A::ignore, S::csiIgnore);
    t.range(S::csiParam, 0x40, 0x7E, A::csiDispatch, S::ground);
    t.set(S::csiParam, 0x7F, A::ignore, S::csiParam);

    t.executables(S::csiIntermediate, A::execute, S::csiIntermediate);
    t.range(S::csiIntermediate, 0x20, 0x2F, A::collect, S::csiIntermediate);
    t.range(S::csiIntermediate, 0x30, 0x3F, A::ignore, S::csiIgnore);
    t.range(S::csiIntermediate, 0x40, 0x7E, A::csiDispatch, S::ground);
    t.set(S::csiIntermediate, 0x7F, A::ignore, S::csiIntermediate);

    t.executables(S::csiIgnore, A::execute, S::csiIgnore);
    t.range(S::csiIgnore, 0x20, 0x3F, A::ignore, S::csiIgnore);
    t.set(S::csiIgnore, 0x7F, A::ignore, S::csiIgnore);
    t.range(S::csiIgnore, 0x40, 0x7E, A::ignore, S::ground);

    t.range(S::sosPmApcString, 0x00, 0x18, A::ignore, S::sosPmApcString);
    t.range(S::sosPmApcString, 0x1C, 0x7F, A::ignore, S::sosPmApcString);
    t.set(S::sosPmApcString, 0x9C, A::ignore, S::ground);

    for (auto s : {S::oscString, S::apcString}) {
        t.range(s, 0x00, 0x06, A::ignore, s);
        t.range(s, 0x08, 0x17, A::ignore, s);
        t.range(s, 0x1C, 0x1F, A::ignore, s);
        for (int b : {0x07, 0x18, 0x1A, 0x1B, 0x9C})
            t.set(s, b, A::stringEnd, S::ground);
        t.range(s, 0x20, 0x7F, A::stringPut, s);
        t.set(s, 0xA0, A::stringPut, s);
        // Strings carry UTF-8: bytes 0x80-0x9F are payload wherever a feed
        // happens to be cut, and EM is dropped as inside a payload run.
        t.range(s, 0x80, 0x9B, A::stringPut, s);
        t.range(s, 0x9D, 0x9F, A::stringPut, s);
        t.set(s, 0x19, A::ignore, s);
    }

    t.executables(S::dcsEntry, A::ignore, S::dcsEntry);
    t.set(S::dcsEntry, 0x7F, A::ignore, S::dcsEntry);
    t.range(S::dcsEntry, 0x20, 0x2F, A::collect, S::dcsIntermediate);
    t.range(S::dcsEntry, 0x30, 0x39, A::param, S::dcsParam);
    t.set(S::dcsEntry, ';', A::param, S::dcsParam);
    t.set(S::dcsEntry, ':', A::ignore, S::dcsIgnore);
    t.range(S::dcsEntry, 0x3C, 0x3F, A::collect, S::dcsParam);
    t.range(S::dcsEntry, 0x40, 0x7E, A::dcsHook, S::dcsPassthrough);

    t.executables(S::dcsParam, A::ignore, S::dcsParam);
    t.set(S::dcsParam, 0x7F, A::ignore, S::dcsParam);
    t.range(S::dcsParam, 0x20, 0x2F, A::collect, S::dcsIntermediate);
    t.range(S::dcsParam, 0x30, 0x39, A::param, S::dcsParam);
    t.set(S::dcsParam, ';', A::param, S::dcsParam);
    t.set(S::dcsParam, ':', A::ignore, S::dcsIgnore);
    t.range(S::dcsParam, 0x3C, 0x3F, A::ignore, S::dcsIgnore);
    t.range(S::dcsParam, 0x40, 0x7E, A::dcsHook, S::dcsPassthrough);

    t.executables(S::dcsIntermediate, A::ignore, S::dcsIntermediate);
    t.set(S::dcsIntermediate, 0x7F, A::ignore, S::dcsIntermediate);
    t.range(S::dcsIntermediate, 0x20, 0x2F, A::collect, S::dcsIntermediate);
    t.range(S::dcsIntermediate, 0x30, 0x3F, A::ignore, S::dcsIgnore);
    t.range(S::dcsIntermediate, 0x40, 0x7E, A::dcsHook, S::dcsPassthrough);

    t.range(S::dcsIgnore, 0x00, 0x18, A::ignore, S::dcsIgnore);
    t.range(S::dcsIgnore, 0x1C, 0x7F, A::ignore, S::dcsIgnore);

    t.range(S::dcsPassthrough, 0x00, 0x18, A::dcsPut, S::dcsPassthrough);
    t.range(S::dcsPassthrough, 0x1C, 0x7E, A::dcsPut, S::dcsPassthrough);
    t.set(S::dcsPassthrough, 0x7F, A::ignore, S::dcsPassthrough);
    t.set(S::dcsPassthrough, 0x1B, A::dcsUnhook, S::ground);
    t.set(S::dcsPassthrough, 0x9C, A::dcsUnhook, S::ground);
    return t;
}

inline constexpr TransitionTable kTransitionTable = TransitionTable::build();

}  // namespace ravelgrid
