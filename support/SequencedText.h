#pragma once
// A short text written by one thread (or a few) and read by any other without a lock: a
// writer never waits for a reader, and a reader never sees half of one text and half of
// another.
//
// The text lives in atomic words under a sequence count that is odd while a text is being
// stored; a reader reads the words and the count again until the count held still and was
// even. Writers never wait for readers; several writers (the engine threads of a group)
// take turns, each storing a whole text.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

template <std::size_t Size>
class SequencedText {
    static_assert(Size % 8 == 0 && Size >= 8, "the text is stored in whole 64-bit words");

public:
    static constexpr std::size_t kSize = Size;  // with the terminating NUL

    // Stores text up to Size - 1 characters, stopping early at CR or LF (a reply's line end is
    // no part of what is shown).
    void Store(const char* text) {
        char copy[Size] = {};
        std::size_t length = 0;
        while (text != nullptr && length < Size - 1 && text[length] != '\0' &&
               text[length] != '\r' && text[length] != '\n') {
            ++length;
        }
        if (length > 0) {
            std::memcpy(copy, text, length);
        }
        // Each word is stored with release, so a reader that sees any new word also sees the
        // odd count stored before it and reads again. No fence: thread checkers do not follow
        // fences (on x86 both forms are plain moves).
        // Writers of several engine threads take turns: the count is made odd only from even.
        std::uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
        while ((sequence & 1u) != 0 ||
               !m_sequence.compare_exchange_weak(sequence, sequence + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
            if ((sequence & 1u) != 0) {
                std::this_thread::yield();
                sequence = m_sequence.load(std::memory_order_relaxed);
            }
        }
        for (std::size_t i = 0; i < kWords; ++i) {
            std::uint64_t word;
            std::memcpy(&word, copy + i * 8, 8);
            m_words[i].store(word, std::memory_order_release);
        }
        m_sequence.store(sequence + 2, std::memory_order_release);
    }

    // Copies the whole text, NUL-terminated, into out.
    void Load(char (&out)[Size]) const {
        for (int attempt = 1;; ++attempt) {
            // The words are read with acquire (see Store), so the count read after them is at
            // least the one stored before any word read.
            const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < kWords; ++i) {
                const std::uint64_t word = m_words[i].load(std::memory_order_acquire);
                std::memcpy(out + i * 8, &word, 8);
            }
            const std::uint32_t after = m_sequence.load(std::memory_order_relaxed);
            if (before == after && (before & 1u) == 0) {
                break;
            }
            // The writer stores a text in a few nanoseconds and never waits, so in practice
            // the first read is whole; after many torn reads other threads get to run.
            if (attempt >= kReadsBeforeYield) {
                std::this_thread::yield();
            }
        }
        out[Size - 1] = '\0';
    }

private:
    static constexpr std::size_t kWords = Size / 8;
    static constexpr int kReadsBeforeYield = 16;

    std::atomic<std::uint32_t> m_sequence{0};
    std::array<std::atomic<std::uint64_t>, kWords> m_words{};
};
