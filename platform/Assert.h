#pragma once
// Rules the code relies on, checked rather than only written down.
//
// ZODIVA_ASSERT(cond) and ZODIVA_ASSERT_MSG(cond, text): when cond is false, print
// "file:line: rule broken: cond (text)" to stderr and abort. Checked in the debug, asan and
// tsan builds; in a release build (NDEBUG) cond is still compiled but never evaluated, so it
// must not do anything the program needs.
//
// ThreadOwner: the thread that made the object holding it (or the last one to Adopt it).
// ZODIVA_ASSERT_OWNER(owner) fails when called from any other thread: for objects that
// belong to one thread and must not be touched from another.
//
// Lowest layer on purpose, so that platform/ can state its own rules with it; on Windows
// GetCurrentThreadId is the system's.
#include <cstdio>
#include <cstdlib>

#include "platform/Kernel.h"

#if defined(NDEBUG)
#define ZODIVA_ASSERTS_ENABLED 0
#else
#define ZODIVA_ASSERTS_ENABLED 1
#endif

[[noreturn]] inline void ZodivaAssertFailed(const char* file, int line, const char* condition,
                                            const char* text) {
    if (text)
        std::fprintf(stderr, "%s:%d: rule broken: %s (%s)\n", file, line, condition, text);
    else
        std::fprintf(stderr, "%s:%d: rule broken: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

#if ZODIVA_ASSERTS_ENABLED
#define ZODIVA_ASSERT_MSG(cond, text) \
    ((cond) ? static_cast<void>(0) : ZodivaAssertFailed(__FILE__, __LINE__, #cond, text))
#else
#define ZODIVA_ASSERT_MSG(cond, text) static_cast<void>(sizeof(static_cast<bool>(cond)) + sizeof(text))
#endif
#define ZODIVA_ASSERT(cond) ZODIVA_ASSERT_MSG(cond, nullptr)

// The same layout in every build: only the checks are compiled out.
class ThreadOwner {
public:
    ThreadOwner() : m_thread(GetCurrentThreadId()) {}

    bool IsCurrentThread() const { return GetCurrentThreadId() == m_thread; }
    DWORD Thread() const { return m_thread; }
    // The calling thread becomes the owner: for an object made on one thread and then handed,
    // before anyone uses it, to the thread that runs it.
    void Adopt() { m_thread = GetCurrentThreadId(); }

private:
    DWORD m_thread;
};

#define ZODIVA_ASSERT_OWNER(owner) \
    ZODIVA_ASSERT_MSG((owner).IsCurrentThread(), "called from a thread that does not own it")
