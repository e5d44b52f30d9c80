#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ravelgrid/terminal/ByteScan.h"
#include "ravelgrid/terminal/EscapeSequenceParser.h"

using namespace ravelgrid;

namespace {

std::string bytesText(std::span<const uint8_t> b)
{
    return std::string(b.begin(), b.end());
}

std::string paramsText(const CsiParams& p)
{
    std::string s;
    for (int i = 0; i < p.size(); ++i) {
        if (i)
            s += static_cast<char>(p.separators[static_cast<size_t>(i - 1)]);
        s += std::to_string(p[i]);
    }
    return s;
}

// Records every action as one line; adjacent print and put slices are merged
// so that logs from different chunkings can be compared.
class Recorder : public ParserHandler {
public:
    std::vector<std::string> log;
    bool acceptDcs = true;

    void print(std::span<const uint8_t> run) override { append("print:", bytesText(run)); }
    void execute(uint8_t c) override { log.push_back("exec:" + std::to_string(c)); }
    void csiDispatch(const CsiParams& p, std::span<const uint8_t> collect, uint8_t f) override
    {
        log.push_back("csi:" + bytesText(collect) + "|" + paramsText(p) + "|" + static_cast<char>(f));
    }
    void escDispatch(std::span<const uint8_t> collect, uint8_t f) override
    {
        log.push_back("esc:" + bytesText(collect) + "|" + static_cast<char>(f));
    }
    void oscDispatch(int64_t number, std::span<const uint8_t> payload) override
    {
        log.push_back("osc:" + std::to_string(number) + "|" + bytesText(payload));
    }
    void apcDispatch(uint8_t command, std::span<const uint8_t> payload) override
    {
        log.push_back(std::string("apc:") + static_cast<char>(command) + "|" + bytesText(payload));
    }
    bool dcsHook(const CsiParams& p, std::span<const uint8_t> collect, uint8_t f) override
    {
        log.push_back("hook:" + bytesText(collect) + "|" + paramsText(p) + "|" + static_cast<char>(f));
        return acceptDcs;
    }
    void dcsPut(std::span<const uint8_t> data) override { append("put:", bytesText(data)); }
    void dcsUnhook() override { log.push_back("unhook"); }
    bool parseError(const ParsingState& s) override
    {
        log.push_back("error:" + std::to_string(s.code));
        return false;
    }

private:
    void append(const std::string& kind, const std::string& text)
    {
        if (!log.empty() && log.back().rfind(kind, 0) == 0)
            log.back() += text;
        else
            log.push_back(kind + text);
    }
};

std::vector<uint8_t> bytes(std::string_view s)
{
    return {s.begin(), s.end()};
}

std::vector<std::string> run(std::string_view input, bool byteByByte = false)
{
    Recorder r;
    EscapeSequenceParser p(r);
    auto b = bytes(input);
    if (byteByByte) {
        for (size_t i = 0; i < b.size(); ++i)
            p.parse(std::span<const uint8_t>(&b[i], 1));
    } else {
        p.parse(b);
    }
    return r.log;
}

using Log = std::vector<std::string>;

// Every expectation holds whether the input arrives whole or byte by byte.
void expectBoth(std::string_view input, const Log& expected)
{
    EXPECT_EQ(run(input), expected) << "whole";
    EXPECT_EQ(run(input, true), expected) << "byte by byte";
}

}  // namespace

TEST(TransitionTable, EveryEntryNamesARealActionAndState)
{
    for (int s = 0; s < kParserStateCount; ++s)
        for (int c = 0; c <= 0xFF; ++c) {
            const uint8_t e = kTransitionTable.entry(static_cast<ParserState>(s), static_cast<uint8_t>(c));
            EXPECT_LE(e >> 4, static_cast<int>(ParserAction::dcsUnhook));
            EXPECT_LT(e & 0x0F, kParserStateCount);
        }
}

TEST(ParserSequences, CsiAndParameters)
{
    expectBoth("\x1b[31m", {"csi:|31|m"});
    expectBoth("\x1b[4:3m", {"csi:|4:3|m"});
    expectBoth("\x1b[;5H", {"csi:|0;5|H"});
    expectBoth("\x1b[99999A", {"csi:|65535|A"});
    expectBoth("\x1b[?1h", {"csi:?|1|h"});
    expectBoth("\x1b[1?h", {});
    expectBoth("\x1b[>4;2m", {"csi:>|4;2|m"});
    expectBoth("\x1b[ q", {"csi: |0|q"});
    // 0x9B is CSI only outside ground; after ESC it starts a sequence.
    expectBoth("\x1b\x9b"
               "2J",
               {"csi:|2|J"});
}

