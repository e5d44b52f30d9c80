// The snippet list's JSON, the two encrypted containers, import merging,
// title order and the factory set: everything that needs no keyring.
#include "platform/NaturalOrder.h"
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/KeyringKeySource.h"
#include "quillmar/snippets/SnippetFileFormat.h"
#include "quillmar/snippets/SnippetImport.h"
#include "quillmar/snippets/SnippetJson.h"
#include "quillmar/snippets/SnippetPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>

namespace quillmar {
namespace {

Snippet sample(std::string id, std::string title, std::string category = "General")
{
    return Snippet{std::move(id), std::move(title), "echo hi", std::move(category), {}, ""};
}

const std::string kId1 = "0F8E5E4A-7B1C-4D2A-9E3F-112233445566";
const std::string kId2 = "1A2B3C4D-5E6F-4A1B-8C2D-3E4F5A6B7C8D";
const std::string kId3 = "2B3C4D5E-6F70-4B2C-9D3E-4F5A6B7C8D9E";

std::vector<Snippet> richList()
{
    return {
        Snippet{kId1,
                "Grüße — 日本語 🚀",
                "printf '%s\\n' \"a\\tb\" | tr -d '\\\\'\r\nsecond line",
                "Übung",
                {"linux", "macos", "ünïcödé", ""},
                "Note with \"quotes\", a tab\t, a NUL \0 byte and \x01 control."},
        Snippet{kId2, "Plain", "ls", "", {}, ""},
        Snippet{kId3, "עברית", "echo שלום", "RTL", {"rtl"}, std::string(1000, 'n')},
    };
}

TEST(SnippetJsonTest, RoundTripKeepsEveryFieldAndAnyText)
{
    auto list = richList();
    list[0].note.push_back('\0');
    const std::string json = SnippetJson::encode(list);
    auto back = SnippetJson::decode(json, "The snippets file");
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(back.value(), list);
    EXPECT_TRUE(SnippetJson::decode("[]", "x").value().empty());
}

TEST(SnippetJsonTest, ReadsOlderAndNewerShapes)
{
    // No tags or note, unknown keys (nested too), lower-case ids.
    const std::string json = R"([{"id":"0f8e5e4a-7b1c-4d2a-9e3f-112233445566","title":"T","command":"c",
        "category":"K","color":{"r":[1,2,{"x":null}]},"pinned":true,"uses":3,"score":1.5}])";
    auto list = SnippetJson::decode(json, "The export file");
    ASSERT_TRUE(list) << list.error().message;
    ASSERT_EQ(list.value().size(), 1u);
    EXPECT_EQ(list.value()[0].id, kId1);
    EXPECT_TRUE(list.value()[0].tags.empty());
    EXPECT_EQ(list.value()[0].note, "");
}

TEST(SnippetJsonTest, ReadsEveryJsonEscapeAndNumberForm)
{
    const std::string head = R"([{"id":")" + kId1 + R"(","command":"c","category":"K",)";
    struct Case {
        std::string title;  // as written in the JSON
        std::string read;   // what it must read as
    };
    const std::vector<Case> cases = {
        {R"("a\"b\\c\/d\be\ff\ng\rh\ti")", "a\"b\\c/d\be\ff\ng\rh\ti"},
        {R"("\u00e9\u00E9 \ud83d\ude80 \u0000")", std::string("\xc3\xa9\xc3\xa9 \xf0\x9f\x9a\x80 \0", 11)},
        {"\"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x9a\x80\"", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x9a\x80"},
    };
    for (const Case& c : cases) {
        auto list = SnippetJson::decode(head + R"("title":)" + c.title + "}]", "x");
        ASSERT_TRUE(list) << c.title << ": " << list.error().message;
        EXPECT_EQ(list.value()[0].title, c.read);
    }
    for (const char* number : {"0", "-0.5", "1e5", "2E-3", "12.5e+10"}) {
        EXPECT_TRUE(SnippetJson::decode(head + R"("title":"t","n":)" + number + "}]", "x")) << number;
    }
    for (const char* bad : {R"("\ud83d")", R"("\ude80")", R"("\ud83d\u0041")", R"("\x")", R"("\u12")", "\"a\tb\"",
                            "\"\xc0\xaf\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\""}) {
        auto r = SnippetJson::decode(head + R"("title":)" + bad + "}]", "x");
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error().message, "x is damaged: it isn't valid JSON.") << bad;
    }
    for (const char* bad : {"01", "1.", "-", ".5", "1e", "+1", "tru", "nul"}) {
        EXPECT_FALSE(SnippetJson::decode(head + R"("title":"t","n":)" + bad + "}]", "x")) << bad;
    }
    EXPECT_FALSE(SnippetJson::decode(head + R"("title":"t"},])", "x"));
    EXPECT_FALSE(SnippetJson::decode(head + R"("title":"t",}])", "x"));
}

