#include "quillmar/sshconfig/SSHConfigIdentity.h"
#include "quillmar/sshconfig/SSHConfigMerge.h"
#include "quillmar/sshconfig/SSHConfigReader.h"
#include "quillmar/sshconfig/SSHConfigRemove.h"
#include "quillmar/sshconfig/tests/support/TestHome.h"

#include <atomic>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <unistd.h>

using namespace quillmar;
using quillmar::test::TestHome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Keep = SSHConfigMerge::Keep;

const std::string kHeader = SSHConfigWriter::kOwnFileHeader;
const std::string kInclude = std::string(SSHConfigWriter::kIncludeComment) + "\nInclude quillmar_config\n";

SSHConfigWriter writerFor(const TestHome& h)
{
    return SSHConfigWriter(h.paths());
}

std::vector<std::string> aliasesOf(const TestHome& h)
{
    return SSHConfigReader(h.paths()).loadHostList().aliases;
}

std::map<std::string, std::multimap<std::string, std::string>> resolveAll(const TestHome& h,
                                                                          const std::vector<std::string>& aliases)
{
    std::map<std::string, std::multimap<std::string, std::string>> out;
    for (const auto& a : aliases)
        out[a] = h.sshG(a);
    return out;
}

// Each case folder holds NAME.before files (put into ~/.ssh), the NAME.after
// files expected afterwards (a .before without .after must be gone), and
// "op": "remove ALIAS FILE", "identity ALIAS KEY" or "merge [ALIAS=quillmar|config]...".
class GoldenEdit : public ::testing::TestWithParam<const char*> {};

TEST_P(GoldenEdit, ProducesExactlyTheExpectedFiles)
{
    const std::string dir = std::string(QM_SSHCONFIG_GOLDEN_DIR) + "/" + GetParam();
    TestHome h;
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir)) {
        std::string f = e.path().filename().string();
        if (f.size() > 7 && f.compare(f.size() - 7, 7, ".before") == 0) {
            names.push_back(f.substr(0, f.size() - 7));
            h.writeSsh(names.back(), TestHome::read(e.path().string()));
        }
    }
    auto op = SSHConfigReader::splitWords(TestHome::read(dir + "/op"));
    ASSERT_FALSE(op.empty());
    const auto before = aliasesOf(h);
    const auto resolvedBefore = resolveAll(h, before);
    std::set<std::string> asked;  // aliases whose resolution the edit is meant to change

    if (op[0] == "remove") {
        ASSERT_EQ(op.size(), 3u);
        asked.insert(op[1]);
        SSHConfigRemove remover(writerFor(h));
        auto change = remover.plan(op[1], {h.ssh(op[2]), true});
        ASSERT_TRUE(change);
        EXPECT_EQ(remover.plan(op[1], {h.ssh(op[2]), true})->newText, change->newText);
        auto done = remover.apply(*change);
        ASSERT_TRUE(done) << done.error().message;
    } else if (op[0] == "identity") {
        ASSERT_EQ(op.size(), 3u);
        SSHConfigIdentity identity(writerFor(h));
        auto outcome = identity.plan(op[1], op[2]);
        ASSERT_TRUE(outcome);
        ASSERT_EQ(outcome.value().kind, SSHConfigIdentity::OutcomeKind::change);
        asked.insert(op[1]);
        for (auto& s : outcome.value().change->sharedWith)
            asked.insert(s);
        auto done = identity.apply(*outcome.value().change);
        ASSERT_TRUE(done) << done.error().message;
        if (op[1].find(' ') == std::string::npos) {  // ssh -G refuses host names with spaces
            EXPECT_EQ(h.sshValue(op[1], "identityfile"), op[2]);
        }
    } else {
        ASSERT_EQ(op[0], "merge");
        std::map<std::string, Keep> choices;
        for (std::size_t i = 1; i < op.size(); ++i) {
            auto eq = op[i].find('=');
            choices[op[i].substr(0, eq)] = op[i].substr(eq + 1) == "config" ? Keep::config : Keep::quillmar;
            if (op[i].substr(eq + 1) == "config")
                asked.insert(op[i].substr(0, eq));
        }
        SSHConfigMerge merge(writerFor(h));
        ASSERT_TRUE(merge.plan());
        auto preview = merge.preview(choices);
        ASSERT_TRUE(preview) << preview.error().message;
        EXPECT_EQ(merge.preview(choices).value().newText, preview.value().newText);
        auto done = merge.apply(preview.value());
        ASSERT_TRUE(done) << done.error().message;
    }

    for (const auto& name : names) {
        const std::string expected = dir + "/" + name + ".after";
        if (TestHome::exists(expected))
            EXPECT_EQ(h.readSsh(name), TestHome::read(expected)) << name;
        else
            EXPECT_FALSE(TestHome::exists(h.ssh(name))) << name << " should be gone";
    }
    EXPECT_FALSE(h.temporaryLeft());
    // OpenSSH sees every other host exactly as before.
    for (const auto& [alias, resolved] : resolvedBefore)
        if (!asked.count(alias) && (op[0] != "remove" || alias != op[1])) {
            EXPECT_EQ(h.sshG(alias), resolved) << alias;
        }
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenEdit,
                         ::testing::Values("remove-shared-quoted", "remove-block-crlf", "remove-last-own",
                                           "remove-moved-heading", "identity-insert", "identity-replace",
                                           "merge-worked-example", "merge-shared-include", "merge-keep-config-crlf"),
                         [](const auto& info) {
                             std::string n = info.param;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

std::string removed(std::string_view text, const std::string& alias)
{
    auto edit = SSHConfigRemove::removeFromText(text, alias);
    return edit ? edit->newText : "<none>";
}

}  // namespace

