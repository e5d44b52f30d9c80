#include "quillmar/sshconfig/SSHConfigReader.h"
#include "quillmar/sshconfig/SSHConfigWriter.h"
#include "quillmar/sshconfig/tests/support/TestHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

using quillmar::HostEntry;
using quillmar::SSHConfigReader;
using quillmar::SSHConfigWriter;
using quillmar::test::TestHome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

HostEntry entry(std::string alias, std::string hostName)
{
    HostEntry e;
    e.alias = std::move(alias);
    e.hostName = std::move(hostName);
    return e;
}

std::vector<std::string> problems(const TestHome& h, const HostEntry& e, std::set<std::string> known = {})
{
    return SSHConfigWriter(h.paths()).validate(e, known);
}

// A clock stuck at one moment, 2026-03-04 05:06:07 UTC.
SSHConfigWriter::Clock fixedClock()
{
    return [] { return std::time_t(1772600767); };
}

void setMtime(const std::string& path, std::time_t t)
{
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    ::utimes(path.c_str(), tv);
}

}  // namespace

TEST(SSHConfigWriterValidate, MessagesComeInFieldOrder)
{
    TestHome h;
    HostEntry e;
    e.port = "0";
    EXPECT_THAT(problems(h, e),
                ElementsAre("Alias is required.", "HostName is required.", "Port must be a number from 1 to 65535."));
    for (const char* bad : {"my host", "web*", "a?", "!a", "a#b", "a\"b", "it's", "tab\there", "nb\xC2\xA0sp"}) {
        EXPECT_THAT(problems(h, entry(bad, "h"), {bad}),
                    ElementsAre("Alias can't contain spaces or * ? ! # or quotes."))
            << bad;
    }
    EXPECT_THAT(problems(h, entry("web", "h"), {"web"}),
                ElementsAre("web already exists in your SSH config. Pick another alias."));
    EXPECT_THAT(problems(h, entry("web", "h"), {"db", "Web"}),
                ElementsAre("web differs from Web in your SSH config only in letter case. Pick another alias."));
    EXPECT_THAT(problems(h, entry("-oProxyCommand=x", "h")), ElementsAre("Alias can't start with a hyphen."));
    EXPECT_THAT(problems(h, entry("web", "a b")), ElementsAre("HostName can't contain spaces."));

    HostEntry u = entry("web", "h");
    u.user = "a b";
    u.proxyJump = "j1, j2";
    EXPECT_THAT(problems(h, u),
                ElementsAre("User can't contain spaces.", "ProxyJump can't contain spaces (use commas between hops)."));
}

TEST(SSHConfigWriterValidate, PortsAndKeyFiles)
{
    TestHome h;
    for (const char* ok : {"22", "+2222", "022", "1", "65535"}) {
        HostEntry e = entry("web", "h");
        e.port = ok;
        EXPECT_THAT(problems(h, e), IsEmpty()) << ok;
    }
    for (const char* bad : {"0", "65536", "-5", "22a", " 22", "2 2", "+", "", "99999999999999999999999"}) {
        HostEntry e = entry("web", "h");
        e.port = bad;
        EXPECT_EQ(problems(h, e).size(), std::string(bad).empty() ? 0u : 1u) << bad;
    }
    h.writeSsh("id_ed25519", "key");
    HostEntry k = entry("web", "h");
    k.identityFile = "~/.ssh/id_ed25519";
    EXPECT_THAT(problems(h, k), IsEmpty());
    k.identityFile = "~/.ssh";  // a folder passes
    EXPECT_THAT(problems(h, k), IsEmpty());
    k.identityFile = "~/.ssh/missing";
    EXPECT_THAT(problems(h, k), ElementsAre("Key file not found: ~/.ssh/missing"));
}

TEST(SSHConfigWriterValidate, ValuesThatCannotBeWrittenSafelyAreRefused)
{
    TestHome h;
    HostEntry e = entry("web", "h\x01");
    e.user = "a\\b";
    e.identityFile = "/tmp/\"k\"";
    e.proxyJump = "j\x7f";
    EXPECT_THAT(problems(h, e),
                ElementsAre("HostName can't contain double quotes, backslashes or control characters.",
                            "User can't contain double quotes, backslashes or control characters.",
                            "Key file path can't contain double quotes, backslashes or control characters.",
                            "ProxyJump can't contain double quotes, backslashes or control characters."));
    EXPECT_THAT(problems(h, entry("bad\xFF", "h")),
                ElementsAre("Alias can't contain double quotes, backslashes or control characters."));
}

