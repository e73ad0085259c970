#include "platform/detail/ReadAhead.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform::detail {
namespace {

// A few spare buffers are kept so that a busy connection does not allocate for every read.
constexpr std::size_t kSpares = 16;

struct Pool {
    Pool() { spare.reserve(kSpares); }
    std::mutex mutex;
    std::vector<char*> spare;
    int inUse = 0;
};

Pool& ThePool() {
    static auto* pool = new Pool();  // never destroyed: sockets may outlive static teardown
    return *pool;
}

char* Acquire() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.inUse >= ReadAhead::kMostInUse)
        return nullptr;
    ++pool.inUse;
    if (!pool.spare.empty()) {
        char* data = pool.spare.back();
        pool.spare.pop_back();
        return data;
    }
    return new char[ReadAhead::kCapacity];
}

void GiveBack(char* data) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    --pool.inUse;
    if (pool.spare.size() < kSpares) {
        pool.spare.push_back(data);
        return;
    }
    delete[] data;
}

}  // namespace

char* ReadAhead::Space() {
    if (data_ == nullptr)
        data_ = Acquire();
    start_ = end_ = 0;
    return data_;
}

void ReadAhead::Filled(int count) {
    start_ = 0;
    end_ = std::clamp(count, 0, kCapacity);
    if (end_ == 0)
        Release();
}

int ReadAhead::Take(char* out, int length) {
    const int count = Peek(out, length);
    start_ += count;
    if (start_ == end_)
        Release();
    return count;
}

int ReadAhead::Peek(char* out, int length) const {
    const int count = std::min(std::max(length, 0), end_ - start_);
    if (count > 0)
        std::memcpy(out, data_ + start_, static_cast<std::size_t>(count));
    return count;
}

int ReadAhead::InUse() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.inUse;
}

void ReadAhead::Release() {
    start_ = end_ = 0;
    if (data_ == nullptr)
        return;
    GiveBack(data_);
    data_ = nullptr;
}

}  // namespace platform::detail
