#pragma once
// The bytes a socket has taken from the kernel ahead of its reader. One large read brings
// what the kernel holds; the reader's small recv calls are then served from here without a
// system call each. The storage comes from a process-wide pool and goes back to it whenever
// the bytes are used up, so thousands of quiet connections hold none, and the pool gives out
// at most a fixed number at once: a socket that finds it empty reads straight from the kernel.
#include <cstddef>

namespace platform::detail {

class ReadAhead {
public:
    static constexpr int kCapacity = 256 * 1024;
    // Buffers given out at once, across all sockets: bounds the memory at 64 MiB.
    static constexpr int kMostInUse = 256;

    ReadAhead() = default;
    ~ReadAhead() { Release(); }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    int Size() const { return m_end - m_start; }
    bool Empty() const { return m_start == m_end; }

    // Storage for the next read from the kernel, kCapacity bytes; null when the pool is spent.
    // Only while empty.
    char* Space();
    // The kernel's read put `count` bytes (0..kCapacity) into Space(). With none, the storage
    // goes back to the pool.
    void Filled(int count);
    // Moves up to `length` bytes to `out`; the count moved.
    int Take(char* out, int length);
    // Copies up to `length` bytes to `out` and keeps them.
    int Peek(char* out, int length) const;

    // Buffers out of the pool now (for tests and measurements).
    static int InUse();

private:
    void Release();

    char* m_data = nullptr;
    int m_start = 0;
    int m_end = 0;
};

}  // namespace platform::detail
