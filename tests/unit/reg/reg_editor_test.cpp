// The settings writer edits one key of a .reg file and leaves everything else alone; what it
// writes must read back through the program's own registry reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/reg/RegFileEditor.h"
#include "platform/Registry.h"
#include "support/Scramble.h"
#include "support/SettingsStore.h"

namespace fs = std::filesystem;
using regedit::RegFileEditor;
using regedit::ValueKind;

// Outside the unnamed namespace: the tests derive from the fixture, and in a batch of test
// files the compiler warns of a base whose type only this file can name.
class RegEditorTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zodiva-reg-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/Quorrel.reg";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteBytes(const std::string& bytes) {
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    std::string ReadBytes() {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::string Utf16(const std::string& ascii) {
        std::string out("\xFF\xFE", 2);
        for (char c : ascii) {
            out += c;
            out += '\0';
        }
        return out;
    }
    // Loads the file the way the program does: registry functions into a settings store.
    void LoadInto(SettingsStore& store) {
        setenv("QUORREL_REGISTRY", path_.c_str(), 1);
        EXPECT_TRUE(store.Load(HKEY_CURRENT_USER, "SOFTWARE\\Tarnley\\Quorrel\\1.00"));
        unsetenv("QUORREL_REGISTRY");
    }

    std::string dir_;
    std::string path_;
};

namespace {

const char* const kExport =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Other]\r\n"
    "\"news_server\"=\"not.this.one\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\tarnley\\QUORREL\\1.00]\r\n"
    "\"news_server\"=\"news.example.net\"\r\n"
    "\"Blob\"=hex:01,02,03,\\\r\n"
    "  04,05\r\n"
    "\"news_port\"=dword:00000077\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00\\Sub]\r\n"
    "\"x\"=\"y\"\r\n";

}  // namespace

TEST_F(RegEditorTest, Utf16FileKeepsEncodingAndEveryOtherLine) {
    WriteBytes(Utf16(kExport));
    RegFileEditor file;
    ASSERT_TRUE(file.Load(path_)) << file.Error();
    file.SetDword("NEWS_PORT", 563);       // existing value, other letter case
    file.SetString("username", "a\"b\\c");  // new value, needs escapes
    ASSERT_TRUE(file.Save()) << file.Error();

    std::string expected = kExport;
    expected.replace(expected.find("\"news_port\"=dword:00000077"), 26,
                     "\"NEWS_PORT\"=dword:00000233\r\n\"username\"=\"a\\\"b\\\\c\"");
    EXPECT_EQ(ReadBytes(), Utf16(expected));

    SettingsStore store;
    LoadInto(store);
    EXPECT_EQ(store.GetInt("news_port", 119, false), 563);
    EXPECT_EQ(store.GetString("username", "", false), "a\"b\\c");
    EXPECT_EQ(store.GetString("news_server", "", false), "news.example.net");
}

TEST_F(RegEditorTest, Utf8FileWithoutBomStaysUtf8WithItsLineEnds) {
    std::string unix = "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\n"
                       "\"DLConnections\"=dword:00000004\n";
    WriteBytes(unix);
    RegFileEditor file;
    ASSERT_TRUE(file.Load(path_));
    file.SetString("news_server", "h\xC3\xA9.example");
    ASSERT_TRUE(file.Save());
    EXPECT_EQ(ReadBytes(), unix + "\"news_server\"=\"h\xC3\xA9.example\"\n");
}

TEST_F(RegEditorTest, DeleteRemovesContinuedValueAndDuplicates) {
    WriteBytes(kExport);
    RegFileEditor file;
    ASSERT_TRUE(file.Load(path_));
    EXPECT_TRUE(file.Delete("blob"));
    EXPECT_FALSE(file.Delete("blob"));
    ASSERT_TRUE(file.Save());
    std::string expected = kExport;
    expected.erase(expected.find("\"Blob\""), std::string("\"Blob\"=hex:01,02,03,\\\r\n  04,05\r\n").size());
    EXPECT_EQ(ReadBytes(), expected);
    auto list = RegFileEditor();
    ASSERT_TRUE(list.Load(path_));
    ASSERT_EQ(list.List().size(), 2u);
    EXPECT_EQ(list.List()[1].kind, ValueKind::Dword);
    EXPECT_EQ(list.List()[1].dword, 0x77);
}

TEST_F(RegEditorTest, MissingFileIsCreatedWithHeaderAndReadsBack) {
    path_ = dir_ + "/new.reg";
    RegFileEditor file;
    ASSERT_TRUE(file.Load(path_));
    EXPECT_FALSE(file.Exists());
    file.SetDword("retrypassword", -1);
    file.SetString("NNTPp", ScrambleValue("s3cret pass"));
    ASSERT_TRUE(file.Save());
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a file holding a password must not be world-readable";

    SettingsStore store;
    LoadInto(store);
    EXPECT_EQ(store.GetInt("retrypassword", 0, false), -1);
    EXPECT_EQ(UnscrambleValue(store.GetString("NNTPp", "", false)), "s3cret pass");
}

TEST_F(RegEditorTest, RejectsFileThatIsNotARegistryExport) {
    WriteBytes("hello\nworld\n");
    RegFileEditor file;
    EXPECT_FALSE(file.Load(path_));
    EXPECT_NE(file.Error().find("not a registry file"), std::string::npos);
}

TEST_F(RegEditorTest, SectionIsAddedWhenTheFileLacksIt) {
    WriteBytes("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Other]\r\n\"a\"=\"b\"\r\n");
    RegFileEditor file;
    ASSERT_TRUE(file.Load(path_));
    file.SetString("news_server", "localhost");
    ASSERT_TRUE(file.Save());
    EXPECT_EQ(ReadBytes(),
              "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Other]\r\n\"a\"=\"b\"\r\n"
              "\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\r\n\"news_server\"=\"localhost\"\r\n");
}

TEST_F(RegEditorTest, KeyLineWithACommentOrAbbreviatedRootIsTheSettingsKey) {
    const std::string text =
        "REGEDIT4\n\n[HKCU\\SOFTWARE\\Tarnley\\Quorrel\\1.00] ; written by hand\n"
        "\"news_port\"=dword:00000077\n";
    WriteBytes(text);
    RegFileEditor file;
    ASSERT_TRUE(file.Load(path_));
    file.SetDword("news_port", 563);
    ASSERT_TRUE(file.Save());
    EXPECT_EQ(ReadBytes(), "REGEDIT4\n\n[HKCU\\SOFTWARE\\Tarnley\\Quorrel\\1.00] ; written by hand\n"
                           "\"news_port\"=dword:00000233\n")
        << "the value is changed in place, not in a second copy of the key";
    SettingsStore store;
    LoadInto(store);
    EXPECT_EQ(store.GetInt("news_port", 119, false), 563);
}
