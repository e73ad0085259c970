#pragma once
// Shared by the tests of group selection, login and the article jobs: a connection whose
// bottom continuation records how the sequence under test ended, and helpers to play a
// server byte by byte from a raw peer.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ConnectionFixture.h"
#include "common/NNTPSocketTestAccess.h"
#include "common/RawPeer.h"

using Access = NNTPSocketTestAccess;

// newsd answers the first GROUP with a demand for login and AUTHINFO with the given replies.
inline newsd::ConnectionScript LoginDemanded(const std::string& userReply,
                                             const std::string& passReply) {
    newsd::ConnectionScript script;
    script.faults.push_back(
        newsd::ConnectionScript::ReplaceReply("GROUP", 1, "480 Authentication required\r\n"));
    script.userReply = userReply;
    script.passReply = passReply;
    return script;
}

class JobProbe : public CNNTPSocket {
public:
    // The continuation a test puts under the sequence it starts.
    void StepDone() { Results.push_back(Access::StepSucceeded(*this)); }
    static StepFn Done() { return static_cast<StepFn>(&JobProbe::StepDone); }

    std::string TempFileName() const {
        return std::to_string(Access::TempFileNumber(*this)) + ".tmp";
    }

    std::vector<int> Results;
};

class JobFixture : public ConnectionFixture {
protected:
    std::unique_ptr<CNNTPSocket> MakeConnection() override { return std::make_unique<JobProbe>(); }

    JobProbe& Probe() { return static_cast<JobProbe&>(*Connection); }

    // Runs a sequence for the test's group with JobProbe::Done as its continuation.
    void Start(StepFn first) {
        Access::SetGroupName(*Connection, kGroup);
        Access::CallSequence(*Connection, first, JobProbe::Done());
    }

    bool WaitForResult(std::size_t count = 1) {
        return PumpUntil([&] { return Probe().Results.size() >= count; });
    }

    bool WaitUntilWaitingForData() {
        return PumpUntil([&] { return Access::IsWaitingForData(*Connection); });
    }

    bool WaitUntilDelaying() {
        return PumpUntil([&] { return Access::IsDelaying(*Connection); });
    }

    // Plays `seconds` of test-clock time: before every tick the connection works until it
    // delays (at most `settle` of real time), so a path that retries without a delay shows
    // up as many commands in the time played.
    void PlayFor(int seconds, std::chrono::milliseconds settle = std::chrono::milliseconds(300)) {
        for (int elapsed = 0; elapsed < seconds; elapsed += kTickSeconds) {
            ::PumpUntil([&] { return Access::IsDelaying(*Connection); }, settle);
            Tick();
        }
        ::PumpUntil([&] { return Access::IsDelaying(*Connection); }, settle);
    }

    // Like TickUntil, but lets the network answer between ticks.
    int PlayUntil(const std::function<bool()>& done, int maxSeconds) {
        for (int elapsed = 0; elapsed <= maxSeconds; elapsed += kTickSeconds) {
            ::PumpUntil([&] { return done() || Access::IsDelaying(*Connection); });
            if (done()) {
                return elapsed;
            }
            Tick();
        }
        return -1;
    }

    // The connection's temporary article file in the test's working directory.
    std::filesystem::path TempFile() { return WorkDir.Path() / Probe().TempFileName(); }

    std::vector<std::string> TempFilesOnDisk() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(WorkDir.Path())) {
            if (entry.path().extension() == ".tmp") {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    // Points the connection at a raw peer instead of newsd.
    void UsePeer(const RawPeer& peer) { Root.SetInt("news_port", peer.Port()); }

    // Dispatches the connection's messages until the peer has received `expected` (appended
    // to what it had received before, which `received` keeps).
    bool PeerReceives(RawPeer& peer, std::string& received, const std::string& expected) {
        const std::size_t want = received.size() + expected.size();
        const bool arrived = PumpUntil([&] {
            received += peer.ReadAvailable();
            return received.size() >= want;
        });
        return arrived && received.compare(want - expected.size(), expected.size(), expected) == 0;
    }
};
