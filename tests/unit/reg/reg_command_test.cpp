// The settings writer as a user meets it: a fresh home, typing slips in key names, values the
// program would misread, secrets on the screen, an empty file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/reg/RegCommand.h"
#include "app/reg/RegFileEditor.h"
#include "app/reg/SettingKeys.h"
#include "support/Scramble.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

class RegCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zodiva-regcmd-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        file_ = dir_ + "/settings.reg";
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result Run(std::vector<std::string> args, const std::string& password = "") {
        std::ostringstream out;
        std::ostringstream err;
        regedit::RegConsole console{out, err, [password](std::string& text) {
                                        text = password;
                                        return !password.empty();
                                    }};
        Result result;
        result.code = regedit::RunRegCommand(args, console);
        result.out = out.str();
        result.err = err.str();
        return result;
    }
    Result RunOnFile(std::vector<std::string> args, const std::string& password = "") {
        args.insert(args.begin(), {"--registry", file_});
        return Run(args, password);
    }

    std::string dir_;
    std::string file_;
};

TEST_F(RegCommandTest, SetOnAFreshHomeCreatesTheConfigFolderPrivately) {
    const std::string home = dir_ + "/home";
    ASSERT_TRUE(fs::create_directory(home));
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("QUORREL_REGISTRY");
    const Result result = Run({"set", "news_server", "news.example.net"});
    setenv("HOME", oldHome.c_str(), 1);

    ASSERT_EQ(result.code, 0) << result.err;
    struct stat st {};
    ASSERT_EQ(stat((home + "/.config/Tarnley").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((home + "/.config").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    regedit::RegFileEditor reread;
    ASSERT_TRUE(reread.Load(home + "/.config/Tarnley/Quorrel.reg"));
    ASSERT_TRUE(reread.Get("news_server").has_value());
    EXPECT_EQ(reread.Get("news_server")->text, "news.example.net");
}

TEST_F(RegCommandTest, UnknownKeyIsStoredWithAWarningNamingTheNearestKnownKey) {
    const Result result = RunOnFile({"set", "news_sever", "news.example.net"});
    EXPECT_EQ(result.code, 0);
    EXPECT_NE(result.err.find("'news_sever'"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("did you mean 'news_server'"), std::string::npos) << result.err;
    EXPECT_EQ(RunOnFile({"get", "news_sever"}).out, "news.example.net\n");

    // A known key in another letter case is the same key: no warning.
    EXPECT_EQ(RunOnFile({"set-dword", "dlconnections", "4"}).err, "");
    EXPECT_NE(RunOnFile({"set-dword", "retrypasswordelay", "5"}).err.find("'retrypassworddelay'"),
              std::string::npos);
}

TEST_F(RegCommandTest, ValuesTheProgramWouldMisreadAreRefusedAndNothingIsWritten) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"set", "news_port", "abc"},
                                               {"set", "news_port", "-119"},
                                               {"set", "errordelay", "10s"},
                                               {"set-dword", "ProxyPort", "-1"},
                                               {"set-dword", "news_port", "70000"}}) {
        const Result result = RunOnFile(args);
        EXPECT_EQ(result.code, 2) << args[1] << " " << args[2];
        EXPECT_NE(result.err.find(args[1]), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_EQ(RunOnFile({"set", "news_port", "563"}).code, 0);
    EXPECT_EQ(RunOnFile({"set", "errordelay", "-1"}).code, 0);  // a number, if an odd one
}

TEST_F(RegCommandTest, SecretsAreMaskedUnlessAskedFor) {
    ASSERT_EQ(RunOnFile({"set-password"}, "s3cret").code, 0);
    const std::string scrambled = ScrambleValue("s3cret");
    EXPECT_EQ(RunOnFile({"get", "NNTPp"}).out, "********\n");
    EXPECT_EQ(RunOnFile({"get", "nntpp"}).out, "********\n");
    EXPECT_EQ(RunOnFile({"get", "--show-secret", "NNTPp"}).out, scrambled + "\n");
    EXPECT_EQ(RunOnFile({"get", "NNTPp", "--show-secret"}).out, scrambled + "\n");
    EXPECT_EQ(RunOnFile({"list"}).out.find(scrambled), std::string::npos);
    ASSERT_EQ(RunOnFile({"set", "username", "alice"}).code, 0);
    EXPECT_EQ(RunOnFile({"get", "username"}).out, "alice\n");
}

TEST_F(RegCommandTest, EmptyFileListsNothingAndSaysSo) {
    const Result missing = RunOnFile({"list"});
    EXPECT_EQ(missing.code, 0);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("no settings in " + file_), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;

    ASSERT_EQ(RunOnFile({"set", "news_server", "x"}).code, 0);
    ASSERT_EQ(RunOnFile({"delete", "news_server"}).code, 0);
    const Result empty = RunOnFile({"list"});
    EXPECT_NE(empty.err.find("no settings in"), std::string::npos);
    EXPECT_EQ(empty.err.find("does not exist"), std::string::npos) << empty.err;
}

TEST_F(RegCommandTest, VersionAndUsageErrors) {
    const Result version = Run({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "zodiva-reg 1.0\n");
    EXPECT_EQ(RunOnFile({}).code, 2);
    EXPECT_EQ(RunOnFile({"frobnicate"}).code, 2);
    EXPECT_EQ(RunOnFile({"get"}).code, 2);
}

TEST(SettingKeysTest, ClosestKeyAndValueChecks) {
    EXPECT_STREQ(settings_keys::ClosestKey("ProxyAdress").name, "ProxyAddress");
    EXPECT_STREQ(settings_keys::ClosestKey("WRITE_TO_DISK").name, "writetodisk");
    EXPECT_EQ(settings_keys::UnknownKeyWarning("NEWS_PORT"), "");
    EXPECT_EQ(settings_keys::CheckValue("news_server", "abc"), "");
    EXPECT_EQ(settings_keys::CheckValue("no_such_key", "abc"), "");
    EXPECT_EQ(settings_keys::CheckValue("news_port", "65535"), "");
    EXPECT_NE(settings_keys::CheckValue("news_port", "65536"), "");
    EXPECT_NE(settings_keys::CheckValue("news_port", ""), "");
    EXPECT_NE(settings_keys::CheckValue("DLConnections", "99999999999"), "");
    EXPECT_NE(settings_keys::CheckValue("DLConnections", " 4"), "");
}

}  // namespace

namespace {

// Every key the program's code reads must be known, or users get a warning for a right name.
TEST(SettingKeysTest, EveryKeyTheProgramReadsIsKnown) {
    for (const char* key : {"DLConnections", "writetodisk", "article", "range", "errordelay",
                            "news_server", "news_port", "ProxyOption", "ProxyAddress", "ProxyPort",
                            "ProxyUsername", "ProxyPassword", "username", "NNTPp", "password",
                            "retrypassword", "retrypassworddelay", "news_ssl", "news_sslverify",
                            "news_sslca"})
        EXPECT_NE(settings_keys::FindKey(key), nullptr) << key;
}

}  // namespace