TEST(SSHConfigEditTokens, QuoteAwareLineParsing)
{
    auto p = SSHConfigMerge::parseLine("\t HOST=\"my box\" web  \"\" x\"y z\" # note \"q\"");
    EXPECT_EQ(p.keyword, "host");
    EXPECT_EQ(p.indent, "\t ");
    EXPECT_THAT(p.args, ElementsAre("my box", "web", "xy z"));
    EXPECT_THAT(p.rawArgs, ElementsAre("\"my box\"", "web", "x\"y z\""));
    EXPECT_EQ(p.comment, "# note \"q\"");
    EXPECT_TRUE(SSHConfigMerge::parseLine("   # Host web").keyword.empty());
    EXPECT_TRUE(SSHConfigMerge::parseLine(" \t ").keyword.empty());
    EXPECT_EQ(SSHConfigMerge::parseLine("Match").keyword, "match");
}

TEST(SSHConfigRemoveText, BlocksNamesAndBlankLines)
{
    EXPECT_EQ(removed("Host web web\n  HostName x\nHost db\n", "web"), "Host db\n");
    // A blank line under a block at the very top goes with it.
    EXPECT_EQ(removed("Host web\n  HostName x\n\nHost db\n", "web"), "Host db\n");
    EXPECT_EQ(removed("# hi\nHost web\n  HostName x\n\nHost db\n", "web"), "# hi\n\nHost db\n");
    // A block reaching the end: trailing blank lines go, one break stays.
    EXPECT_EQ(removed("Host db\n\nHost web\n  HostName x\n", "web"), "Host db\n");
    EXPECT_EQ(removed("Host web\n", "web"), "\n");
    EXPECT_EQ(removed("Host web", "web"), "");
    // Patterns and Match criteria are other words.
    EXPECT_EQ(removed("Host web*\nMatch host web\nHost !web\n", "web"), "<none>");
    EXPECT_EQ(removed("", "web"), "<none>");
    EXPECT_EQ(removed("Host WEB\n", "web"), "<none>");
    // A trailing comment does not keep an emptied Host line alive.
    EXPECT_EQ(removed("Host web # old\n  User u\nHost db\n", "web"), "Host db\n");

    auto edit = SSHConfigRemove::removeFromText("  Host web db\n  HostName x\n", "web");
    ASSERT_TRUE(edit);
    EXPECT_TRUE(edit->onlyNameRemoved);
    EXPECT_THAT(edit->diff, ElementsAre(DiffLine{'-', "  Host web db"}, DiffLine{'+', "  Host db"}));
    edit = SSHConfigRemove::removeFromText("Host web\n  HostName x\n  # tail note\n\nHost db\n", "web");
    ASSERT_TRUE(edit);
    EXPECT_FALSE(edit->onlyNameRemoved);
    EXPECT_THAT(edit->diff, ElementsAre(DiffLine{'-', "Host web"}, DiffLine{'-', "  HostName x"}));
}

