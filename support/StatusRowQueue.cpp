// A bounded queue in which every slot carries a sequence number: a pusher claims the tail
// slot when its sequence says it is free, a popper the head slot when it says it is full.
// Claims are compare-and-swap on the two counters; nobody ever waits for anybody.
#include "support/StatusRowQueue.h"

#include <cstring>

namespace {

std::size_t RoundUpToPowerOfTwo(std::size_t value) {
    std::size_t result = 1;
    while (result < value) {
        result <<= 1;
    }
    return result;
}

}  // namespace

StatusRowQueue::StatusRowQueue(std::size_t capacity) {
    const std::size_t size = RoundUpToPowerOfTwo(capacity < 2 ? 2 : capacity);
    m_slots = std::make_unique<Slot[]>(size);
    m_mask = size - 1;
    for (std::size_t i = 0; i < size; ++i) {
        m_slots[i].sequence.store(i, std::memory_order_relaxed);
    }
}

StatusRowQueue::~StatusRowQueue() = default;

bool StatusRowQueue::TryPush(std::int64_t fileTime, std::int32_t connection, const char* text) {
    std::size_t position = m_tail.load(std::memory_order_relaxed);
    Slot* slot = nullptr;
    for (;;) {
        slot = &m_slots[position & m_mask];
        const std::size_t sequence = slot->sequence.load(std::memory_order_acquire);
        const auto difference =
            static_cast<std::intptr_t>(sequence) - static_cast<std::intptr_t>(position);
        if (difference == 0) {
            if (m_tail.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                break;
            }
        } else if (difference < 0) {
            m_dropped.fetch_add(1, std::memory_order_relaxed);
            return false;  // full: the slot still holds a row nobody has popped
        } else {
            position = m_tail.load(std::memory_order_relaxed);
        }
    }
    slot->row.fileTime = fileTime;
    slot->row.connection = connection;
    const std::size_t length = text == nullptr ? 0 : strnlen(text, kStatusRowMaxLength);
    std::memcpy(slot->row.text, text == nullptr ? "" : text, length);
    slot->row.text[length] = '\0';
    slot->sequence.store(position + 1, std::memory_order_release);
    m_pushed.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool StatusRowQueue::TryPop(StatusRow& row) {
    std::size_t position = m_head.load(std::memory_order_relaxed);
    Slot* slot = nullptr;
    for (;;) {
        slot = &m_slots[position & m_mask];
        const std::size_t sequence = slot->sequence.load(std::memory_order_acquire);
        const auto difference =
            static_cast<std::intptr_t>(sequence) - static_cast<std::intptr_t>(position + 1);
        if (difference == 0) {
            if (m_head.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                break;
            }
        } else if (difference < 0) {
            return false;  // empty
        } else {
            position = m_head.load(std::memory_order_relaxed);
        }
    }
    row.fileTime = slot->row.fileTime;
    row.connection = slot->row.connection;
    std::memcpy(row.text, slot->row.text, std::strlen(slot->row.text) + 1);
    slot->sequence.store(position + m_mask + 1, std::memory_order_release);
    return true;
}
