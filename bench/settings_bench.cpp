// GetInt through the run-time chain of three stores (connection -> engine -> dialog): a
// connection reads settings such as "writetodisk" for every line it receives.
#include <benchmark/benchmark.h>

#include "support/SettingsStore.h"

namespace {

struct Chain {
    SettingsStore dialog;
    SettingsStore engine;
    SettingsStore connection;
    Chain() {
        // A dialog store as loaded from the registry: about twenty keys.
        const char* keys[] = {"news_server",
                              "news_port",
                              "ProxyOption",
                              "ProxyAddress",
                              "ProxyPort",
                              "ProxyUsername",
                              "ProxyPassword",
                              "username",
                              "NNTPp",
                              "retrypassword",
                              "retrypassworddelay",
                              "errordelay",
                              "DLConnections",
                              "writetodisk",
                              "range",
                              "Extra1",
                              "Extra2",
                              "Extra3",
                              "Extra4",
                              "Extra5"};
        int n = 1;
        for (const char* key : keys) dialog.SetInt(key, n++);
        engine.SetParent(&dialog);
        connection.SetParent(&engine);
        connection.SetInt("article", 4711);
    }
};

void BM_GetIntFromTheDialogStore(benchmark::State& state) {
    Chain chain;
    for (auto _ : state) benchmark::DoNotOptimize(chain.connection.GetInt("writetodisk", 1));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetIntFromTheDialogStore);

void BM_GetIntFromTheConnectionStore(benchmark::State& state) {
    Chain chain;
    for (auto _ : state) benchmark::DoNotOptimize(chain.connection.GetInt("article", 0));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetIntFromTheConnectionStore);

void BM_GetIntMissingEverywhere(benchmark::State& state) {
    Chain chain;
    for (auto _ : state) benchmark::DoNotOptimize(chain.connection.GetInt("nothing", 7));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetIntMissingEverywhere);

}  // namespace