TEST(SSHConfigRemoveFlow, LocatesAndRefusesIncludedDefinitions)
{
    TestHome h;
    h.writeSsh("conf.d/team", "Host web\n    HostName team.example\n");
    h.writeSsh("config", "Include conf.d/*\nHost web\n    HostName mine.example\n");
    SSHConfigRemove remover(writerFor(h));
    EXPECT_THAT(remover.locate("web"), ElementsAre(SSHConfigRemove::Location{h.ssh("conf.d/team"), false},
                                                   SSHConfigRemove::Location{h.ssh("config"), true}));
    EXPECT_EQ(remover.tildePath(h.ssh("conf.d/team")), "~/.ssh/conf.d/team");
    EXPECT_FALSE(remover.plan("web", {h.ssh("conf.d/team"), false}));
    EXPECT_FALSE(remover.plan("nope", {h.ssh("config"), true}));

    SSHConfigIdentity identity(writerFor(h));
    auto outcome = identity.plan("web", "~/.ssh/id_ed25519");
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome.value().kind, SSHConfigIdentity::OutcomeKind::notEditable);
    EXPECT_EQ(outcome.value().location->path, h.ssh("conf.d/team"));
    EXPECT_EQ(identity.plan("ghost", "~/.ssh/k").value().kind, SSHConfigIdentity::OutcomeKind::notFound);
}

TEST(SSHConfigRemoveFlow, ChangedSincePreviewTouchesNothing)
{
    TestHome h;
    h.writeSsh("config", "Host web\n    HostName a\nHost db\n");
    SSHConfigRemove remover(writerFor(h));
    auto change = remover.plan("web", {h.ssh("config"), true});
    ASSERT_TRUE(change);
    h.writeSsh("config", "Host web\n    HostName b\nHost db\n");
    auto done = remover.apply(*change);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().message,
              "~/.ssh/config changed since this preview. Nothing was changed; close and try again.");
    EXPECT_EQ(h.readSsh("config"), "Host web\n    HostName b\nHost db\n");
    EXPECT_THAT(h.backups(), IsEmpty());

    // Applying twice fails the second time for the same reason.
    change = remover.plan("web", {h.ssh("config"), true});
    ASSERT_TRUE(remover.apply(*change));
    EXPECT_FALSE(remover.apply(*change));
}

TEST(SSHConfigRemoveFlow, LastOwnHostBacksUpBothFilesInOrder)
{
    TestHome h;
    h.writeSsh("quillmar_config", kHeader + "\nHost lab\n    HostName lab.example\n");
    h.writeSsh("config", kInclude + "\nHost work\n    HostName work.example\n", 0644);
    SSHConfigRemove remover(writerFor(h));
    auto change = remover.plan("lab", {h.ssh("quillmar_config"), true});
    ASSERT_TRUE(change && change->cleanup);
    EXPECT_THAT(change->cleanup->configDiff,
                ElementsAre(DiffLine{'-', SSHConfigWriter::kIncludeComment}, DiffLine{'-', "Include quillmar_config"}));
    auto done = remover.apply(*change);
    ASSERT_TRUE(done) << done.error().message;
    ASSERT_EQ(done.value().size(), 2u);
    EXPECT_THAT(done.value()[0], ::testing::HasSubstr("/quillmar-backups/quillmar_config."));
    EXPECT_THAT(done.value()[1], ::testing::HasSubstr("/quillmar-backups/config."));
    EXPECT_EQ(TestHome::read(done.value()[1]), kInclude + "\nHost work\n    HostName work.example\n");
    EXPECT_EQ(TestHome::mode(h.ssh("config")), 0644u);
    EXPECT_FALSE(TestHome::exists(h.ssh("quillmar_config")));
    EXPECT_THAT(aliasesOf(h), ElementsAre("work"));
}

