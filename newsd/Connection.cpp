#include "newsd/Connection.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/tcp.h>
#endif

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <utility>

namespace newsd {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr int kMaxIov = 64;

bool IsGreetingFault(const Fault& fault) {
    return fault.verb.size() == std::char_traits<char>::length(kGreetingVerb) &&
           std::equal(fault.verb.begin(), fault.verb.end(), kGreetingVerb, [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == b;
           });
}

bool VerbMatches(const std::string& wanted, const std::string& verb) {
    if (wanted.empty())
        return true;
    if (wanted.size() != verb.size())
        return false;
    return std::equal(wanted.begin(), wanted.end(), verb.begin(), [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == b;
    });
}

}  // namespace

Connection::Connection(UniqueSocket socket, int index, const ServerOptions& options,
                       const ArticleFactory& articles, ConnectionScript script,
                       ConnectionObserver& observer)
    : m_socket(std::move(socket)),
      m_index(index),
      m_script(std::move(script)),
      m_session(articles, options, m_script),
      m_observer(observer),
      m_faultMatches(m_script.faults.size(), 0) {
    // Servers that write a status line and its text separately usually run with Nagle on;
    // that combination is what the script reproduces.
    const int noDelay = options.noDelay && !m_script.separateStatusWrite ? 1 : 0;
    SetIntOption(m_socket.Get(), IPPROTO_TCP, TCP_NODELAY, noDelay);
}

bool Connection::Start() {
    return Start(Clock::now());
}

bool Connection::Start(Clock::time_point now) {
    Reply greeting = m_session.Greet();
    std::vector<const Fault*> faults;
    for (const Fault& fault : m_script.faults) {
        if (IsGreetingFault(fault) && fault.occurrence <= 1)
            faults.push_back(&fault);
    }
    if (greeting.silent) {
        m_mute = true;
    } else if (faults.empty()) {
        Queue(std::move(greeting));
    } else {
        QueueFaulted(std::move(greeting), faults);
    }
    return Pump(now);
}

bool Connection::OnEvent(bool readable, bool hangup) {
    return OnEvent(readable, hangup, Clock::now());
}

bool Connection::OnEvent(bool readable, bool hangup, Clock::time_point now) {
    if (readable)
        m_mayRead = true;
    if (hangup)
        m_hangup = true;
    return Pump(now);
}

bool Connection::OnTimer(Clock::time_point now) {
    if (!m_pauseUntil || now < *m_pauseUntil)
        return true;
    return Pump(now);
}

std::optional<Clock::time_point> Connection::Deadline() const {
    return m_pauseUntil;
}

// Between turns, a reply still queued without a pause is one the socket would not take.
Poller::Interest Connection::Awaits() const {
    if (!m_socket.Valid() || m_busy || m_pauseUntil)
        return Poller::Interest::kNothing;
    return m_output.empty() ? Poller::Interest::kReadable : Poller::Interest::kWritable;
}

// Writes what is queued, then takes the next command, then reads, until the socket would
// block, a pause holds the reply back, or the connection ends.
bool Connection::Pump(Clock::time_point now) {
    m_busy = false;
    int answered = 0;
    for (;;) {
        switch (Flush(now)) {
            case FlushResult::kFinished:
                return false;
            case FlushResult::kBlocked:
            case FlushResult::kWaiting:
                return true;
            case FlushResult::kDone:
                break;
        }
        if (m_more) {
            std::string part;
            if (!m_more(&part))
                m_more = nullptr;
            QueueBytes(std::move(part), After::kNothing);
            continue;
        }
        if (answered == kCommandsPerTurn) {
            // A client that pipelines without end must not starve the others: the loop
            // comes back to this connection after a turn of everyone else.
            m_busy = true;
            return true;
        }
        bool finished = false;
        if (TakeCommand(&finished)) {
            ++answered;
            continue;
        }
        if (finished)
            return false;
        if (m_peerClosed)
            return false;
        if (!ReadMore(&finished))
            return !finished;
    }
}

