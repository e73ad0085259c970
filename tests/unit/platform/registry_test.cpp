#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/RegFile.h"
#include "tests/common/RegistryFile.h"

namespace {

const char kKey[] = "SOFTWARE\\Tarnley\\Quorrel\\1.00";

// A file as the registry editor exports it (CR LF, blank line after the signature).
const std::string kExport =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\r\n"
    "\"news_server\"=\"news.example.net\"\r\n"
    "\"news_port\"=dword:00000077\r\n"
    "\"DLConnections\"=dword:00000008\r\n"
    "\"Path\"=\"C:\\\\Program Files\\\\Quorrel \\\"2.0\\\"\"\r\n"
    "\"Binary\"=hex:01,02,03,\\\r\n"
    "  04,05\r\n"
    "\"Expand\"=hex(2):25,00,54,00,00,00\r\n"
    "\"Ünïcode\"=\"Grüße\"\r\n"
    "\r\n";

struct Value {
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

// All values of the key through RegEnumValueA, as a reader of the registry sees them.
std::vector<Value> EnumerateKey(const char* subKey) {
    std::vector<Value> values;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLength = sizeof name;
        BYTE data[512];
        DWORD size = sizeof data;
        Value value;
        const LONG result =
            RegEnumValueA(key, index, name, &nameLength, nullptr, &value.type, data, &size);
        if (result != ERROR_SUCCESS)
            break;
        value.name.assign(name, nameLength);
        value.data.assign(data, data + size);
        values.push_back(value);
    }
    RegCloseKey(key);
    return values;
}

// The values by name. RegEnumValueA promises no order (Windows enumerates by name, our layer
// in the file's order), so nothing here relies on one.
struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
    }
};
using ValuesByName = std::map<std::string, Value, NoCase>;

ValuesByName ByName(const std::vector<Value>& values) {
    ValuesByName named;
    for (const Value& value : values) named.emplace(value.name, value);
    return named;
}

std::string Text(const Value& value) {
    return std::string(value.data.begin(), value.data.end());
}

DWORD Dword(const Value& value) {
    DWORD number = 0;
    std::memcpy(&number, value.data.data(), sizeof number);
    return number;
}

void ExpectExportedValues(const std::vector<Value>& values) {
    ASSERT_EQ(values.size(), 7u);
    ValuesByName named = ByName(values);
    ASSERT_EQ(named.size(), 7u);
    EXPECT_EQ(named["news_server"].type, REG_SZ);
    EXPECT_EQ(Text(named["news_server"]), std::string("news.example.net", 17));  // with its NUL
    EXPECT_EQ(named["news_port"].type, REG_DWORD);
    EXPECT_EQ(Dword(named["news_port"]), 0x77u);
    EXPECT_EQ(Dword(named["DLConnections"]), 8u);
    EXPECT_EQ(Text(named["Path"]), std::string("C:\\Program Files\\Quorrel \"2.0\"\0", 31));
    EXPECT_EQ(named["Binary"].type, REG_BINARY);
    EXPECT_EQ(named["Binary"].data, (std::vector<BYTE>{1, 2, 3, 4, 5}));
    EXPECT_EQ(named["Expand"].type, REG_EXPAND_SZ);
    ASSERT_EQ(named.count("Ünïcode"), 1u);
    EXPECT_EQ(Text(named["Ünïcode"]), std::string("Grüße") + '\0');
}

TEST(RegistryFile, Utf16ExportReadsLikeTheUtf8One) {
    {
        ScopedRegistryFile file(AsUtf16LeWithBom(kExport));
        ExpectExportedValues(EnumerateKey(kKey));
    }
    {
        ScopedRegistryFile file(kExport);
        ExpectExportedValues(EnumerateKey(kKey));
    }
    {
        ScopedRegistryFile file("\xEF\xBB\xBF" + kExport);
        ExpectExportedValues(EnumerateKey(kKey));
    }
}

TEST(RegistryFile, Regedit4WithBareLineFeeds) {
    ScopedRegistryFile file(
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\n"
        "\"news_server\"=\"old.example.net\"\n\"errordelay\"=dword:ffffffff\n");
    ValuesByName values = ByName(EnumerateKey(kKey));
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(Text(values["news_server"]), std::string("old.example.net") + '\0');
    EXPECT_EQ(Dword(values["errordelay"]), 0xFFFFFFFFu);
}