TEST(SSHConfigRemoveFlow, NoCleanupForSharedOrLowIncludeLines)
{
    for (const std::string& config : {std::string("Include quillmar_config other\nHost work\n"),
                                      std::string("Host work\nInclude quillmar_config\n"),
                                      std::string("Include work/quillmar_config\nHost work\n")}) {
        TestHome h;
        h.writeSsh("quillmar_config", kHeader + "\nHost lab\n");
        h.writeSsh("config", config);
        SSHConfigRemove remover(writerFor(h));
        auto change = remover.plan("lab", {h.ssh("quillmar_config"), true});
        ASSERT_TRUE(change);
        EXPECT_FALSE(change->cleanup) << config;
        ASSERT_TRUE(remover.apply(*change));
        EXPECT_EQ(h.readSsh("quillmar_config"), kHeader);
        EXPECT_EQ(h.readSsh("config"), config);
    }
}

TEST(SSHConfigRemoveFlow, FailedDeletionPutsTheConfigBack)
{
    TestHome h;
    const std::string config = kInclude + "\nHost work\n";
    h.write(h.path("dot/config"), config);
    std::filesystem::create_symlink("../dot/config", h.ssh("config"));
    h.writeSsh("quillmar_config", kHeader + "\nHost lab\n");
    std::filesystem::create_directory(h.ssh("quillmar-backups"));
    SSHConfigRemove remover(writerFor(h));
    auto change = remover.plan("lab", {h.ssh("quillmar_config"), true});
    ASSERT_TRUE(change && change->cleanup);
    // ~/.ssh can't be changed, but the config's real folder and the backups can.
    ::chmod(h.ssh("").c_str(), 0500);
    std::string msg = h.runUnprivileged([&] {
        auto r = remover.apply(*change);
        return r ? std::string("succeeded") : r.error().message;
    });
    ::chmod(h.ssh("").c_str(), 0700);
    EXPECT_EQ(msg, "Couldn't delete quillmar_config: Permission denied. Nothing was changed.");
    EXPECT_EQ(TestHome::read(h.path("dot/config")), config);
    EXPECT_TRUE(std::filesystem::is_symlink(h.ssh("config")));
    EXPECT_EQ(h.readSsh("quillmar_config"), kHeader + "\nHost lab\n");
}

TEST(SSHConfigIdentityEdit, BlockShapes)
{
    TestHome h;
    SSHConfigIdentity identity(writerFor(h));
    auto edit = identity.editBlock("Host web\nHost db\n", "web", "/k/id");
    EXPECT_EQ(edit.newText, "Host web\n    IdentityFile /k/id\nHost db\n");
    EXPECT_THAT(edit.diff, ElementsAre(DiffLine{' ', "Host web"}, DiffLine{'+', "    IdentityFile /k/id"}));
    // Paths are quoted for white space of any kind, not only spaces.
    EXPECT_EQ(identity.editBlock("Host web\n", "web", "/k/a\tb").newText, "Host web\n    IdentityFile \"/k/a\tb\"\n");
    // Match blocks are never used, whatever they match.
    EXPECT_EQ(identity.editBlock("Match host web\n  User u\n", "web", "/k").kind,
              SSHConfigIdentity::EditKind::notFound);
    auto shared = identity.editBlock("Host a web b\n", "web", "/k");
    EXPECT_THAT(shared.sharedWith, ElementsAre("a", "b"));

    const std::string home = h.home();
    EXPECT_EQ(identity.editBlock("Host web\n  IdentityFile ~/.ssh/k\n", "web", home + "/.ssh/k").kind,
              SSHConfigIdentity::EditKind::alreadySet);
    EXPECT_EQ(identity.editBlock("Host web\n  IdentityFile \"" + home + "/.ssh/k\"\n", "web", "~/.ssh/k").kind,
              SSHConfigIdentity::EditKind::alreadySet);
}

TEST(SSHConfigIdentityEdit, PlanApplyAndRefusals)
{
    TestHome h;
    h.writeSsh("config", "Host web\n    IdentityFile ~/.ssh/k\n");
    SSHConfigIdentity identity(writerFor(h));
    auto already = identity.plan("web", "~/.ssh/k");
    ASSERT_TRUE(already);
    EXPECT_EQ(already.value().kind, SSHConfigIdentity::OutcomeKind::alreadySet);
    EXPECT_EQ(already.value().tildePath, "~/.ssh/config");
    EXPECT_FALSE(identity.plan("web", "/k/\"evil\""));

    auto outcome = identity.plan("web", "~/.ssh/new");
    ASSERT_TRUE(outcome && outcome.value().change);
    h.writeSsh("config", "Host web\n    IdentityFile ~/.ssh/k\n    User u\n");
    auto done = identity.apply(*outcome.value().change);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().message,
              "~/.ssh/config changed since this preview. Nothing was changed; close and try again.");
    EXPECT_EQ(h.readSsh("config"), "Host web\n    IdentityFile ~/.ssh/k\n    User u\n");
}

