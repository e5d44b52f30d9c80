#include "platform/Utf8.h"
#include "quillmar/sshkeys/AgentListing.h"
#include "quillmar/sshkeys/KeyScanner.h"
#include "quillmar/sshkeys/PublicKeyLine.h"
#include "quillmar/sshkeys/SSHKeyInfo.h"

#include <gtest/gtest.h>

namespace quillmar {
namespace {

// "hello" in base64; any valid blob serves for the line parser.
constexpr const char* kBlob = "aGVsbG8=";

TEST(PublicKeyLine, FieldsAndComment)
{
    auto k = PublicKeyLine::parse("ssh-ed25519 aGVsbG8= me@host and more\n");
    ASSERT_TRUE(k);
    EXPECT_EQ(k->typeWord, "ssh-ed25519");
    EXPECT_EQ(k->blob, "hello");
    EXPECT_EQ(k->comment, "me@host and more");
    EXPECT_EQ(k->line, "ssh-ed25519 aGVsbG8= me@host and more");

    // Two spaces before the comment keep one of them; spaces lead and repeat
    // freely before the blob.
    k = PublicKeyLine::parse(std::string("   ssh-rsa   ") + kBlob + "  spaced  out");
    ASSERT_TRUE(k);
    EXPECT_EQ(k->comment, " spaced  out");
    EXPECT_EQ(k->line, std::string("   ssh-rsa   ") + kBlob + "  spaced  out");

    // A lone trailing space is no comment.
    k = PublicKeyLine::parse(std::string("ssh-rsa ") + kBlob + " ");
    ASSERT_TRUE(k);
    EXPECT_FALSE(k->comment);
    EXPECT_FALSE(PublicKeyLine::parse(std::string("ssh-rsa ") + kBlob)->comment);

    // Only the first non-empty line counts.
    k = PublicKeyLine::parse(std::string("\n\n\nssh-rsa ") + kBlob + " a\nssh-dss " + kBlob + " b\n");
    ASSERT_TRUE(k);
    EXPECT_EQ(k->typeWord, "ssh-rsa");
    EXPECT_EQ(k->comment, "a");
}

TEST(PublicKeyLine, LinesThatGiveNoKey)
{
    // A line of spaces is the first line and it has no fields.
    EXPECT_FALSE(PublicKeyLine::parse(std::string("   \nssh-rsa ") + kBlob));
    EXPECT_FALSE(PublicKeyLine::parse(""));
    EXPECT_FALSE(PublicKeyLine::parse("\n\n"));
    EXPECT_FALSE(PublicKeyLine::parse("ssh-ed25519"));
    EXPECT_FALSE(PublicKeyLine::parse("ssh-ed25519   \n"));
    // CR LF endings without a comment put the CR into the blob.
    EXPECT_FALSE(PublicKeyLine::parse(std::string("ssh-ed25519 ") + kBlob + "\r\n"));
    // A tab is no separator: it joins the words it sits between.
    EXPECT_FALSE(PublicKeyLine::parse(std::string("ssh-ed25519\t") + kBlob));
    EXPECT_FALSE(PublicKeyLine::parse("ssh-ed25519 not*base64"));
    EXPECT_FALSE(PublicKeyLine::parse("ssh-ed25519 aGVsbG8"));  // unpadded
}

TEST(PublicKeyLine, StrictBase64)
{
    EXPECT_EQ(PublicKeyLine::decodeBase64("aGVsbG8="), "hello");
    EXPECT_EQ(PublicKeyLine::decodeBase64("aGVsbA=="), "hell");
    EXPECT_EQ(PublicKeyLine::decodeBase64("aGVs"), "hel");
    EXPECT_EQ(PublicKeyLine::decodeBase64("+/+/"), std::string("\xfb\xff\xbf", 3));
    EXPECT_FALSE(PublicKeyLine::decodeBase64("aGVsbA="));
    EXPECT_FALSE(PublicKeyLine::decodeBase64("aG=sbA=="));  // padding inside
    EXPECT_FALSE(PublicKeyLine::decodeBase64("aGVs===="));
    EXPECT_FALSE(PublicKeyLine::decodeBase64("aGV-"));  // URL alphabet
    EXPECT_FALSE(PublicKeyLine::decodeBase64("===="));
}

TEST(PublicKeyLine, FingerprintIsUnpaddedSha256)
{
    // SHA-256 of "hello" is 2cf24dba...; its base64 ends in "=".
    EXPECT_EQ(PublicKeyLine::fingerprint("hello"), "SHA256:LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ");
}

TEST(Utf8Text, RejectsWhatIsNotUtf8)
{
    using platform::isValidUtf8;
    EXPECT_TRUE(isValidUtf8("plain \xC3\xA9 \xE2\x80\xA6 \xF0\x9F\x94\x91"));
    EXPECT_FALSE(isValidUtf8("\xC3"));              // cut short
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xFF"));
    EXPECT_EQ(platform::lenientUtf8("a\xFF"
                                    "b\xC3"),
              "a\uFFFD"
              "b\uFFFD");
}

TEST(SSHKeyInfo, TypeLabels)
{
    EXPECT_EQ(SSHKeyInfo::typeLabel("ssh-ed25519"), "ED25519");
    EXPECT_EQ(SSHKeyInfo::typeLabel("sk-ssh-ed25519@openssh.com"), "ED25519-SK");
    EXPECT_EQ(SSHKeyInfo::typeLabel("ssh-rsa"), "RSA");
    EXPECT_EQ(SSHKeyInfo::typeLabel("ssh-dss"), "DSA");
    EXPECT_EQ(SSHKeyInfo::typeLabel("ecdsa-sha2-nistp384"), "ECDSA 384");
    EXPECT_EQ(SSHKeyInfo::typeLabel("ecdsa-sha2-nistp256"), "ECDSA 256");
    EXPECT_EQ(SSHKeyInfo::typeLabel("ecdsa-sha2-x"), "ECDSA ");  // shorter than the curve prefix
    EXPECT_EQ(SSHKeyInfo::typeLabel("sk-ecdsa-sha2-nistp256@openssh.com"), "ECDSA-SK");
    EXPECT_EQ(SSHKeyInfo::typeLabel("ssh-ed448"), "ssh-ed448");
}

SSHKeyInfo pair(const std::string& name, std::vector<std::string> hosts)
{
    SSHKeyInfo k;
    k.name = name;
    k.privatePath = "/h/.ssh/" + name;
    k.hasPrivate = k.hasPublic = true;
    k.hosts = std::move(hosts);
    return k;
}

TEST(SSHKeyInfo, UsageText)
{
    EXPECT_EQ(SSHKeyInfo::usageText(pair("id_ed25519", {})), "default key (tried when a host names none)");
    EXPECT_EQ(SSHKeyInfo::usageText(pair("work", {})), "no host names it");
    EXPECT_EQ(SSHKeyInfo::usageText(pair("work", {"*", "web"})), "all hosts (Host *) \u00B7 web");
    EXPECT_EQ(SSHKeyInfo::usageText(pair("id_rsa", {"*"})), "all hosts (Host *)");
    EXPECT_EQ(SSHKeyInfo::usageText(pair("w", {"a", "b", "Match host c"})), "a, b, Match host c");
    EXPECT_EQ(SSHKeyInfo::usageText(pair("w", {"a", "*", "b", "c", "d"})), "all hosts (Host *) \u00B7 4 hosts");

    SSHKeyInfo missing = pair("gone", {"web"});
    missing.hasPrivate = missing.hasPublic = false;
    EXPECT_EQ(SSHKeyInfo::usageText(missing), "named for web");
    missing.hosts = {"web", "db"};
    EXPECT_EQ(SSHKeyInfo::usageText(missing), "named for web, db");
    missing.hosts.clear();
    EXPECT_EQ(SSHKeyInfo::usageText(missing), "named in your config");
}

TEST(SSHKeyInfo, NeedsAttention)
{
    SSHKeyInfo k = pair("k", {});
    k.privatePerms = 0600;
    EXPECT_FALSE(k.needsAttention());
    k.privatePerms = 0644;
    EXPECT_TRUE(k.needsAttention());
    k.privatePerms = 0601;
    EXPECT_TRUE(k.needsAttention());
    k.privatePerms.reset();  // unreadable attributes are no finding
    EXPECT_FALSE(k.needsAttention());
    k.hasPrivate = false;
    k.privatePerms = 0644;
    EXPECT_FALSE(k.needsAttention());  // public file only
    k.hasPublic = false;
    EXPECT_TRUE(k.needsAttention());
}

TEST(ExpandIdentityPath, TokensAndRelativeValues)
{
    const auto expand = [](std::string_view v) { return KeyScanner::expandIdentityPath(v, "/home/u", "alice"); };
    EXPECT_EQ(expand("~/.ssh/id"), "/home/u/.ssh/id");
    EXPECT_EQ(expand("%d/.ssh/id"), "/home/u/.ssh/id");
    EXPECT_EQ(expand(".ssh/id"), "/home/u/.ssh/id");
    EXPECT_EQ(expand("/keys/%u/id"), "/keys/alice/id");
    EXPECT_EQ(expand("/keys/100%%"), "/keys/100%");
    EXPECT_EQ(expand("~bob/id"), "/home/u/~bob/id");
    EXPECT_EQ(expand("~"), "/home/u/~");
    EXPECT_FALSE(expand("~/.ssh/%h"));
    EXPECT_FALSE(expand("/k/%r_%u"));
    EXPECT_FALSE(expand("/k/50%"));
    // "%%d" is a literal "%d", not the home folder.
    EXPECT_EQ(expand("/k/%%d"), "/k/%d");
    // A "%" in the home folder itself is not a token.
    EXPECT_EQ(KeyScanner::expandIdentityPath("~/id", "/home/50%d", "u"), "/home/50%d/id");
}

AgentListing listing(int status, std::optional<std::string> out)
{
    return AgentListing{status, std::move(out)};
}

TEST(AgentAnswer, StatusAndFingerprints)
{
    auto a = AgentAnswer::from(listing(0, "256 SHA256:aaa me@a (ED25519)\n3072 SHA256:bbb  spaced comment (RSA)\n"));
    EXPECT_EQ(a.status, AgentStatus::loadedKeys(2));
    EXPECT_EQ(a.fingerprints, (std::set<std::string>{"SHA256:aaa", "SHA256:bbb"}));
    EXPECT_EQ(a.status.label(), "ssh-agent: 2 keys loaded");

    // The same key twice counts once.
    a = AgentAnswer::from(listing(0, "256 SHA256:aaa x (ED25519)\n256 SHA256:aaa y (ED25519)\n"));
    EXPECT_EQ(a.status, AgentStatus::loadedKeys(1));
    EXPECT_EQ(a.status.label(), "ssh-agent: 1 key loaded");

    // Odd shapes: blank lines, leading spaces, one-field lines, no final LF.
    a = AgentAnswer::from(listing(0, "\n  256   SHA256:ccc\nlonely\n\n4096 SHA256:ddd"));
    EXPECT_EQ(a.fingerprints, (std::set<std::string>{"SHA256:ccc", "SHA256:ddd"}));

    a = AgentAnswer::from(listing(0, ""));
    EXPECT_EQ(a.status, AgentStatus::loadedKeys(0));
    EXPECT_EQ(a.status.label(), "ssh-agent: 0 keys loaded");
}

TEST(AgentAnswer, FailuresLeaveNoFingerprints)
{
    auto a = AgentAnswer::from(listing(1, "The agent has no identities.\n"));
    EXPECT_EQ(a.status, AgentStatus::noKeys());
    EXPECT_TRUE(a.fingerprints.empty());
    EXPECT_EQ(a.status.label(), "ssh-agent: no keys loaded");

    a = AgentAnswer::from(listing(2, "256 SHA256:aaa x (ED25519)\n"));
    EXPECT_EQ(a.status, AgentStatus::notReachable());
    EXPECT_TRUE(a.fingerprints.empty());
    EXPECT_EQ(a.status.label(), "ssh-agent: not reachable");

    EXPECT_EQ(AgentAnswer::from(listing(0, std::nullopt)).status, AgentStatus::notReachable());
    EXPECT_EQ(AgentStatus::unknownYet().label(), "ssh-agent: checking\u2026");
    // Equality ignores the count except for loaded.
    EXPECT_EQ((AgentStatus{AgentStatus::Kind::empty, 3}), AgentStatus::noKeys());
    EXPECT_NE(AgentStatus::loadedKeys(1), AgentStatus::loadedKeys(2));
}

}  // namespace
}  // namespace quillmar
