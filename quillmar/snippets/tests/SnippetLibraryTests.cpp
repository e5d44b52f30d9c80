// The snippet library against a real Secret Service (see with-keyring.sh) in
// a scratch data folder, and once with no session bus at all.
#include "platform/Crypto.h"
#include "platform/Keyring.h"
#include "platform/tests/support/KeyringLock.h"
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/KeyringKeySource.h"
#include "quillmar/snippets/SnippetLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace quillmar {
namespace {

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "qm-snippets-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void spit(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::vector<std::string> namesIn(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> titlesOf(const std::vector<Snippet>& list)
{
    std::vector<std::string> titles;
    for (const Snippet& s : list)
        titles.push_back(s.title);
    return titles;
}

Snippet richSnippet()
{
    return Snippet{"",
                   "Grüße, 日本語 and 🚀",
                   "printf 'Ünïcode \"quoted\"\\n' | tee -a ~/log.txt",
                   "Übersetzung",
                   {"linux", "macos", "über-tag"},
                   "Note: שלום, multi\nline, tab\there."};
}

bool envSet(const char* name)
{
    return std::getenv(name) != nullptr;
}

// Every change a pane can make, each expected to be refused with the same sentence.
void expectEveryChangeRefused(SnippetLibrary& library, const TempDir& dir)
{
    const Snippet any = factorySnippets().front();
    std::vector<std::string> messages;
    Snippet fresh = richSnippet();
    messages.push_back(library.add(fresh).ok() ? "" : library.add(fresh).error().message);
    auto edit = library.edit(any);
    messages.push_back(edit ? "" : edit.error().message);
    auto removal = library.remove(any.id);
    messages.push_back(removal ? "" : removal.error().message);
    auto reset = library.resetToFactory();
    messages.push_back(reset ? "" : reset.error().message);
    auto exported = library.exportTo(dir / "export.qmsx", "pw", 1);
    messages.push_back(exported ? "" : exported.error().message);
    for (const std::string& m : messages)
        EXPECT_EQ(m, "Your snippets couldn't be opened, so no change can be saved. Nothing was changed.");
    EXPECT_FALSE(fs::exists(dir / "export.qmsx"));
}

class SnippetLibraryTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!envSet("QM_KEYRING_TEST"))
            GTEST_SKIP() << "needs the throwaway Secret Service of with-keyring.sh";
        ASSERT_FALSE(keyring.remove(KeyringKeySource::kAccount).has_value());
    }

    SnippetLibrary make(const std::string& folder = "data", SnippetVault::Clock clock = {})
    {
        return SnippetLibrary(SnippetVault(SnippetPaths(dir / folder), std::make_unique<KeyringKeySource>(), clock));
    }
    SnippetLibrary loaded(const std::string& folder = "data", SnippetVault::Clock clock = {})
    {
        SnippetLibrary library = make(folder, clock);
        library.load();
        EXPECT_FALSE(library.loadError()) << *library.loadError();
        return library;
    }
    std::string file(const std::string& folder = "data") const { return dir / folder + "/snippets"; }
    std::string backups(const std::string& folder = "data") const { return dir / folder + "/backups"; }

    TempDir dir;
    platform::Keyring keyring;
};

TEST_F(SnippetLibraryTest, NewLibraryHoldsNothingAndReadsNothing)
{
    SnippetLibrary library = make();
    EXPECT_FALSE(library.loaded());
    EXPECT_FALSE(library.loadError());
    EXPECT_TRUE(library.all().empty());
    EXPECT_TRUE(library.categories().empty());
    EXPECT_FALSE(fs::exists(dir / "data"));
    EXPECT_FALSE(keyring.lookup(KeyringKeySource::kAccount).secret);
    auto refused = library.add(richSnippet());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "Your snippets haven't been loaded yet. Nothing was changed.");
}

