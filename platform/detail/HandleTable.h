#pragma once
// A table of the objects behind handles of one kind (kernel objects, registry keys). Handles
// are drawn from a counter that starts at `first` and steps by 4, as Windows' do, and are never
// reused in a process's life, so a stale handle finds nothing rather than someone else's
// object. Any thread.
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform::detail {

template <typename Object, typename Handle, std::uintptr_t first>
class HandleTable {
public:
    Handle Add(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_next += 4;
        m_objects.emplace(m_next, std::move(object));
        return reinterpret_cast<Handle>(m_next);
    }

    std::shared_ptr<Object> Find(Handle handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_objects.find(Key(handle));
        return it == m_objects.end() ? nullptr : it->second;
    }

    // The object, taken out of the table; null when the handle is not open.
    std::shared_ptr<Object> Remove(Handle handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_objects.find(Key(handle));
        if (it == m_objects.end())
            return nullptr;
        std::shared_ptr<Object> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

    // Puts back what Remove took (a close that failed leaves the handle open).
    void Restore(Handle handle, std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_objects.emplace(Key(handle), std::move(object));
    }

private:
    static std::uintptr_t Key(Handle handle) { return reinterpret_cast<std::uintptr_t>(handle); }

    std::mutex m_mutex;
    std::uintptr_t m_next = first;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> m_objects;
};

}  // namespace platform::detail
