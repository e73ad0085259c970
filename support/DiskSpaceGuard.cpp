#include "support/DiskSpaceGuard.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/LogFiles.h"
#include "platform/Time.h"

namespace {

constexpr std::uint64_t kMinimumFreeBytes = 1ULL << 30;
constexpr std::int64_t kLookEvery = platform::kFileTimeUnitsPerSecond;
constexpr std::int64_t kNeverLooked = INT64_MIN;

std::atomic<bool> gLow{false};
std::atomic<bool> gWasLow{false};
std::atomic<std::int64_t> gLastLook{kNeverLooked};
std::mutex gLooking;
std::atomic<std::uint64_t> gEpisodes{0};
std::mutex gMessageMutex;
std::string gMessage;  // guarded by gMessageMutex

void Tell(const platform::FileSystemSpace& space) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "the working folder's file system has only %llu MiB of %llu MiB free: "
                  "article files are not written and the trace log reuses its oldest "
                  "numbered copy until space is back.",
                  static_cast<unsigned long long>(space.freeBytes >> 20),
                  static_cast<unsigned long long>(space.totalBytes >> 20));
    {
        std::lock_guard<std::mutex> lock(gMessageMutex);
        gMessage = text;
    }
    gEpisodes.fetch_add(1);
    std::fprintf(stderr, "zodiva: %s\n", text);
}

void Look(std::int64_t now) {
    // One thread looks; the others take the last answer meanwhile.
    std::unique_lock<std::mutex> lock(gLooking, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    const std::int64_t last = gLastLook.load();
    if (last != kNeverLooked && now - last < kLookEvery && now >= last)
        return;
    gLastLook.store(now);
    platform::FileSystemSpace space;
    if (!platform::GetFileSystemSpace("", space))
        return;  // cannot tell: keep the last answer
    const bool low = space.freeBytes < DiskSpaceReserve(space.totalBytes);
    if (low && !gLow.load())
        Tell(space);
    if (low)
        gWasLow.store(true);
    gLow.store(low);
}

}  // namespace

std::uint64_t DiskSpaceReserve(std::uint64_t totalBytes) {
    return std::max(totalBytes / 20, kMinimumFreeBytes);
}

bool DiskSpaceLow() {
    const std::int64_t now = platform::CurrentFileTime();
    const std::int64_t last = gLastLook.load(std::memory_order_relaxed);
    if (last == kNeverLooked || now - last >= kLookEvery || now < last)
        Look(now);
    return gLow.load(std::memory_order_relaxed);
}

bool DiskSpaceWasLow() {
    return gWasLow.load();
}

std::uint64_t DiskSpaceLowEpisodes() {
    return gEpisodes.load();
}

std::string DiskSpaceLowMessage() {
    std::lock_guard<std::mutex> lock(gMessageMutex);
    return gMessage;
}

void ResetDiskSpaceGuard() {
    std::lock_guard<std::mutex> lock(gLooking);
    gLastLook.store(kNeverLooked);
    gLow.store(false);
    gWasLow.store(false);
    gEpisodes.store(0);
}
