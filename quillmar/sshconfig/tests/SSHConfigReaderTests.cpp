#include "quillmar/sshconfig/SSHConfigReader.h"
#include "quillmar/sshconfig/SSHConfigWriter.h"
#include "quillmar/sshconfig/tests/support/TestHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

using quillmar::IdentityFileRecord;
using quillmar::SSHConfigReader;
using quillmar::test::TestHome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct Aliases {
    std::vector<std::string> aliases;
    std::vector<std::string> files;
};

Aliases readAliases(const TestHome& h, const std::string& path)
{
    SSHConfigReader reader(h.paths());
    Aliases out;
    std::set<std::string> seen;
    reader.parseHostAliases(path, 0, out.aliases, seen, out.files);
    return out;
}

}  // namespace

TEST(SSHConfigReaderLines, KeywordSeparatorsAndCase)
{
    EXPECT_EQ(SSHConfigReader::tokenizeLine("Host foo"), std::make_pair(std::string("Host"), std::string("foo")));
    EXPECT_EQ(SSHConfigReader::tokenizeLine("Host=foo").second, "foo");
    EXPECT_EQ(SSHConfigReader::tokenizeLine("Host = foo").second, "foo");
    EXPECT_EQ(SSHConfigReader::tokenizeLine("Host\t=\tfoo bar").second, "foo bar");
    EXPECT_EQ(SSHConfigReader::tokenizeLine("Host==foo").second, "=foo");
    EXPECT_EQ(SSHConfigReader::tokenizeLine("Host"), std::make_pair(std::string("Host"), std::string()));

    TestHome h;
    h.writeSsh("config", "host=alpha\nHOST alpha\nHost\t alpha\nHost\n"
                         "Host web db *.internal !bastion\nHost *\n  HostName x\nMatch host m1\n"
                         "Host \"my box\"\nHost web\n# Host commented\n  Host indented\n");
    EXPECT_THAT(readAliases(h, h.ssh("config")).aliases, ElementsAre("alpha", "web", "db", "my box", "indented"));
}

TEST(SSHConfigReaderLines, SplitWordsQuotes)
{
    EXPECT_THAT(SSHConfigReader::splitWords("a \"b c\" d"), ElementsAre("a", "b c", "d"));
    EXPECT_THAT(SSHConfigReader::splitWords("x\"y z\""), ElementsAre("xy z"));
    EXPECT_THAT(SSHConfigReader::splitWords("\"\""), IsEmpty());
    EXPECT_THAT(SSHConfigReader::splitWords("  a\t\tb  "), ElementsAre("a", "b"));
    EXPECT_THAT(SSHConfigReader::splitWords("\"open ended"), ElementsAre("open ended"));
    EXPECT_THAT(SSHConfigReader::splitWords("web a#b # old box"), ElementsAre("web", "a#b"));
    EXPECT_THAT(SSHConfigReader::splitWords("\"#quoted\" x"), ElementsAre("#quoted", "x"));
}

TEST(SSHConfigReaderLines, LineBreaksOfEveryKind)
{
    TestHome h;
    h.writeSsh("config", "Host crlf\r\nHost cr\rHost ls\xE2\x80\xA8Host nel\xC2\x85Host last");
    EXPECT_THAT(readAliases(h, h.ssh("config")).aliases, ElementsAre("crlf", "cr", "ls", "nel", "last"));
}