TEST_F(SnippetLibraryTest, FirstLoadSavesTheFactorySetUnderANewKey)
{
    SnippetLibrary library = loaded();
    EXPECT_TRUE(library.loaded());
    EXPECT_EQ(library.all(), factorySnippets());
    EXPECT_EQ(library.categories(), (std::vector<std::string>{"Files", "Processes", "Network", "Git", "SSH"}));
    EXPECT_EQ(titlesOf(library.snippets("Git")), (std::vector<std::string>{"Branches by last commit", "Compact history",
                                                                           "Undo the last commit, keep the changes"}));
    EXPECT_TRUE(library.snippets("git").empty());

    const auto key = keyring.lookup(KeyringKeySource::kAccount);
    ASSERT_TRUE(key.secret);
    EXPECT_TRUE(KeyringKeySource::decode(*key.secret));
    const std::string bytes = slurp(file());
    EXPECT_EQ(bytes.substr(0, 5), std::string("QMSN\x01", 5));
    struct stat st {};
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(backups()));  // nothing to back up yet
    // Beside it only the writers' lock (empty; the file itself is never locked).
    EXPECT_EQ(namesIn(dir / "data"), (std::vector<std::string>{".snippets.quillmar-lock", "snippets"}));
    EXPECT_EQ(fs::file_size(dir / "data/.snippets.quillmar-lock"), 0u);

    // Loading again finds the file and keeps the key.
    SnippetLibrary again = loaded();
    EXPECT_EQ(again.all(), factorySnippets());
    EXPECT_EQ(keyring.lookup(KeyringKeySource::kAccount).secret, key.secret);
}

TEST_F(SnippetLibraryTest, EveryFieldSurvivesARestartAndNothingIsPlainOnDisk)
{
    std::string id;
    {
        SnippetLibrary library = loaded();
        auto added = library.add(richSnippet());
        ASSERT_TRUE(added) << added.error().message;
        id = added.value();
        EXPECT_EQ(normalizedSnippetId(id), id);
        Snippet second = richSnippet();
        second.id = "abcdef01-2345-4678-9abc-def012345678";
        second.title = "Zweiter";
        second.tags.clear();
        second.note.clear();
        ASSERT_TRUE(library.add(second));
        EXPECT_TRUE(library.find("ABCDEF01-2345-4678-9ABC-DEF012345678"));
    }
    SnippetLibrary reopened = loaded();
    const Snippet* back = reopened.find(id);
    ASSERT_TRUE(back);
    Snippet expected = richSnippet();
    expected.id = id;
    EXPECT_EQ(*back, expected);
    EXPECT_EQ(reopened.categories().back(), "Übersetzung");
    EXPECT_EQ(titlesOf(reopened.snippets("Übersetzung")), (std::vector<std::string>{"Grüße, 日本語 and 🚀", "Zweiter"}));

    const std::string bytes = slurp(file());
    EXPECT_EQ(bytes.substr(0, 4), "QMSN");
    for (const Snippet& s : reopened.all()) {
        for (const std::string* text : {&s.title, &s.command, &s.category, &s.note})
            if (text->size() >= 4) {
                EXPECT_EQ(bytes.find(*text), std::string::npos) << *text;
            }
        for (const std::string& tag : s.tags)
            EXPECT_EQ(bytes.find(tag), std::string::npos) << tag;
        EXPECT_EQ(bytes.find(s.id), std::string::npos);
    }
    for (const char* key : {"\"title\"", "\"command\"", "Grüße", "printf"})
        EXPECT_EQ(bytes.find(key), std::string::npos) << key;
    // No temporary or other file is left beside it.
    EXPECT_EQ(namesIn(dir / "data"), (std::vector<std::string>{".snippets.quillmar-lock", "backups", "snippets"}));
    for (const std::string& name : namesIn(backups()))
        EXPECT_EQ(slurp(backups() + "/" + name).substr(0, 4), "QMSN");
}

TEST_F(SnippetLibraryTest, AnyFlippedByteMakesALoadErrorAndTheFileIsNeverWritten)
{
    loaded();
    const std::string good = slurp(file());
    const std::string goodHash = platform::sha256(good);
    const auto backupsBefore = namesIn(backups());
    SnippetLibrary library = make();
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::string flipped = good;
        flipped[i] = static_cast<char>(flipped[i] ^ 0x20);
        spit(file(), flipped);
        const std::string flippedHash = platform::sha256(flipped);
        library.load();
        ASSERT_TRUE(library.loadError()) << "byte " << i;
        EXPECT_TRUE(library.all().empty());
        EXPECT_TRUE(library.categories().empty());
        if (i >= 5) {
            EXPECT_EQ(library.loadError()->rfind("The snippets file couldn't be decrypted", 0), 0u);
        }
        if (i < 60 || i % 97 == 0)
            expectEveryChangeRefused(library, dir);
        EXPECT_EQ(platform::sha256(slurp(file())), flippedHash) << "byte " << i;
    }
    EXPECT_EQ(namesIn(backups()), backupsBefore);
    spit(file(), good);
    library.load();
    EXPECT_FALSE(library.loadError());
    EXPECT_EQ(library.all(), factorySnippets());
    EXPECT_EQ(platform::sha256(slurp(file())), goodHash);
}

