#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows.h"
#include "support/SettingsStore.h"
#include "tests/common/RegistryFile.h"

namespace {

// The run-time chain: connection -> engine -> dialog.
struct StoreChain {
    SettingsStore dialog;
    SettingsStore engine;
    SettingsStore connection;
    StoreChain() {
        engine.SetParent(&dialog);
        connection.SetParent(&engine);
    }
};

TEST(SettingsStore, KeysIgnoreCaseAndKeepTheirFirstSpelling) {
    SettingsStore store;
    store.SetInt("ErrorDelay", 10);
    store.SetInt("errordelay", 20);
    EXPECT_EQ(store.GetInt("ERRORDELAY", 0), 20);
    std::string value;
    EXPECT_TRUE(store.Find("errorDELAY", value));
    EXPECT_EQ(value, "20");
    EXPECT_FALSE(store.Find("errordelays", value));
    EXPECT_EQ(value, "") << "a failed Find empties the value";
}

TEST(SettingsStore, ReadsFallThroughThreeLevels) {
    StoreChain chain;
    chain.dialog.SetString("News_Server", "news.example.net");
    chain.dialog.SetInt("news_port", 563);
    EXPECT_EQ(chain.connection.GetString("news_server", ""), "news.example.net");
    EXPECT_EQ(chain.connection.GetInt("NEWS_PORT", 119), 563);
    EXPECT_EQ(chain.connection.GetString("news_server", "fallback", false), "fallback");

    chain.connection.SetString("NEWS_SERVER", "mine.example.net");
    EXPECT_EQ(chain.connection.GetString("news_server", ""), "mine.example.net");
    EXPECT_EQ(chain.engine.GetString("news_server", ""), "news.example.net")
        << "a connection's value hides the dialog's for that connection only";

    chain.connection.SetInt("article", 1);
    EXPECT_EQ(chain.engine.GetInt("article", 0), 0);
}

TEST(SettingsStore, EmptyValueReadsAsTheDefaultWithoutAskingTheParent) {
    StoreChain chain;
    chain.dialog.SetString("username", "dialog-user");
    chain.connection.SetString("username", "");
    EXPECT_EQ(chain.connection.GetString("username", "default"), "default");
    chain.dialog.SetString("range", "");
    EXPECT_EQ(chain.connection.GetString("range", "1-10"), "1-10");
    EXPECT_EQ(chain.connection.GetString("missing", "dflt"), "dflt");
}

TEST(SettingsStore, IntegersAreReadAsTheRuntimeReadsNumbers) {
    SettingsStore store;
    store.SetString("text", "abc");
    store.SetString("lead", "12abc");
    store.SetString("spaced", "  -7");
    store.SetString("huge", "99999999999");
    store.SetString("tiny", "-99999999999");
    EXPECT_EQ(store.GetInt("text", 5), 0);
    EXPECT_EQ(store.GetInt("lead", 5), 12);
    EXPECT_EQ(store.GetInt("spaced", 5), -7);
    EXPECT_EQ(store.GetInt("missing", 119), 119);
    EXPECT_EQ(store.GetInt("huge", 0), INT_MAX);
    EXPECT_EQ(store.GetInt("tiny", 0), INT_MIN);
    store.SetInt("negative", -5);
    EXPECT_EQ(store.GetString("negative", ""), "-5");
    store.SetInt("min", INT_MIN);
    EXPECT_EQ(store.GetString("min", ""), "-2147483648");
}

class RecordingStore : public SettingsStore {
public:
    bool OnSettingChanged(std::string key, std::string value) override {
        changes.push_back(key + "=" + value);
        // Outside the lock: another thread can read this store right now.
        DWORD id = 0;
        HANDLE thread = reinterpret_cast<HANDLE>(
            _beginthreadex(nullptr, 0, &FindOnAnotherThread, this, 0, reinterpret_cast<unsigned*>(&id)));
        lockWasFree = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
        CloseHandle(thread);
        return false;
    }
    static unsigned WINAPI FindOnAnotherThread(void* self) {
        std::string ignored;
        static_cast<RecordingStore*>(self)->Find("x", ignored);
        return 0;
    }
    std::vector<std::string> changes;
    bool lockWasFree = false;
};

TEST(SettingsStore, ChangesAreAnnouncedOutsideTheLock) {
    RecordingStore store;
    EXPECT_TRUE(store.SetString("a", "1"));
    EXPECT_TRUE(store.SetInt("b", 2)) << "the announcement's result is not used";
    EXPECT_EQ(store.changes, (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_TRUE(store.lockWasFree);
}

TEST(SettingsStore, ConcurrentReadersAndWritersThroughTheChain) {
    StoreChain chain;
    chain.dialog.SetString("news_server", "news.example.net");
    struct Shared {
        StoreChain* chain;
        std::atomic<int> wrongReads{0};
        static unsigned WINAPI Read(void* argument) {
            auto* s = static_cast<Shared*>(argument);
            for (int i = 0; i < 2000; ++i) {
                if (s->chain->connection.GetString("news_server", "") != "news.example.net")
                    ++s->wrongReads;
                s->chain->connection.GetInt("writetodisk", 1);
            }
            return 0;
        }
    } shared{&chain};
    std::vector<HANDLE> threads;
    for (int i = 0; i < 3; ++i)
        threads.push_back(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Shared::Read, &shared, 0, nullptr)));
    for (int i = 0; i < 2000; ++i) {
        chain.dialog.SetInt("writetodisk", i & 1);
        chain.engine.SetParent(&chain.dialog);  // as Go does, under the engine store's lock
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    EXPECT_EQ(shared.wrongReads, 0);
}

// The cached read answers as a look-up through the chain would, after every kind of change:
// a value set at any level, a parent unlinked, a store cleared, and another store asked.
TEST(CachedIntSetting, AnswersAsTheChainDoesAfterEveryChange) {
    StoreChain chain;
    CachedIntSetting writeToDisk("writetodisk", 1);
    EXPECT_EQ(writeToDisk.Get(chain.connection), 1) << "the default";
    chain.dialog.SetInt("WriteToDisk", 0);
    EXPECT_EQ(writeToDisk.Get(chain.connection), 0) << "set in the dialog's store";
    chain.connection.SetInt("article", 41);  // another key: the answer stays
    EXPECT_EQ(writeToDisk.Get(chain.connection), 0);
    chain.engine.SetInt("writetodisk", 7);
    EXPECT_EQ(writeToDisk.Get(chain.connection), 7) << "the nearer store wins";
    chain.connection.SetParent(nullptr);
    EXPECT_EQ(writeToDisk.Get(chain.connection), 1) << "no parent: the default again";
    chain.connection.SetParent(&chain.engine);
    chain.engine.Clear();
    EXPECT_EQ(writeToDisk.Get(chain.connection), 0) << "the engine's value is gone";
    SettingsStore other;
    other.SetInt("writetodisk", 5);
    EXPECT_EQ(writeToDisk.Get(other), 5) << "another store is asked, not answered from memory";
    EXPECT_EQ(writeToDisk.Get(chain.connection), 0);
}

// A change made on another thread is seen by the next read after the change returned.
TEST(CachedIntSetting, SeesAChangeFromAnotherThread) {
    StoreChain chain;
    CachedIntSetting writeToDisk("writetodisk", 1);
    for (int round = 0; round < 200; ++round) {
        const int wanted = round % 2;
        std::thread writer([&] { chain.dialog.SetInt("writetodisk", wanted); });
        writer.join();
        ASSERT_EQ(writeToDisk.Get(chain.connection), wanted) << "round " << round;
    }
}

TEST(SettingsStore, LoadTakesDwordAndTextValuesOfTheKey) {
    const std::string exported =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\r\n"
        "\"news_server\"=\"news.example.net\"\r\n"
        "\"news_port\"=dword:00000233\r\n"
        "\"ERRORDELAY\"=dword:0000000f\r\n"
        "\"AllBits\"=dword:ffffffff\r\n"
        "\"Expand\"=hex(2):25,00,00,00\r\n"
        "\"Blob\"=hex:01,02\r\n"
        "\"Empty\"=\"\"\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00\\Sub]\r\n"
        "\"sub\"=\"not mine\"\r\n";
    ScopedRegistryFile file(AsUtf16LeWithBom(exported));
    StoreChain chain;
    chain.dialog.SetString("stale", "gone after Load");
    ASSERT_TRUE(chain.dialog.Load(HKEY_CURRENT_USER, kSettingsRegistryKey));
    EXPECT_EQ(chain.connection.GetString("news_server", ""), "news.example.net");
    EXPECT_EQ(chain.connection.GetInt("news_port", 119), 563);
    EXPECT_EQ(chain.connection.GetInt("errordelay", 10), 15);
    EXPECT_EQ(chain.connection.GetString("allbits", ""), "-1");
    std::string value;
    EXPECT_FALSE(chain.dialog.Find("Expand", value));
    EXPECT_FALSE(chain.dialog.Find("Blob", value));
    EXPECT_FALSE(chain.dialog.Find("sub", value));
    EXPECT_FALSE(chain.dialog.Find("stale", value));
    EXPECT_TRUE(chain.dialog.Find("Empty", value));
    EXPECT_EQ(chain.connection.GetString("Empty", "dflt"), "dflt");
}

TEST(SettingsStore, LoadOfAMissingKeyLeavesAnEmptyStore) {
    ScopedRegistryFile file("Windows Registry Editor Version 5.00\r\n");
    SettingsStore store;
    store.SetString("a", "b");
    EXPECT_FALSE(store.Load(HKEY_CURRENT_USER, kSettingsRegistryKey));
    std::string value;
    EXPECT_FALSE(store.Find("a", value));
    EXPECT_EQ(store.GetInt("DLConnections", 1), 1);
}

}  // namespace
