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

    // Returns how many bytes were taken: all of them, unless a handler asked
    // to stop after its sequence.
    size_t parse(std::span<const uint8_t> data);
    // Called from a handler: parse() returns once the current sequence is done.
    void stopAfterSequence() { stopRequested_ = true; }
    void cancelStop() { stopRequested_ = false; }
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
    // v * 10 + d, held at the largest value.
    static int appendDigit(int v, int d)
    {
        // Below the bound no digit can pass the maximum: one test for the common case.
        if (v <= (CsiParams::kMaxValue - 9) / 10)
            return v * 10 + d;
        return v > (CsiParams::kMaxValue - d) / 10 ? CsiParams::kMaxValue : v * 10 + d;
    }
    void addSeparator(uint8_t c)
    {
        if (params_.count == CsiParams::kMaxParams) {
            parameterLimitExceeded_ = true;
            return;
        }
        params_.separators[static_cast<size_t>(params_.count - 1)] = c;
        params_.values[static_cast<size_t>(params_.count)] = 0;
        ++params_.count;
    }
    size_t parseCsiBody(const uint8_t* bytes, size_t i, size_t n);
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
    bool stopRequested_ = false;
};

}  // namespace ravelgrid
