#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "archive/archive.h"
#include "history/history.h"
#include "offsite/offsite_copy.h"
#include "offsite/sftp_session.h"
#include "platform/private_file.h"
#include "startup/settings.h"
#include "support/cli_tool.h"
#include "support/refusal.h"
#include "support/sftp_fixture.h"
#include "support/smtp_fixture.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

using namespace test;
namespace fs = std::filesystem;

// ---- settings without a server ------------------------------------------------------

TEST(OffsiteSettings, AddressesAreReadOrRefusedWithTheReason) {
    const struct {
        std::string url;
        std::string read;  // "user host port folder"; "" when refused
        std::string refusal;
    } cases[] = {
        // clang-format off
        {"sftp://ann@backup.example:2222/srv/firm", "ann backup.example 2222 /srv/firm", ""},
        {"sftp://ann@host/srv/firm///", "ann host 22 /srv/firm", ""},
        {"sftp://ann@host/", "ann host 22 /", ""},
        {"sftp://a@b@[::1]:9/x", "a@b [::1] 9 /x", ""},
        {"sftp://ann@[::1]/x", "ann [::1] 22 /x", ""},
        {"ftp://ann@host/x", "", "is not an sftp:// address"},
        {"sftp://host/x", "", "names no user"},
        {"sftp://ann@host", "", "names no folder"},
        {"sftp://ann@/x", "", "names no host"},
        {"sftp://ann@host:0/x", "", "a port is 1 to 65535"},
        {"sftp://ann@host:65536/x", "", "a port is 1 to 65535"},
        {"sftp://ann@host:22a/x", "", "a port is 1 to 65535"},
        {"sftp://ann@host/srv/../etc", "", "climbs out"},
        {"sftp://ann@host/srv/\nx", "", "control character"},
        // clang-format on
    };
    for (const auto& c : cases) {
        if (c.refusal.empty()) {
            const SftpAddress a = ParseSftpUrl(c.url);
            EXPECT_EQ(a.user + " " + a.host + " " + std::to_string(a.port) + " " + a.folder,
                      c.read);
        } else {
            EXPECT_TRUE(Mentions(ErrorText<OffsiteError>([&] { ParseSftpUrl(c.url); }), c.refusal))
                << c.url;
        }
    }
    SftpAddress a{"a b", "h", 22, "/"};
    EXPECT_EQ(a.UrlOf("/Back ups/Firm1.zip"), "sftp://a%20b@h:22/Back%20ups/Firm1.zip");
}

TEST(OffsiteSettings, FingerprintsAreTakenAsSshKeygenPrintsThem) {
    const std::string b64 = "ou8md6CHKapliCY+Zfoydyu/Y5zvmTZnxdfkyrX7FRg";
    struct Case {
        std::string text;
        bool ok;
    } cases[] = {
        {"SHA256:" + b64, true},
        {b64, true},
        {b64 + "=", true},
        {"SHA256:" + b64.substr(1), false},
        {"MD5:" + b64, false},
        {b64.substr(0, 42) + "!", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.ok) {
            EXPECT_EQ(FingerprintBase64(c.text), b64);
        } else {
            EXPECT_THROW(FingerprintBase64(c.text), OffsiteError);
        }
    }
}

TEST(OffsiteSettings, TheSectionRoundTripsAndDefaultsToVerify) {
    TempDir tmp;
    const std::string file = tmp / "settings.ini";
    WriteFile(file, "[Back]\nBackType=2\n; kept\n");
    OffsiteSettings none = LoadOffsiteSettings(file);
    EXPECT_FALSE(none.Configured());
    EXPECT_TRUE(none.verify);
    EXPECT_FALSE(none.encrypt);
    const OffsiteSettings s{.url = "sftp://ann@host/x",
                            .hostKeySha256 = "SHA256:abc",
                            .identityFile = "/home/ann/.ssh/id_vornback",
                            .encrypt = true,
                            .passphraseFile = "/home/ann/.config/vornback/passphrase",
                            .verify = false};
    SaveOffsiteSettings(s, file);
    const OffsiteSettings b = LoadOffsiteSettings(file);
    EXPECT_EQ(
        std::tie(b.url, b.hostKeySha256, b.identityFile, b.passphraseFile, b.encrypt, b.verify),
        std::tie(s.url, s.hostKeySha256, s.identityFile, s.passphraseFile, s.encrypt, s.verify));
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find("[Back]\nBackType=2\n; kept\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Offsite]"), std::string::npos) << text;
}

