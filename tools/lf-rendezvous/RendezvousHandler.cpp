#include "tools/lf-rendezvous/RendezvousHandler.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/net/UdpServerProtocol.h"

namespace lf {

namespace {

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string Endpoint(uint32_t address, uint16_t port) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(port);
}

void PutEntry(std::vector<uint8_t>& m, uint32_t address, uint32_t port, const uint8_t seed[8]) {
    uint8_t e[kQueryEntrySize] = {};
    std::memcpy(e, &address, 4);
    WriteBe32(e + 4, port);
    std::memcpy(e + 8, seed, 8);
    m.insert(m.end(), e, e + kQueryEntrySize);
}

}  // namespace

std::vector<uint8_t> RendezvousAddressAnswer(uint32_t addressNet, uint16_t port) {
    std::vector<uint8_t> a(kServiceAnswerSize, 0);
    std::memcpy(a.data(), &addressNet, 4);
    WriteBe32(a.data() + 4, port);
    return a;
}

bool RendezvousHandler::Allow(uint32_t sender, uint64_t nowMs) {
    if (m_senders.size() >= m_limits.maxSenders && !m_senders.count(sender)) m_senders.clear();
    auto [it, fresh] = m_senders.try_emplace(sender);
    Bucket& b = it->second;
    if (fresh) {
        b.tokens = m_limits.senderBurst;
    } else if (nowMs > b.lastMs) {
        b.tokens =
            std::min<double>(m_limits.senderBurst,
                             b.tokens + (nowMs - b.lastMs) * m_limits.senderPerSecond / 1000.0);
    }
    b.lastMs = std::max(b.lastMs, nowMs);
    if (b.tokens < 1) return false;
    b.tokens -= 1;
    return true;
}

void RendezvousHandler::Remove(std::map<Seed, Entry>::iterator it) {
    const Entry& e = it->second;
    auto pub = m_byPublic.find(EndpointKey(e.publicAddress, e.publicPort));
    if (pub != m_byPublic.end() && pub->second == it->first) m_byPublic.erase(pub);
    auto loc = m_byLocalPort.find(EndpointKey(e.publicAddress, e.localPort));
    if (loc != m_byLocalPort.end() && loc->second == it->first) m_byLocalPort.erase(loc);
    m_entries.erase(it);
}

void RendezvousHandler::Expire(uint64_t nowMs) {
    m_lastSweepMs = nowMs;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        auto next = std::next(it);
        if (nowMs - it->second.lastSeenMs > m_limits.expiryMs) Remove(it);
        it = next;
    }
    // Rate records of quiet senders are full again: forget them.
    const uint64_t refill = m_limits.senderPerSecond == 0
                                ? UINT64_MAX
                                : 1000ull * m_limits.senderBurst / m_limits.senderPerSecond + 1000;
    std::erase_if(m_senders, [&](const auto& s) { return nowMs - s.second.lastMs > refill; });
}

const RendezvousHandler::Entry* RendezvousHandler::Find(const uint8_t seed[8]) const {
    Seed key;
    std::memcpy(key.data(), seed, 8);
    auto it = m_entries.find(key);
    return it == m_entries.end() ? nullptr : &it->second;
}

const RendezvousHandler::Entry* RendezvousHandler::FindEndpoint(uint32_t address,
                                                                uint16_t port) const {
    // The public endpoint first; a NAT that kept the port mapping differently
    // still lets the engine be found by the port it reported itself.
    for (const auto* index : {&m_byPublic, &m_byLocalPort}) {
        auto it = index->find(EndpointKey(address, port));
        if (it != index->end()) {
            auto e = m_entries.find(it->second);
            if (e != m_entries.end()) return &e->second;
        }
    }
    return nullptr;
}

