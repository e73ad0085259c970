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
    if (m_data == nullptr)
        m_data = Acquire();
    m_start = m_end = 0;
    return m_data;
}

void ReadAhead::Filled(int count) {
    m_start = 0;
    m_end = std::clamp(count, 0, kCapacity);
    if (m_end == 0)
        Release();
}

int ReadAhead::Take(char* out, int length) {
    const int count = Peek(out, length);
    m_start += count;
    if (m_start == m_end)
        Release();
    return count;
}

int ReadAhead::Peek(char* out, int length) const {
    const int count = std::min(std::max(length, 0), m_end - m_start);
    if (count > 0)
        std::memcpy(out, m_data + m_start, static_cast<std::size_t>(count));
    return count;
}

int ReadAhead::InUse() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.inUse;
}

void ReadAhead::Release() {
    m_start = m_end = 0;
    if (m_data == nullptr)
        return;
    GiveBack(m_data);
    m_data = nullptr;
}

}  // namespace platform::detail