TEST(ParserSequences, ParametersClampAtTheLargestValue)
{
    expectBoth("\x1b[6552;6553;6554;65535;65536;0065535;999999A", {"csi:|6552;6553;6554;65535;65535;65535;65535|A"});
    expectBoth("\x1b[65535:7;1m", {"csi:|65535:7;1|m"});
}

// Whole CSI sequences take a shorter road than the table; any split of the
// input must give what the table alone gives byte by byte.
TEST(ParserSequences, CsiSplitAnywhereMatchesTheTable)
{
    const char* inputs[] = {"ab\x1b[12;34Hcd",
                            "\x1b[?25h\x1b[>1;2c",
                            "\x1b[1:2:3m",
                            "\x1b[:1mx",
                            "\x1b[1\x08;2H",
                            "\x1b[1 q",
                            "\x1b[1?hz",
                            "\x1b[\x7f"
                            "1m",
                            "\x1b[1\x1b[2m",
                            "\x1b[;;H",
                            "\x1b[<0;5;9M",
                            "\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18;19;20;21;22;23;24;25mk",
                            "\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18;19;20;21;22;23;24Hk",
                            "\x1b[12\x9c"
                            "3H",
                            "\x1b[5\xe4H",
                            "\x1b[\x18"
                            "A",
                            "\x1b[=1c\x1b[?1;2$p",
                            "\x1b[!p\x1b[3'~"};
    for (std::string_view input : inputs) {
        const Log reference = run(input, true);
        EXPECT_EQ(run(input), reference) << input;
        for (size_t cut = 1; cut < input.size(); ++cut) {
            Recorder r;
            EscapeSequenceParser p(r);
            const auto b = bytes(input);
            p.parse(std::span<const uint8_t>(b.data(), cut));
            p.parse(std::span<const uint8_t>(b.data() + cut, b.size() - cut));
            EXPECT_EQ(r.log, reference) << input << " cut at " << cut;
        }
    }
}

TEST(ParserScan, WordScansStopWhereAByteLoopStops)
{
    // Bytes at the edges of both tests, so a wrong borrow between the bytes
    // of a word would show.
    const uint8_t edges[] = {0x00, 0x1B, 0x1F, 0x20, 0x21, 0x7E, 0x7F, 0x80, 0x9F, 0xA0, 0xDF, 0xE0, 0xFF, 'a'};
    std::mt19937 rng(5);
    std::vector<uint8_t> data(64);
    for (int round = 0; round < 2000; ++round) {
        for (auto& b : data)
            b = rng() % 3 == 0 ? edges[rng() % std::size(edges)] : static_cast<uint8_t>(0x20 + rng() % 0x5F);
        const size_t n = rng() % data.size();
        for (size_t i = 0; i <= n; ++i) {
            size_t below = i, ascii = i;
            while (below < n && data[below] >= 0x20)
                ++below;
            while (ascii < n && data[ascii] < 0x80)
                ++ascii;
            ASSERT_EQ(ByteScan::skipAtLeast0x20(data.data(), i, n), below) << round << " from " << i;
            ASSERT_EQ(ByteScan::skipAscii(data.data(), i, n), ascii) << round << " from " << i;
        }
    }
}

TEST(ParserScan, DigitsReadAWordAtATime)
{
    std::mt19937 rng(6);
    const uint8_t others[] = {'/', ':', ';', 'H', 0x00, 0xB0, 0xB9, 0xFF, 0x1B};
    for (int round = 0; round < 20000; ++round) {
        uint8_t word[8];
        for (auto& b : word)
            b = rng() % 4 == 0 ? others[rng() % std::size(others)] : static_cast<uint8_t>('0' + rng() % 10);
        const uint64_t w = ByteScan::load(word);
        size_t k = 0;
        uint64_t value = 0;
        while (k < 8 && word[k] >= '0' && word[k] <= '9')
            value = value * 10 + (word[k++] - '0');
        ASSERT_EQ(ByteScan::leadingDigits(w), k) << round;
        if (k > 0) {
            ASSERT_EQ(ByteScan::digitsValue(w, k), value) << round;
        }
    }
}

