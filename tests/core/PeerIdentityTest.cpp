// The process identifier, the task's peer id, and tracker peers turned into
// candidates.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "engine/core/LanternfishCore.h"
#include "engine/core/WorkThread.h"
#include "engine/sources/PeerId.h"

using namespace lf;

namespace {

TEST(PeerIdentityTest, ProcessIdentifierAndMachineId) {
    CLanternfishCore& core = CLanternfishCore::Instance();
    const std::array<uint8_t, 16> id = core.ProcessId();
    EXPECT_NE(id[0], 0);
    EXPECT_NE(id[1], 0);
    EXPECT_EQ(core.ProcessId(), id);  // made once
    const std::array<uint8_t, 8> machine = core.MachineId();
    EXPECT_EQ(std::memcmp(machine.data(), id.data(), 8), 0);
}

TEST(PeerIdentityTest, TaskPeerIdEndsWithTheProcessIdentifier) {
    TWorkThread a, b;
    const std::array<uint8_t, 20> pa = a.TaskPeerId();
    const std::array<uint8_t, 20> pb = b.TaskPeerId();
    const std::array<uint8_t, 16> process = CLanternfishCore::Instance().ProcessId();
    for (const auto& p : {pa, pb}) {
        EXPECT_EQ(std::memcmp(p.data(), "\x00\x01Lf", 4), 0);
        EXPECT_EQ(std::memcmp(p.data() + 8, process.data(), 12), 0);
    }
    EXPECT_EQ(a.TaskPeerId(), pa);  // made once per task
    EXPECT_NE(std::memcmp(pa.data() + 4, pb.data() + 4, 4), 0);
}

TEST(PeerIdentityTest, TrackerPeersBecomeCandidates) {
    TWorkThread task;
    CLanternfishCore& core = CLanternfishCore::Instance();
    const int32_t savedPort = core.listenPort.load();
    const uint32_t savedLocal = core.localAddress.load();
    core.listenPort.store(7000);
    core.localAddress.store(inet_addr("127.0.0.9"));
    const uint32_t peer = inet_addr("127.0.0.2");
    // Refused: 127.0.0.1, the task's own peer id, the engine's own listening address.
    EXPECT_EQ(task.AddPeerAddress(inet_addr("127.0.0.1"), 6881, kSourceBitTorrent, false, 19),
              nullptr);
    EXPECT_EQ(
        task.AddPeerAddress(peer, 6881, kSourceBitTorrent, false, 19, task.TaskPeerId().data()),
        nullptr);
    EXPECT_EQ(task.AddPeerAddress(inet_addr("127.0.0.9"), 7000, kSourceBitTorrent, false, 19),
              nullptr);
    EXPECT_EQ(task.CandidateCount(), 0u);
    // Kept, with the compact peer-id form when the tracker gave none.
    TPeerId* r = task.AddPeerAddress(peer, 6881, kSourceBitTorrent, false, 5);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->address, "btnode://127.0.0.2:6881");
    EXPECT_EQ(r->retryMark, 19);
    EXPECT_EQ(r->allowedConnections, 1);
    const uint8_t compact[20] = {0, 0, 0, 0, 0,   0, 0, 0, 0,    0,
                                 0, 0, 0, 0, 127, 0, 0, 2, 0x1a, 0xe1};
    EXPECT_EQ(std::memcmp(r->peerId, compact, 20), 0);
    // The same address again is the same candidate; another goes to the end,
    // or to the front when asked.
    EXPECT_EQ(task.AddPeerAddress(peer, 6881, kSourceBitTorrent, false, 19), r);
    uint8_t given[20];
    std::memset(given, 'G', 20);
    TPeerId* end = task.AddPeerAddress(peer, 6882, kSourceBitTorrent, false, 19, given);
    TPeerId* front = task.AddPeerAddress(peer, 6883, kSourceBitTorrent, true, 19);
    ASSERT_EQ(task.CandidateCount(), 3u);
    EXPECT_EQ(task.Candidates().front(), front);
    EXPECT_EQ(task.Candidates().back(), end);
    EXPECT_EQ(std::memcmp(end->peerId, given, 20), 0);
    core.listenPort.store(savedPort);
    core.localAddress.store(savedLocal);
}

}  // namespace