// ssh checks ProxyJump in every block, so one bad value breaks every host.
TEST(SSHConfigWriterValidate, ProxyJumpIsRefusedUnlessSafeForSsh)
{
    TestHome h;
    const std::string shape =
        "ProxyJump must be none or hosts like bastion, user@bastion:2222 or [::1]:22, separated by commas.";
    const std::string port = "ProxyJump ports must be numbers from 1 to 65535.";
    // Option-like, no user or host, zero or too large ports, URL with IPv6, trailing commas.
    const std::pair<const char*, std::string> refused[] = {
        {"-oProxyCommand=x", shape}, {"@h", shape},     {"h:0", port},
        {"ssh://[::1]:22", shape},   {"u@", shape},     {"a,", shape},
        {"[::1]x", shape},           {"h:65536", port},
    };
    for (const auto& [value, sentence] : refused) {
        HostEntry e = entry("web", "h");
        e.proxyJump = value;
        EXPECT_THAT(problems(h, e), ElementsAre(sentence)) << value;
    }
    // Whatever passes is read back by ssh as written (the URL form without its scheme).
    SSHConfigWriter w(h.paths());
    int n = 0;
    for (const char* value : {"bastion", "user@bastion:2222", "[::1]:22", "a,b", "u@[::1]", "ssh://u@b.example:22",
                              "h_1.x-y:022,[2001:db8::1]", "alice@corp.com@bastion", "jump+eu,box~1:2222"}) {
        HostEntry e = entry("web" + std::to_string(++n), "h");
        e.proxyJump = value;
        EXPECT_THAT(problems(h, e), IsEmpty()) << value;
        ASSERT_TRUE(w.appendHost(e)) << value;
        const std::string shown = std::string_view(value).starts_with("ssh://") ? value + 6 : value;
        EXPECT_EQ(h.sshValue(e.alias, "proxyjump", "quillmar_config"), shown);
    }
    HostEntry none = entry("web", "h");
    none.proxyJump = "None";
    EXPECT_THAT(problems(h, none), IsEmpty());
}

// Each verdict on a ProxyJump value matches ssh's own reading of it, except
// where the value would reach the shell that runs the jump unsafely.
TEST(SSHConfigWriterValidate, ProxyJumpVerdictsMatchSsh)
{
    TestHome h;
    enum Verdict { accepted, refused, unsafe };  // unsafe: ssh reads it, we refuse on purpose
    const std::pair<const char*, Verdict> table[] = {
        {"alice@corp.com@bastion", accepted},
        {"a@@b", accepted},
        {"jump+eu", accepted},
        {"box~1", accepted},
        {"b\xC3\xBCro", accepted},
        {"a%b=c!d", accepted},
        {"[::1]:22", accepted},
        {"u@[::1]", accepted},
        {"[fe80::1%eth0]:22", accepted},
        {"h:1", accepted},
        {"h:65535", accepted},
        {"h:+22", accepted},
        {"h:022", accepted},
        {"h:", accepted},
        {"ssh://u@h:22", accepted},
        {"ssh://a_b", accepted},
        {"ssh://u@h:", accepted},
        {"ssh://h/", accepted},
        {"a,b,c", accepted},
        {"none", accepted},
        {"NONE", accepted},
        {"u@h:22,v@[2001:db8::1]:2", accepted},
        {"h:0", refused},
        {"h:65536", refused},
        {"h:99999999999", refused},
        {"h:-0", refused},
        {"h:0x16", refused},
        {"h:nosuchservice", refused},
        {"@h", refused},
        {"u@", refused},
        {"@", refused},
        {",", refused},
        {"a,", refused},
        {"a,,b", refused},
        {"a/b", refused},
        {"a/22", refused},
        {"a:b:c", refused},
        {"::1", refused},
        {"[::1", refused},
        {"[::1]x", refused},
        {"a'b", refused},
        {"ssh://[::1]:22", refused},
        {"ssh://@h", refused},
        {"ssh://jump+eu", refused},
        {"ssh://h/x", refused},
        {"ssh://h:0", refused},
        {"ssh://a@b@c", refused},
        {"a;b", unsafe},
        {"a$b", unsafe},
        {"a`b`", unsafe},
        {"a|b", unsafe},
        {"a&b", unsafe},
        {"a<b", unsafe},
        {"a>b", unsafe},
        {"a(b)", unsafe},
        {"a{b}", unsafe},
        {"a*b", unsafe},
        {"a?b", unsafe},
        {"a#b", unsafe},
        {"-a", unsafe},
        {"a,-b", unsafe},
        {"-u@h", unsafe},
        {"u@-h", unsafe},
        {"~root", unsafe},
        {"x;touch${IFS}pwned", unsafe},
        {"ssh://u;x@h", unsafe},
    };
    const bool haveSsh = ::access("/usr/bin/ssh", X_OK) == 0;
    for (const auto& [value, verdict] : table) {
        HostEntry e = entry("web", "h");
        e.proxyJump = value;
        EXPECT_EQ(problems(h, e).empty(), verdict == accepted) << value;
        if (!haveSsh)
            continue;
        h.writeSsh("probe", std::string("Host x\n  ProxyJump ") + value + "\n");
        const bool sshReads = !h.sshG("x", "probe").count("error");
        EXPECT_EQ(sshReads, verdict != refused) << value;
    }
}

