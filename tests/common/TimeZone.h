#pragma once
// Sets the TZ environment variable for one scope, so local-time output is predictable.
#include <cstdlib>
#include <ctime>
#include <string>

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* previous = std::getenv("TZ");
        m_hadPrevious = previous != nullptr;
        if (m_hadPrevious)
            m_previous = previous;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (m_hadPrevious)
            setenv("TZ", m_previous.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool m_hadPrevious = false;
    std::string m_previous;
};