TEST(SnippetJsonTest, StrayBytesAreWrittenAsReplacementCharacters)
{
    Snippet s = sample(kId1, "ok \xff then \xe6\x97\xa5 and \xed\xa0\x80");
    const std::string json = SnippetJson::encode(std::vector<Snippet>{s});
    auto back = SnippetJson::decode(json, "x");
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(back.value()[0].title, "ok \xef\xbf\xbd then \xe6\x97\xa5 and \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(SnippetJsonTest, RefusesDamagedListsWithASentence)
{
    const std::string good = R"("id":")" + kId1 + R"(","title":"T","command":"c","category":"K")";
    struct Case {
        std::string json;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"", "The export file is damaged: it isn't valid JSON."},
        {"{}", "it isn't a list of snippets"},
        {"[1]", "it isn't a list of snippets"},
        {"[[]]", "it isn't a list of snippets"},
        {"\"text\"", "it isn't a list of snippets"},
        {"[{" + good + "}] x", "it isn't valid JSON"},
        {"[{" + good + "}", "it isn't valid JSON"},
        {R"([{"title":"T","command":"c","category":"K"}])", "snippet 1 has no id"},
        {R"([{"id":")" + kId1 + R"(","command":"c","category":"K"}])", "snippet 1 has no title"},
        {R"([{"id":")" + kId1 + R"(","title":"T","category":"K"}])", "snippet 1 has no command"},
        {R"([{"id":")" + kId1 + R"(","title":"T","command":"c"}])", "snippet 1 has no category"},
        {R"([{"id":"not-a-uuid","title":"T","command":"c","category":"K"}])", "snippet 1 has an id that isn't a UUID"},
        {"[{" + good + "},{" + good + "}]", "two snippets have the same id"},
        {"[{" + good + R"(,"title":5}])", "snippet 1 has a \"title\" that isn't text"},
        {"[{" + good + R"(,"note":null}])", "snippet 1 has a \"note\" that isn't text"},
        {"[{" + good + R"(,"command":["x"]}])", "snippet 1 has a \"command\" that isn't text"},
        {"[{" + good + R"(,"tags":"linux"}])", "snippet 1 has tags that aren't a list"},
        {"[{" + good + R"(,"tags":{"a":1}}])", "snippet 1 has tags that aren't a list"},
        {"[{" + good + R"(,"tags":[1]}])", "snippet 1 has a tag that isn't text"},
        {"[{" + good + R"(,"tags":[["x"]]}])", "snippet 1 has a tag that isn't text"},
        {"[{" + good + R"(,"extra":)" + std::string(40, '[') + std::string(40, ']') + "}]", "nested too deeply"},
        {"[{" + good + ",\"title\":\"\xff\"}]", "it isn't valid JSON"},
        {"[{" + good + ",\"title\":\"" + std::string(SnippetLimits::maxTextBytes + 1, 'x') + "\"}]",
         "snippet 1 has a text longer than 256 KiB"},
        {"[{" + good + ",\"tags\":[\"" + std::string(SnippetLimits::maxTagBytes + 1, 't') + "\"]}]",
         "snippet 1 has a tag longer than 1024 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 120));
        auto r = SnippetJson::decode(c.json, "The export file");
        ASSERT_FALSE(r);
        EXPECT_NE(r.error().message.find(c.says), std::string::npos) << r.error().message;
        EXPECT_EQ(r.error().message.rfind("The export file is damaged: ", 0), 0u);
    }
}

TEST(SnippetJsonTest, BoundsCountsBeforeKeepingThem)
{
    std::string tags = "[";
    for (std::size_t i = 0; i <= SnippetLimits::maxTags; ++i)
        tags += (i ? ",\"t\"" : "\"t\"");
    tags += "]";
    auto many = SnippetJson::decode(
        R"([{"id":")" + kId1 + R"(","title":"T","command":"c","category":"K","tags":)" + tags + "}]", "x");
    ASSERT_FALSE(many);
    EXPECT_NE(many.error().message.find("more than 64 tags"), std::string::npos);

    std::vector<Snippet> list;
    for (std::size_t i = 0; i <= SnippetLimits::maxSnippets; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012zu", i);
        list.push_back(sample(id, "t"));
    }
    auto tooMany = SnippetJson::decode(SnippetJson::encode(list), "x");
    ASSERT_FALSE(tooMany);
    EXPECT_NE(tooMany.error().message.find("more than 100000 snippets"), std::string::npos);
}

TEST(SnippetFileFormatTest, SnippetsFileSealsWithoutPlainTextAndRefusesDamage)
{
    const auto key = *platform::SymmetricKey::random();
    const std::string json = SnippetJson::encode(richList());
    auto file = SnippetFileFormat::sealSnippets(key, json);
    ASSERT_TRUE(file);
    const std::string& bytes = file.value();
    EXPECT_EQ(bytes.substr(0, 5), std::string("QMSN\x01", 5));
    EXPECT_EQ(bytes.size(), 5 + 12 + json.size() + 16);
    for (const char* plain : {"Plain", "title", "command", "echo", "RTL", "linux"})
        EXPECT_EQ(bytes.find(plain), std::string::npos) << plain;
    ASSERT_EQ(SnippetFileFormat::openSnippets(key, bytes).value(), json);

    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::string changed = bytes;
        changed[i] = static_cast<char>(changed[i] ^ 0x40);
        auto opened = SnippetFileFormat::openSnippets(key, changed);
        ASSERT_FALSE(opened) << "byte " << i;
        const std::string& m = opened.error().message;
        if (i < 4)
            EXPECT_EQ(m, "The snippets file isn't a quillmar snippets file.");
        else if (i == 4)
            EXPECT_EQ(m, "The snippets file has a format version this quillmar doesn't know (65).");
        else
            EXPECT_EQ(m.rfind("The snippets file couldn't be decrypted", 0), 0u) << m;
    }
    for (std::size_t cut : {0, 3, 4, 5, 6, 5 + 12 + 15}) {
        auto opened = SnippetFileFormat::openSnippets(key, std::string_view(bytes).substr(0, cut));
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().message,
                  cut < 4 ? "The snippets file isn't a quillmar snippets file." : "The snippets file is cut short.");
    }
    EXPECT_FALSE(SnippetFileFormat::openSnippets(*platform::SymmetricKey::random(), bytes));
}

