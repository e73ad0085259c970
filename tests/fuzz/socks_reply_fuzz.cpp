// Proxy replies fed to the SOCKS5 client in arbitrary pieces. Two kinds of input:
//  - raw (mode bit 0 clear): any bytes, cut anywhere; the client must never crash, keep its
//    state in range, queue no more than its buffer holds, point its tunnel bytes inside the
//    block, and be idle after every failure;
//  - dialogue (mode bit 0 set): a well-formed proxy conversation built from the input (method
//    reply, optional login status, CONNECT reply with any address type, tunnel bytes), each
//    reply cut into pieces at fuzzed points. The outcome must be the one the replies ask for,
//    and every tunnelled byte must come out exactly once, in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/Socks.h"

namespace {

class ByteSource {
public:
    ByteSource(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_position >= m_size; }
    std::uint8_t Next() { return Empty() ? 0 : m_data[m_position++]; }
    std::string Take(std::size_t count) {
        std::string bytes;
        while (bytes.size() < count && !Empty()) bytes += static_cast<char>(Next());
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// One block to the client, with the checks that hold for every block. Returns the client's
// answer and appends the tunnel bytes it reports to `tunnel`.
bool Feed(SOCKS& client, const std::string& block, std::string& tunnel) {
    const bool wasNegotiating = client.IsNegotiating();
    const bool ok = client.OnRecieve(block.data(), static_cast<int>(block.size()));
    Check(client.GetState() >= SOCKS::Idle && client.GetState() <= SOCKS::Connected);
    Check(ok || client.GetState() == SOCKS::Idle);
    Check(client.PendingLength() >= 0 && client.PendingLength() <= SOCKS::kOutputBufferSize);
    const int offset = client.TrailingOffset();
    const int count = client.TrailingCount();
    Check(offset >= 0 && count >= 0 && offset + count <= static_cast<int>(block.size()));
    Check(count == 0 || (wasNegotiating && client.IsConnected()));
    tunnel.append(block, static_cast<std::size_t>(offset), static_cast<std::size_t>(count));
    int length = 0;
    client.TakeOutput(&length);
    Check(client.PendingLength() == 0);
    return ok;
}

// Hands `reply` over in pieces whose sizes come from the input; stops early when the client
// leaves negotiation. What is left of the reply after that goes to `rest`.
void FeedInPieces(SOCKS& client, ByteSource& input, const std::string& reply, std::string& tunnel,
                  std::string& rest) {
    std::size_t at = 0;
    while (at < reply.size()) {
        if (!client.IsNegotiating()) {
            rest = reply.substr(at);
            return;
        }
        const std::size_t piece = 1 + input.Next() % 8;
        Feed(client, reply.substr(at, piece), tunnel);
        at += piece;
    }
}

void RawInput(ByteSource& input) {
    SOCKS client;
    const bool login = input.Next() & 1;
    client.SetInfo(input.Next() & 1 ? "news.example.net" : "127.0.0.1", 119, login ? "user" : "",
                   login ? "secret" : "");
    client.OnConnect();
    int length = 0;
    client.TakeOutput(&length);
    Check(length > 0);
    std::string tunnel;
    while (!input.Empty()) {
        Feed(client, input.Take(1 + input.Next() % 64), tunnel);
    }
}

void Dialogue(ByteSource& input) {
    const std::uint8_t shape = input.Next();
    const bool hasLogin = shape & 1;
    const bool ipv4Destination = shape & 2;
    // A user name beyond 255 bytes cannot be sent: the client must fail, not overflow.
    const std::size_t userLength = hasLogin ? (shape & 4 ? 300 : 1 + input.Next() % 32) : 0;
    SOCKS client;
    client.SetInfo(ipv4Destination ? "127.0.0.1" : "news.example.net", 119,
                   std::string(userLength, 'u'), hasLogin ? "secret" : "");
    client.OnConnect();
    int length = 0;
    client.TakeOutput(&length);

    // The method the proxy picks: none, login, or one the client never offered.
    const std::uint8_t methodChoice = input.Next() % 3;
    const unsigned char method = methodChoice == 0 ? 0x00 : methodChoice == 1 ? 0x02 : 0xFF;
    const bool loginOk = (input.Next() % 4) != 0;
    const bool connectOk = (input.Next() % 4) != 0;
    const std::uint8_t addressChoice = input.Next() % 4;
    const unsigned char addressType = addressChoice == 0   ? 0x01
                                      : addressChoice == 1 ? 0x04
                                      : addressChoice == 2 ? 0x03
                                                           : 0x07;  // unknown
    std::string connectReply = {0x05, static_cast<char>(connectOk ? 0x00 : 0x05), 0x00,
                                static_cast<char>(addressType)};
    if (addressType == 0x01)
        connectReply += std::string(4, '\x7f');
    if (addressType == 0x04)
        connectReply += std::string(16, '\x01');
    if (addressType == 0x03) {
        const std::size_t nameLength = input.Next();
        connectReply += static_cast<char>(nameLength);
        connectReply += std::string(nameLength, 'p');
    }
    if (addressType != 0x07)
        connectReply += "\x01\xbb";
    const std::string tunnelled = input.Take(input.Next());

    std::string tunnel;
    std::string rest;
    FeedInPieces(client, input, std::string{0x05, static_cast<char>(method)}, tunnel, rest);
    // A proxy that picks the login method gets the credentials, empty ones included.
    bool expectConnected = method == 0x00 || method == 0x02;
    if (method == 0x02) {
        Check(client.GetState() == (userLength > 255 ? SOCKS::Idle : SOCKS::AuthSent));
        expectConnected = userLength <= 255 && loginOk;
        FeedInPieces(client, input, std::string{0x01, static_cast<char>(loginOk ? 0 : 1)},
                     tunnel, rest);
    }
    if (!expectConnected) {
        Check(client.GetState() == SOCKS::Idle);
        return;
    }
    Check(client.GetState() == SOCKS::ConnectSent);
    expectConnected = connectOk;
    // The tunnel bytes may arrive in the same block as the end of the CONNECT reply.
    const std::string stream = connectReply + tunnelled;
    const std::size_t headPieces = 1 + input.Next() % 4;
    std::size_t at = 0;
    for (std::size_t i = 0; i < headPieces && at < stream.size() && client.IsNegotiating(); ++i) {
        const std::size_t piece =
            i + 1 == headPieces ? stream.size() - at : 1 + input.Next() % (stream.size() - at);
        Feed(client, stream.substr(at, piece), tunnel);
        at += piece;
    }
    if (at < stream.size() && client.IsNegotiating()) {
        Feed(client, stream.substr(at), tunnel);
        at = stream.size();
    }
    if (!expectConnected) {
        Check(client.GetState() == SOCKS::Idle);
        Check(tunnel.empty());
        return;
    }
    Check(client.IsConnected());
    // After the tunnel is open its owner reads the socket itself: the rest is plain data.
    tunnel += stream.substr(at);
    if (addressType == 0x07) {
        // An unknown address type gives no length: the block that held the reply is dropped.
        Check(tunnel.size() <= tunnelled.size() &&
              tunnelled.compare(tunnelled.size() - tunnel.size(), tunnel.size(), tunnel) == 0);
        return;
    }
    Check(tunnel == tunnelled);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteSource input(data, size);
    if (input.Next() & 1) {
        Dialogue(input);
    } else {
        RawInput(input);
    }
    return 0;
}
