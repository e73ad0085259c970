#pragma once
#include <cstdarg>

// The arguments a format consumes, one per directive that takes one. The log facility
// reads them from a va_list; other sources (a fuzzer, a test) can supply them as well.
class LogArguments {
public:
    virtual ~LogArguments() = default;
    virtual int NextInt() = 0;
    virtual const char* NextString() = 0;
};

class VaListLogArguments : public LogArguments {
public:
    explicit VaListLogArguments(va_list args) { va_copy(m_args, args); }
    ~VaListLogArguments() override { va_end(m_args); }
    int NextInt() override { return va_arg(m_args, int); }
    const char* NextString() override { return va_arg(m_args, const char*); }

private:
    va_list m_args;
};