TEST(RegistryFile, KeyPathsIgnoreCaseAndAcceptAbbreviations) {
    ScopedRegistryFile file(
        "Windows Registry Editor Version 5.00\r\n\r\n[hkcu\\software\\TARNLEY\\quorrel\\1.00]\r\n"
        "\"a\"=dword:00000001\r\n");
    EXPECT_EQ(EnumerateKey(kKey).size(), 1u);
    EXPECT_EQ(EnumerateKey("Software\\Tarnley\\Quorrel\\1.00").size(), 1u);
}

TEST(RegistryFile, BrokenLinesAreReportedAndSkipped) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "\"orphan\"=dword:00000001\r\n"  // line 3
        "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\r\n"
        "\"good1\"=dword:00000001\r\n"
        "\"bad dword\"=dword:xyz\r\n"       // line 6
        "\"too long\"=dword:123456789\r\n"  // line 7
        "\"unterminated=\"text\r\n"         // line 8
        "\"no equals\" \"x\"\r\n"           // line 9
        "\"bad hex\"=hex:01,zz,\\\r\n"      // line 10
        "  03\r\n"
        "\"weird\"=qword:1\r\n"  // line 12
        "\"good2\"=\"still here\"\r\n"
        "; a comment\r\n"
        "[HKEY_CURRENT_USER\\Broken\r\n"  // line 15
        "\"ignored\"=dword:00000001\r\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\r\n"
        "\"good3\"=dword:00000003\r\n";
    platform::RegFile parsed;
    std::vector<platform::RegFileProblem> problems;
    ASSERT_TRUE(platform::ParseRegFile(AsUtf16LeWithBom(text), parsed, problems));
    std::vector<int> lines;
    for (const auto& problem : problems) lines.push_back(problem.line);
    EXPECT_EQ(lines, (std::vector<int>{3, 6, 7, 8, 9, 10, 12, 15}));

    ScopedRegistryFile file(AsUtf16LeWithBom(text));
    testing::internal::CaptureStderr();
    ValuesByName values = ByName(EnumerateKey(kKey));
    const std::string report = testing::internal::GetCapturedStderr();
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values.count("good1") + values.count("good2") + values.count("good3"), 3u);
#ifndef _WIN32  // our layer reports as it reads the file; Windows reads the registry itself
    EXPECT_NE(report.find(file.Path() + ":6: "), std::string::npos) << report;
    EXPECT_NE(report.find(file.Path() + ":15: "), std::string::npos) << report;
#endif
}

TEST(RegistryFile, KeyOfBackslashesAloneNamesNoKey) {
    platform::RegFile parsed;
    std::vector<platform::RegFileProblem> problems;
    ASSERT_TRUE(platform::ParseRegFile("REGEDIT4\n[\\]\n\"a\"=\"b\"\n[\\\\ ]\n\"c\"=\"d\"\n",
                                       parsed, problems));
    EXPECT_TRUE(parsed.keys.empty()) << "no key may have an empty path";
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].line, 2);
    EXPECT_EQ(problems[1].line, 4);
}

TEST(RegistryFile, RemovalsAndRepeatsFollowTheFileOrder) {
    ScopedRegistryFile file(
        "Windows Registry Editor Version 5.00\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\n"
        "\"a\"=dword:00000001\n\"b\"=\"first\"\n\"B\"=\"second\"\n\"a\"=-\n"
        "[-HKEY_CURRENT_USER\\SOFTWARE\\Other]\n\"x\"=dword:00000001\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Other\\Sub]\n\"y\"=dword:00000002\n"
        "[-HKEY_CURRENT_USER\\SOFTWARE\\Other]\n");
    const std::vector<Value> values = EnumerateKey(kKey);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(Text(values[0]), std::string("second") + '\0');
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Other\\Sub", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND)
        << "a removed key takes its subkeys along";
}