Connection::FlushResult Connection::Flush(Clock::time_point now) {
    while (!m_output.empty()) {
        Chunk& head = m_output.front();
        if (head.pauseBefore.count() > 0) {
            if (!m_pauseUntil)
                m_pauseUntil = now + head.pauseBefore;
            if (now < *m_pauseUntil)
                return FlushResult::kWaiting;
            m_pauseUntil.reset();
            head.pauseBefore = std::chrono::milliseconds(0);
        }
        WritePiece pieces[kMaxIov] = {};
        int count = 0;
        for (const Chunk& chunk : m_output) {
            if (count == kMaxIov || (count > 0 && chunk.pauseBefore.count() > 0))
                break;
            pieces[count] = MakeWritePiece(chunk.segment.data, chunk.segment.size);
            ++count;
            if (chunk.endsWrite || chunk.after != After::kNothing)
                break;
        }
        long long written = 0;
        if (count > 1 || PieceSize(pieces[0]) > 0) {
            written = SendGathered(m_socket.Get(), pieces, count);
            if (written < 0) {
                const int error = LastSocketError();
                if (Interrupted(error))
                    continue;
                if (WouldBlock(error))
                    return FlushResult::kBlocked;
                return FlushResult::kFinished;
            }
            m_observer.OnBytesSent(static_cast<size_t>(written));
        }
        size_t left = static_cast<size_t>(written);
        for (int i = 0; i < count; ++i) {
            Chunk& chunk = m_output.front();
            const size_t used = std::min(left, chunk.segment.size);
            chunk.segment.data += used;
            chunk.segment.size -= used;
            left -= used;
            if (chunk.segment.size > 0)
                break;
            const After after = chunk.after;
            m_output.pop_front();
            if (after != After::kNothing) {
                Finish(after);
                return FlushResult::kFinished;
            }
        }
    }
    return FlushResult::kDone;
}

void Connection::Finish(After how) {
    if (how == After::kReset) {
        ResetOnClose(m_socket.Get());
    } else {
        ShutdownSending(m_socket.Get());
    }
    m_socket.Reset();
}

bool Connection::TakeCommand(bool* finished) {
    const size_t end = m_input.find('\n', m_inputStart);
    if (end == std::string::npos) {
        if (m_input.size() - m_inputStart > kMaxLine) {
            m_observer.OnCommand(m_index, m_input.substr(m_inputStart, 80));
            QueueBytes("500 Line too long\r\n", After::kClose);
            m_input.clear();
            m_inputStart = 0;
            m_mayRead = false;
            return true;
        }
        return false;
    }
    size_t lineEnd = end;
    if (lineEnd > m_inputStart && m_input[lineEnd - 1] == '\r')
        --lineEnd;
    std::string line = m_input.substr(m_inputStart, lineEnd - m_inputStart);
    m_inputStart = end + 1;
    if (m_inputStart == m_input.size()) {
        m_input.clear();
        m_inputStart = 0;
    }
    Answer(line);
    *finished = false;
    return true;
}

bool Connection::ReadMore(bool* finished) {
    if (!m_mayRead)
        return false;
    if (m_inputStart > 0) {
        m_input.erase(0, m_inputStart);
        m_inputStart = 0;
    }
    // One scratch buffer for every connection of the loop thread; only what arrived is kept.
    thread_local char scratch[kReadChunk];
    long long got;
    int error = 0;
    do {
        got = Receive(m_socket.Get(), scratch, sizeof(scratch));
        error = got < 0 ? LastSocketError() : 0;
    } while (got < 0 && Interrupted(error));
    if (got > 0) {
        m_input.append(scratch, static_cast<size_t>(got));
        // A short read drained the socket; with edge-triggered readiness the next arrival
        // raises a new event, so the empty read that would confirm it is saved. Not after a
        // hang-up, whose end of stream must still be read.
        if (static_cast<size_t>(got) < sizeof(scratch) && !m_hangup)
            m_mayRead = false;
        return true;
    }
    m_mayRead = false;
    if (got == 0) {
        // The client is gone; nothing more will be read, and whatever it sent was answered.
        m_peerClosed = true;
        *finished = true;
        return false;
    }
    if (WouldBlock(error))
        return false;
    *finished = true;
    return false;
}

