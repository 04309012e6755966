// QDatagramSocket: one non-blocking UDP socket (the UDP server's endpoint,
// and the own socket of each UDP tracker source). Sending opens it on first
// use with the remembered local port and address; a failure other than
// "would block" marks it not open, which its owner reads as the end of the
// socket. One object belongs to one thread; it is not locked.
//
// Addresses are IPv4 in network byte order; ports in host order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lf {

class QDatagramSocket {
public:
    // Largest datagram sent or read.
    static constexpr size_t kMaxDatagram = 8192;

    QDatagramSocket() = default;
    ~QDatagramSocket() { Close(); }
    QDatagramSocket(const QDatagramSocket&) = delete;
    QDatagramSocket& operator=(const QDatagramSocket&) = delete;

    // Local port (0 = any free port) and address (0 = every interface) for
    // the implicit open of Send.
    void SetLocal(uint16_t port, uint32_t addressNet) {
        m_localPort = port;
        m_localAddress = addressNet;
    }
    void SetBlocking(bool blocking) { m_blocking = blocking; }
    // Lets other sockets bind the same port (taken by the next Open):
    // several receivers of one multicast group on a host.
    void SetReuseAddress(bool reuse) { m_reuseAddress = reuse; }
    // Joins an IPv4 multicast group (network order) for receiving, on the
    // interface of `interfaceNet` (0: the one the routing table picks for
    // the group), and sends to groups with a time to live of 1 (the local
    // network only), looped back to this host's other receivers. False when
    // not open or the join failed (LastError tells why).
    bool JoinGroup(uint32_t groupNet, uint32_t interfaceNet);
    // Closes any old socket, creates a UDP socket (a failure is logged as
    // "socket bind error : Last Error(%lu)"), binds it (a failure closes it
    // silently), makes it non-blocking unless blocking was asked for, and
    // marks it open.
    bool Open(uint16_t port, uint32_t addressNet);
    void Close();
    bool IsOpen() const { return m_open; }

    // Sends one datagram: refused (-1) for no bytes, more than 8192, address
    // 0 or a port outside 1 to 65535. Opens the socket first when it is not open. The datagram
    // must leave whole; a failure other than "would block" marks the socket
    // not open. Answers the bytes sent, 0 when it would block, -1 otherwise.
    long Send(const void* bytes, size_t size, uint32_t addressNet, int port);
    // Reads one datagram of at most min(size, 8192) bytes and records its
    // sender. -1 when not open or the read failed (the socket is then not
    // open); 0 when nothing waits.
    long Receive(void* buffer, size_t size);
    // The descriptor to wait on for readability, -1 when not open.
    int Descriptor() const { return m_open ? m_fd : -1; }

    // Send and receive buffer sizes; 0 or less means 8192.
    void SetBufferSizes(int sendBytes, int receiveBytes);

    uint32_t SenderAddress() const { return m_senderAddress; }
    uint16_t SenderPort() const { return m_senderPort; }
    uint16_t LocalPort() const;
    int LastError() const { return m_lastError; }

private:
    int m_fd = -1;
    bool m_open = false;
    bool m_blocking = false;
    bool m_reuseAddress = false;
    uint16_t m_localPort = 0;
    uint32_t m_localAddress = 0;
    uint32_t m_senderAddress = 0;
    uint16_t m_senderPort = 0;
    int m_lastError = 0;
};

}  // namespace lf
