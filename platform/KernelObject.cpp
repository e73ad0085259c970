#include "platform/detail/KernelObject.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

DWORD KernelObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

namespace platform {
namespace {

class HandleTable {
public:
    HANDLE Add(std::shared_ptr<KernelObject> object) {
        std::lock_guard<std::mutex> guard(m_mutex);
        // Step by 4 as Windows does; the counter never wraps in a process's life.
        m_next += 4;
        m_objects.emplace(m_next, std::move(object));
        return reinterpret_cast<HANDLE>(m_next);
    }

    std::shared_ptr<KernelObject> Find(HANDLE handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : it->second;
    }

    std::shared_ptr<KernelObject> Remove(HANDLE handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == m_objects.end())
            return nullptr;
        std::shared_ptr<KernelObject> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

    void Restore(HANDLE handle, std::shared_ptr<KernelObject> object) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_objects.emplace(reinterpret_cast<std::uintptr_t>(handle), std::move(object));
    }

private:
    std::mutex m_mutex;
    std::uintptr_t m_next = 0x1000;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> m_objects;
};

// Never destroyed: handles may be closed by static destructors and by threads that
// outlive main.
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

}  // namespace

HANDLE RegisterKernelObject(std::shared_ptr<KernelObject> object) {
    return Table().Add(std::move(object));
}

std::shared_ptr<KernelObject> FindKernelObject(HANDLE handle) {
    return Table().Find(handle);
}

std::shared_ptr<KernelObject> UnregisterKernelObject(HANDLE handle) {
    return Table().Remove(handle);
}

void RestoreKernelObject(HANDLE handle, std::shared_ptr<KernelObject> object) {
    Table().Restore(handle, std::move(object));
}

}  // namespace platform