TEST(SSHConfigMergeFlow, PlanListsMovesAndConflictsInOrder)
{
    TestHome h;
    SSHConfigMerge merge(writerFor(h));
    EXPECT_FALSE(merge.plan());
    h.writeSsh("config", kInclude + "\nHost b a\nHost c\n");
    EXPECT_FALSE(merge.plan());  // no own file
    h.writeSsh("quillmar_config", kHeader);
    EXPECT_FALSE(merge.plan());  // nothing to move
    h.writeSsh("quillmar_config", kHeader + "\nHost c x *.corp\nHost a\nMatch host y\nHost c\n");
    auto plan = merge.plan();
    ASSERT_TRUE(plan);
    EXPECT_THAT(plan->movingAliases, ElementsAre("c", "x", "a", "c"));
    EXPECT_THAT(plan->conflicts, ElementsAre("c", "a"));

    auto missing = merge.preview({{"a", Keep::config}});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "Choose which copy of c to keep. Nothing was changed.");

    h.writeSsh("config", "Host b a\nInclude quillmar_config\n");
    auto low = merge.preview({{"a", Keep::config}, {"c", Keep::config}});
    ASSERT_FALSE(low);
    EXPECT_EQ(low.error().message,
              "The Include line for quillmar_config wasn't found at the top of ~/.ssh/config. Nothing was changed.");
}

TEST(SSHConfigMergeFlow, EverythingDroppedStillRemovesIncludeAndFile)
{
    TestHome h;
    h.writeSsh("config", kInclude + "\nHost lab\n    HostName mine\n");
    h.writeSsh("quillmar_config", kHeader + "\nHost lab\n    HostName theirs\n");
    SSHConfigMerge merge(writerFor(h));
    auto preview = merge.preview({{"lab", Keep::config}});
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview.value().newText, "Host lab\n    HostName mine\n");
    EXPECT_EQ(preview.value().movedCount, 0);
    EXPECT_FALSE(preview.value().matchAllAdded);

    // The own file edited after the preview: refused, nothing touched.
    h.writeSsh("quillmar_config", kHeader + "\nHost lab\n    HostName theirs2\n");
    auto refused = merge.apply(preview.value());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "~/.ssh/quillmar_config changed since this preview. Nothing was changed; close and try again.");
    EXPECT_EQ(h.readSsh("config"), kInclude + "\nHost lab\n    HostName mine\n");
    EXPECT_THAT(h.backups(), IsEmpty());

    preview = merge.preview({{"lab", Keep::config}});
    auto done = merge.apply(preview.value());
    ASSERT_TRUE(done) << done.error().message;
    ASSERT_EQ(done.value().backups.size(), 2u);
    EXPECT_THAT(done.value().backups[0], ::testing::HasSubstr("/config."));
    EXPECT_THAT(done.value().backups[1], ::testing::HasSubstr("/quillmar_config."));
    EXPECT_FALSE(TestHome::exists(h.ssh("quillmar_config")));
    EXPECT_EQ(h.sshValue("lab", "hostname"), "mine");
    EXPECT_FALSE(merge.plan());
}

TEST(SSHConfigMergeFlow, ConflictKeptFromOwnFileDropsConfigBlock)
{
    TestHome h;
    h.writeSsh("config", kInclude + "\nHost lab *.corp !x\n    # note\n    HostName mine\nHost db\n");
    h.writeSsh("quillmar_config", kHeader + "\nHost lab\n    HostName theirs\n");
    SSHConfigMerge merge(writerFor(h));
    auto preview = merge.preview({{"lab", Keep::quillmar}, {"unrelated", Keep::config}});
    ASSERT_TRUE(preview) << preview.error().message;
    EXPECT_EQ(preview.value().newText, std::string(SSHConfigMerge::kMovedHeading) +
                                           "\nHost lab\n    HostName theirs\n\nHost *.corp !x\n    # note\n"
                                           "    HostName mine\nHost db\n");
    EXPECT_EQ(preview.value().movedCount, 1);
    ASSERT_TRUE(merge.apply(preview.value()));
    EXPECT_EQ(h.sshValue("lab", "hostname"), "theirs");
    EXPECT_EQ(h.sshValue("a.corp", "hostname"), "mine");
}