void RendezvousHandler::Handle(const uint8_t* data, size_t size, size_t socket, uint32_t fromNet,
                               uint16_t fromPort, uint64_t nowMs,
                               std::vector<RendezvousOutgoing>& out, std::string* note) {
    if (note != nullptr) note->clear();
    if (data == nullptr || fromNet == 0 || fromPort == 0) return;
    if (nowMs - m_lastSweepMs >= 1000) Expire(nowMs);
    if (!Allow(fromNet, nowMs)) return;
    static const uint8_t zeros[12] = {};
    if (size == kServiceAnswerSize) {
        if (std::memcmp(data, zeros, 8) != 0) return;
        // A keepalive is answered only for an endpoint that registered: an
        // engine whose endpoint moved learns nothing and registers again.
        auto it = m_byPublic.find(EndpointKey(fromNet, fromPort));
        if (it == m_byPublic.end()) return;
        auto e = m_entries.find(it->second);
        if (e == m_entries.end()) return;
        e->second.lastSeenMs = nowMs;
        out.push_back({socket, fromNet, fromPort, RendezvousAddressAnswer(fromNet, fromPort)});
        return;
    }
    if (size < kMinAnswerSize || std::memcmp(data, zeros, 12) != 0) return;
    const uint32_t type = ReadBe32(data + 12);
    if (type == kRendezvousRegister)
        Register(data, socket, fromNet, fromPort, nowMs, out, note);
    else if (type == kRendezvousQuery)
        Query(data, size, socket, fromNet, fromPort, nowMs, out, note);
}

void RendezvousHandler::Register(const uint8_t* data, size_t socket, uint32_t fromNet,
                                 uint16_t fromPort, uint64_t nowMs,
                                 std::vector<RendezvousOutgoing>& out, std::string* note) {
    const uint8_t* identity = data + 16;
    if (IsEndpointIdentity(identity)) return;  // names an endpoint, not an engine
    Seed key;
    std::memcpy(key.data(), identity, 8);
    auto it = m_entries.find(key);
    if (it == m_entries.end() && m_entries.size() >= m_limits.maxEntries) return;
    // Another engine that held this endpoint before is gone.
    auto holder = m_byPublic.find(EndpointKey(fromNet, fromPort));
    if (holder != m_byPublic.end() && holder->second != key) {
        auto old = m_entries.find(holder->second);
        if (old != m_entries.end())
            Remove(old);
        else
            m_byPublic.erase(holder);
    }
    it = m_entries.find(key);
    if (it != m_entries.end()) Remove(it);
    Entry e;
    std::memcpy(e.identity.data(), identity, 12);
    e.publicAddress = fromNet;
    e.publicPort = fromPort;
    std::memcpy(&e.localAddress, data + 32, 4);
    const uint32_t localPort = ReadBe32(data + 36);
    e.localPort = localPort <= 65535 ? static_cast<uint16_t>(localPort) : 0;
    e.lastSeenMs = nowMs;
    e.socket = socket;
    m_entries[key] = e;
    m_byPublic[EndpointKey(fromNet, fromPort)] = key;
    if (e.localPort != 0) m_byLocalPort[EndpointKey(fromNet, e.localPort)] = key;
    out.push_back({socket, fromNet, fromPort, RendezvousAddressAnswer(fromNet, fromPort)});
    if (note != nullptr)
        *note = "register " + Hex(identity, 12) + " " + Endpoint(fromNet, fromPort) + " local " +
                Endpoint(e.localAddress, e.localPort);
}

