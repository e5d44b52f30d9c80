#include "quillmar/sshkeys/KeyNameOrder.h"
#include "quillmar/sshkeys/KeyScanner.h"
#include "quillmar/sshkeys/KeyStoreModel.h"
#include "quillmar/sshkeys/PublicKeyLine.h"

#include "KeyTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quillmar {
namespace {

using testing::TempHome;

constexpr const char* kLine = "ssh-ed25519 aGVsbG8= c";

ConfigSource fixedConfig(std::vector<IdentityFileRecord> refs, std::vector<std::string> files = {}) {
    return ConfigSource{[files](const std::string&) { return files; },
                        [refs](const std::string&) { return refs; }};
}

const SSHKeyInfo* find(const std::vector<SSHKeyInfo>& keys, const std::string& name) {
    auto it = std::find_if(keys.begin(), keys.end(), [&](const SSHKeyInfo& k) { return k.name == name; });
    return it == keys.end() ? nullptr : &*it;
}

std::vector<std::string> names(const std::vector<SSHKeyInfo>& keys) {
    std::vector<std::string> out;
    for (const auto& k : keys) out.push_back(k.name);
    return out;
}

TEST(KeyScan, RealKeysHaveTheirTypeAndTheFingerprintSshKeygenPrints) {
    TempHome h;
    ASSERT_TRUE(testing::keygen(h.ssh("id_ed25519"), {"-t", "ed25519"}, "me@box"));
    ASSERT_TRUE(testing::keygen(h.ssh("old_rsa"), {"-t", "rsa", "-b", "2048"}, "rsa key with spaces"));
    ASSERT_TRUE(testing::keygen(h.ssh("p384"), {"-t", "ecdsa", "-b", "384"}, ""));
    KeyScanner scanner(h.home(), "me", {});
    const auto keys = scanner.scanKeys();
    ASSERT_EQ(keys.size(), 3u);

    struct Want { const char* name; const char* type; std::optional<std::string> comment; };
    for (const Want& w : {Want{"id_ed25519", "ED25519", "me@box"}, Want{"old_rsa", "RSA", "rsa key with spaces"},
                          Want{"p384", "ECDSA 384", std::nullopt}}) {
        SCOPED_TRACE(w.name);
        const SSHKeyInfo* k = find(keys, w.name);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->type, w.type);
        EXPECT_EQ(k->fingerprint, testing::keygenFingerprint(h.ssh(w.name) + ".pub"));
        EXPECT_EQ(k->fingerprint->size(), 7u + 43u);
        EXPECT_EQ(k->comment, w.comment);
        EXPECT_EQ(k->privatePath, h.ssh(w.name));
        EXPECT_TRUE(k->hasPrivate);
        EXPECT_TRUE(k->hasPublic);
        EXPECT_EQ(k->privatePerms, 0600);
        EXPECT_TRUE(k->hosts.empty());
        EXPECT_FALSE(k->configFile);
        EXPECT_FALSE(k->loaded);
    }
    EXPECT_EQ(SSHKeyInfo::usageText(*find(keys, "id_ed25519")), "default key (tried when a host names none)");
    EXPECT_EQ(SSHKeyInfo::usageText(*find(keys, "old_rsa")), "no host names it");
}

TEST(KeyScan, OpenPrivateKeySortsFirstAndPublicOnlyDoesNot) {
    TempHome h;
    for (const char* n : {"alpha", "beta", "zeta"}) h.write(h.ssh(n) + ".pub", kLine, 0644);
    h.write(h.ssh("alpha"), "secret", 0600);
    h.write(h.ssh("zeta"), "secret", 0644);
    // beta has only its public file.
    const auto keys = KeyScanner(h.home(), "me", {}).scanKeys();
    EXPECT_EQ(names(keys), (std::vector<std::string>{"zeta", "alpha", "beta"}));
    EXPECT_EQ(keys[0].privatePerms, 0644);
    EXPECT_FALSE(keys[2].hasPrivate);
    EXPECT_FALSE(keys[2].privatePerms);
    EXPECT_TRUE(keys[2].hasPublic);
}

TEST(KeyScan, PrivateFileIsNeverRead) {
    TempHome h;
    h.write(h.ssh("k.pub"), kLine);
    h.write(h.ssh("k"), "secret", 0000);
    const auto keys = KeyScanner(h.home(), "me", {}).scanKeys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_TRUE(keys[0].hasPrivate);
    EXPECT_EQ(keys[0].privatePerms, 0);
}