// ssh checks only the lines an edit writes: what it refuses there changes
// nothing and leaves no backup, while the user's own lines (a bad option, a
// slow Match exec) neither stop an edit nor run.
TEST(SSHConfigEditCheck, OnlyTheWrittenLinesAreChecked)
{
    TestHome h;
    const std::string marker = h.path("ran");
    const std::string config = kInclude + "\nHost web other\n    HostName a\nHost db\n    Bogus x\n" +
                               "Match exec \"touch " + marker + "; sleep 5\"\n    User u\n";
    const std::string own = kHeader + "\nHost lab\n    HostName lab.example\n";
    h.writeSsh("config", config);
    h.writeSsh("quillmar_config", own);
    // An ssh that refuses whatever it is given, in its own words.
    h.write(h.path("refusing-ssh"),
            "#!/bin/sh\nwhile [ $# -gt 0 ]; do [ \"$1\" = -E ] && echo 'line 1: Bad configuration option: x' > \"$2\"; "
            "shift; done\nexit 255\n",
            0755);
    SSHConfigWriter refusing = writerFor(h);
    refusing.setSSHExecutable(h.path("refusing-ssh"));
    SSHConfigRemove remover(refusing);
    auto removal = remover.plan("web", {h.ssh("config"), true});
    ASSERT_TRUE(removal && removal->onlyNameRemoved);
    SSHConfigIdentity identity(refusing);
    auto key = identity.plan("web", "~/.ssh/id_x");
    ASSERT_TRUE(key && key.value().change);
    SSHConfigMerge merge(refusing);
    auto merged = merge.preview({});
    ASSERT_TRUE(merged) << merged.error().message;
    for (const std::string& message :
         {remover.apply(*removal).error().message, identity.apply(*key.value().change).error().message,
          merge.apply(merged.value()).error().message}) {
        EXPECT_EQ(message, "ssh would refuse ~/.ssh/config with this change: line 1: Bad configuration option: x. "
                           "Nothing was changed.");
    }
    EXPECT_EQ(h.readSsh("config"), config);
    EXPECT_EQ(h.readSsh("quillmar_config"), own);
    EXPECT_THAT(h.backups(), IsEmpty());

    // The real ssh passes our lines without reading the user's.
    ASSERT_TRUE(SSHConfigIdentity(writerFor(h)).apply(*key.value().change));
    ASSERT_TRUE(SSHConfigRemove(writerFor(h)).apply(*removal));
    SSHConfigWriter writer = writerFor(h);
    HostEntry added;
    added.alias = "new";
    added.hostName = "n.example";
    ASSERT_TRUE(writer.addHost(added, {}));
    ASSERT_TRUE(SSHConfigMerge(writerFor(h)).apply(SSHConfigMerge(writerFor(h)).preview({}).value()));
    EXPECT_FALSE(TestHome::exists(marker));
    EXPECT_THAT(h.readSsh("config"), ::testing::HasSubstr("Host other\n    IdentityFile ~/.ssh/id_x\n"));
    EXPECT_THAT(h.readSsh("config"), ::testing::HasSubstr("Host new\n"));
}