void RendezvousHandler::Query(const uint8_t* data, size_t size, size_t socket, uint32_t fromNet,
                              uint16_t fromPort, uint64_t nowMs,
                              std::vector<RendezvousOutgoing>& out, std::string* note) {
    const uint8_t* asker = data + 16;
    uint32_t askerLocal;
    std::memcpy(&askerLocal, data + 32, 4);
    const uint32_t askerLocalPort = ReadBe32(data + 36);
    // A registered asker querying from its endpoint is alive.
    Seed askerKey;
    std::memcpy(askerKey.data(), asker, 8);
    if (auto self = m_entries.find(askerKey); self != m_entries.end() &&
                                              self->second.publicAddress == fromNet &&
                                              self->second.publicPort == fromPort)
        self->second.lastSeenMs = nowMs;

    const uint32_t count = std::min(
        {ReadBe32(data + 44), static_cast<uint32_t>((size - kQueryHeaderSize) / kQueryEntrySize),
         m_limits.maxQueryEntries});
    std::vector<uint8_t> answer(kQueryHeaderSize, 0);
    WriteBe32(answer.data() + 12, kRendezvousAnswer);
    std::memcpy(answer.data() + 16, asker, 12);
    std::memcpy(answer.data() + 28, data + 28, 4);
    uint32_t entries = 0;
    std::vector<Seed> askedSeen;
    std::vector<const Entry*> found;  // each target is notified once
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* asked =
            data + kQueryHeaderSize + static_cast<size_t>(i) * kQueryEntrySize + 8;
        const bool byEndpoint = IsEndpointIdentity(asked);
        const Entry* target = nullptr;
        if (byEndpoint) {
            uint32_t address;
            std::memcpy(&address, asked + 2, 4);
            target = FindEndpoint(address, static_cast<uint16_t>((asked[6] << 8) | asked[7]));
        } else {
            target = Find(asked);
        }
        if (target == nullptr || std::memcmp(target->identity.data(), asker, 8) == 0) continue;
        if (target->publicAddress == fromNet && target->publicPort == fromPort) continue;
        Seed askedKey;
        std::memcpy(askedKey.data(), asked, 8);
        if (std::find(askedSeen.begin(), askedSeen.end(), askedKey) != askedSeen.end()) continue;
        askedSeen.push_back(askedKey);
        // Behind the same public address the engines reach each other at
        // their local endpoints.
        const bool sameNat =
            target->publicAddress == fromNet && target->localAddress != 0 && target->localPort != 0;
        const uint32_t address = sameNat ? target->localAddress : target->publicAddress;
        const uint16_t port = sameNat ? target->localPort : target->publicPort;
        if (byEndpoint) {
            uint32_t askedAddress;
            std::memcpy(&askedAddress, asked + 2, 4);
            PutEntry(answer, askedAddress, kAliasPort, asked);
            ++entries;
        }
        PutEntry(answer, address, port, target->identity.data());
        ++entries;
        if (std::find(found.begin(), found.end(), target) != found.end()) continue;
        found.push_back(target);

        std::vector<uint8_t> notice(kRelayNoticeSize, 0);
        WriteBe32(notice.data(), kRelayNoticeWord);
        std::memcpy(notice.data() + 4, asker, 12);
        uint32_t noticeAddress = fromNet;
        uint32_t noticePort = fromPort;
        if (sameNat && askerLocal != 0 && askerLocalPort >= 1 && askerLocalPort <= 65535) {
            noticeAddress = askerLocal;
            noticePort = askerLocalPort;
        }
        std::memcpy(notice.data() + 20, &noticeAddress, 4);
        WriteBe32(notice.data() + 24, noticePort);
        out.push_back(
            {target->socket, target->publicAddress, target->publicPort, std::move(notice)});
    }
    WriteBe32(answer.data() + 44, entries);
    // Never shorter than 64 bytes, so that an answer without entries is
    // still an answer and the asker gives up at once.
    if (answer.size() < kMinAnswerSize) answer.resize(kMinAnswerSize, 0);
    out.insert(out.end() - static_cast<std::ptrdiff_t>(found.size()),
               RendezvousOutgoing{socket, fromNet, fromPort, std::move(answer)});
    if (note != nullptr)
        *note = "query " + Hex(asker, 12) + " " + Endpoint(fromNet, fromPort) + " found " +
                std::to_string(found.size());
}

}  // namespace lf
