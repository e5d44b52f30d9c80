#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "ravelgrid/terminal/ParserHandler.h"
#include "ravelgrid/terminal/TransitionTable.h"

namespace ravelgrid {

// Table-driven VT500 parser: bytes in, calls on a ParserHandler out. It keeps
// its state between calls, so a sequence may be split across any number of
// feeds. Not re-entrant: a handler must not call parse() on the same parser.
class EscapeSequenceParser {
public:
    // Strings longer than this are dropped whole rather than kept in memory.
    static constexpr size_t kMaxStringBytes = 4u << 20;
    static constexpr size_t kMaxCollectBytes = 8;

    explicit EscapeSequenceParser(ParserHandler& handler);

    void parse(std::span<const uint8_t> data);
    // Back to ground with empty buffers (RIS).
    void reset();

    ParserState currentState() const { return state_; }
    std::span<const uint8_t> collect() const { return {collect_.data(), collectSize_}; }
    const CsiParams& params() const { return params_; }
    size_t oscSize() const { return osc_.size(); }
    size_t apcSize() const { return apc_.size(); }

private:
    void clear();
    void addParamByte(uint8_t c);
    void addCollect(uint8_t c);
    void endString(uint8_t terminator);
    void dispatchOsc();
    void dispatchApc();
    void releaseStringBuffer(std::vector<uint8_t>& buffer);

    ParserHandler& handler_;
    ParserState state_ = ParserState::ground;
    CsiParams params_;
    std::array<uint8_t, kMaxCollectBytes> collect_{};
    size_t collectSize_ = 0;
    std::vector<uint8_t> osc_;
    std::vector<uint8_t> apc_;
    bool parameterLimitExceeded_ = false;
    bool collectOverflow_ = false;
    bool stringOverflow_ = false;
    bool dcsActive_ = false;
    bool profile_ = false;
};

}  // namespace ravelgrid
