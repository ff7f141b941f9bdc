#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "export.h"

namespace CommSocket {
namespace Transmit {

// The results of the endpoint's sends and receives.
enum SocketResult : int {
    kSocketOk = 0,      // sent, or a datagram was taken
    kSocketFailed = 1,  // refused or failed send; nothing to receive
};

// One IPv4 UDP socket tied to one peer (a hand's address and one of its
// ports). Sends one datagram per call; receives poll without waiting. Timing,
// retries and reply checks belong to the caller.
class DEXHAND_EXPORT UDPSocket {
public:
    // Padded sends always put this many bytes on the wire.
    static constexpr int kPaddedLength = 247;
    // Largest datagram taken by a receive, and the text send staging size.
    static constexpr int kBufferLength = 1024;

    // Throws std::invalid_argument for address text that is not dotted-quad
    // IPv4, std::system_error when the socket or one of its options fails.
    // A failed construction leaves no descriptor open.
    UDPSocket(std::string ip, unsigned short port);
    ~UDPSocket();

    UDPSocket(const UDPSocket&) = delete;
    UDPSocket& operator=(const UDPSocket&) = delete;

    // Sends a 247-byte datagram: the bytes of data, then zeros. More than 247
    // bytes are refused (result 1, nothing sent).
    int SendData(std::vector<unsigned char>& data);
    // Sends text.size() bytes of the text, bytes after an embedded NUL going
    // out as zeros. Texts of 1024 bytes or more are refused (result 1).
    int SendData(std::string& text);
    // Sends exactly length bytes from data.
    int SendData(const unsigned char* data, unsigned short length);

    // Only datagrams from the peer's own address (the one given at
    // construction, any port) are taken; one from another address is dropped
    // unseen, so that no other host can answer for the hand or steer its
    // requests. A taken datagram aims later sends at the port it came from.
    //
    // Takes one waiting datagram, if any, and sets text to its bytes up to
    // the first NUL. Result 1 (text untouched) when nothing non-empty waits.
    int ReceiveData(std::string& text);
    // Takes one waiting datagram, if any, into buffer (room for 1024 bytes)
    // and sets length to its byte count. Result 1 leaves both untouched.
    int ReceiveData(char* buffer, int& length);

    int sockfd = -1;
    sockaddr_in peer_addr{};

private:
    // The peer's address as constructed: the only sender taken.
    in_addr own_addr_{};

    int send_bytes(const void* data, std::size_t length);
    // One non-blocking receive into a zero-filled 1024-byte buffer; returns
    // the byte count (0 when nothing usable arrived).
    int receive_into(char (&buffer)[kBufferLength]);
};

}  // namespace Transmit
}  // namespace CommSocket