TEST_F(SnippetLibraryTest, DamagedFilesOfEveryKindAreLeftAsTheyAre)
{
    loaded();
    const std::string good = slurp(file());
    struct Case {
        std::string name;
        std::string bytes;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"empty", "", "The snippets file isn't a quillmar snippets file."},
        {"other magic", "QMSX" + good.substr(4), "The snippets file isn't a quillmar snippets file."},
        {"unknown version", good.substr(0, 4) + '\x02' + good.substr(5),
         "The snippets file has a format version this quillmar doesn't know (2)."},
        {"short box", good.substr(0, 5 + 27), "The snippets file is cut short."},
        {"cut tag", good.substr(0, good.size() - 1), "The snippets file couldn't be decrypted"},
        {"longer", good + "x", "The snippets file couldn't be decrypted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        spit(file(), c.bytes);
        SnippetLibrary library = make();
        library.load();
        ASSERT_TRUE(library.loadError());
        EXPECT_EQ(library.loadError()->rfind(c.says, 0), 0u) << *library.loadError();
        expectEveryChangeRefused(library, dir);
        EXPECT_EQ(slurp(file()), c.bytes);
    }
    // A folder where the file should be is an error too, never "no file".
    fs::remove(file());
    fs::create_directory(file());
    SnippetLibrary library = make();
    library.load();
    ASSERT_TRUE(library.loadError());
    EXPECT_TRUE(fs::is_directory(file()));
}

TEST_F(SnippetLibraryTest, ALostOrDamagedKeyIsAnErrorAndNoNewKeyIsMade)
{
    loaded();
    const std::string good = slurp(file());
    ASSERT_FALSE(keyring.remove(KeyringKeySource::kAccount));
    {
        SnippetLibrary library = make();
        library.load();
        ASSERT_TRUE(library.loadError());
        EXPECT_EQ(*library.loadError(),
                  "Your snippets can't be opened: the key they were saved with isn't in your keyring.");
        expectEveryChangeRefused(library, dir);
        EXPECT_FALSE(keyring.lookup(KeyringKeySource::kAccount).secret);
        EXPECT_EQ(slurp(file()), good);
    }
    ASSERT_FALSE(keyring.store(KeyringKeySource::kAccount, "damaged", "not base64 of a key"));
    SnippetLibrary library = make();
    library.load();
    ASSERT_TRUE(library.loadError());
    EXPECT_EQ(*library.loadError(), "Your snippets can't be opened. The snippets key in your keyring is damaged.");
    EXPECT_EQ(slurp(file()), good);
    EXPECT_EQ(keyring.lookup(KeyringKeySource::kAccount).secret, "not base64 of a key");

    // A different valid key opens nothing either.
    ASSERT_FALSE(keyring.store(KeyringKeySource::kAccount, "other",
                               KeyringKeySource::encode(*platform::SymmetricKey::random())));
    SnippetLibrary other = make();
    other.load();
    ASSERT_TRUE(other.loadError());
    EXPECT_EQ(other.loadError()->rfind("The snippets file couldn't be decrypted", 0), 0u);
    EXPECT_EQ(slurp(file()), good);
}

