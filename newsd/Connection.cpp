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
    : socket_(std::move(socket)),
      index_(index),
      script_(std::move(script)),
      session_(articles, options, script_),
      observer_(observer),
      faultMatches_(script_.faults.size(), 0) {
    // Servers that write a status line and its text separately usually run with Nagle on;
    // that combination is what the script reproduces.
    const int noDelay = options.noDelay && !script_.separateStatusWrite ? 1 : 0;
    SetIntOption(socket_.Get(), IPPROTO_TCP, TCP_NODELAY, noDelay);
}

bool Connection::Start() {
    return Start(Clock::now());
}

bool Connection::Start(Clock::time_point now) {
    Reply greeting = session_.Greet();
    std::vector<const Fault*> faults;
    for (const Fault& fault : script_.faults) {
        if (IsGreetingFault(fault) && fault.occurrence <= 1)
            faults.push_back(&fault);
    }
    if (greeting.silent) {
        mute_ = true;
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
        mayRead_ = true;
    if (hangup)
        hangup_ = true;
    return Pump(now);
}

bool Connection::OnTimer(Clock::time_point now) {
    if (!pauseUntil_ || now < *pauseUntil_)
        return true;
    return Pump(now);
}

std::optional<Clock::time_point> Connection::Deadline() const {
    return pauseUntil_;
}

// Between turns, a reply still queued without a pause is one the socket would not take.
Poller::Interest Connection::Awaits() const {
    if (!socket_.Valid() || busy_ || pauseUntil_)
        return Poller::Interest::kNothing;
    return output_.empty() ? Poller::Interest::kReadable : Poller::Interest::kWritable;
}

// Writes what is queued, then takes the next command, then reads, until the socket would
// block, a pause holds the reply back, or the connection ends.
bool Connection::Pump(Clock::time_point now) {
    busy_ = false;
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
        if (more_) {
            std::string part;
            if (!more_(&part))
                more_ = nullptr;
            QueueBytes(std::move(part), After::kNothing);
            continue;
        }
        if (answered == kCommandsPerTurn) {
            // A client that pipelines without end must not starve the others: the loop
            // comes back to this connection after a turn of everyone else.
            busy_ = true;
            return true;
        }
        bool finished = false;
        if (TakeCommand(&finished)) {
            ++answered;
            continue;
        }
        if (finished)
            return false;
        if (peerClosed_)
            return false;
        if (!ReadMore(&finished))
            return !finished;
    }
}

