#include "quillmar/sshkeys/KeyNameOrder.h"
#include "quillmar/sshkeys/KeyScanner.h"
#include "quillmar/sshkeys/KeyStoreModel.h"
#include "quillmar/sshkeys/PublicKeyLine.h"

#include "KeyTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <future>

namespace quillmar {
namespace {

using testing::TempHome;

constexpr const char* kLine = "ssh-ed25519 aGVsbG8= c";

KeyScanner scannerFor(const TempHome& h)
{
    return KeyScanner(h.home(), "me", ConfigSource::forHome(h.home()));
}

const SSHKeyInfo* find(const std::vector<SSHKeyInfo>& keys, const std::string& name)
{
    auto it = std::find_if(keys.begin(), keys.end(), [&](const SSHKeyInfo& k) { return k.name == name; });
    return it == keys.end() ? nullptr : &*it;
}

std::vector<std::string> names(const std::vector<SSHKeyInfo>& keys)
{
    std::vector<std::string> out;
    for (const auto& k : keys)
        out.push_back(k.name);
    return out;
}

TEST(KeyScan, RealKeysHaveTheirTypeAndTheFingerprintSshKeygenPrints)
{
    TempHome h;
    ASSERT_TRUE(testing::keygen(h.ssh("id_ed25519"), {"-t", "ed25519"}, "me@box"));
    ASSERT_TRUE(testing::keygen(h.ssh("old_rsa"), {"-t", "rsa", "-b", "2048"}, "rsa key with spaces"));
    ASSERT_TRUE(testing::keygen(h.ssh("p384"), {"-t", "ecdsa", "-b", "384"}, ""));
    const auto keys = scannerFor(h).scanKeys();
    ASSERT_EQ(keys.size(), 3u);

    struct Want {
        const char* name;
        const char* type;
        std::optional<std::string> comment;
    };
    for (const Want& w : {Want{"id_ed25519", "ED25519", "me@box"}, Want{"old_rsa", "RSA", "rsa key with spaces"},
                          Want{"p384", "ECDSA 384", std::nullopt}}) {
        SCOPED_TRACE(w.name);
        const SSHKeyInfo* k = find(keys, w.name);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->type, w.type);
        EXPECT_EQ(k->fingerprint, testing::keygenFingerprint(h.ssh(w.name) + ".pub"));
        EXPECT_EQ(k->comment, w.comment);
        EXPECT_EQ(k->privatePath, h.ssh(w.name));
        EXPECT_TRUE(k->hasPrivate && k->hasPublic);
        EXPECT_EQ(k->privatePerms, 0600);
        EXPECT_TRUE(k->hosts.empty());
    }
    EXPECT_EQ(SSHKeyInfo::usageText(*find(keys, "id_ed25519")), "default key (tried when a host names none)");
    EXPECT_EQ(SSHKeyInfo::usageText(*find(keys, "old_rsa")), "no host names it");
}

TEST(KeyScan, OpenPrivateKeySortsFirstAndPublicOnlyDoesNot)
{
    TempHome h;
    for (const char* n : {"alpha", "beta", "zeta"})
        h.write(h.ssh(n) + ".pub", kLine, 0644);
    h.write(h.ssh("alpha"), "secret", 0600);
    h.write(h.ssh("zeta"), "secret", 0644);
    const auto keys = scannerFor(h).scanKeys();
    EXPECT_EQ(names(keys), (std::vector<std::string>{"zeta", "alpha", "beta"}));
    EXPECT_EQ(keys[0].privatePerms, 0644);
    EXPECT_FALSE(keys[2].hasPrivate);
    EXPECT_FALSE(keys[2].privatePerms);
}

TEST(KeyScan, HostileEntriesGiveNoKeyAndNeverBlock)
{
    TempHome h;
    ASSERT_EQ(::mkfifo(h.ssh("fifo.pub").c_str(), 0600), 0);
    std::filesystem::create_directory(h.ssh("dir.pub"));
    h.write(h.ssh("latin1.pub"), "ssh-rsa aGVsbG8= caf\xE9");
    h.write(h.ssh("blank.pub"), "\n\n\n");
    h.write(h.ssh("crlf.pub"), "ssh-rsa aGVsbG8=\r\n");
    h.write(h.ssh("huge.pub"), std::string("ssh-rsa aGVsbG8= ") + std::string(KeyScanner::kMaxPublicFileBytes, 'x'));
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
    EXPECT_EQ(names(scan.get()), (std::vector<std::string>{"good"}));
}

TEST(KeyScan, ConfigurationAndItsIncludesJoinHostsToKeys)
{
    TempHome h;
    h.write(h.ssh("shared.pub"), kLine);
    h.write(h.ssh("shared"), "s");
    h.write(h.ssh("lonely"), "s", 0640);
    h.write(h.ssh("config"), "IdentityFile ~/.ssh/shared\n"
                             "Host P\n"
                             "  IdentityFile ~/.ssh/shared\n"
                             "  IdentityFile ~/.ssh/missing_key\n"
                             "Host *\n"
                             "  IdentityFile ~/.ssh/shared\n"
                             "Include extra.conf\n");
    h.write(h.ssh("extra.conf"),
            "Match host foo\n"
            "  IdentityFile \"%d/.ssh/shared.pub\"\n"  // the public file names the key
            "Host a b c d\n"
            "  IdentityFile .ssh/lonely\n"
            "  IdentityFile ~/.ssh/%h\n"          // unknown token: ignored
            "  IdentityFile ~/.ssh/./shared\n");  // no normalising: another key
    const auto keys = scannerFor(h).scanKeys();
    ASSERT_EQ(names(keys), (std::vector<std::string>{"lonely", "missing_key", "shared", "shared"}));

    const SSHKeyInfo& missing = keys[1];
    EXPECT_FALSE(missing.hasPrivate || missing.hasPublic);
    EXPECT_EQ(SSHKeyInfo::usageText(missing), "named for P");

    const SSHKeyInfo& lonely = keys[0];
    EXPECT_TRUE(lonely.needsAttention());
    EXPECT_EQ(lonely.privatePerms, 0640);
    EXPECT_FALSE(lonely.hasPublic);
    EXPECT_FALSE(lonely.fingerprint);
    EXPECT_EQ(SSHKeyInfo::usageText(lonely), "4 hosts");
    EXPECT_EQ(lonely.configFile, h.ssh("extra.conf"));

    // Equal names are ordered by path: "/./shared" before "/shared".
    EXPECT_EQ(keys[2].privatePath, h.ssh() + "/./shared");
    const SSHKeyInfo& shared = keys[3];
    EXPECT_EQ(shared.hosts, (std::vector<std::string>{"*", "P", "Match host foo"}));
    EXPECT_EQ(shared.configFile, h.ssh("config"));
    EXPECT_EQ(SSHKeyInfo::usageText(shared), "all hosts (Host *) \u00B7 P, Match host foo");
}

SSHKeyInfo named(const std::string& name, const std::string& path)
{
    SSHKeyInfo k;
    k.name = name;
    k.privatePath = path;
    k.hasPublic = true;
    return k;
}

TEST(KeyNameOrder, CaseInsensitiveNumericAndStable)
{
    KeyNameOrder order;
    std::vector<SSHKeyInfo> keys{named("key10", "/a"), named("Key2", "/b"), named("key1", "/c"),
                                 named("ID", "/z"),    named("id", "/y"),   named("beta", "/d")};
    for (int round = 0; round < 2; ++round) {
        std::sort(keys.begin(), keys.end(), std::cref(order));
        EXPECT_EQ(names(keys), (std::vector<std::string>{"beta", "id", "ID", "key1", "Key2", "key10"}));
        std::reverse(keys.begin(), keys.end());  // the input order must not matter
    }
    EXPECT_EQ(order.compareNames("a2", "A02"), 0);
}

void touchLater(const std::string& path)
{
    const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), later, 0);
}