TEST(SSHConfigWriterValidate, AliasesSshWouldReadDifferently)
{
    TestHome h;
    EXPECT_THAT(problems(h, entry("=x", "h")), ElementsAre("Alias can't start with an equals sign."));
    for (const char* bad : {"a,b", "me@web", "a;b", "a$b", "a|b", "a`b`", "a(b)", "a{b}", "a<b", "a&b"})
        EXPECT_THAT(problems(h, entry(bad, "h")),
                    ElementsAre("Alias can't contain commas, @ or any of $ & ; | < > ( ) { } `."))
            << bad;
    for (const char* ok : {"a=b", "web:22", "web.example-1_2", "x%y"})
        EXPECT_THAT(problems(h, entry(ok, "h")), IsEmpty()) << ok;
    // Drawn reordered or not at all, these would make the name read as another.
    for (const char* bad :
         {"zz\u202Egnp.exe", "a\u2066b", "a\u200Eb", "a\u061Cb", "pay\u200Bpal", "a\uFEFF", "a\U000E0041"})
        EXPECT_THAT(
            problems(h, entry(bad, "h")),
            ElementsAre("Alias can't contain invisible characters or characters that change the direction of text."))
            << bad;
    EXPECT_THAT(problems(h, entry("\u05E9\u05E8\u05EA-1", "h")), IsEmpty());
}

TEST(SSHConfigWriterRender, BlockLinesAndQuoting)
{
    HostEntry e = entry("web", "10.0.0.5");
    EXPECT_EQ(SSHConfigWriter::renderHostBlock(e), "Host web\n    HostName 10.0.0.5\n");
    e.user = "deploy";
    e.port = "22";
    e.identityFile = "~/.ssh/id_ed25519";
    e.proxyJump = "jump1,jump2";
    EXPECT_EQ(SSHConfigWriter::renderHostBlock(e),
              "Host web\n    HostName 10.0.0.5\n    User deploy\n    IdentityFile ~/.ssh/id_ed25519\n"
              "    ProxyJump jump1,jump2\n");
    e.port = "+2222";
    e.identityFile = "~/my keys/id";
    EXPECT_THAT(SSHConfigWriter::renderHostBlock(e),
                ::testing::HasSubstr("    Port +2222\n    IdentityFile \"~/my keys/id\"\n"));
    EXPECT_EQ(SSHConfigWriter::quoteValue("o'brien"), "\"o'brien\"");
    EXPECT_EQ(SSHConfigWriter::quoteValue("#key"), "\"#key\"");
    EXPECT_EQ(SSHConfigWriter::quoteValue("a#b"), "a#b");
}