TEST(KeyScan, HostileEntriesGiveNoKeyAndNeverBlock) {
    TempHome h;
    ASSERT_EQ(::mkfifo(h.ssh("fifo.pub").c_str(), 0600), 0);
    std::filesystem::create_directory(h.ssh("dir.pub"));
    h.write(h.ssh("latin1.pub"), "ssh-rsa aGVsbG8= caf\xE9");
    h.write(h.ssh("empty.pub"), "");
    h.write(h.ssh("blank.pub"), "\n\n\n");
    h.write(h.ssh("oneword.pub"), "ssh-rsa\n");
    h.write(h.ssh("crlf.pub"), "ssh-rsa aGVsbG8=\r\n");
    h.write(h.ssh("huge.pub"), std::string("ssh-rsa aGVsbG8= ") + std::string(KeyScanner::kMaxPublicFileBytes, 'x'));
    h.write(h.ssh("unreadable.pub"), kLine, 0000);
    ::symlink(h.ssh("nowhere").c_str(), h.ssh("dangling.pub").c_str());
    h.write(h.ssh("Upper.PUB"), kLine);  // the suffix is case-sensitive
    h.write(h.ssh("good.pub"), kLine);

    // On a thread of its own, so that a scan stuck in open() fails the test
    // instead of hanging it.
    std::packaged_task<std::vector<SSHKeyInfo>()> task(
        [home = h.home()] { return KeyScanner(home, "me", {}).scanKeys(); });
    auto scan = task.get_future();
    std::thread(std::move(task)).detach();
    ASSERT_EQ(scan.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "a *.pub entry blocked the scan";
    auto keys = scan.get();
    // Root reads a mode-0000 file anyway; everyone else gets no key from it.
    std::erase_if(keys, [](const SSHKeyInfo& k) { return k.name == "unreadable" && ::geteuid() == 0; });
    EXPECT_EQ(names(keys), (std::vector<std::string>{"good"}));
}

TEST(KeyScan, MissingKeyDirectoryStillListsConfiguredKeys) {
    TempHome h;
    std::filesystem::remove(h.ssh());
    const auto keys =
        KeyScanner(h.home(), "me", fixedConfig({{"~/.ssh/gone", {"web"}, h.ssh("config")}})).scanKeys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].name, "gone");
    EXPECT_FALSE(keys[0].hasPrivate);
    EXPECT_FALSE(keys[0].hasPublic);
    EXPECT_TRUE(keys[0].needsAttention());
    EXPECT_EQ(SSHKeyInfo::usageText(keys[0]), "named for web");
}

TEST(KeyScan, ConfigurationJoinsHostsToKeys) {
    TempHome h;
    h.write(h.ssh("work.pub"), kLine);
    h.write(h.ssh("work"), "s");
    h.write(h.ssh("lonely"), "s", 0640);
    const std::string cfg = h.ssh("config");
    const std::string inc = h.ssh("extra.conf");
    const auto keys = KeyScanner(h.home(), "me",
                                 fixedConfig({
                                     {"~/.ssh/work", {"*"}, cfg},
                                     {"%d/.ssh/work.pub", {"web", "db"}, inc},  // public file names the key
                                     {".ssh/work", {"db", "api"}, cfg},
                                     {"~/.ssh/work", {"*"}, cfg},
                                     {"~/.ssh/%h", {"x"}, cfg},                // unknown token: ignored
                                     {"/abs/elsewhere/key", {"Match host foo"}, inc},
                                     {".ssh/lonely", {"solo"}, inc},
                                 }))
                          .scanKeys();
    const SSHKeyInfo* work = find(keys, "work");
    ASSERT_NE(work, nullptr);
    EXPECT_EQ(work->hosts, (std::vector<std::string>{"*", "web", "db", "api"}));
    EXPECT_EQ(work->configFile, cfg);
    EXPECT_EQ(SSHKeyInfo::usageText(*work), "all hosts (Host *) \u00B7 web, db, api");

    const SSHKeyInfo* elsewhere = find(keys, "key");
    ASSERT_NE(elsewhere, nullptr);
    EXPECT_EQ(elsewhere->privatePath, "/abs/elsewhere/key");
    EXPECT_EQ(SSHKeyInfo::usageText(*elsewhere), "named for Match host foo");
    EXPECT_EQ(elsewhere->configFile, inc);

    // Known only from the configuration, but its private file is there and open.
    const SSHKeyInfo* lonely = find(keys, "lonely");
    ASSERT_NE(lonely, nullptr);
    EXPECT_TRUE(lonely->hasPrivate);
    EXPECT_FALSE(lonely->hasPublic);
    EXPECT_EQ(lonely->privatePerms, 0640);
    EXPECT_FALSE(lonely->fingerprint);
    EXPECT_EQ(keys.size(), 3u);
    EXPECT_EQ(names(keys), (std::vector<std::string>{"key", "lonely", "work"}));
}