TEST(KeyStoreModel, TicksRescanOnChangeAndAskTheAgentEveryFifth)
{
    TempHome h;
    h.write(h.ssh("k"), "s");
    h.write(h.ssh("config"), "Include extra.conf\n");
    h.write(h.ssh("extra.conf"), "");
    KeyStoreModel model(scannerFor(h));
    EXPECT_FALSE(model.reload().keys);  // nothing there, nothing changed
    EXPECT_EQ(model.signature().size(), 3u);
    ::chmod(h.ssh("k").c_str(), 0644);  // permissions alone change nothing
    for (int i = 1; i <= 4; ++i) {
        auto t = model.timerTick();
        EXPECT_FALSE(t.reloaded || t.agentDue);
    }
    h.write(h.ssh("k.pub"), kLine);
    touchLater(h.ssh());
    auto t = model.timerTick();
    EXPECT_TRUE(t.reloaded && t.agentDue && t.changes.keys);
    ASSERT_EQ(model.keys().size(), 1u);

    // An included file edited in place moves only its own date.
    h.write(h.ssh("extra.conf"), "Host web\n  IdentityFile ~/.ssh/k\n");
    touchLater(h.ssh("extra.conf"));
    t = model.timerTick();
    EXPECT_TRUE(t.reloaded && t.changes.keys);
    EXPECT_FALSE(t.agentDue);
    EXPECT_EQ(model.keys()[0].hosts, (std::vector<std::string>{"web"}));
}

TEST(KeyStoreModel, AgentAnswersMarkKeysAndNotifyOnlyOnChange)
{
    TempHome h;
    h.write(h.ssh("id_ed25519.pub"), "ssh-ed25519 aGVsbG8= a");
    h.write(h.ssh("other.pub"), "ssh-ed25519 aGVsbA== b");
    h.write(h.ssh("config"), "IdentityFile ~/.ssh/nopub\n");
    KeyStoreModel model(scannerFor(h));
    EXPECT_TRUE(model.reload().keys);
    const std::string fp = PublicKeyLine::fingerprint("hello");

    auto c = model.applyAgentListing({0, "256 " + fp + " a (ED25519)\n256 SHA256:elsewhere z (RSA)\n"});
    EXPECT_TRUE(c.keys && c.agent && c.agentFingerprints);
    EXPECT_EQ(model.agent().label(), "ssh-agent: 2 keys loaded");
    for (const auto& k : model.keys())
        EXPECT_EQ(k.loaded, k.name == "id_ed25519") << k.name;

    // The same answer again changes nothing; a rescan keeps the marks.
    c = model.applyAgentListing({0, "256 SHA256:elsewhere z (RSA)\n256 " + fp + " a (ED25519)\n"});
    EXPECT_FALSE(c.keys || c.agent || c.agentFingerprints);
    EXPECT_FALSE(model.reload().keys);

    c = model.applyAgentListing({1, ""});
    EXPECT_TRUE(c.keys && c.agent && c.agentFingerprints);
    for (const auto& k : model.keys())
        EXPECT_FALSE(k.loaded);
    c = model.applyAgentListing({2, ""});
    EXPECT_TRUE(c.agent);
    EXPECT_FALSE(c.keys || c.agentFingerprints);
}

}  // namespace
}  // namespace quillmar