TEST(ParserSequences, MalformedCsi)
{
    expectBoth("\x1b[:3m", {"error:58", "print:3m"});
    expectBoth("\x1b[1\x18"
               "2m",
               {"exec:24", "csi:|12|m"});
    expectBoth("\x1b[1\x1a"
               "2m",
               {"exec:26", "print:2m"});
    std::string p24 = "\x1b[", p25 = "\x1b[";
    for (int i = 0; i < 24; ++i)
        p24 += "1;";
    p25 = p24 + "1;";
    p24.back() = 'm';
    p25.back() = 'm';
    EXPECT_EQ(run(p24).size(), 1u);
    expectBoth(p25, {});
    expectBoth(p25 + "x", {"print:x"});
    // Too many intermediates: the sequence is dropped, the next one works.
    expectBoth("\x1b[!!!!!!!!!!p\x1b[2J", {"csi:|2|J"});
}

TEST(ParserSequences, GroundPassesHighBytesAndDelToPrint)
{
    expectBoth("a\x7f\x85\x9b"
               "b",
               {"print:a\x7f\x85\x9b"
                "b"});
    expectBoth("ab\ncd", {"print:ab", "exec:10", "print:cd"});
}

TEST(ParserSequences, PrintRunsAreSlicesOfEachFeed)
{
    Recorder r;
    EscapeSequenceParser p(r);
    auto a = bytes("hel"), b = bytes("lo");
    p.parse(a);
    p.parse(b);
    EXPECT_EQ(r.log, Log({"print:hello"}));  // merged by the recorder ...
    Recorder r2;
    EscapeSequenceParser p2(r2);
    int calls = 0;
    struct Counter : Recorder {
        int* calls;
        void print(std::span<const uint8_t> run) override
        {
            ++*calls;
            Recorder::print(run);
        }
    } counter;
    counter.calls = &calls;
    EscapeSequenceParser p3(counter);
    p3.parse(a);
    p3.parse(b);
    EXPECT_EQ(calls, 2);  // ... but arrives as two slices
}

TEST(ParserSequences, Esc)
{
    expectBoth("\x1b"
               "7",
               {"esc:|7"});
    expectBoth("\x1b(0", {"esc:(|0"});
    expectBoth("\x1b#8", {"esc:#|8"});
    expectBoth("\x1b \x1bG", {"esc:|G"});  // a new ESC restarts
    expectBoth("\x1b\x7f"
               "c",
               {"esc:|c"});
}

TEST(ParserStrings, Osc)
{
    expectBoth("\x1b]0;title\x07", {"osc:0|title"});
    expectBoth("\x1b]0;title\x1b\\", {"osc:0|title", "esc:|\\"});
    expectBoth("\x1b];x\x07", {});
    expectBoth("\x1b]1a;x\x07", {});
    expectBoth("\x1b]52\x07", {"osc:52|"});
    expectBoth("\x1b]99999999999999999999;x\x07", {});
    // CAN and SUB cancel the string wherever they fall.
    expectBoth("\x1b]2;a\x1a"
               "b\x07",
               {"print:b", "exec:7"});
    expectBoth("\x1b]2;ab\x18"
               "z",
               {"print:z"});
    expectBoth("\x1b]2;a\x01"
               "b\x07",
               {"osc:2|ab"});
}

TEST(ParserStrings, C1ByteIsPayloadOnlyInsideUtf8)
{
    // U+011C and U+0100 end in 0x9C and 0x80: payload however the feed is cut.
    expectBoth("\x1b]2;\xc4\x9c\xc4\x80\x07", {"osc:2|\xc4\x9c\xc4\x80"});
    // After a complete character 0x9C is the 8-bit string terminator.
    expectBoth("\x1b]2;ab\x9c"
               "c",
               {"osc:2|ab", "print:c"});
    expectBoth("\x1b_Gx\x9c", {"apc:G|x"});
}

TEST(ParserStrings, ApcAndIgnoredStrings)
{
    expectBoth("\x1b_Ga=q\x1b\\", {"apc:G|a=q", "esc:|\\"});
    expectBoth("\x1b_X\x1b\\", {"apc:X|", "esc:|\\"});
    expectBoth("\x1bXhidden\x1b\\z", {"esc:|\\", "print:z"});
    expectBoth("\x1b^pm\x07"
               "z\x1b\\y",
               {"esc:|\\", "print:y"});  // only ST ends PM
}

TEST(ParserStrings, OversizedStringsAreDroppedAndMemoryReturned)
{
    Recorder r;
    EscapeSequenceParser p(r);
    auto head = bytes("\x1b]2;");
    p.parse(head);
    std::vector<uint8_t> chunk(1 << 20, 'x');
    for (int i = 0; i < 5; ++i)
        p.parse(chunk);
    EXPECT_LE(p.oscSize(), EscapeSequenceParser::kMaxStringBytes);
    auto tail = bytes("\x07\x1b]2;ok\x07");
    p.parse(tail);
    EXPECT_EQ(r.log, Log({"osc:2|ok"}));
}