TEST(SnippetFileFormatTest, ExportFileCarriesSaltAndRoundsAndNeedsThePassphrase)
{
    const std::string json = SnippetJson::encode(richList());
    auto file = SnippetFileFormat::sealExport("correct horse", json, 1000);
    ASSERT_TRUE(file);
    const std::string& bytes = file.value();
    EXPECT_EQ(bytes.substr(0, 5), std::string("QMSX\x01", 5));
    EXPECT_EQ(bytes.substr(21, 4), std::string("\x00\x00\x03\xe8", 4));
    EXPECT_EQ(bytes.size(), 25 + 12 + json.size() + 16);
    auto header = SnippetFileFormat::readExportHeader(bytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(header.value().rounds, 1000u);
    EXPECT_EQ(header.value().salt, bytes.substr(5, 16));
    EXPECT_EQ(SnippetFileFormat::openExport("correct horse", bytes).value(), json);

    auto wrong = SnippetFileFormat::openExport("correct hors", bytes);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().message, "The passphrase is wrong, or the export file was damaged or changed.");

    // Salt and rounds are authenticated: changing either fails, never decrypts to something else.
    for (std::size_t at : {5u, 20u, 24u, 30u, static_cast<unsigned>(bytes.size() - 1)}) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0x01);
        EXPECT_FALSE(SnippetFileFormat::openExport("correct horse", changed)) << at;
    }
    for (std::size_t cut : {0, 4, 5, 24, 25, 25 + 27}) {
        auto opened = SnippetFileFormat::openExport("correct horse", std::string_view(bytes).substr(0, cut));
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().message,
                  cut < 4 ? "The file isn't a quillmar snippets export." : "The export file is cut short.");
    }
    std::string snippetsFile = bytes;
    snippetsFile[3] = 'N';
    EXPECT_EQ(SnippetFileFormat::openExport("correct horse", snippetsFile).error().message,
              "The file isn't a quillmar snippets export.");
    std::string newer = bytes;
    newer[4] = 2;
    EXPECT_EQ(SnippetFileFormat::openExport("correct horse", newer).error().message,
              "The export file has a format version this quillmar doesn't know (2).");
}

