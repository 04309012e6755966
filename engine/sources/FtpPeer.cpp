#include "engine/sources/FtpPeer.h"

#include <algorithm>

#include "engine/base/TimeThread.h"
#include "engine/log/LogApi.h"
#include "engine/store/TPieces.h"

namespace lf {

namespace {
constexpr int kLogChannel = 25;
}  // namespace

bool TFtpPeer::IsWholeDocument() const {
    return m_source != nullptr && m_source->details && m_source->details->wholeDocument;
}

bool TFtpPeer::Fail(const char* what) {
    if (m_source != nullptr) {
        EngineLog::Printf(kLogChannel, "FTP %s: %s (step %d, reply %d)", m_source->address.c_str(),
                          what, m_step, m_lastReply);
    }
    return false;
}

bool TFtpPeer::Connect(TPeerId* source) {
    if (source == nullptr || !source->details) return false;
    const TPeerDetails& d = *source->details;
    // A line break in a decoded address would end a command early and
    // start another one of the address's choosing.
    if (!ftp::SafeArgument(d.user) || !ftp::SafeArgument(d.password) ||
        !ftp::SafeArgument(d.path)) {
        EngineLog::Printf(kLogChannel, "FTP %s: line break in the address",
                          source->address.c_str());
        source->givenUp = true;  // it can never be used
        return false;
    }
    if (!TPeerObject::Connect(source)) return false;
    m_step = kStepGreeting;
    m_subState = kWaiting;
    uint32_t local = m_task->LocalBindAddress();
    if (!m_connection->Connect(source->ipv4, source->port, false, nullptr,
                               local != 0 ? &local : nullptr))
        return false;
    m_linkState = kLinkConnected;
    return IsConnected();
}

bool TFtpPeer::SendCommand(const std::string& line) {
    if (!m_connection->Queue(line.data(), line.size())) return false;
    m_subState = kSending;
    return true;
}

bool TFtpPeer::SendStepCommand() {
    const TPeerDetails& d = *m_source->details;
    switch (m_step) {
        case kStepUser:
            return SendCommand(ftp::Command("user", d.user));
        case kStepPass:
            return SendCommand(ftp::Command("pass", d.password));
        case kStepCwd:
            return SendCommand(ftp::Command("cwd", ftp::DirectoryOf(d.path)));
        case kStepSize:
            return SendCommand(ftp::Command("size", ftp::NameOf(d.path)));
        case kStepType:
            return SendCommand(ftp::Command("type", "i"));
        case kStepPasv:
            return SendCommand(ftp::Command("pasv"));
        default:
            return true;  // nothing to send in this step
    }
}

bool TFtpPeer::Flush() {
    if (!IsConnected()) return false;
    if (m_connection->PendingSendSize() > 0 || !m_connection->IsThrough()) {
        if (m_connection->Flush() < 0) return Fail("send failed");
    }
    if (m_subState == kSending && m_connection->IsThrough() &&
        m_connection->PendingSendSize() == 0) {
        m_subState = kWaiting;
    }
    return true;
}

bool TFtpPeer::TimedOut() {
    uint32_t limit = m_step != kStepTransfer ? 30 : 15;
    if (m_downloadRate >= 1 && m_downloadRate <= 2047) limit *= 2;
    if (CachedSeconds() - m_lastReceive > limit) {
        m_phase = kPhaseTimedOut;
        ReleaseRange();
        return true;
    }
    return false;
}

bool TFtpPeer::RunCycle() {
    if (!IsConnected()) return false;
    const uint64_t receivedBase = m_connection->LifetimeBytesReceived();
    const uint64_t sentBase = m_connection->LifetimeBytesSent();
    m_cycleDataReceived = 0;
    m_tickSent = m_tickReceived = 0;
    const bool ok = Receive() && Tick() && SendRequests() && Flush() && IsConnected();
    if (m_connection) {
        const uint64_t r = m_connection->LifetimeBytesReceived();
        const uint64_t s = m_connection->LifetimeBytesSent();
        m_tickReceived = r > receivedBase ? static_cast<int64_t>(r - receivedBase) : 0;
        m_tickSent = s > sentBase ? static_cast<int64_t>(s - sentBase) : 0;
    }
    // Data-connection bytes count for this peer like the control's.
    m_tickReceived += static_cast<int64_t>(m_cycleDataReceived);
    m_totalSent += m_tickSent;
    if (m_tickSent > 0 || m_tickReceived > 0) m_idle = false;
    if (ok && m_linkState == kLinkEstablished && m_step == kStepTransfer && m_data &&
        m_data->ReceivedSize() > 0 && m_task->DownloadBudgetLeft() > 0) {
        m_busy = true;
        m_task->ComeBackAtOnce();
    }
    return ok;
}

long TFtpPeer::ReadData(size_t size) {
    const uint64_t before = m_data->BytesReceived();
    const long n = m_data->ReceiveData(size);
    const uint64_t after = m_data->BytesReceived();
    if (after > before) m_cycleDataReceived += after - before;
    return n;
}

bool TFtpPeer::Receive() {
    if (!IsConnected()) return false;
    if (TimedOut()) {
        m_source->Penalise(15);
        return Fail("timed out");
    }
    if (m_step == kStepTransfer) return ReceiveTransfer();
    // While "rest" and "retr" are answered, a data connection that failed
    // (refused, reset) makes the transfer impossible.
    if ((m_step == kStepRest || m_step == kStepRetr) && m_data) {
        if (!m_data->IsOpen() || m_data->Flush() < 0) {
            CloseData();
            return Fail("data connection failed");
        }
    }
    if (m_subState != kWaiting) return true;
    const long n = m_connection->ReceiveData();
    if (n < 0 && m_connection->ReceivedSize() == 0) return Fail("control connection closed");
    const char* data = reinterpret_cast<const char*>(m_connection->ReceivedData());
    ftp::Reply reply;
    switch (ftp::ParseReply(data, m_connection->ReceivedSize(), &reply)) {
        case ftp::ReplyStatus::kIncomplete:
            return n >= 0 ? true : Fail("control connection closed");
        case ftp::ReplyStatus::kMalformed:
            return Fail("malformed reply");
        case ftp::ReplyStatus::kComplete:
            break;
    }
    m_connection->ConsumeReceived(reply.bytes);
    return HandleReply(reply);
}

bool TFtpPeer::HandleReply(const ftp::Reply& reply) {
    m_lastReply = reply.code;
    m_lastReceive = CachedSeconds();
    const int cls = reply.code / 100;
    if (cls == 4) {
        m_saw4xx = true;
        if (m_source->allowedConnections > 2) --m_source->allowedConnections;
    } else if (cls == 5) {
        m_saw5xx = true;
        m_source->Penalise(60);
    }
    TPeerDetails& d = *m_source->details;
    switch (m_step) {
        case kStepGreeting:
            if (reply.code != 220) return Fail("unexpected greeting");
            m_linkState = kLinkEstablished;
            m_step = kStepUser;
            m_subState = kToSend;
            return true;
        case kStepUser:
            if (reply.code == 230) {
                m_step = kStepCwd;  // logged in without a password
            } else if (reply.code == 331) {
                m_step = kStepPass;
            } else {
                return Fail("user refused");
            }
            m_subState = kToSend;
            return true;
        case kStepPass:
            if (reply.code != 230 && reply.code != 332) return Fail("login refused");
            m_step = kStepCwd;
            m_subState = kToSend;
            return true;
        case kStepCwd:
            if (reply.code != 250) return Fail("directory refused");
            // Binary type before the size: servers refuse "size" in ASCII
            // mode, where the byte count depends on line ends.
            m_step = kStepType;
            m_subState = kToSend;
            return true;
        case kStepSize: {
            int64_t size = 0;
            if (reply.code != 213 || !ftp::ParseSize(reply.text, &size)) return Fail("no size");
            d.reportedSize = size;
            if (d.fileName.empty()) d.fileName = ftp::NameOf(d.path);
            if (size > 0 && !d.wholeDocument) m_task->OnServerSize(m_source, size);
            m_step = kStepPasv;
            m_subState = kToSend;
            return true;
        }
        case kStepType:
            if (reply.code != 200) return Fail("binary type refused");
            m_step = kStepSize;
            m_subState = kToSend;
            return true;
        case kStepPasv:
            // A late completion reply of the transfer that was just ended
            // is passed over.
            if (reply.code == 226 || reply.code == 250 || reply.code == 426) return true;
            if (reply.code != 227) return Fail("passive mode refused");
            return OpenDataConnection(reply);
        case kStepRest: {
            if (reply.code != 350) return Fail("restart offset refused");
            m_step = kStepRetr;
            return SendCommand(ftp::Command("retr", d.path));
        }
        case kStepRetr:
            if (reply.code != 125 && reply.code != 150) return Fail("retrieve refused");
            m_step = kStepTransfer;
            m_subState = kWaiting;
            m_streamPosition = m_restOffset;
            m_bytesToSkip = 0;
            return true;
        case kStepClosed:
            if (reply.code != 426 && reply.code != 226 && reply.code != 250)
                return Fail("transfer end refused");
            m_step = kStepPasv;
            m_subState = kToSend;
            return true;
        default:
            return Fail("reply out of sequence");
    }
}

bool TFtpPeer::OpenDataConnection(const ftp::Reply& reply) {
    uint32_t announced = 0;
    uint16_t port = 0;
    if (!ftp::ParsePassive(reply.text, &announced, &port)) return Fail("malformed 227");
    // The data connection goes to the host of the control connection on
    // the announced port: an announced address is either that host, an
    // address only the server's own network knows, or a third host the
    // engine has no business with.
    if (announced != m_source->ipv4) {
        EngineLog::Printf(kLogChannel, "FTP %s: passive address (%s) not used, data to port %u",
                          m_source->address.c_str(), reply.text.c_str(),
                          static_cast<unsigned>(port));
    }
    CloseData();
    m_data = std::make_unique<QConnection>();
    m_data->SetNetServices(m_task->NetServices());
    uint32_t local = m_task->LocalBindAddress();
    if (!m_data->Connect(m_source->ipv4, port, false, nullptr, local != 0 ? &local : nullptr)) {
        CloseData();
        return Fail("data connection failed");
    }
    m_restOffset = IsWholeDocument() || m_queue.empty() ? 0 : m_queue.front().block * kBlockSize;
    m_step = kStepRest;
    return SendCommand(ftp::Command("rest", ftp::OffsetText(m_restOffset)));
}

bool TFtpPeer::ReceiveTransfer() {
    if (!m_data) {
        EndTransfer();
        return true;
    }
    if (m_linkState == kLinkEstablished && m_task->DownloadBudgetLeft() <= 0) return true;
    size_t readSize = ftp::kMaxReplyBytes;
    if (!IsWholeDocument()) {
        const int64_t wanted = static_cast<int64_t>(m_queue.size()) * kBlockSize + m_bytesToSkip;
        const int64_t budget = std::max<int64_t>(m_task->DownloadBudgetLeft(), kBlockSize);
        readSize = static_cast<size_t>(
            std::clamp<int64_t>(std::min(wanted, budget), kBlockSize, kMaxReadBytes));
    }
    const long n = ReadData(readSize);
    if (IsWholeDocument()) return ReceiveDocument(n);
    return DeliverData(n);
}

bool TFtpPeer::ReceiveDocument(long n) {
    TPeerDetails& d = *m_source->details;
    const size_t have = m_data->ReceivedSize();
    if (have > 0) {
        if (d.body.capacity() - d.body.size() < 4096) d.body.reserve(d.body.size() + have + 4096);
        d.body.append(reinterpret_cast<const char*>(m_data->ReceivedData()), have);
        m_data->ConsumeReceived(have);
        m_lastReceive = CachedSeconds();
        if (d.reportedSize > 0 && static_cast<int64_t>(d.body.size()) >= d.reportedSize)
            d.done = true;
    }
    if (n >= 0) return true;
    // The data connection ended.
    if (!d.body.empty() &&
        (d.reportedSize <= 0 || static_cast<int64_t>(d.body.size()) >= d.reportedSize)) {
        d.done = true;
        EndTransfer();
        return true;
    }
    return Fail("document incomplete");
}

bool TFtpPeer::DeliverData(long n) {
    if (n < 0 && m_data->ReceivedSize() == 0) {
        // The server ended the data stream (all sent, or broken off).
        EndTransfer();
        return true;
    }
    const bool ended = n < 0;
    size_t have = m_data->ReceivedSize();
    for (;;) {
        if (m_bytesToSkip > 0 && have > 0) {
            const size_t drop =
                static_cast<size_t>(std::min<int64_t>(m_bytesToSkip, static_cast<int64_t>(have)));
            m_data->ConsumeReceived(drop);
            m_bytesToSkip -= static_cast<int64_t>(drop);
            m_streamPosition += static_cast<int64_t>(drop);
            have -= drop;
            m_lastReceive = CachedSeconds();
        }
        if (m_bytesToSkip > 0 || m_queue.empty()) break;
        const BlockRequest r = m_queue.front();
        const int64_t gap = r.block * kBlockSize - m_streamPosition;
        if (gap < 0 || gap > kMaxSkipBytes) {
            // Behind the stream or too far ahead: a new transfer from the
            // first queued block.
            EndTransfer();
            return true;
        }
        if (gap > 0) {
            m_bytesToSkip = gap;
            continue;
        }
        if (have < static_cast<size_t>(r.length)) break;
        const char* data = reinterpret_cast<const char*>(m_data->ReceivedData());
        if (!DeliverBlock(r.block, r.length, data)) return Fail("block refused");
        // DeliverBlock took the request off the queue.
        if (!m_queue.empty() && m_queue.front().block == r.block) m_queue.pop_front();
        m_data->ConsumeReceived(static_cast<size_t>(r.length));
        m_streamPosition += r.length;
        have -= static_cast<size_t>(r.length);
    }
    // The stream ended before the wanted blocks: ask again from the first.
    if (ended) EndTransfer();
    return true;
}

void TFtpPeer::CloseData() {
    if (m_data) {
        m_data->Close();
        m_data.reset();
    }
}

void TFtpPeer::EndTransfer() {
    CloseData();
    m_step = kStepClosed;
    m_subState = kWaiting;
    m_bytesToSkip = 0;
}

bool TFtpPeer::Tick() {
    if (!IsConnected()) return false;
    TPeerDetails& d = *m_source->details;
    const bool whole = IsWholeDocument();
    if (!whole && d.reportedSize > 0) {
        const int64_t total = m_task->TotalBytes();
        if (total > 0 && d.reportedSize != total) {
            m_connection->Close();
            CloseData();
            m_source->Penalise(60);
            return Fail("size differs from the task's");
        }
    }
    if (whole) {
        if (m_step == kStepPasv && d.done) {
            m_phase = kPhaseFinished;
            return false;
        }
    } else if ((m_step == kStepTransfer || m_step == kStepPasv) && m_task->Pieces() != nullptr) {
        if (m_step == kStepPasv && m_queue.empty()) {
            m_bytesToSkip = 0;
            m_streamPosition = 0;
        }
        TPeerObject::Tick();
        if (m_queue.empty()) {
            // Nothing left for this connection.
            m_phase = kPhaseFinished;
            ReleaseRange();
            return false;
        }
    } else if (m_step == kStepPasv) {
        return true;  // no piece map yet: nothing to ask for
    }
    if (m_subState == kToSend && !SendStepCommand()) return Fail("send failed");
    return true;
}

void TFtpPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    if (m_step == kStepTransfer) EndTransfer();
    m_bytesToSkip = 0;
}

void TFtpPeer::Reset() {
    TPeerObject::Reset();
    CloseData();
    m_step = kStepGreeting;
    m_subState = kWaiting;
    m_lastReply = 0;
    m_saw4xx = m_saw5xx = false;
    m_streamPosition = 0;
    m_bytesToSkip = 0;
    m_restOffset = 0;
    m_cycleDataReceived = 0;
}

}  // namespace lf
