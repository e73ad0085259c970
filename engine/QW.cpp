#include "engine/QW.h"

#include "nntp/NNTPSocket.h"
#include "platform/Time.h"
#include "support/DiskSpaceGuard.h"
#include "support/Log.h"

CQW::CQW() {
    SetMonitor(std::make_shared<EngineMonitor>());
    DebugLogPrintf("%T: CQW(): Creating QW Window\n");
    RECT rect = {0, 0, 0, 0};
    Create("QWClassWindow", "QWClass", 0, rect, nullptr, nullptr);
    DebugLogPrintf("%T: CQW(): Setting timer.  Thread Id %d\n", ThreadIdForTrace());
    SetTimer(GetWindowHandle(), kTimerId, kTickMilliseconds, nullptr);
}

CQW::~CQW() {
    DebugLogPrintf("%T: ~CQW(): Killing timer.  Thread Id %d\n", ThreadIdForTrace());
    KillTimer(GetWindowHandle(), kTimerId);
    DeleteConnections();
}

void CQW::SetMonitor(std::shared_ptr<EngineMonitor> monitor) {
    if (!monitor) {
        return;
    }
    m_monitor = std::move(monitor);
    m_statusWindow = std::make_unique<StatusRowWindow>(m_monitor->StatusRows());
    m_statusList.Window = m_statusWindow.get();
    m_statusList.RowLimit = EngineMonitor::kStatusRowLimit;
    m_statusList.RowCount = 0;
    m_diskSpaceEpisodeShown = 0;
    for (auto& connection : m_connections) {
        if (connection) {
            // Their slots belonged to the monitor before.
            connection->AttachMonitor(nullptr, &m_monitor->Run());
        }
    }
}

void CQW::DeleteConnections() {
    for (auto& connection : m_connections) {
        if (connection) {
            // Bytes read since the last tick still count towards the download's total.
            m_counters->AddBytes(static_cast<std::uint64_t>(
                connection->PendingBytes() > 0 ? connection->PendingBytes() : 0));
            connection->ResetConnection();
            connection.reset();
        }
    }
    m_connections.clear();
    m_connections.shrink_to_fit();
    m_counters->PublishRate(0.0, m_engineIndex);
}

LRESULT CQW::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        ZODIVA_ASSERT_MSG(hwnd == GetWindowHandle() && wParam == kTimerId, "a timer not the tick's");
        OnTimer();
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    if (message == kMsgStartDownload) {
        CreateConnections();
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

void CQW::OnTimer() {
    ZODIVA_ASSERT_OWNER(Owner());
    for (auto& connection : m_connections) {
        if (connection) {
            const std::int32_t pending = connection->PendingBytes();
            if (pending > 0) {
                m_counters->AddBytes(static_cast<std::uint64_t>(pending));
            }
            connection->OnTimer();
        }
    }
    PublishTotalRate();
    ShowDiskSpaceShortage();
    m_counters->AddTick();
}

// One row of the engine itself each time space runs short, however many lines and articles
// meet the shortage.
void CQW::ShowDiskSpaceShortage() {
    if (!DiskSpaceLow()) {
        return;
    }
    const std::uint64_t episode = DiskSpaceLowEpisodes();
    if (episode == m_diskSpaceEpisodeShown) {
        return;
    }
    m_diskSpaceEpisodeShown = episode;
    const std::string message = DiskSpaceLowMessage();
    m_monitor->StatusRows().TryPush(platform::CurrentFileTime(), 0, message.c_str());
}

void CQW::PublishTotalRate() {
    double total = 0.0;
    for (const auto& connection : m_connections) {
        if (connection) {
            total += connection->CurrentRate();
        }
    }
    m_counters->PublishRate(total, m_engineIndex);
}

double CQW::GetTotalRate() const {
    return m_counters->EngineRate(m_engineIndex);
}

void CQW::JoinGroup(std::shared_ptr<EngineCounters> counters, std::size_t engineIndex,
                    std::int32_t firstConnectionNumber) {
    if (counters) {
        m_counters = std::move(counters);
    }
    m_engineIndex = engineIndex;
    m_firstConnectionNumber = firstConnectionNumber > 0 ? firstConnectionNumber : 0;
}

void CQW::StartDownload() {
    PostMessageA(GetWindowHandle(), kMsgStartDownload, 0, 0);
}

void CQW::CreateConnections() {
    const int count = Settings.GetInt(keys::kConnections, true);
    if (count < 1) {
        return;
    }
    m_connections.reserve(m_connections.size() + static_cast<std::size_t>(count));
    // Numbered on from this engine's first number (one engine of a group) or from 1.
    const std::size_t numberBefore =
        (m_firstConnectionNumber > 0 ? static_cast<std::size_t>(m_firstConnectionNumber) - 1 : 0) +
        m_connections.size();
    ConnectionMonitor* slots = m_monitor->AddConnections(
        static_cast<std::size_t>(count),
        m_firstConnectionNumber > 0 ? static_cast<std::int32_t>(numberBefore + 1) : 0);
    m_monitor->Run().MarkStart(platform::MonotonicTime());
    for (int i = 0; i < count; ++i) {
        auto connection = std::make_unique<CNNTPSocket>();
        connection->Settings.SetParent(&Settings);
        connection->SetConnectionOptions(ConnectionOptions);
        connection->SetCompletedArticlesCounter(m_counters->ArticleCounter());
        connection->AttachMonitor(slots != nullptr ? &slots[i] : nullptr, &m_monitor->Run());
        connection->SetConnectionNumber(static_cast<std::int32_t>(numberBefore + i + 1));
        connection->AttachStatusList(&m_statusList);
        CNNTPSocket* raw = connection.get();
        m_connections.push_back(std::move(connection));
        m_counters->AddConnection();
        raw->StartArticleJob(kGroup, kFirstArticle);
    }
}

