// The archives' passphrase from the desktop keyring: a real secrets service (gnome-keyring)
// on a session bus of the test's own, holding the entry as secret-tool stores it.
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "startup/settings.h"
#include "support/cli_tool.h"
#include "support/refusal.h"
#include "support/test_data.h"

namespace vornback {
namespace {

using namespace test;

const std::string kKept = "correct horse battery staple";
const std::string kOther = "a different passphrase of the file";

std::string PrivateFile(const std::string& path, const std::string& text) {
    test::WriteFile(path, text + "\n");
    ::chmod(path.c_str(), 0600);
    return path;
}

// An encrypted local backup with what the keyring holds (or nothing), and with or without a
// passphrase file: the keyring's passphrase wins; without one the file's is taken; a missing
// or short passphrase refuses before any archive is written.
TEST(KeyringPassphrase, EncryptedBackupTakesTheKeyringsPassphrase) {
    struct Case {
        const char* name;
        std::string kept;  // what the keyring holds; empty: no entry
        bool file;         // PassphraseFile names a file holding kOther
        int status;
        const char* says;
        std::string readableWith;  // the passphrase that opens the archive made
    };
    const Case cases[] = {
        {"the keyring's passphrase", kKept, false, 0, "", kKept},
        {"the keyring before the file", kKept, true, 0, "", kKept},
        {"no entry, no file", "", false, 1, "Encrypted archives need a passphrase", ""},
        {"no entry, the file", "", true, 0, "", kOther},
        {"a short one in the keyring", "too short", true, 1,
         "The passphrase in the desktop keyring has fewer than 12 characters", ""},
    };
    const std::string session =
        std::string(VORNBACK_TEST_SOURCE_DIR) + "/support/with_keyring_session.sh";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Tree t("--firms 1 --years 2");
        const std::string settings = t.data + "/Bkp/settings.ini";
        WriteSetting("Back", "EncryptLocal", "1", settings);
        if (c.file) {
            WriteSetting("Offsite", "PassphraseFile", PrivateFile(t.dir / "file", kOther),
                         settings);
        }
        const std::set<std::string> firm = test::AllPaths(t.data + "/Firm1");
        std::string out;
        const int status =
            RunCommand(session + " " + Quote(t.dir / "session") + " " + Quote(c.kept) + " " +
                           Cli("backup 1,2 --to " + Quote(t.out) + " --program-folder " +
                               Quote(t.data + "/Bkp")),
                       &out);
        if (status == 77) {
            GTEST_SKIP() << out;
        }
        EXPECT_EQ(status, c.status) << out;
        EXPECT_TRUE(test::Mentions(out, c.says));
        EXPECT_EQ(test::AllPaths(t.data + "/Firm1"), firm);
        const std::string archive = t.out + "/Firm1.zip";
        if (c.readableWith.empty()) {
            EXPECT_EQ(test::AllPaths(t.out), std::set<std::string>{}) << "nothing written";
            continue;
        }
        const std::string right = PrivateFile(t.dir / "right", c.readableWith);
        const std::string wrong = PrivateFile(t.dir / "wrong", c.readableWith + " not");
        ASSERT_TRUE(std::filesystem::exists(archive)) << out;
        EXPECT_TRUE(ArchiveEncrypted(archive));
        test::RunCli("verify " + Quote(archive) + " --passphrase-file " + Quote(right), 0);
        EXPECT_TRUE(test::Mentions(
            test::RunCli("verify " + Quote(archive) + " --passphrase-file " + Quote(wrong), 1),
            "wrong passphrase"));
    }
}

}  // namespace
}  // namespace vornback