TEST(PrivateFile, OnlyTheOwnersUnsharedFileIsRead) {
    TempDir tmp;
    struct Case {
        const char* name;
        std::string bytes;
        mode_t mode;
        std::string expected;  // the text, or part of the refusal
        bool ok;
    } cases[] = {
        {"own", "correct horse battery\nsecond line\n", 0600, "correct horse battery", true},
        {"crlf", "secret-phrase-1\r\n", 0400, "secret-phrase-1", true},
        {"group", "secret", 0640, "may be read or changed by others (mode 0640)", false},
        {"others", "secret", 0604, "(mode 0604)", false},
        {"others-write", "secret", 0602, "(mode 0602)", false},
        {"empty", "", 0600, "is empty", false},
        {"blank-first-line", "\nsecret\n", 0600, "is empty", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(tmp / c.name, c.bytes);
        ::chmod((tmp / c.name).c_str(), c.mode);
        const auto read = [&] { return ReadPrivateFile(tmp / c.name, "The passphrase file"); };
        if (c.ok) {
            EXPECT_EQ(read(), c.expected);
        } else {
            EXPECT_TRUE(Mentions(ErrorText<Error>(read), c.expected));
        }
    }
    EXPECT_THROW(ReadPrivateFile(tmp / "missing", "The passphrase file"), Error);
    fs::create_symlink(tmp / "own", tmp / "link");
    EXPECT_THROW(ReadPrivateFile(tmp / "link", "The passphrase file"), Error);
    fs::create_directory(tmp / "folder");
    EXPECT_THROW(ReadPrivateFile(tmp / "folder", "The passphrase file"), Error);
}

// ---- against a real server ------------------------------------------------------------

class OffsiteServer : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = SftpTestServer::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        server_ = std::make_unique<SftpTestServer>(tmp_.Path() / "server");
        fs::create_directories(tmp_.Path() / "local");
    }

    // A checked archive of `size` random bytes (so that it does not shrink), made from a
    // folder of its own.
    std::string Archive(const std::string& name, size_t size, unsigned seed) {
        const fs::path source = tmp_.Path() / ("source-" + name + std::to_string(seed));
        WriteFile(source / "Firm1.mdb", RandomBytes(size, seed));
        const std::string path = (tmp_.Path() / "local" / name).string();
        fs::remove(path);
        PackFolder(source.string(), path);
        return path;
    }

    OffsiteCopyResult Copy(const OffsiteSettings& s, const std::string& archive,
                           const std::string& sub = "", const OffsiteCopyOptions& options = {}) {
        return CopyOffsite(s, archive, sub, "Firm1.zip", "OFirm1.zip",
                           tmp_ / "local/.Firm1.zip.partial-scratch", options);
    }

    fs::path Remote(const std::string& name) const { return server_->Remote() / "backups" / name; }

    TempDir tmp_;
    std::unique_ptr<SftpTestServer> server_;
};