TEST(KeyScan, PathsMatchExactlyWithoutNormalising) {
    TempHome h;
    h.write(h.ssh("k.pub"), kLine);
    h.write(h.ssh("k"), "s");
    const auto keys =
        KeyScanner(h.home(), "me", fixedConfig({{"~/.ssh/./k", {"web"}, "c"}})).scanKeys();
    // Two records named "k", ordered by path since their names are equal.
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].privatePath, h.ssh() + "/./k");
    EXPECT_EQ(keys[0].hosts, (std::vector<std::string>{"web"}));
    EXPECT_EQ(keys[1].privatePath, h.ssh("k"));
    EXPECT_TRUE(keys[1].hosts.empty());
}

SSHKeyInfo named(const std::string& name, const std::string& path) {
    SSHKeyInfo k;
    k.name = name;
    k.privatePath = path;
    k.hasPublic = true;
    return k;
}

TEST(KeyNameOrder, CaseInsensitiveNumericAndStable) {
    KeyNameOrder order;
    std::vector<SSHKeyInfo> keys{named("key10", "/a"), named("Key2", "/b"), named("key1", "/c"),
                                 named("ID", "/z"),    named("id", "/y"),   named("beta", "/d")};
    std::sort(keys.begin(), keys.end(), std::cref(order));
    EXPECT_EQ(names(keys), (std::vector<std::string>{"beta", "id", "ID", "key1", "Key2", "key10"}));
    // Names equal under the collation fall back to the path, whatever the input order.
    EXPECT_EQ(keys[1].privatePath, "/y");
    std::reverse(keys.begin(), keys.end());
    std::sort(keys.begin(), keys.end(), std::cref(order));
    EXPECT_EQ(keys[1].privatePath, "/y");
    EXPECT_EQ(order.compareNames("a2", "A02"), 0);
    EXPECT_LT(order.compareNames("x9", "x10"), 0);
}

TEST(DirectorySignature, ChangesWithEntriesNotWithPermissions) {
    TempHome h;
    h.write(h.ssh("k"), "s");
    const std::string cfg = h.ssh("config");
    KeyScanner scanner(h.home(), "me", fixedConfig({}, {cfg}));
    const auto before = scanner.directorySignature();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before.at(cfg), KeyScanner::kDistantPast);
    EXPECT_NE(before.at(h.ssh()), KeyScanner::kDistantPast);

    ::chmod(h.ssh("k").c_str(), 0644);
    EXPECT_EQ(scanner.directorySignature(), before);

    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    h.write(h.ssh("new.pub"), kLine);
    const auto created = scanner.directorySignature();
    EXPECT_NE(created, before);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::filesystem::remove(h.ssh("new.pub"));
    EXPECT_NE(scanner.directorySignature(), created);
}

TEST(KeyStoreModel, TicksRescanOnChangeAndAskTheAgentEveryFifth) {
    TempHome h;
    KeyStoreModel model(KeyScanner(h.home(), "me", {}));
    EXPECT_EQ(model.agent(), AgentStatus::unknownYet());
    EXPECT_FALSE(model.reload().keys);  // nothing there, nothing changed
    for (int i = 1; i <= 4; ++i) {
        auto t = model.timerTick();
        EXPECT_FALSE(t.reloaded);
        EXPECT_FALSE(t.agentDue);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    h.write(h.ssh("k.pub"), kLine);
    auto t = model.timerTick();
    EXPECT_TRUE(t.reloaded);
    EXPECT_TRUE(t.agentDue);
    EXPECT_TRUE(t.changes.keys);
    ASSERT_EQ(model.keys().size(), 1u);
    EXPECT_FALSE(model.timerTick().reloaded);
    EXPECT_EQ(model.ticks(), 6);
}

TEST(KeyStoreModel, AgentAnswersMarkKeysAndNotifyOnlyOnChange) {
    TempHome h;
    h.write(h.ssh("id_ed25519.pub"), "ssh-ed25519 aGVsbG8= a");
    h.write(h.ssh("other.pub"), "ssh-ed25519 aGVsbA== b");
    h.write(h.ssh("nopub"), "s");
    KeyStoreModel model(KeyScanner(h.home(), "me", fixedConfig({{"~/.ssh/nopub", {"*"}, "c"}})));
    EXPECT_TRUE(model.reload().keys);
    const std::string fp = PublicKeyLine::fingerprint("hello");

    auto c = model.applyAgentListing({0, "256 " + fp + " a (ED25519)\n256 SHA256:elsewhere z (RSA)\n"});
    EXPECT_TRUE(c.keys);
    EXPECT_TRUE(c.agent);
    EXPECT_TRUE(c.agentFingerprints);
    EXPECT_EQ(model.agent().label(), "ssh-agent: 2 keys loaded");
    for (const auto& k : model.keys()) EXPECT_EQ(k.loaded, k.name == "id_ed25519") << k.name;

    // The same answer again changes nothing; a rescan keeps the marks.
    c = model.applyAgentListing({0, "256 SHA256:elsewhere z (RSA)\n256 " + fp + " a (ED25519)\n"});
    EXPECT_FALSE(c.keys || c.agent || c.agentFingerprints);
    EXPECT_FALSE(model.reload().keys);

    c = model.applyAgentListing({1, ""});
    EXPECT_TRUE(c.keys && c.agent && c.agentFingerprints);
    EXPECT_EQ(model.agent(), AgentStatus::noKeys());
    for (const auto& k : model.keys()) EXPECT_FALSE(k.loaded);

    c = model.applyAgentListing({2, ""});
    EXPECT_TRUE(c.agent);
    EXPECT_FALSE(c.keys || c.agentFingerprints);
}

}  // namespace
}  // namespace quillmar

