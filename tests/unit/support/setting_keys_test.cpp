// The user guide's settings tables against the program's own list of settings: every key the
// program reads is documented once, under its exact name, with the default the code uses.
#include "support/SettingKeys.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/SettingsStore.h"

namespace {

std::vector<std::string> Cells(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream in(row.substr(1));
    std::string cell;
    while (std::getline(in, cell, '|')) {
        const auto first = cell.find_first_not_of(' ');
        const auto last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

struct Documented {
    std::multimap<std::string, std::string> defaults;  // key (without backticks) -> default
};

// The rows of every table whose header starts with "key" and has a "default" column.
Documented ReadGuide(std::istream& guide) {
    Documented found;
    std::string line;
    int defaultColumn = -1;
    while (std::getline(guide, line)) {
        if (line.empty() || line[0] != '|') {
            defaultColumn = -1;
            continue;
        }
        const std::vector<std::string> cells = Cells(line);
        if (cells.empty() || cells[0].rfind("---", 0) == 0)
            continue;
        if (cells[0] == "key") {
            defaultColumn = -1;
            for (std::size_t i = 0; i < cells.size(); ++i) {
                if (cells[i] == "default")
                    defaultColumn = static_cast<int>(i);
            }
            continue;
        }
        if (defaultColumn < 0 || static_cast<std::size_t>(defaultColumn) >= cells.size())
            continue;
        std::string key = cells[0];
        if (key.size() > 2 && key.front() == '`' && key.back() == '`')
            key = key.substr(1, key.size() - 2);
        std::string value = cells[static_cast<std::size_t>(defaultColumn)];
        found.defaults.emplace(key, value == "empty" ? "" : value);
    }
    return found;
}

// The Linux build names the guide; the Windows build runs the other tests of this file.
#ifdef ZODIVA_USER_GUIDE
TEST(SettingKeys, UserGuideDocumentsEveryKeyWithItsDefault) {
    std::ifstream file(ZODIVA_USER_GUIDE);
    ASSERT_TRUE(file) << ZODIVA_USER_GUIDE;
    const Documented guide = ReadGuide(file);
    ASSERT_FALSE(guide.defaults.empty());

    for (const keys::SettingInfo& setting : keys::kAllSettings) {
        EXPECT_EQ(guide.defaults.count(setting.name), 1u)
            << setting.name << " should be in the guide's settings tables exactly once";
        const auto row = guide.defaults.find(setting.name);
        if (row != guide.defaults.end()) {
            EXPECT_EQ(row->second, keys::DefaultText(setting)) << setting.name;
        }
    }
    for (const auto& [key, value] : guide.defaults) {
        bool known = false;
        for (const keys::SettingInfo& setting : keys::kAllSettings)
            known = known || key == setting.name;
        EXPECT_TRUE(known) << "the guide documents '" << key << "', which the program never reads";
    }
}
#endif

// The reader itself: a wrong default, an unknown key and a table without defaults.
TEST(SettingKeys, GuideReaderSeesDefaultsOnlyInKeyTables) {
    std::istringstream text(
        "| key | type | default | meaning |\n"
        "|---|---|---|---|\n"
        "| `news_port` | dword | 563 | port |\n"
        "| `news_sslca` | string | empty | CA |\n"
        "\n"
        "| key | meaning |\n"
        "|---|---|\n"
        "| `rate` | 0 |\n");
    const Documented guide = ReadGuide(text);
    ASSERT_EQ(guide.defaults.size(), 2u);
    EXPECT_EQ(guide.defaults.find("news_port")->second, "563");
    EXPECT_EQ(guide.defaults.find("news_sslca")->second, "");
    EXPECT_EQ(guide.defaults.count("rate"), 0u);
}

// A setting read through its key gets the table's default when missing, and a value stored
// later is seen at the next read.
TEST(SettingKeys, ReadsAtTheMomentOfUseWithTheTableDefault) {
    SettingsStore store;
    EXPECT_EQ(store.GetInt(keys::kErrorDelay), 10);
    EXPECT_EQ(store.GetString(keys::kNewsServer), "");
    store.SetInt(keys::kErrorDelay, 3);
    store.SetString(keys::kNewsServer, "news.example");
    EXPECT_EQ(store.GetInt(keys::kErrorDelay), 3);
    EXPECT_EQ(store.GetString("NEWS_SERVER", ""), "news.example");
    EXPECT_EQ(keys::DefaultText(keys::Row(keys::kNewsPort)), "119");
}

}  // namespace