TEST(SSHConfigWriterInclude, RecognisedOnlyInTheHeader)
{
    TestHome h;
    SSHConfigWriter w(h.paths());
    EXPECT_FALSE(w.includePresentAtTop());
    auto check = [&](const std::string& text) {
        h.writeSsh("config", text);
        return w.includePresentAtTop();
    };
    EXPECT_TRUE(check("# mine\nServerAliveInterval 30\n   INCLUDE quillmar_config\nHost a\n"));
    EXPECT_TRUE(check("Include ~/.ssh/quillmar_config\n"));
    EXPECT_TRUE(check("Include=quillmar_config\n"));
    EXPECT_FALSE(check("# Include quillmar_config\nHost a\n"));
    EXPECT_FALSE(check("Include QUILLMAR_CONFIG\n"));
    EXPECT_FALSE(check("Host a\nInclude quillmar_config\n"));
    EXPECT_FALSE(check("match all\nInclude quillmar_config\n"));
    EXPECT_FALSE(check("Include quillmar_config\xFF\n"));
}

TEST(SSHConfigWriterSave, FirstSaveWithoutConfig)
{
    TestHome h;
    SSHConfigWriter w(h.paths());
    auto added = w.addInclude();
    ASSERT_TRUE(added) << added.error().message;
    EXPECT_FALSE(added.value().has_value());
    EXPECT_EQ(h.readSsh("config"), "# Added by quillmar: hosts you add in quillmar live in ~/.ssh/quillmar_config\n"
                                   "Include quillmar_config\n");
    EXPECT_EQ(TestHome::mode(h.ssh("config")), 0600u);
    EXPECT_TRUE(w.includePresentAtTop());

    HostEntry e = entry("lab", "lab.example");
    e.user = "o'brien";
    e.port = "2222";
    ASSERT_TRUE(w.appendHost(e));
    EXPECT_EQ(h.readSsh("quillmar_config"), std::string(SSHConfigWriter::kOwnFileHeader) + "\n" +
                                                "Host lab\n    HostName lab.example\n    User \"o'brien\"\n"
                                                "    Port 2222\n");
    EXPECT_EQ(std::string(SSHConfigWriter::kOwnFileHeader).size(), 181u);
    EXPECT_EQ(h.sshValue("lab", "hostname"), "lab.example");
    EXPECT_EQ(h.sshValue("lab", "user"), "o'brien");
    EXPECT_EQ(h.sshValue("lab", "port"), "2222");
    EXPECT_THAT(h.backups(), IsEmpty());  // appending makes no copy
}

TEST(SSHConfigWriterSave, ExistingHostsResolveAsBefore)
{
    TestHome h;
    h.writeSsh("config",
               "ServerAliveInterval 30\n\nHost work \"my box\"\n    HostName work.example\n    User me\n"
               "Include conf.d/*\nHost *\n    Port 2200\n",
               0644);
    h.writeSsh("conf.d/x", "Host extra\n    HostName extra.example\n");
    h.writeSsh("id key", "k");
    SSHConfigReader reader(h.paths());
    auto before = reader.loadHostList().aliases;
    std::map<std::string, std::multimap<std::string, std::string>> resolved;
    for (const auto& a : before)
        resolved[a] = h.sshG(a);

    SSHConfigWriter w(h.paths());
    ASSERT_FALSE(w.includePresentAtTop());
    auto added = w.addInclude();
    ASSERT_TRUE(added) << added.error().message;
    ASSERT_TRUE(added.value().has_value());
    EXPECT_EQ(TestHome::read(*added.value()).substr(0, 22), "ServerAliveInterval 30");
    EXPECT_EQ(TestHome::mode(h.ssh("config")), 0644u);
    HostEntry e = entry("new-host", "new.example");
    e.identityFile = "~/.ssh/id key";
    ASSERT_TRUE(w.appendHost(e));

    EXPECT_THAT(reader.loadHostList().aliases, ElementsAre("extra", "my box", "new-host", "work"));
    for (const auto& a : before)
        EXPECT_EQ(h.sshG(a), resolved[a]) << a;
    auto g = h.sshG("new-host");
    EXPECT_EQ(g.find("hostname")->second, "new.example");
    EXPECT_EQ(g.find("port")->second, "2200");  // "Host *" below still applies
    EXPECT_EQ(g.find("identityfile")->second, "~/.ssh/id key");
}