TEST(SnippetFileFormatTest, HostileRoundCountsAreRefusedBeforeAnyWork)
{
    auto file = SnippetFileFormat::sealExport("pw", "[]", 1);
    ASSERT_TRUE(file);
    for (std::uint32_t rounds : {0u, SnippetFileFormat::kMaxExportRounds + 1, 0xffffffffu}) {
        std::string hostile = file.value();
        for (int i = 0; i < 4; ++i)
            hostile[21 + i] = static_cast<char>((rounds >> (24 - 8 * i)) & 0xff);
        // Refused as read: the rounds asked for would take hours.
        auto opened = SnippetFileFormat::openExport("pw", hostile);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().message,
                  "The export file asks for an unusable number of key rounds (" + std::to_string(rounds) + ").");
    }
    EXPECT_FALSE(SnippetFileFormat::sealExport("pw", "[]", 0));
}

TEST(SnippetImportTest, PlanSaysWhatIsAddedReplacedOrAlreadyThere)
{
    const std::vector<Snippet> stored = {sample(kId1, "one"), sample(kId2, "two")};
    Snippet changed = sample(kId2, "two, edited");
    const std::vector<Snippet> incoming = {sample(kId3, "three"), changed, sample(kId1, "one")};
    auto plan = SnippetImport::plan(stored, incoming);
    EXPECT_EQ(plan.added, std::vector<std::string>{kId3});
    EXPECT_EQ(plan.replaced, std::vector<std::string>{kId2});
    EXPECT_EQ(plan.unchanged, std::vector<std::string>{kId1});
    EXPECT_TRUE(plan.needsConfirmation());

    SnippetImportOutcome outcome;
    auto kept = SnippetImport::merge(stored, plan.incoming, SnippetImportChoice::keepExisting, &outcome);
    EXPECT_EQ(kept, (std::vector<Snippet>{sample(kId1, "one"), sample(kId2, "two"), sample(kId3, "three")}));
    EXPECT_EQ(outcome.added, std::vector<std::string>{kId3});
    EXPECT_TRUE(outcome.replaced.empty());

    auto replaced = SnippetImport::merge(stored, plan.incoming, SnippetImportChoice::replaceExisting, &outcome);
    EXPECT_EQ(replaced, (std::vector<Snippet>{sample(kId1, "one"), changed, sample(kId3, "three")}));
    EXPECT_EQ(outcome.replaced, std::vector<std::string>{kId2});

    EXPECT_FALSE(SnippetImport::plan(stored, {sample(kId1, "one")}).needsConfirmation());
}