TEST_F(OffsiteServer, TwoCopiesRotateTheRemoteGenerations) {
    const OffsiteSettings s = server_->Settings();
    const std::string first = Archive("first.zip", 300000, 1);
    const std::string second = Archive("second.zip", 200000, 2);
    const std::string third = Archive("third.zip", 100000, 3);

    OffsiteCopyResult r = Copy(s, first, "Monday");
    EXPECT_EQ(r.remoteArchive, (Remote("Monday") / "Firm1.zip").string());
    EXPECT_EQ(r.tries, 1);
    EXPECT_EQ(Names(Remote("Monday")), std::vector<std::string>{"Firm1.zip"});
    // The day folder is created as the local one; both stay private.
    EXPECT_EQ(fs::status(Remote("Monday")).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(Remote("Monday/Firm1.zip")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    Copy(s, second, "Monday");
    Copy(s, third, "Monday");
    EXPECT_EQ(Names(Remote("Monday")), (std::vector<std::string>{"Firm1.zip", "OFirm1.zip"}));
    EXPECT_TRUE(ReadFile(Remote("Monday/Firm1.zip")) == ReadFile(third));
    EXPECT_TRUE(ReadFile(Remote("Monday/OFirm1.zip")) == ReadFile(second));
}

TEST_F(OffsiteServer, ARefusedConnectionSaysWhyAndSendsNothing) {
    const std::string archive = Archive("a.zip", 50000, 4);
    const fs::path otherKey = tmp_.Path() / "other_key";
    ASSERT_EQ(RunCommand("ssh-keygen -q -t ed25519 -N '' -f " + otherKey.string()), 0);
    ClosedLoopbackPort closed;
    struct Case {
        const char* name;
        std::function<void(OffsiteSettings&)> change;
        std::string reason;
    } cases[] = {
        {"wrong host key",
         [](OffsiteSettings& s) { s.hostKeySha256 = "SHA256:" + std::string(43, 'A'); },
         "host key mismatch"},
        {"unknown user key", [&](OffsiteSettings& s) { s.identityFile = otherKey.string(); },
         "login refused"},
        {"nothing listening",
         [&](OffsiteSettings& s) { s = server_->Settings("backups", closed.port); },
         "connection lost after 4 tries: no SFTP server answers at 127.0.0.1:"},
        {"key open to others",
         [&](OffsiteSettings& s) {
             s.identityFile = (tmp_.Path() / "open_key").string();
             fs::copy_file(server_->IdentityFile(), s.identityFile);
             ::chmod(s.identityFile.c_str(), 0644);
         },
         "may be read or changed by others"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OffsiteSettings s = server_->Settings();
        c.change(s);
        EXPECT_TRUE(Mentions(ErrorText<OffsiteError>([&] { Copy(s, archive); }), c.reason));
        EXPECT_FALSE(fs::exists(Remote(""))) << "something reached the server";
    }
}

TEST_F(OffsiteServer, ADroppedLinkResumesWhereTheServerStopped) {
    const std::string archive = Archive("a.zip", 2000000, 5);
    const uint64_t size = fs::file_size(archive);
    // The first two connections die after 600 kB from the client; the third must finish.
    CuttingProxy proxy(server_->Port(), 600000, 2);
    const OffsiteCopyResult r = Copy(server_->Settings("backups", proxy.Port()), archive);
    EXPECT_EQ(r.tries, 3);
    EXPECT_TRUE(ReadFile(Remote("Firm1.zip")) == ReadFile(archive));
    EXPECT_EQ(Names(Remote("")), std::vector<std::string>{"Firm1.zip"});
    // Starting again each time would send at least 1.2 MB more than the archive.
    EXPECT_LT(proxy.BytesUp(), size + 600000) << "the upload started again, not resumed";

    // A link that keeps dying gives up after the tries, and leaves the generations alone
    // (four tries of 100 kB cannot carry the 900 kB archive, however much each delivers).
    CuttingProxy dying(server_->Port(), 100000, 100);
    const std::string big = Archive("b.zip", 900000, 6);
    const auto copy = [&] { Copy(server_->Settings("backups", dying.Port()), big); };
    EXPECT_TRUE(Mentions(ErrorText<OffsiteError>(copy), "connection lost after 4 tries"));
    EXPECT_GE(dying.Connections(), 4);
    EXPECT_TRUE(ReadFile(Remote("Firm1.zip")) == ReadFile(archive));
}

// The server's state after a copy killed at each step: at least one complete archive, and
// the next copy completes what was left and removes the rest.
TEST_F(OffsiteServer, AKillDuringTheRemoteRotationIsCompletedByTheNextCopy) {
    struct Case {
        const char* step;
        std::vector<std::string> left;  // the remote folder after the kill
        std::string lastAfterNext;      // which archive is the older generation at the end
    } cases[] = {
        {"uploaded", {"Firm1.zip", "OFirm1.zip", "part"}, "second"},
        {"older removed", {"Firm1.zip", "part"}, "second"},
        {"last renamed", {"OFirm1.zip", "part"}, "killed"},
        {"new renamed", {"Firm1.zip", "OFirm1.zip"}, "killed"},
    };
    const OffsiteSettings s = server_->Settings();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        fs::remove_all(Remote(""));
        const std::string first = Archive("first.zip", 40000, 7);
        const std::string second = Archive("second.zip", 50000, 8);
        const std::string killed = Archive("killed.zip", 60000, 9);
        const std::string next = Archive("next.zip", 70000, 10);
        Copy(s, first);
        Copy(s, second);

        const pid_t child = ::fork();
        if (child == 0) {
            OffsiteCopyOptions options;
            options.afterStep = [&](const std::string& step) {
                if (step == c.step) {
                    ::_exit(9);
                }
            };
            try {
                Copy(s, killed, "", options);
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << status;

        std::vector<std::string> left;
        for (const std::string& name : Names(Remote(""))) {
            left.push_back(name.ends_with(".part") ? "part" : name);
            if (!name.ends_with(".part")) {
                EXPECT_NO_THROW(VerifyArchive(Remote(name).string())) << name;
            }
        }
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, c.left);

        const OffsiteCopyResult r = Copy(s, next);
        EXPECT_EQ(Names(Remote("")), (std::vector<std::string>{"Firm1.zip", "OFirm1.zip"}));
        EXPECT_TRUE(ReadFile(Remote("Firm1.zip")) == ReadFile(next));
        EXPECT_TRUE(ReadFile(Remote("OFirm1.zip")) ==
                    ReadFile(c.lastAfterNext == "killed" ? killed : second));
        EXPECT_EQ(r.notes.size(), c.left.back() == "part" ? 1u : 0u);
    }
}

TEST_F(OffsiteServer, AFullServerLeavesTheRemoteGenerationsAsTheyWere) {
    const fs::path folder = server_->Remote() / "backups";
    fs::create_directories(folder);
    if (::mount("vornback-test", folder.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here (" << std::strerror(errno)
                     << "); the full-server case needs one";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{folder.string()};
    const OffsiteSettings s = server_->Settings();
    const std::string first = Archive("first.zip", 60000, 11);
    const std::string second = Archive("second.zip", 70000, 12);
    Copy(s, first);
    Copy(s, second);
    EXPECT_TRUE(Mentions(ErrorText<OffsiteError>([&] { Copy(s, Archive("big.zip", 400000, 13)); }),
                         "no space on the server"));
    EXPECT_EQ(Names(folder), (std::vector<std::string>{"Firm1.zip", "OFirm1.zip"}));
    EXPECT_TRUE(ReadFile(folder / "Firm1.zip") == ReadFile(second));
    EXPECT_TRUE(ReadFile(folder / "OFirm1.zip") == ReadFile(first));
}

// ---- the headless tool against the server ----------------------------------------------

TEST_F(OffsiteServer, TheToolSetsTestsCopiesListsAndVerifies) {
    const std::string tree = tmp_ / "data";
    RunCli("make-sample '" + tree + "' --firms 1 --years 2 --seed 3", 0);
    const std::string program = " --program-folder '" + tree + "/Bkp'";
    // The tool on this tree; its output.
    const auto tool = [&](const std::string& args, int status) {
        return RunCli(args + program, status);
    };
    const OffsiteSettings s = server_->Settings("office");
    tool("offsite set --url '" + s.url + "' --host-key '" + s.hostKeySha256 + "' --identity '" +
             s.identityFile + "'",
         0);
    EXPECT_EQ(tool("offsite show", 0), "URL=" + s.url + "\nHostKeySHA256=" + s.hostKeySha256 +
                                           "\nIdentityFile=" + s.identityFile +
                                           "\nEncrypt=0\nPassphraseFile=\nVerify=1\n");
    EXPECT_TRUE(Mentions(tool("offsite test", 0), "the offsite copy works"));
    EXPECT_TRUE(Names(server_->Remote() / "office").empty()) << "the probe file stayed";

    // Two day-wise backups: the remote day folder holds both generations, equal to the local.
    const std::string local = tmp_ / "backups";
    fs::create_directories(local);
    const std::string backup = "backup 1,2 --to '" + local + "' --type day";
    tool(backup, 0);
    tool(backup, 0);
    const std::vector<std::string> days = Names(server_->Remote() / "office");
    ASSERT_EQ(days.size(), 1u);
    const fs::path remoteDay = server_->Remote() / "office" / days[0];
    EXPECT_EQ(Names(remoteDay), (std::vector<std::string>{"Firm1.zip", "OFirm1.zip"}));
    for (const char* name : {"Firm1.zip", "OFirm1.zip"}) {
        EXPECT_TRUE(ReadFile(remoteDay / name) == ReadFile(fs::path(local) / days[0] / name));
    }
    const std::string listed = tool("list '" + s.url + "'", 0);
    EXPECT_TRUE(Mentions(listed, days[0] + "/Firm1.zip"));
    EXPECT_TRUE(Mentions(listed, days[0] + "/OFirm1.zip"));
    // The downloads' scratch folder goes with the run.
    const fs::path scratch = tmp_ / "scratch";
    fs::create_directories(scratch);
    std::string verified;
    EXPECT_EQ(RunCommand("TMPDIR=" + Quote(scratch) + " " + Cli("verify '" + s.url + "'" + program),
                         &verified),
              0);
    EXPECT_TRUE(Names(scratch).empty()) << "the scratch folder stayed";
    EXPECT_TRUE(Mentions(verified, days[0] + "/OFirm1.zip: ") && !Mentions(verified, "FAILED"))
        << verified;
    // A damaged remote archive fails its check.
    std::string bytes = ReadFile(remoteDay / "OFirm1.zip");
    bytes[bytes.size() / 3] ^= 0x55;
    WriteFile(remoteDay / "OFirm1.zip", bytes);
    EXPECT_TRUE(Mentions(tool("verify '" + s.url + "'", 1), "OFirm1.zip: FAILED"));

    // A wrong host key for one run: the local backup is made, exit status 4, the reason on
    // stderr and in the history, the remote generations as they were.
    const std::string remoteBefore = ReadFile(remoteDay / "Firm1.zip");
    const std::string mismatch = "offsite copy failed: host key mismatch";
    EXPECT_TRUE(
        Mentions(tool(backup + " --offsite-host-key SHA256:" + std::string(43, 'x'), 4), mismatch));
    EXPECT_TRUE(ReadFile(remoteDay / "Firm1.zip") == remoteBefore);
    EXPECT_NO_THROW(VerifyArchive((fs::path(local) / days[0] / "Firm1.zip").string()));
    const std::string history = tool("history", 0);
    const std::string lastLine = history.substr(history.rfind('\n', history.size() - 2) + 1);
    EXPECT_TRUE(Mentions(lastLine, "ok") && Mentions(lastLine, mismatch)) << lastLine;
    EXPECT_TRUE(
        Mentions(LastBackupText(tree + "/Bkp/history.tsv", 1), "(offsite copy failed: host key"));

    // Usage mistakes and a bad address change nothing.
    const std::string settingsBefore = ReadFile(tree + "/Bkp/settings.ini");
    for (const std::string args :
         {"offsite", "offsite frob", "offsite set --verify 2", "offsite show --url x"}) {
        tool(args, 2);
    }
    EXPECT_TRUE(Mentions(tool("offsite set --url ftp://x/y", 1), "is not an sftp:// address"));
    EXPECT_EQ(ReadFile(tree + "/Bkp/settings.ini"), settingsBefore);
}

// ---- the mail account ---------------------------------------------------------------

TEST(MailAccount, SetShowAndTestAgainstTheTlsMailServer) {
    TempDir tmp;
    fs::create_directories(tmp.Path() / "smtp");
    SmtpTestServer server(tmp.Path() / "smtp");
    const SmtpSettings& smtp = server.Settings();
    const std::string program = tmp / "Bkp";
    fs::create_directories(program);
    const std::string passwordFile = tmp / "mail-password";
    WriteFile(passwordFile, smtp.password + "\n");
    ::chmod(passwordFile.c_str(), 0600);
    // The test server's certificate is trusted through the environment; nothing else is.
    const std::string env =
        "env -u VORNBACK_SMTP_HOST -u VORNBACK_SMTP_PORT -u "
        "VORNBACK_SMTP_USER -u VORNBACK_SMTP_PASSWORD VORNBACK_SMTP_CAFILE='" +
        smtp.caFile + "' ";
    // A mail command of the tool on this program folder; its output.
    const auto mail = [&](const std::string& args, int status) {
        std::string out;
        EXPECT_EQ(
            RunCommand(env + Cli("mail " + args + " --program-folder '" + program + "'"), &out),
            status)
            << args << "\n"
            << out;
        return out;
    };
    mail("set --host " + smtp.host + " --port " + std::to_string(smtp.port) + " --user " +
             smtp.user + " --password-file '" + passwordFile + "'",
         0);
    const std::string ini = ReadFile(program + "/settings.ini");
    EXPECT_EQ(ini.find(smtp.password), std::string::npos) << "the password is in the settings";
    const std::string out = mail("show", 0);
    EXPECT_EQ(out.rfind("Host=" + smtp.host + "\nPort=" + std::to_string(smtp.port) +
                            "\nUser=" + smtp.user + "\nPasswordFile=" + passwordFile + "\n",
                        0),
              0u)
        << out;

    struct Case {
        const char* name;
        std::function<void()> change;
        int status;
        std::string says;
    } cases[] = {
        // clang-format off
        {"the account as set", [] {}, 0, "a test message went to owner@firm.test"},
        {"a password file open to others", [&] { ::chmod(passwordFile.c_str(), 0644); }, 1,
         "may be read or changed by others (mode 0644)"},
        {"a wrong password",
         [&] { WriteFile(passwordFile, "wrong\n"), ::chmod(passwordFile.c_str(), 0600); },
         1, "The test message was not sent"},
        {"a port in the settings that is none",
         [&] {
             WriteFile(passwordFile, smtp.password + "\n");
             WriteSetting("Mail", "Port", "99999", program + "/settings.ini");
         }, 1, "The mail port \"99999\" in the settings is not a port"},
        // clang-format on
    };
    size_t received = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        EXPECT_TRUE(Mentions(mail("test --to owner@firm.test", c.status), c.says));
        received += c.status == 0 ? 1 : 0;
        EXPECT_EQ(server.Received().size(), received);
    }
    EXPECT_EQ(server.Received().at(0).at("rcpt_tos"), "owner@firm.test");
    // A password file open to others is refused when set, and nothing is written.
    ::chmod(passwordFile.c_str(), 0640);
    const std::string before = ReadFile(program + "/settings.ini");
    mail("set --password-file '" + passwordFile + "'", 1);
    EXPECT_EQ(ReadFile(program + "/settings.ini"), before);
}

}  // namespace
}  // namespace vornback
