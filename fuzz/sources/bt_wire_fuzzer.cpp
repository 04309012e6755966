// The peer wire as a remote may send it: an optional disguise header, the
// handshake and the messages after it (or, when the first input byte is odd,
// messages alone). The same bytes are read whole, one byte at a time and in
// chunks cut where the input says; all three must read alike. Every message
// read must lie within the torrent's pieces.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/sources/BtProtocol.h"

using namespace lf;

namespace {

// 73 pieces of 32 KiB, the last one 10000 bytes.
const bt::TorrentView kView{73, 32768, 72ull * 32768 + 10000};

bt::Hash20 InfoHash() {
    bt::Hash20 h;
    h.fill(0xab);
    return h;
}

bt::Hash20 OwnId() {
    bt::Hash20 h;
    h.fill(0x77);
    h[0] = 0;
    h[1] = 1;
    h[2] = 'L';
    h[3] = 'f';
    return h;
}

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void CheckMessage(const bt::Message& m) {
    switch (m.type) {
        case bt::MessageType::kHave:
            Check(m.index < kView.pieceCount);
            break;
        case bt::MessageType::kBitfield:
            Check(m.dataSize == kView.BitfieldBytes());
            break;
        case bt::MessageType::kRequest:
        case bt::MessageType::kCancel:
            Check(m.index < kView.pieceCount && m.length >= 1 &&
                  m.length <= bt::kMaxRequestLength &&
                  uint64_t{m.begin} + m.length <= kView.PieceSize(m.index));
            break;
        case bt::MessageType::kPiece:
            Check(m.index < kView.pieceCount && m.length >= 1 && m.length <= bt::kMaxBlockLength &&
                  m.dataSize == m.length &&
                  uint64_t{m.begin} + m.length <= kView.PieceSize(m.index));
            break;
        default:
            break;
    }
    Check(m.wireBytes >= 4 && m.wireBytes <= 4 + bt::kMaxMessageLength);
}

// Feeds data cut at the given chunk sizes (cycled; chunk 0 = all at once)
// and writes down what came out.
std::string Run(const uint8_t* data, size_t size, bool handshake, const uint8_t* cuts,
                size_t cutCount) {
    const bt::Hash20 info = InfoHash();
    const bt::Hash20 own = OwnId();
    bt::WireReader r(kView);
    std::string out;
    bool shaken = !handshake;
    size_t at = 0;
    size_t cut = 0;
    while (at < size) {
        size_t n = cutCount == 0 ? size : 1 + cuts[cut++ % cutCount];
        if (n > size - at) n = size - at;
        r.Feed(data + at, n);
        at += n;
        if (!shaken) {
            bt::HandshakeInfo hi;
            const bt::HandshakeState s = r.ReadHandshake(info, own, &hi);
            if (s == bt::HandshakeState::kNeedMore) continue;
            out += 'H';
            out += static_cast<char>(s);
            if (s != bt::HandshakeState::kOk) return out;
            out += hi.disguised ? 'd' : 'p';
            out.append(reinterpret_cast<const char*>(hi.peerId.data()), 20);
            shaken = true;
        }
        for (;;) {
            bt::Message m;
            const bt::ReadState s = r.Next(&m);
            if (s == bt::ReadState::kNeedMore) break;
            out += 'M';
            out += static_cast<char>(s);
            out += static_cast<char>(m.fault);
            if (s == bt::ReadState::kFatal) {
                Check(bt::IsFatal(m.fault));
                return out;
            }
            Check(!bt::IsFatal(m.fault));
            if (s == bt::ReadState::kSkipped) continue;
            CheckMessage(m);
            out += static_cast<char>(m.type);
            out += std::to_string(m.index) + "," + std::to_string(m.begin) + "," +
                   std::to_string(m.length) + ",";
            if (m.data != nullptr) out.append(reinterpret_cast<const char*>(m.data), m.dataSize);
        }
        const bt::ArrivingBlock a = r.Arriving();
        if (a.arriving) Check(a.length >= 1);
    }
    out += 'B' + std::to_string(r.Buffered());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool handshake = (data[0] & 1) == 0;
    ++data;
    --size;
    const std::string whole = Run(data, size, handshake, nullptr, 0);
    const uint8_t one = 0;
    Check(Run(data, size, handshake, &one, 1) == whole);
    // Chunk sizes taken from the input itself, so that the fuzzer steers the
    // cuts as well.
    Check(Run(data, size, handshake, data, size) == whole);
    return 0;
}