namespace quillmar {
namespace {

TEST(KeyScanWithConfig, RealConfigurationAndItsIncludes) {
    TempHome h;
    h.write(h.ssh("shared.pub"), kLine);
    h.write(h.ssh("shared"), "s");
    h.write(h.ssh("config"),
            "IdentityFile ~/.ssh/shared\n"
            "Host P\n"
            "  IdentityFile ~/.ssh/shared\n"
            "  IdentityFile ~/.ssh/missing_key\n"
            "Host *\n"
            "  IdentityFile ~/.ssh/shared\n"
            "Include extra.conf\n");
    h.write(h.ssh("extra.conf"),
            "Match host foo\n"
            "  IdentityFile \"%d/.ssh/shared.pub\"\n"
            "Host a b c d\n"
            "  IdentityFile .ssh/many\n"
            "  IdentityFile ~/.ssh/%h\n");
    KeyScanner scanner(h.home(), "me", ConfigSource::forHome(h.home()));
    const auto keys = scanner.scanKeys();
    ASSERT_EQ(names(keys), (std::vector<std::string>{"many", "missing_key", "shared"}));

    const SSHKeyInfo& shared = keys[2];
    EXPECT_EQ(shared.hosts, (std::vector<std::string>{"*", "P", "Match host foo"}));
    EXPECT_EQ(shared.configFile, h.ssh("config"));
    EXPECT_EQ(SSHKeyInfo::usageText(shared), "all hosts (Host *) \u00B7 P, Match host foo");
    EXPECT_FALSE(shared.needsAttention());

    EXPECT_EQ(SSHKeyInfo::usageText(keys[0]), "named for a, b, c, d");
    EXPECT_EQ(keys[0].configFile, h.ssh("extra.conf"));
    EXPECT_EQ(SSHKeyInfo::usageText(keys[1]), "named for P");
    EXPECT_TRUE(keys[1].needsAttention());

    const auto signature = scanner.directorySignature();
    EXPECT_EQ(signature.size(), 3u);
    EXPECT_TRUE(signature.contains(h.ssh("extra.conf")));
}

TEST(KeyScanWithConfig, EditingAnIncludedFileMakesTheNextTickRescan) {
    TempHome h;
    h.write(h.ssh("config"), "Include extra.conf\n");
    h.write(h.ssh("extra.conf"), "");
    KeyStoreModel model(KeyScanner(h.home(), "me", ConfigSource::forHome(h.home())));
    model.reload();
    EXPECT_TRUE(model.keys().empty());
    EXPECT_FALSE(model.timerTick().reloaded);

    // Edited in place: the directory's own date does not move, the file's does.
    h.write(h.ssh("extra.conf"), "Host web\n  IdentityFile ~/.ssh/web_key\n");
    const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, h.ssh("extra.conf").c_str(), later, 0), 0);
    const auto tick = model.timerTick();
    EXPECT_TRUE(tick.reloaded);
    EXPECT_TRUE(tick.changes.keys);
    ASSERT_EQ(model.keys().size(), 1u);
    EXPECT_EQ(model.keys()[0].hosts, (std::vector<std::string>{"web"}));
}

}  // namespace
}  // namespace quillmar