TEST(SSHConfigWriterSave, AppendSpacingAndLineEndings)
{
    TestHome h;
    SSHConfigWriter w(h.paths());
    h.writeSsh("quillmar_config", "Host a\n    HostName a");
    ASSERT_TRUE(w.appendHost(entry("b", "b")));
    EXPECT_EQ(h.readSsh("quillmar_config"), "Host a\n    HostName a\n\nHost b\n    HostName b\n");
    h.writeSsh("quillmar_config", "Host a\n\n");
    ASSERT_TRUE(w.appendHost(entry("b", "b")));
    EXPECT_EQ(h.readSsh("quillmar_config"), "Host a\n\nHost b\n    HostName b\n");
    h.writeSsh("quillmar_config", "");
    ASSERT_TRUE(w.appendHost(entry("b", "b")));
    EXPECT_EQ(h.readSsh("quillmar_config"), "\nHost b\n    HostName b\n");

    h.writeSsh("quillmar_config", "Host a\r\n");
    ASSERT_TRUE(w.appendHost(entry("b", "b")));
    EXPECT_EQ(h.readSsh("quillmar_config"), "Host a\r\n\r\nHost b\r\n    HostName b\r\n");
    h.writeSsh("config", "Host c\r\n");
    ASSERT_TRUE(w.addInclude());
    EXPECT_EQ(h.readSsh("config"),
              std::string(SSHConfigWriter::kIncludeComment) + "\r\nInclude quillmar_config\r\n\r\nHost c\r\n");
}

TEST(SSHConfigWriterSave, UnreadableFilesAreNeverReplaced)
{
    TestHome h;
    SSHConfigWriter w(h.paths());
    const std::string latin1 = "Host caf\xE9\n";
    h.writeSsh("config", latin1);
    auto added = w.addInclude();
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().message, "Couldn't read config: it isn't UTF-8 text, so quillmar won't rewrite it.");
    EXPECT_EQ(h.readSsh("config"), latin1);
    EXPECT_THAT(h.backups(), IsEmpty());

    h.writeSsh("quillmar_config", latin1);
    auto appended = w.appendHost(entry("b", "b"));
    ASSERT_FALSE(appended);
    EXPECT_EQ(h.readSsh("quillmar_config"), latin1);

    std::filesystem::remove(h.ssh("quillmar_config"));
    ASSERT_EQ(::mkfifo(h.ssh("quillmar_config").c_str(), 0600), 0);
    appended = w.appendHost(entry("b", "b"));
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error().message, "Couldn't read quillmar_config: not a regular file.");
}

TEST(SSHConfigWriterBackup, NamesClashesAndPruning)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    TestHome h;
    h.writeSsh("config", "Host a\n", 0644);
    h.writeSsh("quillmar_config", "Host q\n");
    SSHConfigWriter w(h.paths(), fixedClock());

    auto first = w.backup(h.ssh("config"));
    auto second = w.backup(h.ssh("config"));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first.value(), h.ssh("quillmar-backups/config.03042026-050607"));
    EXPECT_EQ(second.value(), h.ssh("quillmar-backups/config.03042026-050607-2"));
    EXPECT_EQ(TestHome::mode(first.value()), 0600u);
    EXPECT_EQ(TestHome::mode(h.ssh("quillmar-backups")), 0700u);
    EXPECT_EQ(TestHome::read(first.value()), "Host a\n");

    // 25 older copies of config and 3 of the own file.
    std::filesystem::remove(first.value());
    std::filesystem::remove(second.value());
    for (int i = 0; i < 25; ++i) {
        std::string p =
            h.ssh("quillmar-backups/config.0101200" + std::to_string(i % 10) + "-0000" + std::to_string(10 + i));
        h.write(p, "old");
        setMtime(p, 1000000 + i * 100);
    }
    for (int i = 0; i < 3; ++i)
        h.write(h.ssh("quillmar-backups/quillmar_config.01012000-00000" + std::to_string(i)), "q");
    auto fresh = SSHConfigWriter(h.paths()).backup(h.ssh("config"));
    ASSERT_TRUE(fresh);
    auto names = h.backups();
    EXPECT_EQ(names.size(), 23u);
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](auto& n) { return n.rfind("config.", 0) == 0; }), 20);
    EXPECT_TRUE(TestHome::exists(fresh.value()));
    // The six oldest went.
    for (int i = 0; i < 6; ++i)
        EXPECT_FALSE(TestHome::exists(
            h.ssh("quillmar-backups/config.0101200" + std::to_string(i % 10) + "-0000" + std::to_string(10 + i))));
}