TEST(SSHConfigReaderIncludes, FormsAndReadingOrder)
{
    TestHome h;
    h.writeSsh("config", "Host first\nInclude config.d/*\nHost middle\nInclude ~/other/conf " + h.path("abs/extra") +
                             "\nInclude nothing-matches/*\nHost last\n");
    h.writeSsh("config.d/b", "Host from-b\n");
    h.writeSsh("config.d/a", "Host from-a\n");
    h.writeSsh("config.d/B", "Host from-B\n");  // code point order puts "B" before "a"
    h.write(h.path("other/conf"), "Host from-other\n");
    h.write(h.path("abs/extra"), "Host from-abs\n");

    auto r = readAliases(h, h.ssh("config"));
    EXPECT_THAT(r.aliases,
                ElementsAre("first", "from-B", "from-a", "from-b", "middle", "from-other", "from-abs", "last"));
    EXPECT_THAT(r.files, ElementsAre(h.ssh("config"), h.ssh("config.d/B"), h.ssh("config.d/a"), h.ssh("config.d/b"),
                                     h.path("other/conf"), h.path("abs/extra")));

    // OpenSSH finds the same files. (Its Include inside a Host block only
    // applies to that block, so the check includes them at the top.)
    h.writeSsh("top", "Include config.d/*\nInclude ~/other/conf " + h.path("abs/extra") + "\n");
    h.writeSsh("config.d/a", "Host from-a\n  HostName a.example\n");
    h.write(h.path("other/conf"), "Host from-other\n  HostName other.example\n");
    h.write(h.path("abs/extra"), "Host from-abs\n  HostName abs.example\n");
    EXPECT_EQ(h.sshValue("from-a", "hostname", "top"), "a.example");
    EXPECT_EQ(h.sshValue("from-other", "hostname", "top"), "other.example");
    EXPECT_EQ(h.sshValue("from-abs", "hostname", "top"), "abs.example");
}

TEST(SSHConfigReaderIncludes, SelfAndMutualIncludesEnd)
{
    TestHome h;
    h.writeSsh("config", "Host top\nInclude config\nInclude a\n");
    h.writeSsh("a", "Host in-a\nInclude b\n");
    h.writeSsh("b", "Host in-b\nInclude a\nInclude config\n");
    auto r = readAliases(h, h.ssh("config"));
    EXPECT_THAT(r.aliases, ElementsAre("top", "in-a", "in-b"));
    // Each file on the include chain is read once, not once per level.
    EXPECT_THAT(r.files, ElementsAre(h.ssh("config"), h.ssh("a"), h.ssh("b")));

    // A file included twice side by side is no loop and is read both times.
    h.writeSsh("config", "Include a2\nInclude a2\n");
    h.writeSsh("a2", "Host twice\n");
    EXPECT_THAT(readAliases(h, h.ssh("config")).files, ElementsAre(h.ssh("config"), h.ssh("a2"), h.ssh("a2")));
}

TEST(SSHConfigReaderIncludes, ManyFilesAreCapped)
{
    TestHome h;
    std::string config;
    for (int i = 0; i < 300; ++i) {
        h.writeSsh("many/f" + std::to_string(1000 + i), "Host h" + std::to_string(1000 + i) + "\n");
    }
    h.writeSsh("config", "Include many/*\nInclude many/*\n");
    auto r = readAliases(h, h.ssh("config"));
    EXPECT_EQ(r.files.size(), SSHConfigReader::kMaxFilesPerRead);
}

