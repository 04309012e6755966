#include "engine/sources/TrackerProtocol.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/metainfo/Bencode.h"

namespace lf {

namespace tracker {

namespace {

void PutBig(uint8_t* at, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<uint8_t>(value & 0xff);
        value >>= 8;
    }
}

uint64_t GetBig(const uint8_t* at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | at[i];
    return v;
}

void PutLittle32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittle32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

void AppendCompactEntries(std::string_view bytes, std::vector<PeerEntry>* peers) {
    for (size_t at = 0; at + 6 <= bytes.size(); at += 6) {
        const auto* e = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        uint32_t ipv4;
        std::memcpy(&ipv4, e, 4);
        const uint16_t port = static_cast<uint16_t>(GetBig(e + 4, 2));
        if (!UsableEntry(ipv4, port)) continue;
        PeerEntry p;
        p.ipv4 = ipv4;
        p.port = port;
        p.peerId = CompactPeerIdField(e);
        peers->push_back(p);
    }
}

// Case-insensitive search; hay.size() when absent.
size_t FindNoCase(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size()) return hay.size();
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        if (strncasecmp(hay.data() + i, needle.data(), needle.size()) == 0) return i;
    }
    return hay.size();
}

bool IsGzip(std::string_view body) {
    return body.size() >= 2 && static_cast<uint8_t>(body[0]) == 0x1f &&
           static_cast<uint8_t>(body[1]) == 0x8b;
}

int32_t ClampInt32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

}  // namespace

bool UsableEntry(uint32_t ipv4, int64_t port) {
    return port >= 1 && port <= 65535 && ipv4 != 0 && ipv4 != 0xffffffffu;
}

PeerIdField CompactPeerIdField(const uint8_t* entry) {
    PeerIdField f{};
    std::memcpy(f.data() + 14, entry, 6);
    return f;
}

PeerIdField AddressPeerIdField(uint32_t ipv4, uint16_t port) {
    PeerIdField f{};
    std::memcpy(f.data() + 12, &ipv4, 4);
    PutLittle32(f.data() + 16, port);
    return f;
}

PeerIdField MakePeerId(std::string_view announce, int64_t taskNumber, int64_t clock,
                       uint32_t localIPv4, const uint8_t* processId) {
    std::string text(announce);
    text += "-2";
    text += std::to_string(taskNumber);
    text += std::to_string(clock);
    text += std::to_string(localIPv4);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    PeerIdField id{};
    id[0] = 0x00;
    id[1] = 0x01;
    id[2] = 'L';
    id[3] = 'f';
    std::memcpy(id.data() + 4, digest, 16);
    if (processId != nullptr) std::memcpy(id.data() + 8, processId, 12);
    return id;
}

std::string HexText(const uint8_t* bytes, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    s.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        s.push_back(kHex[bytes[i] >> 4]);
        s.push_back(kHex[bytes[i] & 15]);
    }
    return s;
}