std::vector<const Fault*> Connection::MatchFaults(const std::string& verb) {
    std::vector<const Fault*> fired;
    for (size_t i = 0; i < m_script.faults.size(); ++i) {
        const Fault& fault = m_script.faults[i];
        if (!VerbMatches(fault.verb, verb) || IsGreetingFault(fault))
            continue;
        ++m_faultMatches[i];
        if (fault.occurrence == 0 || fault.occurrence == m_faultMatches[i])
            fired.push_back(&fault);
    }
    return fired;
}

void Connection::Answer(const std::string& line) {
    m_observer.OnCommand(m_index, line);
    const std::vector<const Fault*> faults = MatchFaults(Session::Verb(line));
    Reply reply = m_session.Handle(line);
    if (m_mute)
        return;
    if (faults.empty()) {
        Queue(std::move(reply));
    } else {
        QueueFaulted(std::move(reply), faults);
    }
}

void Connection::Queue(Reply reply) {
    if (reply.silent)
        return;
    const bool separate = m_script.separateStatusWrite && reply.multiLine && reply.statusSize > 0;
    for (size_t i = 0; i < reply.segments.size(); ++i) {
        Segment& segment = reply.segments[i];
        if (i == 0 && separate && segment.size > reply.statusSize) {
            // The status line in a write of its own, then the text that shares its buffer.
            m_output.push_back(Chunk{Segment{segment.owner, segment.data, reply.statusSize}, true});
            segment.data += reply.statusSize;
            segment.size -= reply.statusSize;
            m_output.push_back(Chunk{std::move(segment)});
            continue;
        }
        m_output.push_back(Chunk{std::move(segment), i == 0 && separate});
    }
    if (reply.closeAfter) {
        if (m_output.empty())
            m_output.push_back(Chunk{});
        m_output.back().after = After::kClose;
    }
    m_more = std::move(reply.more);
}

void Connection::QueueFaulted(Reply reply, const std::vector<const Fault*>& faults) {
    std::string bytes = reply.Flatten();
    After after = reply.closeAfter ? After::kClose : After::kNothing;
    const Fault* split = nullptr;
    for (const Fault* fault : faults) {
        switch (fault->action) {
            case FaultAction::kNoReply:
                m_mute = true;
                return;
            case FaultAction::kReplace:
                bytes = fault->text;
                break;
            case FaultAction::kPrefix:
                bytes = fault->text + bytes;
                break;
            case FaultAction::kSplit:
                split = fault;
                break;
            case FaultAction::kCloseAfter:
            case FaultAction::kResetAfter:
                bytes.resize(std::min(bytes.size(), fault->bytes));
                after = fault->action == FaultAction::kResetAfter ? After::kReset : After::kClose;
                break;
        }
    }
    if (!split) {
        QueueBytes(std::move(bytes), after);
        return;
    }
    auto owner = std::make_shared<const std::string>(std::move(bytes));
    size_t start = 0;
    std::vector<size_t> cuts = split->offsets;
    cuts.push_back(owner->size());
    for (size_t cut : cuts) {
        cut = std::min(cut, owner->size());
        if (cut <= start && cut != owner->size())
            continue;
        Chunk chunk{Segment{owner, owner->data() + start, cut - start}, true};
        if (start > 0)
            chunk.pauseBefore = split->pause;
        m_output.push_back(std::move(chunk));
        start = cut;
        if (cut == owner->size())
            break;
    }
    m_output.back().after = after;
}

void Connection::QueueBytes(std::string bytes, After after) {
    auto owner = std::make_shared<const std::string>(std::move(bytes));
    m_output.push_back(Chunk{Segment{owner, owner->data(), owner->size()}, false, {}, after});
}

}  // namespace newsd