TEST_F(SnippetLibraryTest, EverySaveBacksUpTheOldFileAndKeepsTheNewest20)
{
    const std::time_t fixed = 1767323045;  // one stamp for all, so names clash and get "-<n>"
    SnippetLibrary library = loaded("data", [&] { return fixed; });
    std::vector<std::string> before;
    for (int i = 0; i < 25; ++i) {
        before.push_back(slurp(file()));
        Snippet s = library.all().front();
        s.title = "Edit " + std::to_string(i);
        ASSERT_TRUE(library.edit(s));
    }
    const auto names = namesIn(backups());
    ASSERT_EQ(names.size(), 20u);
    std::tm local{};
    ::localtime_r(&fixed, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%m%d%Y-%H%M%S", &local);
    std::set<std::string> expected;
    for (int n = 6; n <= 25; ++n)
        expected.insert("snippets." + std::string(stamp) + "-" + std::to_string(n));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
    // The newest copy is the file as it was before the last save, byte for byte.
    EXPECT_EQ(slurp(backups() + "/snippets." + stamp + "-25"), before.back());
    EXPECT_EQ(slurp(backups() + "/snippets." + stamp + "-6"), before[5]);
    struct stat st {};
    ASSERT_EQ(::stat(backups().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // An edit that changes nothing writes nothing.
    const std::string last = slurp(file());
    ASSERT_TRUE(library.edit(library.all().front()));
    EXPECT_EQ(namesIn(backups()), names);
    EXPECT_EQ(slurp(file()), last);
}

TEST_F(SnippetLibraryTest, AddEditRemoveAndResetAreSavedOrRefusedWhole)
{
    SnippetLibrary library = loaded();
    for (const char* title : {"Item 10", "item 2", "Item 1", "Item 2b"}) {
        Snippet s{"", title, "echo " + std::string(title), "Numbers", {}, ""};
        ASSERT_TRUE(library.add(s));
    }
    EXPECT_EQ(titlesOf(library.snippets("Numbers")),
              (std::vector<std::string>{"Item 1", "item 2", "Item 2b", "Item 10"}));
    EXPECT_EQ(library.categories().back(), "Numbers");

    const std::string saved = slurp(file());
    Snippet blank{"", "  ", "ls", "X", {}, ""};
    auto refused = library.add(blank);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "A snippet needs a title. Nothing was changed.");
    Snippet duplicate = library.all().front();
    EXPECT_EQ(library.add(duplicate).error().message, "A snippet with this id exists already. Nothing was changed.");
    Snippet missing = richSnippet();
    missing.id = newSnippetId();
    EXPECT_EQ(library.edit(missing).error().message, "That snippet no longer exists. Nothing was changed.");
    EXPECT_EQ(library.remove(missing.id).error().message, "That snippet no longer exists. Nothing was changed.");
    Snippet badText = library.all().front();
    badText.command = "\xff";
    EXPECT_EQ(library.edit(badText).error().message, "A snippet's text must be valid UTF-8. Nothing was changed.");
    EXPECT_EQ(slurp(file()), saved);

    const std::string gone = library.snippets("Numbers").front().id;
    ASSERT_TRUE(library.remove(gone));
    EXPECT_FALSE(library.find(gone));
    EXPECT_EQ(loaded().all(), library.all());

    ASSERT_TRUE(library.resetToFactory());
    EXPECT_EQ(library.all(), factorySnippets());
    EXPECT_EQ(loaded().all(), factorySnippets());
}

TEST_F(SnippetLibraryTest, AFailedWriteKeepsTheListAndTheFile)
{
    SnippetLibrary library = loaded();
    const std::string saved = slurp(file());
    // The backups folder can't be made: the save stops before the file is touched.
    fs::create_directories(dir / "data");
    spit(backups(), "in the way");
    auto refused = library.add(richSnippet());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message.rfind("Couldn't back up the snippets file: ", 0), 0u);
    EXPECT_NE(refused.error().message.find("Nothing was changed."), std::string::npos);
    EXPECT_EQ(library.all(), factorySnippets());
    EXPECT_EQ(slurp(file()), saved);
}

TEST_F(SnippetLibraryTest, ExportAndImportMoveSnippetsUnderAPassphrase)
{
    SnippetLibrary source = loaded("a");
    ASSERT_TRUE(source.add(richSnippet()));
    Snippet extra{"", "Only here", "uptime", "Extra", {"linux"}, ""};
    ASSERT_TRUE(source.add(extra));
    Snippet edited = source.all()[1];
    edited.command += " # tuned";
    ASSERT_TRUE(source.edit(edited));

    const std::string exportPath = dir / "moved.qmsx";
    ASSERT_TRUE(source.exportTo(exportPath, "pässphrase ✓"));
    const std::string bytes = slurp(exportPath);
    EXPECT_EQ(bytes.substr(0, 5), std::string("QMSX\x01", 5));
    EXPECT_EQ(bytes.substr(21, 4), std::string("\x00\x09\x27\xc0", 4));  // 600000
    EXPECT_EQ(bytes.find("uptime"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(exportPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    SnippetLibrary target = loaded("b");
    const std::string targetFile = slurp(file("b"));
    auto wrong = target.prepareImport(exportPath, "passphrase ✓");
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().message,
              "The passphrase is wrong, or the export file was damaged or changed. Nothing was changed.");
    EXPECT_EQ(target.all(), factorySnippets());
    EXPECT_EQ(slurp(file("b")), targetFile);

    auto plan = target.prepareImport(exportPath, "pässphrase ✓");
    ASSERT_TRUE(plan) << plan.error().message;
    EXPECT_EQ(plan.value().added.size(), 2u);
    EXPECT_EQ(plan.value().replaced, std::vector<std::string>{edited.id});
    EXPECT_EQ(plan.value().unchanged.size(), factorySnippets().size() - 1);
    EXPECT_TRUE(plan.value().needsConfirmation());
    EXPECT_EQ(target.all(), factorySnippets());  // preparing changes nothing
    EXPECT_EQ(slurp(file("b")), targetFile);

    auto kept = target.applyImport(plan.value(), SnippetImportChoice::keepExisting);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept.value().added, plan.value().added);
    EXPECT_TRUE(kept.value().replaced.empty());
    EXPECT_EQ(*target.find(edited.id), factorySnippets()[1]);

    auto replaced = target.applyImport(plan.value(), SnippetImportChoice::replaceExisting);
    ASSERT_TRUE(replaced);
    EXPECT_TRUE(replaced.value().added.empty());
    EXPECT_EQ(replaced.value().replaced, std::vector<std::string>{edited.id});
    EXPECT_EQ(target.all(), source.all());
    EXPECT_EQ(loaded("b").all(), source.all());
}

// An export goes where the user takes files away (a USB stick, a shared
// folder): nothing but the named file may stay there, whatever happens.
TEST_F(SnippetLibraryTest, AnExportLeavesOnlyTheNamedFileInItsFolder)
{
    SnippetLibrary library = loaded();
    const std::string out = dir / "out";
    fs::create_directories(out + "/folder");
    fs::create_directories(out + "/locked");
    fs::permissions(out + "/locked", fs::perms::owner_read | fs::perms::owner_exec);
    for (int i = 0; i < 2; ++i)  // new, then over the old one
        ASSERT_TRUE(library.exportTo(out + "/snips.qmsnippets", "pw", 1));
    ASSERT_TRUE(library.prepareImport(out + "/snips.qmsnippets", "pw"));

    std::vector<std::pair<std::string, std::string>> refusals = {{"folder", "Is a directory"}};
    if (::geteuid() != 0)  // root writes in the read-only folder anyway
        refusals.push_back({"locked/snips.qmsnippets", "Permission denied"});
    for (const auto& [name, says] : refusals) {
        auto refused = library.exportTo(out + "/" + name, "pw", 1);
        ASSERT_FALSE(refused) << name;
        EXPECT_EQ(refused.error().message, "Couldn't write the export file: " + says + ". Nothing was changed.");
    }
    fs::permissions(out + "/locked", fs::perms::owner_all);
    EXPECT_EQ(namesIn(out), (std::vector<std::string>{"folder", "locked", "snips.qmsnippets"}));
    EXPECT_TRUE(namesIn(out + "/folder").empty());
    EXPECT_TRUE(namesIn(out + "/locked").empty());
}

TEST_F(SnippetLibraryTest, DamagedOrForeignImportsChangeNothing)
{
    SnippetLibrary library = loaded();
    const std::string before = slurp(file());
    const std::string exportPath = dir / "cheap.qmsx";
    ASSERT_TRUE(library.exportTo(exportPath, "pw", 1000));
    const std::string bytes = slurp(exportPath);

    struct Case {
        std::string name;
        std::string bytes;
        std::string says;
    };
    std::string hostileRounds = bytes;
    hostileRounds.replace(21, 4, "\xff\xff\xff\xff");
    const std::vector<Case> cases = {
        {"empty", "", "The file isn't a quillmar snippets export."},
        {"snippets file", slurp(file()), "The file isn't a quillmar snippets export."},
        {"header only", bytes.substr(0, 25), "The export file is cut short."},
        {"cut box", bytes.substr(0, 25 + 27), "The export file is cut short."},
        {"cut tag", bytes.substr(0, bytes.size() - 3), "The passphrase is wrong"},
        {"hostile rounds", hostileRounds, "The export file asks for an unusable number of key rounds (4294967295)."},
        {"sealed non-list", SnippetFileFormat::sealExport("pw", R"({"id":1})", 1).value(),
         "The export file is damaged: it isn't a list of snippets."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto plan = library.prepareImportFromData(c.bytes, "pw");
        ASSERT_FALSE(plan);
        EXPECT_EQ(plan.error().message.rfind(c.says, 0), 0u) << plan.error().message;
        EXPECT_NE(plan.error().message.find("Nothing was changed."), std::string::npos);
    }
    auto missing = library.prepareImport(dir / "nowhere.qmsx", "pw");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message.rfind("Couldn't read the file: ", 0), 0u);
    EXPECT_EQ(library.all(), factorySnippets());
    EXPECT_EQ(slurp(file()), before);
    EXPECT_EQ(library.exportTo(dir / "x.qmsx", "").error().message,
              "Choose a passphrase to protect the export. Nothing was changed.");
    fs::create_symlink(file(), dir / "link-to-snippets");
    for (const std::string& over : {file(), dir / "link-to-snippets"}) {
        auto refused = library.exportTo(over, "pw", 1);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().message,
                  "That is the file your snippets are kept in; choose another one. Nothing was changed.");
    }
    EXPECT_EQ(slurp(file()), before);
}

TEST(LockedKeyringTest, WithALockedKeyringNothingIsWrittenAndTheStoreSaysSo)
{
    if (!envSet("QM_KEYRING_TEST") || !envSet("QM_KEYRING_LOCK_TEST"))
        GTEST_SKIP() << "locks its own keyring";
    TempDir dir;
    auto make = [&](const std::string& folder) {
        return SnippetLibrary(SnippetVault(SnippetPaths(dir / folder), std::make_unique<KeyringKeySource>()));
    };
    SnippetLibrary first = make("saved");
    first.load();
    ASSERT_FALSE(first.loadError());
    const std::string saved = slurp(dir / "saved/snippets");
    ASSERT_TRUE(platform::testing::lockDefaultKeyring());

    SnippetLibrary reopened = make("saved");
    reopened.load();
    ASSERT_TRUE(reopened.loadError());
    EXPECT_EQ(*reopened.loadError(), "Your snippets can't be opened. The keyring is locked.");
    expectEveryChangeRefused(reopened, dir);
    EXPECT_EQ(slurp(dir / "saved/snippets"), saved);

    SnippetLibrary fresh = make("fresh");
    fresh.load();
    ASSERT_TRUE(fresh.loadError());
    EXPECT_EQ(*fresh.loadError(), "Your snippets can't be saved. The keyring is locked.");
    EXPECT_FALSE(fs::exists(dir / "fresh"));
}

TEST(NoKeyringTest, WithoutAKeyringNothingIsWrittenAndTheStoreSaysSo)
{
    if (!envSet("QM_NO_KEYRING_TEST"))
        GTEST_SKIP() << "runs with no session bus";
    TempDir dir;
    SnippetLibrary library(SnippetVault(SnippetPaths(dir / "data"), std::make_unique<KeyringKeySource>()));
    library.load();
    ASSERT_TRUE(library.loadError());
    EXPECT_EQ(*library.loadError(),
              "Your snippets can't be saved. No keyring is available: the desktop's Secret Service isn't running.");
    EXPECT_TRUE(library.all().empty());
    EXPECT_FALSE(fs::exists(dir / "data"));
    expectEveryChangeRefused(library, dir);
    EXPECT_FALSE(fs::exists(dir / "data"));

    // An existing file is left alone.
    fs::create_directories(dir / "data");
    const std::string sealed = SnippetFileFormat::sealSnippets(*platform::SymmetricKey::random(), "[]").value();
    spit(dir / "data/snippets", sealed);
    SnippetLibrary withFile(SnippetVault(SnippetPaths(dir / "data"), std::make_unique<KeyringKeySource>()));
    withFile.load();
    ASSERT_TRUE(withFile.loadError());
    EXPECT_EQ(*withFile.loadError(),
              "Your snippets can't be opened. No keyring is available: the desktop's Secret Service isn't running.");
    expectEveryChangeRefused(withFile, dir);
    EXPECT_EQ(slurp(dir / "data/snippets"), sealed);
    EXPECT_EQ(namesIn(dir / "data"), std::vector<std::string>{"snippets"});
}

}  // namespace
}  // namespace quillmar
