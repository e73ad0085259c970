// The cost of MutexHandle: every trace line takes the log's one, nearly always uncontended,
// sometimes again by the same thread; and two threads taking turns on it.
#include <benchmark/benchmark.h>

#include "support/MutexHandle.h"

namespace {

void BM_MutexHandleLockUnlock(benchmark::State& state) {
    static MutexHandle mutex;
    for (auto _ : state) {
        mutex.Lock(-1);
        mutex.Unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexHandleLockUnlock);
BENCHMARK(BM_MutexHandleLockUnlock)->Threads(2);

void BM_MutexHandleTimedLockUnlock(benchmark::State& state) {
    static MutexHandle mutex;
    for (auto _ : state) {
        mutex.Lock(1000);
        mutex.Unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexHandleTimedLockUnlock);

void BM_MutexHandleNestedLock(benchmark::State& state) {
    static MutexHandle mutex;
    for (auto _ : state) {
        mutex.Lock(-1);
        mutex.Lock(-1);
        mutex.Unlock();
        mutex.Unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexHandleNestedLock);

}  // namespace
