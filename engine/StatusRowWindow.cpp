#include "engine/StatusRowWindow.h"

#include "platform/Time.h"
#include "support/StatusRowQueue.h"

void StatusRowWindow::DeleteRow(int index) {
    if (index >= 0 && index < m_rows) {
        --m_rows;
    }
}

void StatusRowWindow::InsertRow(int /*index*/, const char* text) {
    // A full queue drops the row and counts it: the front end is behind, and the engine
    // must not wait for it.
    m_queue.TryPush(platform::CurrentFileTime(), m_source, text);
    ++m_rows;
    m_source = 0;
}
