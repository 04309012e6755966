// TFtpPeer: downloads content ranges from an FTP server. It logs in on the
// control connection (the peer's connection), learns the file's size, and
// for every continuous run of queued 16 KiB blocks opens a passive data
// connection, restarts the transfer at the run's first block ("rest") and
// maps the data stream onto the queue. A gap in its needs of more than
// 80 KiB, or a block behind the stream, ends the transfer and starts a new
// one. It can also fetch a whole document into memory.
//
// Command sequence (step: command -> accepted reply):
//   1 greeting -> 220         2 "user" -> 331 (230: no password needed)
//   3 "pass" -> 230, 332      4 "cwd" directory -> 250
//   6 "type i" -> 200         5 "size" name -> 213 (after the type)
//   7 "pasv" -> 227, then the data connection and "rest" offset
//   8 -> 350, then "retr" path   9 -> 125, 150: step 0, data flows
//   11 (data connection closed) -> 426, 226, 250: step 7 again
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/sources/FtpProtocol.h"
#include "engine/sources/PeerObject.h"

namespace lf {

class TFtpPeer : public TPeerObject {
public:
    enum Step {
        kStepTransfer = 0,
        kStepGreeting = 1,
        kStepUser = 2,
        kStepPass = 3,
        kStepCwd = 4,
        kStepSize = 5,
        kStepType = 6,
        kStepPasv = 7,
        kStepRest = 8,
        kStepRetr = 9,
        kStepClosed = 11,
    };
    enum SubState { kToSend = 0, kSending = 1, kWaiting = 2 };

    // The most data read and dropped to reach the next wanted block (5
    // blocks); a longer gap starts a new transfer.
    static constexpr int64_t kMaxSkipBytes = 81920;
    static constexpr int64_t kMaxReadBytes = 1 << 20;

    explicit TFtpPeer(TPeerHost* task) : TPeerObject(task, kSourceFtp) {}

    bool Receive() override;
    bool Flush() override;
    bool Tick() override;
    void Reset() override;
    bool RunCycle() override;
    bool Connect(TPeerId* source) override;
    bool TimedOut() override;
    void ReleaseRange() override;

    int CurrentStep() const { return m_step; }
    int CurrentSubState() const { return m_subState; }
    int64_t StreamPosition() const { return m_streamPosition; }
    int LastReplyCode() const { return m_lastReply; }
    // The control channel saw a 4xx / 5xx reply since the last reset.
    bool Saw4xx() const { return m_saw4xx; }
    bool Saw5xx() const { return m_saw5xx; }

protected:
    ~TFtpPeer() override { Reset(); }

private:
    bool IsWholeDocument() const;
    bool SendCommand(const std::string& line);
    // The command of the current step (steps 2 to 7).
    bool SendStepCommand();
    bool HandleReply(const ftp::Reply& reply);
    bool OpenDataConnection(const ftp::Reply& reply);
    bool ReceiveTransfer();
    bool ReceiveDocument(long n);
    bool DeliverData(long n);
    // Reads from the data connection up to `size` bytes, counting them for
    // this cycle.
    long ReadData(size_t size);
    // Ends the transfer: closes the data connection and waits for the
    // server's completion reply.
    void EndTransfer();
    void CloseData();
    bool Fail(const char* what);

    int m_step = kStepGreeting;
    int m_subState = kWaiting;
    int m_lastReply = 0;
    bool m_saw4xx = false;
    bool m_saw5xx = false;
    std::unique_ptr<QConnection> m_data;
    int64_t m_streamPosition = 0;
    int64_t m_bytesToSkip = 0;
    int64_t m_restOffset = 0;
    uint64_t m_cycleDataReceived = 0;
};

}  // namespace lf