// The editor's rules, which every import goes through: what can be tidied
// is, what the editor would refuse is left out with its sentence.
TEST(SnippetImportTest, TheEditorsRulesDecideWhatIsTaken)
{
    const std::vector<Snippet> stored = {sample(kId1, "one")};
    Snippet tidy{kId2, " two\t", "a\r\nb\rc", " ", {" x , y", " ", ""}, "n\r\n"};
    Snippet same = sample(kId1, " one ");  // equal to the stored one once trimmed
    std::vector<Snippet> incoming = {tidy, same, sample(kId3, "\r\n"), sample(newSnippetId(), "esc\x1b[2J"),
                                     sample(newSnippetId(), "nul")};
    incoming.back().title.push_back('\0');
    auto plan = SnippetImport::plan(stored, incoming);
    EXPECT_EQ(plan.added, std::vector<std::string>{kId2});
    EXPECT_EQ(plan.unchanged, std::vector<std::string>{kId1});
    EXPECT_TRUE(plan.replaced.empty());
    EXPECT_EQ(plan.refused, 3u);
    EXPECT_EQ(plan.tidied, 2u);
    EXPECT_EQ(plan.incoming.front(), (Snippet{kId2, "two", "a\nb\nc", "Uncategorized", {"x", "y"}, "n\n"}));
    EXPECT_EQ(plan.notes,
              (std::vector<std::string>{"2 snippets were tidied as the editor saves snippets: spaces trimmed, line "
                                        "breaks made plain, a blank category filed under \"Uncategorized\".",
                                        "1 snippet was left out. A snippet needs a title.",
                                        "2 snippets were left out. A snippet's title can't hold control characters."}));
}

TEST(SnippetRulesTest, ControlCharactersOnlyWhereTheEditorTakesThem)
{
    const Snippet s = sample(kId1, "ok");
    auto with = [&](auto change) {
        Snippet c = s;
        change(c);
        return snippetProblem(c).value_or("");
    };
    const std::string title = "A snippet's title can't hold control characters.";
    const std::string command = "A snippet's command can't hold control characters other than tabs and line breaks.";
    for (const std::string& bad : {std::string(1, '\0'), std::string("\x1b"), std::string("\r"), std::string("\t"),
                                   std::string("\x7f"), std::string("\xc2\x85"), std::string("\xc2\x9b")}) {
        EXPECT_EQ(with([&](Snippet& c) { c.title += bad; }), title) << bad;
        EXPECT_EQ(with([&](Snippet& c) { c.category += bad; }), "A snippet's category can't hold control characters.");
        EXPECT_EQ(with([&](Snippet& c) { c.tags = {"t" + bad}; }), "A snippet's tags can't hold control characters.");
    }
    for (const std::string& bad : {std::string(1, '\0'), std::string("\x1b"), std::string("\x0f"), std::string("\x7f"),
                                   std::string("\xc2\x85")}) {
        EXPECT_EQ(with([&](Snippet& c) { c.command += bad; }), command) << bad;
        EXPECT_EQ(with([&](Snippet& c) { c.note += bad; }),
                  "A snippet's note can't hold control characters other than tabs and line breaks.");
    }
    // Tabs and line breaks, and text beyond the controls, are the editor's own.
    EXPECT_EQ(with([](Snippet& c) { c.command = "a\tb\nc\r\nd \xc2\xa0\xc2\xbf \xe2\x80\xa8"; }), "");
    EXPECT_EQ(with([](Snippet& c) { c.note = "n\r\n\t"; }), "");
    // Tidying twice changes nothing more.
    const Snippet messy{kId1, " t ", "a\r\r\n", "", {"a,,b", " c "}, "x\r"};
    EXPECT_EQ(tidiedSnippet(tidiedSnippet(messy)), tidiedSnippet(messy));
}

TEST(NaturalOrderTest, NaturalCaseInsensitiveOrder)
{
    platform::NaturalOrder order;
    std::vector<std::string> titles = {"Item 10", "item 2", "Item 1", "banana", "Apple", "Äpfel", "item 02b"};
    std::stable_sort(titles.begin(), titles.end(), std::ref(order));
    EXPECT_EQ(titles,
              (std::vector<std::string>{"Äpfel", "Apple", "banana", "Item 1", "item 2", "item 02b", "Item 10"}));
    EXPECT_EQ(order.compare("Docker", "docker"), 0);
    EXPECT_LT(order.compare("v1.9", "v1.10"), 0);
}

