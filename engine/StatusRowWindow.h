#pragma once
// The list control behind the status list of an engine's connections. It lives on the engine
// thread, so every row is handed over synchronously, as a status list expects, but it shows
// nothing itself: each row goes, with its time and connection number, into a queue that the
// front end drains on its own thread. Adding a row therefore never waits for the front end;
// the status list's slow-row report measures exactly this hand-over.
//
// The rows it counts follow the list's limit as a list control would (the oldest dropped
// once the limit is reached), so the status list's bookkeeping stays that of a real list.
#include "support/ErrorText.h"

class StatusRowQueue;

class StatusRowWindow : public StatusListControl {
public:
    explicit StatusRowWindow(StatusRowQueue& queue) : m_queue(queue) {}

    void BeginRow(int source) override { m_source = source; }
    void DeleteRow(int index) override;
    void InsertRow(int index, const char* text) override;
    int GetRowCount() override { return m_rows; }
    void EnsureVisible(int /*index*/) override {}

private:
    StatusRowQueue& m_queue;
    int m_source = 0;
    int m_rows = 0;
};