std::string Escape(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::string BuildAnnounceTarget(const AnnounceValues& v) {
    std::string t = v.path.empty() ? "/" : v.path;
    t += t.find('?') == std::string::npos ? "?info_hash=" : "&info_hash=";
    t += Escape(std::string_view(reinterpret_cast<const char*>(v.infoHash.data()), 20));
    t += "&peer_id=";
    t += Escape(std::string_view(reinterpret_cast<const char*>(v.peerId.data()), 20));
    t += "&port=" + std::to_string(v.listenPort);
    t += "&uploaded=" + std::to_string(v.uploaded);
    t += "&downloaded=" + std::to_string(v.downloaded);
    t += "&left=" + std::to_string(v.left);
    t += "&event=started&key=3800&compact=1&numwant=200";
    return t;
}

std::string BuildHttpRequest(std::string_view target, std::string_view host, uint16_t port) {
    std::string r = "GET ";
    r += target;
    r += " HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: ";
    r += host;
    if (port != 80) r += ":" + std::to_string(port);
    r += "\r\nAccept-Encoding: gzip\r\nConnection: close\r\n\r\n";
    return r;
}

bool Gunzip(std::string_view in, std::string* out, size_t limit, bool* complete) {
    out->clear();
    if (complete != nullptr) *complete = false;
    z_stream z{};
    // 32 + MAX_WBITS: gzip or zlib header, detected.
    if (inflateInit2(&z, 32 + MAX_WBITS) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(std::min<size_t>(in.size(), kMaxReplyBytes * 2));
    char chunk[16384];
    bool ok = true;
    for (;;) {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof(chunk);
        const int rc = inflate(&z, Z_NO_FLUSH);
        const size_t produced = sizeof(chunk) - z.avail_out;
        if (out->size() + produced > limit) {
            // One byte past the limit tells the caller why it failed.
            out->append(chunk, limit + 1 - out->size());
            ok = false;
            break;
        }
        out->append(chunk, produced);
        if (rc == Z_STREAM_END) {
            if (complete != nullptr) *complete = true;
            break;
        }
        if (rc == Z_BUF_ERROR || (rc == Z_OK && z.avail_in == 0 && produced == 0)) break;
        if (rc != Z_OK) {
            ok = false;
            break;
        }
    }
    inflateEnd(&z);
    return ok;
}

void ReadReplyBody(std::string_view body, Reply* reply) {
    *reply = Reply();
    std::unique_ptr<QElement> root = ParseElement(body);
    if (!root || !root->IsDictionary()) return;
    reply->dictionary = true;
    if (QElement* e = root->FindValue("interval"); e != nullptr && e->HasInteger()) {
        if (e->Integer() > 60) reply->interval = ClampInt32(e->Integer());
    }
    if (QElement* e = root->FindValue("done peers")) reply->donePeers = ClampInt32(e->Integer());
    if (QElement* e = root->FindValue("num completed"))
        reply->numCompleted = ClampInt32(e->Integer());
    if (QElement* e = root->FindValue("failure reason"); e != nullptr && !e->HasInteger()) {
        reply->failed = true;
        reply->failureReason = std::string(e->Bytes());
    }
    QElement* peers = root->FindValue("peers");
    if (peers == nullptr || peers->HasInteger()) return;
    if (peers->IsString()) {
        AppendCompactEntries(peers->Bytes(), &reply->peers);
        return;
    }
    if (!peers->IsList()) return;
    for (int64_t i = 0; i < peers->Count(); ++i) {
        QElement* d = peers->ElementAt(i);
        if (d == nullptr || !d->IsDictionary()) continue;
        QElement* port = d->FindValue("port");
        QElement* ip = d->FindValue("ip");
        if (port == nullptr || !port->HasInteger() || ip == nullptr || ip->HasInteger()) continue;
        const std::string ipText(ip->Bytes());
        in_addr a{};
        if (inet_pton(AF_INET, ipText.c_str(), &a) != 1) continue;
        if (!UsableEntry(a.s_addr, port->Integer())) continue;
        PeerEntry p;
        p.ipv4 = a.s_addr;
        p.port = static_cast<uint16_t>(port->Integer());
        QElement* id = d->FindValue("peer id");
        if (id != nullptr && !id->HasInteger() && id->Bytes().size() >= 20) {
            std::memcpy(p.peerId.data(), id->Bytes().data(), 20);
        } else {
            p.peerId = AddressPeerIdField(p.ipv4, p.port);
        }
        reply->peers.push_back(p);
    }
}

ReplyState ReadHttpReply(const char* data, size_t size, bool closed, Reply* reply, size_t* consumed,
                         http::HeadScanner* head) {
    *consumed = 0;
    const std::string_view all(data, size);
    http::HeadScanner whole;
    http::HeadScanner* scanner = head != nullptr ? head : &whole;
    const http::HeadScanner::State found = scanner->Scan(data, size);
    if (found == http::HeadScanner::kTooLong) return ReplyState::kTooLarge;
    if (found != http::HeadScanner::kComplete) {
        if (!closed) return ReplyState::kIncomplete;
        // Closed without a whole head: nothing to read.
        ReadReplyBody({}, reply);
        *consumed = size;
        return ReplyState::kComplete;
    }
    const size_t bodyStart = scanner->HeadBytes();
    const size_t headEnd = bodyStart;
    const std::string_view headText = all.substr(0, headEnd);
    // "Content-Length:" and one blank, then the decimal length.
    int64_t length = 0;
    const size_t p = FindNoCase(headText, "Content-Length:");
    if (p < headText.size() && p + 16 < headText.size()) {
        for (size_t i = p + 16; i < headText.size() && headText[i] >= '0' && headText[i] <= '9';
             ++i) {
            if (length > static_cast<int64_t>(kMaxReplyBytes)) break;
            length = length * 10 + (headText[i] - '0');
        }
    }
    if (length > static_cast<int64_t>(kMaxReplyBytes)) return ReplyState::kTooLarge;
    std::string_view body = all.substr(bodyStart);
    if (length >= 1) {
        if (body.size() < static_cast<size_t>(length)) {
            if (size > kMaxReplyBytes + http::kMaxHeadBytes) return ReplyState::kTooLarge;
            if (!closed) return ReplyState::kIncomplete;
        } else {
            body = body.substr(0, static_cast<size_t>(length));
        }
    } else if (body.size() > kMaxReplyBytes) {
        return ReplyState::kTooLarge;
    }
    std::string decoded;
    if (IsGzip(body)) {
        // Our request offers gzip, so a tracker may compress its reply.
        bool ended = false;
        if (!Gunzip(body, &decoded, kMaxReplyBytes, &ended)) {
            if (decoded.size() > kMaxReplyBytes) return ReplyState::kTooLarge;
            decoded.clear();  // corrupt: read as an empty body
            ended = true;
        }
        if (length < 1 && !ended && !closed) return ReplyState::kIncomplete;
    } else if (length < 1 && !closed) {
        // Without a length the reply is whole once the body is one whole
        // bencoded value; a body that arrives in several parts is waited for.
        // A reply is a dictionary, so only a body ending in 'e' is parsed.
        if (body.empty() || body.back() != 'e' || !ParseElement(body))
            return ReplyState::kIncomplete;
    }
    ReadReplyBody(IsGzip(body) ? std::string_view(decoded) : body, reply);
    *consumed = bodyStart + body.size();
    return ReplyState::kComplete;
}

std::array<uint8_t, 16> BuildConnectRequest(uint32_t transaction) {
    std::array<uint8_t, 16> d{};
    PutBig(d.data(), kUdpProtocolId, 8);
    PutBig(d.data() + 8, 0, 4);
    PutLittle32(d.data() + 12, transaction);
    return d;
}

std::array<uint8_t, 104> BuildAnnounceRequest(const std::array<uint8_t, 8>& connectionId,
                                              uint32_t transaction, const AnnounceValues& v) {
    std::array<uint8_t, 104> d{};
    std::memcpy(d.data(), connectionId.data(), 8);
    PutBig(d.data() + 8, 1, 4);
    PutLittle32(d.data() + 12, transaction);
    std::memcpy(d.data() + 16, v.infoHash.data(), 20);
    std::memcpy(d.data() + 36, v.peerId.data(), 20);
    PutBig(d.data() + 56, static_cast<uint64_t>(v.downloaded), 8);
    PutBig(d.data() + 64, static_cast<uint64_t>(v.left), 8);
    PutBig(d.data() + 72, static_cast<uint64_t>(v.uploaded), 8);
    PutBig(d.data() + 80, 2, 4);
    std::memcpy(d.data() + 84, &v.listenAddress, 4);
    PutBig(d.data() + 88, 0, 4);
    PutBig(d.data() + 92, 200, 4);
    PutBig(d.data() + 96, v.listenPort, 2);
    return d;
}

bool ReadDatagram(const uint8_t* data, size_t size, Datagram* out) {
    *out = Datagram();
    if (data == nullptr || size < 8) return false;
    out->action = static_cast<uint32_t>(GetBig(data, 4));
    out->transaction = GetLittle32(data + 4);
    if (size >= 16) {
        out->hasConnectionId = true;
        std::memcpy(out->connectionId.data(), data + 8, 8);
    }
    if (out->action == 1 && size > 20) {
        AppendCompactEntries(std::string_view(reinterpret_cast<const char*>(data) + 20, size - 20),
                             &out->peers);
    }
    return true;
}

std::string UdpExchange::Poll(uint32_t now, const AnnounceValues& values) {
    if (m_answered || m_gaveUp) return {};
    const bool due = m_lastSend == 0 || now - m_lastSend > static_cast<uint32_t>(m_repeatSeconds);
    if (!due) return {};
    if (m_connected && now - m_connectedAt > kConnectionIdSeconds) {
        // Announces with a connection id the tracker no longer accepts would
        // go unanswered for as long as the source lives: connect again
        // (with a fresh round of tries).
        m_connected = false;
        m_connectTries = 0;
    }
    if (!m_connected) {
        // The connect request is sent again with the announce rhythm: a lost
        // datagram must not leave the source connecting for as long as it
        // lives. After four unanswered tries the source ends, so that a new
        // tracker source is made later.
        if (m_connectTries >= kConnectTries) {
            m_gaveUp = true;
            return {};
        }
        ++m_connectTries;
        m_lastSend = now;
        m_connectTransaction = now;
        auto d = BuildConnectRequest(m_connectTransaction);
        return std::string(reinterpret_cast<const char*>(d.data()), d.size());
    }
    ++m_announceTries;
    m_lastSend = now;
    m_announceTransaction = now + 1;
    auto d = BuildAnnounceRequest(m_connectionId, m_announceTransaction, values);
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

UdpExchange::Outcome UdpExchange::OnDatagram(const uint8_t* data, size_t size,
                                             std::vector<PeerEntry>* peers) {
    Datagram d;
    if (!ReadDatagram(data, size, &d) || m_answered) return Outcome::kIgnored;
    if (d.action == 0 && !m_connected && m_connectTries > 0 &&
        d.transaction == m_connectTransaction && d.hasConnectionId) {
        m_connectionId = d.connectionId;
        m_connected = true;
        m_connectedAt = m_lastSend;
        m_lastSend = 0;  // the announce goes out at once
        return Outcome::kConnected;
    }
    if (d.action == 1 && m_connected && m_announceTries > 0 &&
        d.transaction == m_announceTransaction) {
        m_answered = true;
        *peers = std::move(d.peers);
        return Outcome::kAnswered;
    }
    return Outcome::kIgnored;  // other transactions, errors (action 3)
}

}  // namespace tracker

}  // namespace lf