TEST(FactorySnippetsTest, ASmallValidSetWithPlatformTags)
{
    const auto set = factorySnippets();
    EXPECT_GE(set.size(), 10u);
    std::set<std::string> ids, categories;
    int linux = 0, macos = 0;
    for (const Snippet& s : set) {
        EXPECT_FALSE(snippetProblem(s).has_value()) << s.title;
        EXPECT_EQ(normalizedSnippetId(s.id), s.id);
        ids.insert(s.id);
        categories.insert(s.category);
        linux += std::count(s.tags.begin(), s.tags.end(), "linux");
        macos += std::count(s.tags.begin(), s.tags.end(), "macos");
        EXPECT_EQ(s.command.find('\n'), std::string::npos) << s.title;
    }
    EXPECT_EQ(ids.size(), set.size());
    EXPECT_GE(categories.size(), 3u);
    EXPECT_GT(linux, 0);
    EXPECT_GT(macos, 0);
    EXPECT_EQ(factorySnippets(), set);
}

TEST(SnippetRulesTest, IdsAndProblems)
{
    const std::string id = newSnippetId();
    EXPECT_EQ(normalizedSnippetId(id), id);
    EXPECT_EQ(id[14], '4');
    EXPECT_NE(newSnippetId(), id);
    for (const char* bad : {"", "0F8E5E4A7B1C4D2A9E3F112233445566", "0F8E5E4A-7B1C-4D2A-9E3F-11223344556G",
                            "0F8E5E4A-7B1C-4D2A-9E3F-1122334455667", "{0F8E5E4A-7B1C-4D2A-9E3F-11223344556}"})
        EXPECT_FALSE(normalizedSnippetId(bad).has_value()) << bad;

    Snippet s = sample(kId1, "ok");
    EXPECT_FALSE(snippetProblem(s));
    auto with = [&](auto change) {
        Snippet c = s;
        change(c);
        return snippetProblem(c).value_or("");
    };
    EXPECT_EQ(with([](Snippet& c) { c.title = " \t"; }), "A snippet needs a title.");
    EXPECT_EQ(with([](Snippet& c) { c.command = ""; }), "A snippet needs a command.");
    EXPECT_EQ(with([](Snippet& c) { c.id = "x"; }), "The snippet has no valid id.");
    EXPECT_EQ(with([](Snippet& c) { c.note = "\xc3\x28"; }), "A snippet's text must be valid UTF-8.");
    EXPECT_EQ(with([](Snippet& c) { c.tags = {"\xed\xa0\x80"}; }), "A snippet's text must be valid UTF-8.");
    EXPECT_EQ(with([](Snippet& c) { c.tags.assign(65, "t"); }), "A snippet may have at most 64 tags.");
    EXPECT_EQ(with([](Snippet& c) { c.command.assign(SnippetLimits::maxTextBytes + 1, 'c'); }),
              "A snippet's text may be at most 256 KiB long.");
}

TEST(KeyringKeySourceTest, KeyTextIsBase64OfExactly32Bytes)
{
    const auto key = *platform::SymmetricKey::random();
    const std::string text = KeyringKeySource::encode(key);
    EXPECT_EQ(text.size(), 44u);
    EXPECT_EQ(KeyringKeySource::decode(text), key);
    EXPECT_FALSE(KeyringKeySource::decode(text.substr(0, 43)));
    EXPECT_FALSE(KeyringKeySource::decode(std::string(44, '!')));
    EXPECT_FALSE(KeyringKeySource::decode("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=="));  // 31 bytes
}

TEST(SnippetPathsTest, DataFolderFollowsXdgDataHome)
{
    const char* oldData = std::getenv("XDG_DATA_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedData = oldData ? oldData : "", savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_DATA_HOME", "/data/", 1);
    EXPECT_EQ(SnippetPaths::fromEnvironment().snippetsFile(), "/data/quillmar/snippets");
    EXPECT_EQ(SnippetPaths::fromEnvironment().backupsDirectory(), "/data/quillmar/backups");
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(SnippetPaths::fromEnvironment().snippetsFile(), "/home/someone/.local/share/quillmar/snippets");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(SnippetPaths::fromEnvironment().dataDirectory(), "/home/someone/.local/share/quillmar");
    if (oldData)
        ::setenv("XDG_DATA_HOME", savedData.c_str(), 1);
    if (oldHome)
        ::setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace quillmar
