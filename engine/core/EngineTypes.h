// Records, codes and flags that cross the engine interface.
#pragma once

#include <cstdint>

namespace lf {

// Opaque task handle: names one work object; looked up before any use.
using TaskHandle = void*;

// Interface result codes.
enum : int32_t {
    kEngineOk = 0,
    kEngineInvalidArgument = -101,
    kEngineNetworkUnavailable = -102,
    kEngineDuplicateTask = -105,
    kEngineUnknownTask = -106,
    kEngineFailed = -107,
    kEngineOutOfMemory = -109,
};

// Task status codes reported in TaskInfo.
enum : int32_t {
    kTaskStatusNone = 0,
    kTaskStatusComplete = 20206,
    kTaskStatusNetworkError = 20207,  // known to the application; never reported
    kTaskStatusStartTimeout = 20209,
    kTaskStatusDiskFull = 20210,
    kTaskStatusMetainfoUnreadable = 20211,
    kTaskStatusNoSource = 20214,
    kTaskStatusWriteFailure = 20215,
    kTaskStatusBadSourceAddress = 20216,
};

// TaskDescription flags.
constexpr uint32_t kTaskFlagTargetIsFile = 0x00000002;
constexpr uint32_t kTaskFlagPieceStoreOption = 0x00000020;
constexpr uint32_t kTaskFlagBitTorrent = 0x00010000;
constexpr uint32_t kTaskFlagNoEffect = 0x00100000;
constexpr uint32_t kTaskFlagP2SP = 0x01000000;

constexpr int kEnginePathBytes = 4096;

// Filled by the caller, zeroed before use.
struct TaskDescription {
    uint32_t callerWord;                 // the caller's own; never read by the engine
    char p2spLocator[kEnginePathBytes];  // "file://" + torrent path (P2SP tasks)
    const char* sources;                 // source addresses, one a line; may be null
    char targetPath[kEnginePathBytes];   // target file (flag 0x2) or folder
    char infoFilePath[kEnginePathBytes];
    uint32_t flags;
    TaskHandle handle;  // out: written by create and recover on success
};

// Zeroed by the engine on every query.
struct TaskInfo {
    char name[kEnginePathBytes];
    uint32_t progress;         // 0..10000
    int32_t status;            // status code, 20206 once progress reaches 10000
    int32_t speed;             // smoothed, bytes per second
    int32_t remainingSeconds;  // estimate
    int32_t totalKiB;
    uint64_t httpBytes;
    uint64_t btBytes;
    uint64_t downloadedBytes;
    // What the task holds of its content: the verified bytes plus the bytes
    // received (in memory or on disk) of pieces not yet verified and written.
    // Follows the transfer closely; downloadedBytes lags by the write cache.
    uint64_t heldBytes;
};

// Filled by the metainfo query of a work object.
struct TaskMetainfoRecord {
    uint32_t totalBytesLow;
    uint32_t pieceLength;
    char infoHashText[41];
    char announce[kEnginePathBytes];
};

// Extended task information.
struct TaskInfoEx {
    TaskInfo info;
    int64_t sizeOnDisk;
    uint32_t pieceCount;
    uint32_t runSeconds;
    uint32_t connectedPeers;
    uint32_t activeSources;
    // BitTorrent peers past the handshake, and the payload sent to peers
    // since the task was created.
    uint32_t connectedBtPeers;
    uint64_t uploadedBytes;
};

}  // namespace lf