TEST(SSHConfigWriterSafety, SymlinkedConfigStaysALink)
{
    TestHome h;
    h.write(h.path("dotfiles/ssh_config"), "Host dot\n    HostName dot.example\n", 0640);
    std::filesystem::create_symlink("../dotfiles/ssh_config", h.ssh("config"));
    SSHConfigWriter w(h.paths());
    auto added = w.addInclude();
    ASSERT_TRUE(added) << added.error().message;
    EXPECT_TRUE(std::filesystem::is_symlink(h.ssh("config")));
    EXPECT_EQ(TestHome::mode(h.path("dotfiles/ssh_config")), 0640u);
    EXPECT_THAT(TestHome::read(h.path("dotfiles/ssh_config")), ::testing::StartsWith("# Added by quillmar"));
    EXPECT_EQ(TestHome::read(*added.value()), "Host dot\n    HostName dot.example\n");
    EXPECT_EQ(h.sshValue("dot", "hostname"), "dot.example");
}

TEST(SSHConfigWriterSafety, ReadOnlySshFolderChangesNothing)
{
    TestHome h;
    const std::string original = "Host a\n    HostName a.example\n";
    h.writeSsh("config", original);
    auto attempt = [&](const std::function<std::string()>& op) {
        ::chmod(h.ssh("").c_str(), 0500);
        return h.runUnprivileged(op);
    };
    std::string addMsg = attempt([&] {
        auto r = SSHConfigWriter(h.paths()).addInclude();
        return r ? std::string("succeeded") : r.error().message;
    });
    EXPECT_EQ(addMsg, "Couldn't back up config: Permission denied.");
    std::string appendMsg = attempt([&] {
        auto r = SSHConfigWriter(h.paths()).appendHost(entry("b", "b"));
        return r ? std::string("succeeded") : r.error().message;
    });
    EXPECT_EQ(appendMsg, "Couldn't write quillmar_config: Permission denied.");
    ::chmod(h.ssh("").c_str(), 0700);
    EXPECT_EQ(h.readSsh("config"), original);
    EXPECT_FALSE(TestHome::exists(h.ssh("quillmar_config")));
    EXPECT_FALSE(h.temporaryLeft());
}

// A text ssh would refuse never replaces a file, whatever let it through.
TEST(SSHConfigWriterCheck, TextsSshRefusesAreNeverWritten)
{
    TestHome h;
    SSHConfigWriter w(h.paths());
    // Passes our checks, but ssh can't expand the host name when it is used.
    HostEntry bad = entry("web", "h%q");
    ASSERT_THAT(problems(h, bad), IsEmpty());
    auto refused = w.appendHost(bad);
    ASSERT_FALSE(refused);
    EXPECT_THAT(refused.error().message,
                ::testing::StartsWith("ssh would refuse ~/.ssh/quillmar_config with this change"));
    EXPECT_THAT(refused.error().message, ::testing::EndsWith(" Nothing was changed."));
    EXPECT_FALSE(TestHome::exists(h.ssh("quillmar_config")));

    // ssh reads only the lines quillmar writes: a line typed by hand that it
    // can't read neither stops the save nor is touched by it.
    const std::string handTyped = std::string(SSHConfigWriter::kOwnFileHeader) + "\nHost old\n    Bogus yes\n";
    h.writeSsh("quillmar_config", handTyped);
    auto appended = w.appendHost(entry("web2", "h"));
    ASSERT_TRUE(appended) << appended.error().message;
    const std::string own = h.readSsh("quillmar_config");
    EXPECT_EQ(own, handTyped + "\nHost web2\n    HostName h\n");
    h.writeSsh("config", "Host a\n");
    auto include = w.addInclude();
    ASSERT_TRUE(include) << include.error().message;
    EXPECT_EQ(h.backups().size(), 1u);

    // An ssh that never answers is cut off at the check's time limit, and nothing is written.
    h.write(h.path("slow-ssh"), "#!/bin/sh\nexec sleep 3600\n", 0755);
    w.setSSHExecutable(h.path("slow-ssh"));
    refused = w.appendHost(entry("web", "h"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "ssh took too long to check ~/.ssh/quillmar_config with this change. Nothing was changed.");
    EXPECT_EQ(h.readSsh("quillmar_config"), own);

    // Without an ssh to ask, writes still go through.
    w.setSSHExecutable(h.path("no-such-ssh"));
    EXPECT_TRUE(w.appendHost(entry("web", "h")));
}