TEST(RegistryFile, HexTextAndDwordValuesReadLikeTheirPlainForms) {
    platform::RegFile parsed;
    std::vector<platform::RegFileProblem> problems;
    ASSERT_TRUE(platform::ParseRegFile(
        "Windows Registry Editor Version 5.00\n[HKEY_USERS\\x]\n"
        "\"wide\"=hex(1):6e,00,65,00,77,00,73,00,00,00\n\"cut\"=hex(1):61,00\n",
        parsed, problems));
    const platform::RegFileKey* key = parsed.FindKey("HKEY_USERS\\x");
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values.size(), 2u);
    EXPECT_EQ(key->values[0].type, REG_SZ);
    EXPECT_EQ(key->values[0].data, (std::vector<BYTE>{'n', 'e', 'w', 's', 0}));
    EXPECT_EQ(key->values[1].data, (std::vector<BYTE>{'a', 0})) << "a NUL is added when missing";
    ASSERT_TRUE(platform::ParseRegFile(
        "REGEDIT4\n[HKEY_USERS\\x]\n\"ansi\"=hex(1):6f,6b\n\"short\"=hex(4):01,02,03\n"
        "\"dword\"=hex(4):01,02,00,00\n",
        parsed, problems));
    ASSERT_EQ(parsed.keys[0].values.size(), 2u);
    EXPECT_EQ(parsed.keys[0].values[0].data, (std::vector<BYTE>{'o', 'k', 0}));
    EXPECT_EQ(parsed.keys[0].values[1].type, REG_DWORD);
    ASSERT_EQ(problems.size(), 1u) << "a three-byte dword is refused";
    EXPECT_EQ(problems[0].line, 4);
}

TEST(RegistryFile, NotARegistryFileAtAll) {
    platform::RegFile parsed;
    std::vector<platform::RegFileProblem> problems;
    EXPECT_FALSE(platform::ParseRegFile("[HKEY_CURRENT_USER\\X]\n", parsed, problems));
    EXPECT_FALSE(platform::ParseRegFile("", parsed, problems));
    EXPECT_FALSE(platform::ParseRegFile("\xFE\xFF\0W", parsed, problems));
    EXPECT_FALSE(problems.empty());
}

TEST(RegistryFile, ParsingKeepsTheEncodingForRewriting) {
    platform::RegFile parsed;
    std::vector<platform::RegFileProblem> problems;
    ASSERT_TRUE(platform::ParseRegFile(AsUtf16LeWithBom(kExport), parsed, problems));
    EXPECT_EQ(parsed.encoding, platform::RegFileEncoding::kUtf16Le);
    EXPECT_EQ(parsed.edition, platform::RegFileEdition::kVersion5);
    EXPECT_TRUE(parsed.crlf);
    ASSERT_TRUE(platform::ParseRegFile("REGEDIT4\n[HKEY_USERS\\x]\n", parsed, problems));
    EXPECT_EQ(parsed.encoding, platform::RegFileEncoding::kUtf8);
    EXPECT_EQ(parsed.edition, platform::RegFileEdition::kRegedit4);
    EXPECT_FALSE(parsed.crlf);
    EXPECT_TRUE(problems.empty());
    ASSERT_NE(parsed.FindKey("HKU\\X"), nullptr);
}

TEST(RegistryApi, MissingFileKeyOrValue) {
#ifndef _WIN32  // the .reg file stands in for the registry on Linux only
    {
        ScopedRegistryFile file(kExport);
        WriteWholeFile(file.Path(), "");  // present but empty: not a registry file
        HKEY key = nullptr;
        testing::internal::CaptureStderr();
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        testing::internal::GetCapturedStderr();
    }
#endif
    ScopedRegistryFile file(kExport);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Nobody", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    // A key above an exported one exists, without values.
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Tarnley", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "news_server", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, "Quorrel\\1.00", 0, KEY_READ, &child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
#ifndef _WIN32  // our layer only reads; Windows lets a user write to HKEY_CURRENT_USER
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ | 0x0002, &key),
              ERROR_ACCESS_DENIED)
        << "the registry is read-only";
#endif
}

