#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// The arguments a format consumes, one per directive that takes one. The log functions hand
// over what their caller passed; other sources (a fuzzer, a test) can supply them as well.
class LogArguments {
public:
    virtual ~LogArguments() = default;
    virtual int NextInt() = 0;
    virtual const char* NextString() = 0;
};

// Every directive that takes an argument takes a 32-bit integer or a string. Anything else
// (a size_t, a long, a std::string, a double, a bool) would be read back as something it is
// not, so the log functions refuse it when the call is compiled.
template <typename T>
inline constexpr bool kIsLogInteger = std::is_integral_v<T> && sizeof(T) == 4 &&
                                      !std::is_same_v<T, bool> && !std::is_same_v<T, wchar_t> &&
                                      !std::is_same_v<T, char32_t>;

template <typename T>
inline constexpr bool kIsLogString = std::is_same_v<T, const char*> || std::is_same_v<T, char*>;

struct LogArgument {
    bool isString;
    std::int32_t number;
    const char* text;
};

template <typename T>
constexpr LogArgument MakeLogArgument(T value) {
    static_assert(kIsLogInteger<T> || kIsLogString<T>,
                  "a log argument is a 32-bit integer or a const char*: cast or convert it");
    if constexpr (kIsLogString<T>) {
        return {true, 0, value};
    } else if constexpr (kIsLogInteger<T>) {
        return {false, static_cast<std::int32_t>(value), nullptr};
    } else {
        return {};  // refused above; this keeps the compiler to the one message
    }
}

// The arguments of one call. A directive without its argument reads 0 or a null string
// ("NULL"), and one whose argument is of the other kind reads the same, rather than whatever
// lies beyond.
template <std::size_t N>
class LogArgumentList : public LogArguments {
public:
    template <typename... Args>
    explicit LogArgumentList(Args... args) : m_args{MakeLogArgument(args)...} {}

    int NextInt() override {
        const LogArgument* next = Take();
        return next != nullptr && !next->isString ? next->number : 0;
    }
    const char* NextString() override {
        const LogArgument* next = Take();
        return next != nullptr && next->isString ? next->text : nullptr;
    }

private:
    const LogArgument* Take() { return m_next < N ? &m_args[m_next++] : nullptr; }

    std::array<LogArgument, N> m_args;
    std::size_t m_next = 0;
};

template <typename... Args>
LogArgumentList<sizeof...(Args)> MakeLogArguments(Args... args) {
    return LogArgumentList<sizeof...(Args)>(args...);
}
