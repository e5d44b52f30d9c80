#include "ravelgrid/terminal/EscapeSequenceParser.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Log.h"
#include "ravelgrid/terminal/ByteScan.h"

namespace ravelgrid {

namespace {

bool profilingRequested()
{
    static const bool on = [] {
        const char* v = std::getenv("RAVELGRID_PROFILE");
        return v && std::strcmp(v, "1") == 0;
    }();
    return on;
}

// Keep a small buffer's memory after a huge string has been dispatched? No:
// give it back so one 4 MiB title does not pin 4 MiB for the terminal's life.
constexpr size_t kKeptStringCapacity = 64 * 1024;

// Whether the buffer ends inside a UTF-8 sequence, so that a following 0x9C is
// one of its continuation bytes rather than a string terminator.
bool endsInsideUtf8(const std::vector<uint8_t>& buffer)
{
    const size_t n = buffer.size();
    size_t trailing = 0;
    while (trailing < 3 && trailing < n && (buffer[n - 1 - trailing] & 0xC0) == 0x80)
        ++trailing;
    if (trailing == n)
        return false;
    const uint8_t lead = buffer[n - 1 - trailing];
    const size_t needed = lead >= 0xF0 && lead <= 0xF4   ? 3
                          : lead >= 0xE0 && lead <= 0xEF ? 2
                          : lead >= 0xC2 && lead <= 0xDF ? 1
                                                         : 0;
    return needed > trailing;
}

}  // namespace

EscapeSequenceParser::EscapeSequenceParser(ParserHandler& handler) : handler_(handler), profile_(profilingRequested())
{}

void EscapeSequenceParser::reset()
{
    state_ = ParserState::ground;
    clear();
    dcsActive_ = false;
}

void EscapeSequenceParser::clear()
{
    osc_.clear();
    apc_.clear();
    collectSize_ = 0;
    params_.count = 1;
    params_.values[0] = 0;
    parameterLimitExceeded_ = false;
    collectOverflow_ = false;
    stringOverflow_ = false;
    handler_.printStateReset();
}

void EscapeSequenceParser::releaseStringBuffer(std::vector<uint8_t>& buffer)
{
    if (buffer.capacity() > kKeptStringCapacity)
        std::vector<uint8_t>().swap(buffer);
    else
        buffer.clear();
}

void EscapeSequenceParser::addParamByte(uint8_t c)
{
    if (parameterLimitExceeded_)
        return;
    if (c >= '0' && c <= '9') {
        int& v = params_.values[static_cast<size_t>(params_.count - 1)];
        v = appendDigit(v, c - '0');
        return;
    }
    addSeparator(c);
}

void EscapeSequenceParser::addCollect(uint8_t c)
{
    if (collectSize_ == collect_.size()) {
        collectOverflow_ = true;
        return;
    }
    collect_[collectSize_++] = c;
}

void EscapeSequenceParser::dispatchOsc()
{
    const uint8_t* p = osc_.data();
    const size_t n = osc_.size();
    size_t semi = 0;
    while (semi < n && p[semi] != ';')
        ++semi;
    if (semi == 0 || semi > 18)  // 18 digits always fit a signed 64-bit number
        return;
    int64_t number = 0;
    for (size_t k = 0; k < semi; ++k) {
        if (p[k] < '0' || p[k] > '9')
            return;
        number = number * 10 + (p[k] - '0');
    }
    const size_t payloadStart = semi < n ? semi + 1 : n;
    handler_.oscDispatch(number, std::span<const uint8_t>(p + payloadStart, n - payloadStart));
}

void EscapeSequenceParser::dispatchApc()
{
    handler_.apcDispatch(apc_[0], std::span<const uint8_t>(apc_.data() + 1, apc_.size() - 1));
}

void EscapeSequenceParser::endString(uint8_t terminator)
{
    const bool apc = state_ == ParserState::apcString;
    std::vector<uint8_t>& buffer = apc ? apc_ : osc_;
    if (!buffer.empty() && terminator != 0x18 && terminator != 0x1A && !stringOverflow_) {
        if (apc)
            dispatchApc();
        else
            dispatchOsc();
    }
    releaseStringBuffer(buffer);
}

// The common CSI shapes (an optional private marker, digits and separators,
// a final byte) without a table look-up per byte. It takes exactly the
// actions the table would and returns at the first byte it does not handle,
// with state_ where the table would have it, for the table to go on.
size_t EscapeSequenceParser::parseCsiBody(const uint8_t* bytes, size_t i, size_t n)
{
    if (i < n && bytes[i] >= 0x3C && bytes[i] <= 0x3F) {
        addCollect(bytes[i++]);
        state_ = ParserState::csiParam;
    }
    while (i < n) {
        const uint8_t c = bytes[i];
        if (c >= '0' && c <= '9') {
            state_ = ParserState::csiParam;
            if (parameterLimitExceeded_) {
                ++i;
                continue;
            }
            int v = params_.values[static_cast<size_t>(params_.count - 1)];
            if constexpr (ByteScan::kLittleEndian) {
                // Up to eight digits at once: a loop whose length varies from
                // one number to the next costs a mispredicted branch each time.
                // The word gives the whole value, so only a parameter's first
                // digits may take this road.
                if (v == 0 && i + 8 <= n) {
                    const uint64_t w = ByteScan::load(bytes + i);
                    const size_t k = ByteScan::leadingDigits(w);
                    v = static_cast<int>(std::min<uint32_t>(ByteScan::digitsValue(w, k), CsiParams::kMaxValue));
                    i += k;
                    if (k < 8 || i >= n || bytes[i] < '0' || bytes[i] > '9') {
                        params_.values[static_cast<size_t>(params_.count - 1)] = v;
                        continue;
                    }
                }
            }
            do {
                v = appendDigit(v, bytes[i] - '0');
                ++i;
            } while (i < n && bytes[i] >= '0' && bytes[i] <= '9');
            params_.values[static_cast<size_t>(params_.count - 1)] = v;
            continue;
        }
        if (c == ';' || (c == ':' && state_ == ParserState::csiParam)) {
            state_ = ParserState::csiParam;
            ++i;
            if (!parameterLimitExceeded_)
                addSeparator(c);
            continue;
        }
        if (c >= 0x40 && c <= 0x7E) {
            if (!parameterLimitExceeded_ && !collectOverflow_)
                handler_.csiDispatch(params_, collect(), c);
            state_ = ParserState::ground;
            return i + 1;
        }
        return i;
    }
    return i;
}

size_t EscapeSequenceParser::parse(std::span<const uint8_t> data)
{
    const auto profileStart = profile_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    const uint8_t* bytes = data.data();
    const size_t n = data.size();
    long printStart = -1;
    bool printablePending = false;  // the pending print run is all printable ASCII
    long dcsStart = -1;

    auto flushPrint = [&](size_t end) {
        if (printStart >= 0) {
            const std::span<const uint8_t> run(bytes + printStart, end - static_cast<size_t>(printStart));
            if (printablePending)
                handler_.printAscii(run);
            else
                handler_.print(run);
            printStart = -1;
        }
    };
    auto flushDcs = [&](size_t end) {
        if (dcsStart >= 0) {
            if (dcsActive_)
                handler_.dcsPut(std::span<const uint8_t>(bytes + dcsStart, end - static_cast<size_t>(dcsStart)));
            dcsStart = -1;
        }
    };

    size_t i = 0;
    while (i < n) {
        if (stopRequested_) {
            stopRequested_ = false;
            flushPrint(i);
            flushDcs(i);
            return i;
        }
        const uint8_t c = bytes[i];
        if (state_ == ParserState::ground && c >= 0x20) {
            bool printable = false;
            const size_t end = ByteScan::skipAtLeast0x20(bytes, i + 1, n, printable);
            if (printStart < 0) {
                printStart = static_cast<long>(i);
                printablePending = printable && c < 0x7F;
            } else {
                printablePending = printablePending && printable && c < 0x7F;
            }
            i = end;
            continue;
        }
        if (state_ == ParserState::csiParam && c >= '0' && c <= '9') {
            addParamByte(c);
            ++i;
            continue;
        }
        if (c == 0x1B && state_ == ParserState::ground && i + 1 < n && bytes[i + 1] == '[') {
            // ESC and '[' each clear; once does the same.
            flushPrint(i);
            clear();
            state_ = ParserState::csiEntry;
            i = parseCsiBody(bytes, i + 2, n);
            continue;
        }

        uint8_t entry = kTransitionTable.entry(state_, c);
        if (c == 0x9C && (state_ == ParserState::oscString || state_ == ParserState::apcString) &&
            endsInsideUtf8(state_ == ParserState::apcString ? apc_ : osc_))
            entry = kTransitionTable.entry(state_, 0x20);  // a continuation byte: payload
        ParserState next = TransitionTable::next(entry);
        const ParserAction action = TransitionTable::action(entry);
        switch (action) {
        case ParserAction::ignore:
            if (printStart >= 0)
                flushPrint(i);
            else
                flushDcs(i);
            break;
        case ParserAction::error:
            if (c >= 0xA0) {
                if (state_ == ParserState::ground) {
                    if (printStart < 0)
                        printStart = static_cast<long>(i);
                    printablePending = false;
                    next = state_;
                    break;
                }
                if (state_ == ParserState::csiIgnore || state_ == ParserState::dcsIgnore) {
                    next = state_;
                    break;
                }
                if (state_ == ParserState::dcsPassthrough) {
                    if (dcsStart < 0)
                        dcsStart = static_cast<long>(i);
                    next = state_;
                    break;
                }
            }
            // A byte that breaks a print run ends it, whatever the feed boundaries.
            flushPrint(i);
            {
                ParsingState ps;
                ps.position = i;
                ps.code = c;
                ps.currentState = state_;
                ps.print = printStart;
                ps.dcs = dcsStart;
                ps.osc = osc_;
                ps.apc = apc_;
                ps.collect = collect();
                if (handler_.parseError(ps)) {
                    // The rest of this input is abandoned; the sequence in progress with it.
                    state_ = ParserState::ground;
                    clear();
                    dcsActive_ = false;
                    return n;
                }
            }
            break;
        case ParserAction::print:
            if (printStart < 0)
                printStart = static_cast<long>(i);
            printablePending = false;
            break;
        case ParserAction::execute:
            flushPrint(i);
            handler_.execute(c);
            break;
        case ParserAction::stringStart:
            flushPrint(i);
            if (next == ParserState::apcString)
                releaseStringBuffer(apc_);
            else
                releaseStringBuffer(osc_);
            stringOverflow_ = false;
            break;
        case ParserAction::stringPut: {
            std::vector<uint8_t>& buffer = state_ == ParserState::apcString ? apc_ : osc_;
            size_t j = i;
            while (j < n) {
                size_t runEnd = j;
                while (runEnd < n && bytes[runEnd] >= 0x20 && bytes[runEnd] != 0x9C)
                    ++runEnd;
                if (runEnd > j && !stringOverflow_) {
                    if (buffer.size() + (runEnd - j) > kMaxStringBytes)
                        stringOverflow_ = true;
                    else
                        buffer.insert(buffer.end(), bytes + j, bytes + runEnd);
                }
                j = runEnd;
                if (j >= n)
                    break;
                const uint8_t b = bytes[j];
                if (b == 0x9C) {
                    if (!endsInsideUtf8(buffer) || stringOverflow_)
                        break;
                    if (buffer.size() < kMaxStringBytes)
                        buffer.push_back(b);
                    else
                        stringOverflow_ = true;
                    ++j;
                    continue;
                }
                if (b == 0x07 || b == 0x18 || b == 0x1A || b == 0x1B)
                    break;
                ++j;  // other C0 controls inside a string are dropped
            }
            i = j;  // the terminator, if any, goes through the table next
            continue;
        }
        case ParserAction::stringEnd:
            endString(c);
            if (c == 0x1B)
                next = ParserState::escape;
            clear();
            break;
        case ParserAction::csiDispatch:
            if (!parameterLimitExceeded_ && !collectOverflow_)
                handler_.csiDispatch(params_, collect(), c);
            break;
        case ParserAction::param: addParamByte(c); break;
        case ParserAction::collect: addCollect(c); break;
        case ParserAction::escDispatch:
            if (!collectOverflow_)
                handler_.escDispatch(collect(), c);
            break;
        case ParserAction::clear:
            flushPrint(i);
            dcsStart = -1;
            clear();
            break;
        case ParserAction::dcsHook:
            dcsActive_ = false;
            if (!parameterLimitExceeded_ && !collectOverflow_)
                dcsActive_ = handler_.dcsHook(params_, collect(), c);
            break;
        case ParserAction::dcsPut:
            if (dcsStart < 0)
                dcsStart = static_cast<long>(i);
            break;
        case ParserAction::dcsUnhook:
            flushDcs(i);
            if (dcsActive_) {
                dcsActive_ = false;
                handler_.dcsUnhook();
            }
            if (c == 0x1B)
                next = ParserState::escape;
            clear();
            break;
        }
        if (state_ == ParserState::dcsPassthrough && next != ParserState::dcsPassthrough &&
            action != ParserAction::dcsUnhook) {
            // SUB, EM or an 8-bit control cut the string short: its data is lost.
            dcsStart = -1;
            dcsActive_ = false;
        }
        state_ = next;
        ++i;
    }
    stopRequested_ = false;

    if (state_ == ParserState::ground)
        flushPrint(n);
    else if (state_ == ParserState::dcsPassthrough)
        flushDcs(n);

    if (profile_) {
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - profileStart);
        platform::logDebug("ParserProfile",
                           "Parser.Parse " + std::to_string(n) + " bytes " + std::to_string(us.count()) + " us");
    }
    return n;
}

}  // namespace ravelgrid
