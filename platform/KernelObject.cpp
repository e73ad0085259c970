#include "platform/detail/KernelObject.h"

#include "platform/detail/HandleTable.h"

DWORD KernelObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

namespace platform {
namespace {

using HandleTable = detail::HandleTable<KernelObject, HANDLE, 0x1000>;

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