TEST(SSHConfigReaderIncludes, FifoDeviceAndBadFilesAreSkippedWithoutBlocking)
{
    TestHome h;
    ASSERT_EQ(::mkfifo(h.ssh("fifo").c_str(), 0600), 0);
    h.writeSsh("config", "Include fifo\nInclude /dev/zero\nHost after\n");
    auto done = std::async(std::launch::async, [&] { return readAliases(h, h.ssh("config")); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "reading blocked";
    auto r = done.get();
    EXPECT_THAT(r.aliases, ElementsAre("after"));
    EXPECT_THAT(r.files, ElementsAre(h.ssh("config")));
}

// A byte that isn't UTF-8 (a Latin-1 comment, a Latin-1 alias) no longer
// hides the file's hosts: the list reads it leniently, with U+FFFD in place
// of the bad byte. Editing the file is still refused.
TEST(SSHConfigReaderIncludes, NonUtf8FilesAreListedLeniently)
{
    TestHome h;
    h.writeSsh("latin1", "# caf\xE9 au lait\nHost caf\xE9 lab\n");
    h.writeSsh("config", "# r\xE9sum\xE9 of my hosts\nHost web db\nInclude latin1\nHost \xC0\x80overlong\n");
    auto r = readAliases(h, h.ssh("config"));
    EXPECT_THAT(r.aliases, ElementsAre("web", "db", "caf\xEF\xBF\xBD", "lab", "\xEF\xBF\xBD\xEF\xBF\xBDoverlong"));
    EXPECT_THAT(r.files, ElementsAre(h.ssh("config"), h.ssh("latin1")));
    auto snapshot = SSHConfigReader(h.paths()).loadHostList();
    EXPECT_THAT(snapshot.problems, IsEmpty());

    std::vector<std::string> defining;
    SSHConfigReader(h.paths()).findDefiningFiles("web", h.ssh("config"), 0, defining);
    EXPECT_THAT(defining, ElementsAre(h.ssh("config")));
    auto edit = quillmar::SSHConfigWriter(h.paths()).readForEdit(h.ssh("config"));
    ASSERT_FALSE(edit);
    EXPECT_EQ(edit.error().message, "Couldn't read config: it isn't UTF-8 text, so quillmar won't rewrite it.");
}

// A file over the size cap is reported, not shown as an empty list; it is
// watched so that trimming it brings its hosts back.
TEST(SSHConfigReaderList, TooLargeFilesAreReportedAsSuch)
{
    TestHome h;
    std::string big = "Host big\n" + std::string(quillmar::kMaxSSHFileBytes, '#') + "\n";
    h.writeSsh("config", big);
    auto snapshot = SSHConfigReader(h.paths()).loadHostList();
    EXPECT_TRUE(snapshot.configExists);
    EXPECT_THAT(snapshot.aliases, IsEmpty());
    EXPECT_THAT(snapshot.problems,
                ElementsAre("~/.ssh/config is too large to read (over 1 MB), so its hosts aren't listed."));

    h.writeSsh("config", "Host small\nInclude huge\n");
    h.writeSsh("huge", big);
    snapshot = SSHConfigReader(h.paths()).loadHostList();
    EXPECT_THAT(snapshot.aliases, ElementsAre("small"));
    EXPECT_THAT(snapshot.problems,
                ElementsAre("~/.ssh/huge is too large to read (over 1 MB), so its hosts aren't listed."));
    EXPECT_EQ(snapshot.signature.count(h.ssh("huge")), 1u);
}

// A thousand "Include /*/*/*/*" lines: the whole read shares one bound on the
// directory entries it may visit and on its time, so it ends quickly, still
// reads the lines after them, and says that it was cut short.
TEST(SSHConfigReaderIncludes, IncludeGlobBombIsBoundedAsAWhole)
{
    TestHome h;
    std::string config = "Host before\n";
    for (int i = 0; i < 1000; ++i)
        config += "Include /*/*/*/*\n";
    config += "Host after\n";
    h.writeSsh("config", config);
    // Bounded per Include, the read would take a thousand times its bound.
    auto done = std::async(std::launch::async, [&] { return SSHConfigReader(h.paths()).loadHostList(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the read did not end";
    auto snapshot = done.get();
    EXPECT_THAT(snapshot.aliases, ::testing::IsSupersetOf({"before", "after"}));
    ASSERT_FALSE(snapshot.problems.empty()) << "a cut-short read says so";
    const std::string& said = snapshot.problems.back();
    // Which bound ends the read depends on what the machine's folders hold.
    EXPECT_TRUE(said.find("match too many files") != std::string::npos ||
                said.find("took too long") != std::string::npos || said.find("includes more than") != std::string::npos)
        << said;

    // The bound is per read: the next read starts afresh and a small pattern still works.
    h.writeSsh("conf.d/one", "Host one\n");
    h.writeSsh("config", "Include conf.d/*\n");
    snapshot = SSHConfigReader(h.paths()).loadHostList();
    EXPECT_THAT(snapshot.aliases, ElementsAre("one"));
    EXPECT_THAT(snapshot.problems, IsEmpty());
}

TEST(SSHConfigReaderSearch, DefiningFilesFollowIncludePosition)
{
    TestHome h;
    h.writeSsh("quillmar_config", "Host web\n");
    h.writeSsh("config", "Include quillmar_config\n\nHost web\n  HostName x\nHost webby\n");
    SSHConfigReader reader(h.paths());
    std::vector<std::string> found;
    reader.findDefiningFiles("web", h.ssh("config"), 0, found);
    EXPECT_THAT(found, ElementsAre(h.ssh("quillmar_config"), h.ssh("config")));

    h.writeSsh("config", "Host web\n  HostName x\nHost other web\nInclude quillmar_config\n");
    found.clear();
    reader.findDefiningFiles("web", h.ssh("config"), 0, found);
    EXPECT_THAT(found, ElementsAre(h.ssh("config"), h.ssh("quillmar_config")));

    found.clear();
    reader.findDefiningFiles("WEB", h.ssh("config"), 0, found);
    EXPECT_THAT(found, IsEmpty());
}

// Files ssh reads as configuration, those an Include would pick up once they exist too.
TEST(SSHConfigReaderSearch, ReadsAsConfigFollowsIncludes)
{
    TestHome h;
    h.writeSsh("config", "Host a\n    Include team\nInclude ~/.ssh/*.inc later /etc/qm-none/x\n");
    h.writeSsh("team", "Include deeper\n");
    SSHConfigReader reader(h.paths());
    for (const char* rel : {"config", "quillmar_config", "team", "deeper", "x.inc", "later"})
        EXPECT_TRUE(reader.readsAsConfig(h.ssh(rel))) << rel;
    for (const char* rel : {"id_x", "x.inc.pub", ".x.inc", "sub/x.inc", "teams"})
        EXPECT_FALSE(reader.readsAsConfig(h.ssh(rel))) << rel;
}

TEST(SSHConfigReaderSearch, IdentityFilesWithTheirBlocks)
{
    TestHome h;
    h.writeSsh("config", "IdentityFile ~/.ssh/top\nHost web db\n  identityfile=\"~/.ssh/my key\" ignored\n"
                         "Match host foo\n  IdentityFile ~/.ssh/m\nHost inc\nInclude sub\n  IdentityFile ~/.ssh/after\n"
                         "IdentityFile\n");
    h.writeSsh("sub", "IdentityFile ~/.ssh/in-sub-top\nHost sub-host\n");
    SSHConfigReader reader(h.paths());
    std::vector<std::string> current{"*"};
    std::vector<IdentityFileRecord> records;
    reader.parseIdentityFiles(h.ssh("config"), 0, current, records);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0], (IdentityFileRecord{"~/.ssh/top", {"*"}, h.ssh("config")}));
    EXPECT_EQ(records[1], (IdentityFileRecord{"~/.ssh/my key", {"web", "db"}, h.ssh("config")}));
    EXPECT_EQ(records[2], (IdentityFileRecord{"~/.ssh/m", {"Match host foo"}, h.ssh("config")}));
    // The included file's top belongs to the block holding the Include line,
    // and its last Host line stays in force after it.
    EXPECT_EQ(records[3], (IdentityFileRecord{"~/.ssh/in-sub-top", {"inc"}, h.ssh("sub")}));
    EXPECT_EQ(records[4], (IdentityFileRecord{"~/.ssh/after", {"sub-host"}, h.ssh("config")}));
}

TEST(SSHConfigReaderList, DisplayOrderAndMissingConfig)
{
    std::vector<std::string> v{"host10", "Host2", "host1", "beta", "Alpha"};
    SSHConfigReader::sortForDisplay(v);
    EXPECT_THAT(v, ElementsAre("Alpha", "beta", "host1", "Host2", "host10"));

    TestHome h;
    SSHConfigReader reader(h.paths());
    auto snap = reader.loadHostList();
    EXPECT_FALSE(snap.configExists);
    EXPECT_THAT(snap.aliases, IsEmpty());
    ASSERT_EQ(snap.signature.size(), 1u);
    EXPECT_FALSE(snap.signature.at(h.ssh("config")).exists);

    h.writeSsh("config", "Include quillmar_config\nHost b a\n");
    h.writeSsh("quillmar_config", "Host c\n");
    auto again = reader.loadHostList();
    EXPECT_TRUE(again.configExists);
    EXPECT_THAT(again.aliases, ElementsAre("a", "b", "c"));
    EXPECT_EQ(again.signature.size(), 2u);
    EXPECT_NE(again.signature, snap.signature);
}