Connection::FlushResult Connection::Flush(Clock::time_point now) {
    while (!output_.empty()) {
        Chunk& head = output_.front();
        if (head.pauseBefore.count() > 0) {
            if (!pauseUntil_)
                pauseUntil_ = now + head.pauseBefore;
            if (now < *pauseUntil_)
                return FlushResult::kWaiting;
            pauseUntil_.reset();
            head.pauseBefore = std::chrono::milliseconds(0);
        }
        WritePiece pieces[kMaxIov] = {};
        int count = 0;
        for (const Chunk& chunk : output_) {
            if (count == kMaxIov || (count > 0 && chunk.pauseBefore.count() > 0))
                break;
            pieces[count] = MakeWritePiece(chunk.segment.data, chunk.segment.size);
            ++count;
            if (chunk.endsWrite || chunk.after != After::kNothing)
                break;
        }
        long long written = 0;
        if (count > 1 || PieceSize(pieces[0]) > 0) {
            written = SendGathered(socket_.Get(), pieces, count);
            if (written < 0) {
                const int error = LastSocketError();
                if (Interrupted(error))
                    continue;
                if (WouldBlock(error))
                    return FlushResult::kBlocked;
                return FlushResult::kFinished;
            }
            observer_.OnBytesSent(static_cast<size_t>(written));
        }
        size_t left = static_cast<size_t>(written);
        for (int i = 0; i < count; ++i) {
            Chunk& chunk = output_.front();
            const size_t used = std::min(left, chunk.segment.size);
            chunk.segment.data += used;
            chunk.segment.size -= used;
            left -= used;
            if (chunk.segment.size > 0)
                break;
            const After after = chunk.after;
            output_.pop_front();
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
        ResetOnClose(socket_.Get());
    } else {
        ShutdownSending(socket_.Get());
    }
    socket_.Reset();
}

bool Connection::TakeCommand(bool* finished) {
    const size_t end = input_.find('\n', inputStart_);
    if (end == std::string::npos) {
        if (input_.size() - inputStart_ > kMaxLine) {
            observer_.OnCommand(index_, input_.substr(inputStart_, 80));
            QueueBytes("500 Line too long\r\n", After::kClose);
            input_.clear();
            inputStart_ = 0;
            mayRead_ = false;
            return true;
        }
        return false;
    }
    size_t lineEnd = end;
    if (lineEnd > inputStart_ && input_[lineEnd - 1] == '\r')
        --lineEnd;
    std::string line = input_.substr(inputStart_, lineEnd - inputStart_);
    inputStart_ = end + 1;
    if (inputStart_ == input_.size()) {
        input_.clear();
        inputStart_ = 0;
    }
    Answer(line);
    *finished = false;
    return true;
}

bool Connection::ReadMore(bool* finished) {
    if (!mayRead_)
        return false;
    if (inputStart_ > 0) {
        input_.erase(0, inputStart_);
        inputStart_ = 0;
    }
    // One scratch buffer for every connection of the loop thread; only what arrived is kept.
    thread_local char scratch[kReadChunk];
    long long got;
    int error = 0;
    do {
        got = Receive(socket_.Get(), scratch, sizeof(scratch));
        error = got < 0 ? LastSocketError() : 0;
    } while (got < 0 && Interrupted(error));
    if (got > 0) {
        input_.append(scratch, static_cast<size_t>(got));
        // A short read drained the socket; with edge-triggered readiness the next arrival
        // raises a new event, so the empty read that would confirm it is saved. Not after a
        // hang-up, whose end of stream must still be read.
        if (static_cast<size_t>(got) < sizeof(scratch) && !hangup_)
            mayRead_ = false;
        return true;
    }
    mayRead_ = false;
    if (got == 0) {
        // The client is gone; nothing more will be read, and whatever it sent was answered.
        peerClosed_ = true;
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
    for (size_t i = 0; i < script_.faults.size(); ++i) {
        const Fault& fault = script_.faults[i];
        if (!VerbMatches(fault.verb, verb) || IsGreetingFault(fault))
            continue;
        ++faultMatches_[i];
        if (fault.occurrence == 0 || fault.occurrence == faultMatches_[i])
            fired.push_back(&fault);
    }
    return fired;
}

void Connection::Answer(const std::string& line) {
    observer_.OnCommand(index_, line);
    const std::vector<const Fault*> faults = MatchFaults(Session::Verb(line));
    Reply reply = session_.Handle(line);
    if (mute_)
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
    const bool separate = script_.separateStatusWrite && reply.multiLine && reply.statusSize > 0;
    for (size_t i = 0; i < reply.segments.size(); ++i) {
        Segment& segment = reply.segments[i];
        if (i == 0 && separate && segment.size > reply.statusSize) {
            // The status line in a write of its own, then the text that shares its buffer.
            output_.push_back(Chunk{Segment{segment.owner, segment.data, reply.statusSize}, true});
            segment.data += reply.statusSize;
            segment.size -= reply.statusSize;
            output_.push_back(Chunk{std::move(segment)});
            continue;
        }
        output_.push_back(Chunk{std::move(segment), i == 0 && separate});
    }
    if (reply.closeAfter) {
        if (output_.empty())
            output_.push_back(Chunk{});
        output_.back().after = After::kClose;
    }
    more_ = std::move(reply.more);
}

void Connection::QueueFaulted(Reply reply, const std::vector<const Fault*>& faults) {
    std::string bytes = reply.Flatten();
    After after = reply.closeAfter ? After::kClose : After::kNothing;
    const Fault* split = nullptr;
    for (const Fault* fault : faults) {
        switch (fault->action) {
            case FaultAction::kNoReply:
                mute_ = true;
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
        output_.push_back(std::move(chunk));
        start = cut;
        if (cut == owner->size())
            break;
    }
    output_.back().after = after;
}

void Connection::QueueBytes(std::string bytes, After after) {
    auto owner = std::make_shared<const std::string>(std::move(bytes));
    output_.push_back(Chunk{Segment{owner, owner->data(), owner->size()}, false, {}, after});
}

}  // namespace newsd
