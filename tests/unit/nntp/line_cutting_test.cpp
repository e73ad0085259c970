// ReadLine against a plain model of line cutting, on server streams cut into pieces of every
// size: lines end at LF, keep at most 1021 bytes (the rest, LF included, is dropped) and an
// unfinished line carries over to the next piece. The receive path takes whole runs of bytes
// at a time, so the places worth probing are the edges of those runs: a line feed as the
// first or last byte of a piece, a limit reached inside a piece or exactly at its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "ConnectionFixture.h"
#include "common/NNTPSocketTestAccess.h"

using Access = NNTPSocketTestAccess;

namespace {

class LineProbe : public CNNTPSocket {
public:
    void PutInBuffer(const std::string& bytes) {
        NNTPSocketTestAccess::Feed(*this, bytes.data(), bytes.size());
    }
    // Every line the buffered bytes complete, in order.
    void TakeLines(std::vector<std::string>& lines) {
        for (const char* line = Access::ReadLine(*this); line != nullptr;
             line = Access::ReadLine(*this)) {
            lines.emplace_back(line);
        }
    }
};

std::vector<std::string> ModelLines(const std::string& stream) {
    std::vector<std::string> lines;
    std::string current;
    for (const char byte : stream) {
        if (current.size() < kMaxLineLength) {
            current += byte;
        }
        if (byte == '\n') {
            lines.push_back(current);
            current.clear();
        }
    }
    return lines;
}

// Lines of lengths around the limit and far beyond it, with CR, dots and bare LFs.
std::string MakeStream(std::mt19937& random) {
    const std::size_t lengths[] = {0, 1, 2, 127, 128, 1018, 1019, 1020, 1021, 1022, 1023, 3000};
    std::string stream;
    for (int line = 0; line < 120; ++line) {
        const std::size_t length = lengths[random() % std::size(lengths)];
        for (std::size_t i = 0; i < length; ++i) {
            stream += static_cast<char>('!' + random() % 90);
        }
        if (random() % 4 != 0) {
            stream += '\r';
        }
        if (random() % 5 == 0) {
            stream += '.';
        }
        stream += '\n';
    }
    return stream;
}

class LineCuttingTest : public ::testing::Test {
protected:
    std::vector<std::string> CutInto(const std::string& stream, std::mt19937& random,
                                     std::size_t maxPiece) {
        std::vector<std::string> lines;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t piece =
                std::min<std::size_t>(1 + random() % maxPiece, stream.size() - at);
            Probe.PutInBuffer(stream.substr(at, piece));
            Probe.TakeLines(lines);
            EXPECT_LE(Access::LineLength(Probe), kMaxLineLength);
            at += piece;
        }
        return lines;
    }

    LeakCheck Leaks;  // first: destroyed last, after everything below
    TempWorkingDir WorkDir;
    SocketLibrary Winsock;
    LineProbe Probe;
};

TEST_F(LineCuttingTest, PiecesOfAnySizeGiveTheSameLinesAsTheModel) {
    std::mt19937 random(20261208);
    for (const std::size_t maxPiece : {std::size_t{1}, std::size_t{3}, std::size_t{700},
                                       std::size_t{1022}, kReceiveBufferSize}) {
        const std::string stream = MakeStream(random);
        EXPECT_EQ(CutInto(stream, random, maxPiece), ModelLines(stream))
            << "pieces of up to " << maxPiece << " bytes";
    }
}

TEST_F(LineCuttingTest, LimitReachedExactlyAtTheEndOfAPieceDropsTheRestOfTheLine) {
    // 1021 bytes fill the line; the next piece holds only what must be dropped, then a line.
    Probe.PutInBuffer(std::string(1021, 'a'));
    std::vector<std::string> lines;
    Probe.TakeLines(lines);
    EXPECT_TRUE(lines.empty());
    Probe.PutInBuffer("bbb\r\n223 next\r\n");
    Probe.TakeLines(lines);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(1021, 'a'));
    EXPECT_EQ(lines[1], "223 next\r\n");
}

TEST_F(LineCuttingTest, LineFeedAloneAtTheStartOfAPieceEndsTheCarriedLine) {
    Probe.PutInBuffer("222 body follows\r");
    std::vector<std::string> lines;
    Probe.TakeLines(lines);
    EXPECT_TRUE(lines.empty());
    Probe.PutInBuffer("\n");
    Probe.TakeLines(lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "222 body follows\r\n");
}

}  // namespace