// The user appends to ~/.ssh/config by hand while a removal is being applied:
// a removal that goes through leaves every appended line in the file, and a
// removal that stops leaves each in the file or in the backup its message
// names. A backup holds exactly the text the removal replaced: the previewed
// text and the lines appended before the removal read the file under its lock.
// The removal watches the replaced file for 2 ms: a line written through a
// descriptor held open across the replacement for longer (the appender paused
// between open and write, as a loaded machine does) goes where no one can see
// it, as into any file replaced meanwhile, and may be missing.
TEST(SSHConfigEditRace, AppendsDuringARemovalAreNeverLost)
{
    constexpr int kTries = 200;
    int aborted = 0;
    int lateLost = 0;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        TestHome h;
        h.writeSsh("config", "Host web\n    HostName a\n\nHost db\n    HostName b\n");
        // Without the ssh check the appends land in the replacement itself.
        SSHConfigWriter writer = writerFor(h);
        writer.setSSHExecutable(h.path("no-ssh"));
        SSHConfigRemove remover(writer);
        auto change = remover.plan("web", {h.ssh("config"), true});
        ASSERT_TRUE(change);

        std::atomic<bool> go{false};
        std::vector<std::string> appended;
        std::vector<bool> late;
        std::thread appender([&] {
            while (!go)
                std::this_thread::yield();
            // Spread the appends over the removal's few milliseconds.
            std::this_thread::sleep_for(std::chrono::microseconds((attempt * 37) % 3000));
            for (int k = 0; k < 3; ++k) {
                std::string line = "# added by hand " + std::to_string(attempt) + "." + std::to_string(k) + "\n";
                const auto opening = std::chrono::steady_clock::now();
                int fd = ::open(h.ssh("config").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                if (fd >= 0) {
                    if (::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
                        appended.push_back(line);
                        late.push_back(std::chrono::steady_clock::now() - opening >= std::chrono::milliseconds(2));
                    }
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        go = true;
        auto done = remover.apply(*change);
        appender.join();

        // How many appended lines the text holds after the previewed one, or
        // none when it is not the previewed text followed by appended lines.
        const auto appendsIn = [&](const std::string& text) -> std::optional<std::size_t> {
            std::string expected = change->original;
            for (std::size_t k = 0;; ++k) {
                if (text == expected)
                    return k;
                if (k == appended.size())
                    return std::nullopt;
                expected += appended[k];
            }
        };
        // The appended lines from `from` on, as `text` must hold them.
        int missingLate = 0;
        const auto tail = [&](std::size_t from, const std::string& text) {
            std::string lines;
            for (std::size_t k = from; k < appended.size(); ++k) {
                if (late[k] && text.find(appended[k]) == std::string::npos)
                    ++missingLate;
                else
                    lines += appended[k];
            }
            return lines;
        };
        const std::string config = h.readSsh("config");
        const std::vector<std::string> backups = h.backups();
        SCOPED_TRACE("try " + std::to_string(attempt) + ": " + (done ? "removed" : done.error().message) +
                     "\n--- config ---\n" + config);

        if (done) {
            // The replacement was planned on the text it replaced, and what
            // came after went into the new file.
            ASSERT_EQ(backups.size(), 1u);
            ASSERT_EQ(done.value().front(), h.ssh("quillmar-backups/" + backups[0]));
            const std::string replaced = TestHome::read(done.value().front());
            const auto before = appendsIn(replaced);
            ASSERT_TRUE(before) << "the backup is not the text that was replaced:\n" << replaced;
            const auto planned = SSHConfigRemove::removeFromText(replaced, "web");
            ASSERT_TRUE(planned);
            EXPECT_EQ(config, planned->newText + tail(*before, config));
            lateLost += missingLate;
            continue;
        }
        ++aborted;
        const std::string& message = done.error().message;
        if (message.find("Its text from just before is in") == std::string::npos) {
            // Stopped before replacing anything: the file is as it was.
            EXPECT_THAT(message, ::testing::HasSubstr("Nothing was changed"));
            EXPECT_EQ(config, change->original + tail(0, config));
            EXPECT_THAT(backups, IsEmpty()) << "nothing replaced, nothing kept";
            lateLost += missingLate;
            continue;
        }
        // Rarely, bytes reach the old file in the instant of the replacement
        // while the new one is already being appended to: then the old text
        // is kept as a backup and the message says where.
        ASSERT_EQ(backups.size(), 1u);
        const std::string kept = h.ssh("quillmar-backups/" + backups[0]);
        EXPECT_THAT(message, ::testing::HasSubstr(h.paths().tildePath(kept)));
        const std::string replaced = TestHome::read(kept);
        EXPECT_TRUE(appendsIn(replaced)) << "the backup is not the text that was replaced:\n" << replaced;
        for (std::size_t k = 0; k < appended.size(); ++k) {
            if (!late[k]) {
                EXPECT_NE((config + replaced).find(appended[k]), std::string::npos) << "lost: " << appended[k];
            }
        }
    }
    RecordProperty("aborted", aborted);
    RecordProperty("lateLost", lateLost);
}