TEST(RegistryApi, QueryReportsSizesAndShortBuffers) {
    ScopedRegistryFile file(kExport);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "NEWS_SERVER", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 17u);
    char small[4];
    size = sizeof small;
    EXPECT_EQ(
        RegQueryValueExA(key, "news_server", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
        static_cast<LONG>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 17u);
    char name[4];
    DWORD nameLength = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, nullptr, nullptr),
              static_cast<LONG>(ERROR_MORE_DATA));
    nameLength = 256;
    char longName[256];
    EXPECT_EQ(RegEnumValueA(key, 99, longName, &nameLength, nullptr, &type, nullptr, nullptr),
              static_cast<LONG>(ERROR_NO_MORE_ITEMS));
    RegCloseKey(key);
}

#ifndef _WIN32  // the .reg file stands in for the registry on Linux only
TEST(RegistryApi, FileLocationFollowsTheEnvironment) {
    const char* saved[] = {std::getenv("QUORREL_REGISTRY"), std::getenv("XDG_CONFIG_HOME"),
                           std::getenv("HOME")};
    const std::string keep[] = {saved[0] ? saved[0] : "", saved[1] ? saved[1] : "",
                                saved[2] ? saved[2] : ""};
    setenv("QUORREL_REGISTRY", "/some/where.reg", 1);
    EXPECT_EQ(platform::RegistryFilePath(), "/some/where.reg");
    setenv("QUORREL_REGISTRY", "", 1);
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(platform::RegistryFilePath(), "/cfg/Tarnley/Quorrel.reg");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/user", 1);
    EXPECT_EQ(platform::RegistryFilePath(), "/home/user/.config/Tarnley/Quorrel.reg");
    const char* names[] = {"QUORREL_REGISTRY", "XDG_CONFIG_HOME", "HOME"};
    for (int i = 0; i < 3; ++i) {
        if (saved[i])
            setenv(names[i], keep[i].c_str(), 1);
        else
            unsetenv(names[i]);
    }
}
#endif

}  // namespace

TEST(RegistryFile, ContinuedHexValueEndsAtTheNextKeyLine) {
    platform::RegFile parsed;
    std::vector<platform::RegFileProblem> problems;
    ASSERT_TRUE(platform::ParseRegFile("REGEDIT4\n[HKEY_USERS\\first]\n\"blob\"=hex:01,02,\\\n"
                                       "[HKEY_USERS\\second]\n\"a\"=dword:00000001\n"
                                       "\"b\"=hex:0a,\\\n  0b\n\"c\"=\"after\"\n",
                                       parsed, problems));
    EXPECT_TRUE(problems.empty());
    const platform::RegFileKey* first = parsed.FindKey("HKEY_USERS\\first");
    const platform::RegFileKey* second = parsed.FindKey("HKEY_USERS\\second");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr) << "the key line is not swallowed as hex data";
    ASSERT_EQ(first->values.size(), 1u);
    EXPECT_EQ(first->values[0].data, (std::vector<BYTE>{1, 2}));
    ASSERT_EQ(second->values.size(), 3u);
    EXPECT_EQ(second->values[0].name, "a");
    EXPECT_EQ(second->values[1].data, (std::vector<BYTE>{0x0a, 0x0b}))
        << "an ordinary continuation still joins";
    EXPECT_EQ(second->values[2].name, "c");
}

TEST(RegistryFile, KeyLineMayCarryATrailingComment) {
    platform::RegFile parsed;
    std::vector<platform::RegFileProblem> problems;
    ASSERT_TRUE(platform::ParseRegFile(
        "REGEDIT4\n[HKEY_USERS\\noted] ; settings for the test\n\"a\"=\"b\"\n"
        "[HKEY_USERS\\odd]name];x]\n\"c\"=\"d\"\n[-HKEY_USERS\\gone];why\n"
        "[HKEY_USERS\\bad] trailing\n\"e\"=\"f\"\n",
        parsed, problems));
    const platform::RegFileKey* noted = parsed.FindKey("HKEY_USERS\\noted");
    ASSERT_NE(noted, nullptr);
    ASSERT_EQ(noted->values.size(), 1u);
    EXPECT_NE(parsed.FindKey("HKEY_USERS\\odd]name"), nullptr)
        << "the first ']' followed by a comment closes the key";
    ASSERT_EQ(problems.size(), 1u) << "text after the ']' that is not a comment is refused";
    EXPECT_EQ(problems[0].line, 7);
    EXPECT_EQ(parsed.keys.size(), 2u);
}