TEST(ParserDcs, HookPutUnhook)
{
    expectBoth("\x1bP$qm\x1b\\", {"hook:$|0|q", "put:m", "unhook", "esc:|\\"});
    expectBoth("\x1bP1$qm\x1b\\", {"hook:$|1|q", "put:m", "unhook", "esc:|\\"});
    expectBoth("\x1bP$qa\x18"
               "b\x1b\\",
               {"hook:$|0|q",
                "put:a\x18"
                "b",
                "unhook", "esc:|\\"});
    EXPECT_EQ(run("\x1bP$qab\x1a"
                  "c"),
              Log({"hook:$|0|q", "exec:26", "print:c"}));
    expectBoth("\x1bP$qab\x1bxz", {"hook:$|0|q", "put:ab", "unhook", "esc:|x", "print:z"});
    expectBoth("\x1bP$qa\x7f"
               "b\x9c",
               {"hook:$|0|q", "put:ab", "unhook"});
    std::string p25 = "\x1bP";
    for (int i = 0; i < 25; ++i)
        p25 += "1;";
    p25 += "1$qm\x1b\\";
    expectBoth(p25, {"esc:|\\"});
}

TEST(ParserDcs, RefusedHookGetsNoData)
{
    Recorder r;
    r.acceptDcs = false;
    EscapeSequenceParser p(r);
    auto b = bytes("\x1bP+qdata\x1b\\");
    p.parse(b);
    EXPECT_EQ(r.log, Log({"hook:+|0|q", "esc:|\\"}));
}

TEST(ParserDcs, AbandonedStringDoesNotLeakDataLater)
{
    // SUB abandons; the next ignore action must not flush stale DCS data.
    EXPECT_EQ(run("\x1bP$qab\x1a\x1b\x9c"
                  "z"),
              Log({"hook:$|0|q", "exec:26", "print:z"}));
    EXPECT_EQ(run("\x1bP$qab\x1a\x1b\x9c"
                  "z",
                  true),
              Log({"hook:$|0|q", "put:ab", "exec:26", "print:z"}));
}

TEST(ParserState, ResetReturnsToGroundWithEmptyBuffers)
{
    Recorder r;
    EscapeSequenceParser p(r);
    auto b = bytes("\x1bP$qab");
    p.parse(b);
    EXPECT_EQ(p.currentState(), ParserState::dcsPassthrough);
    p.reset();
    EXPECT_EQ(p.currentState(), ParserState::ground);
    EXPECT_EQ(p.params().size(), 1);
    EXPECT_EQ(p.params()[0], 0);
    auto c = bytes("\x1b\\x");
    p.parse(c);
    EXPECT_EQ(r.log.back(), "print:x");
    EXPECT_EQ(std::count(r.log.begin(), r.log.end(), std::string("unhook")), 0);
}

TEST(ParserProperties, RandomChunkingGivesTheSameActions)
{
    std::mt19937 rng(1234);
    static const char kAlphabet[] = "\x1b\x07\x18\x1a\x9c\x90\x9b\x9d\x9f[]P_^X\\;:?$ 0123456789mqhGa\n\r\x7f\xc3\xa9";
    const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> input(200 + rng() % 400);
        for (auto& b : input)
            b = rng() % 4 == 0 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(alphabet[rng() % alphabet.size()]);
        Recorder whole, chunked;
        EscapeSequenceParser pw(whole), pc(chunked);
        pw.parse(input);
        size_t i = 0;
        while (i < input.size()) {
            const size_t len = std::min<size_t>(input.size() - i, 1 + rng() % 7);
            pc.parse(std::span<const uint8_t>(input.data() + i, len));
            i += len;
        }
        // Data handed over before a string is abandoned cannot be taken back;
        // only data that reached unhook has to agree.
        auto settled = [](Log log) {
            Log out;
            for (size_t k = 0; k < log.size(); ++k)
                if (log[k].rfind("put:", 0) != 0 || (k + 1 < log.size() && log[k + 1] == "unhook"))
                    out.push_back(log[k]);
            return out;
        };
        whole.log = settled(whole.log);
        chunked.log = settled(chunked.log);
        for (size_t k = 0; k < std::min(whole.log.size(), chunked.log.size()); ++k)
            ASSERT_EQ(whole.log[k], chunked.log[k]) << "round " << round << " entry " << k;
        ASSERT_EQ(whole.log.size(), chunked.log.size())
            << "round " << round << " last " << chunked.log.back() << " / " << whole.log.back();
    }
}
