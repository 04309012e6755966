// The status block of a task: the work thread writes the working copy; a
// copy taken under the task lock (publication) is what queries read.
#pragma once

#include <cstdint>
#include <string>

namespace lf {

struct TaskStatus {
    enum State : int32_t {
        kIdle = 1,
        kFetchingMetainfo = 2,
        kFetchingMetainfoHttp = 3,
        kDownloading = 4
    };

    int32_t state = kIdle;
    int32_t statusCode = 0;
    // For a write failure (20215): the file and the system's reason.
    std::string errorText;
    std::string name;
    std::string name2;
    uint32_t word = 0;
    int64_t totalBytes = 0;
    int64_t downloadedBytes = 0;
    int64_t heldBytes = 0;      // see TaskInfo::heldBytes
    int64_t examinedBytes = 0;  // bytes of the content the piece map has looked at
    int64_t verifiedOnDisk = 0;
    uint32_t pieceCount = 0;
    uint32_t piecesDone = 0;
    uint32_t pieceMapCount = 0;
    uint32_t pieceLength = 0;
    uint32_t connectedPeers = 0;
    uint32_t activeSources = 0;
    uint32_t candidates = 0;
    int32_t trackerInterval = 0;
    int32_t trackerDonePeers = 0;
    int32_t trackerCompleted = 0;
    std::string announce;
    std::string infoHashText;
    std::string comment;
    int64_t receivedTotal = 0;
    int64_t sentTotal = 0;
    // Payload sent to BitTorrent peers since the task was created.
    int64_t uploadedPayload = 0;
    // BitTorrent peers past the handshake.
    uint32_t connectedBtPeers = 0;
    int32_t averageDownSpeed = 0;
    int32_t averageUpSpeed = 0;
    int32_t smoothedSpeed = 0;
    int32_t remainingSeconds = 0;
    int64_t completionTime = 0;  // seconds since 1970, 0 = not complete
    uint8_t holdAfterComplete = 1;

    void Reset() { *this = TaskStatus(); }
};

// Settings block of a task, validated when the piece store is created and
// after every speed-limit change.
struct TaskSettings {
    int32_t maxPeerConnections = 52;
    int32_t connectionsPerServer = 1;
    int32_t secondCount = 64;
    uint8_t flag = 1;
    int32_t seedHours = 12;
    int32_t downloadLimitKiB = 0;
    int32_t uploadLimitKiB = 0;
    uint8_t randomStartPiece = 1;
    uint8_t option2 = 1;
    uint8_t option3 = 1;
    uint8_t option4 = 0;
    int32_t countAfterOptions = 0;
    uint8_t option5 = 1;
    uint8_t option6 = 0;
    uint8_t metainfoOnly = 0;
    uint8_t pieceStoreOption = 0;
    int32_t cacheUnits = 32;  // write cache of the piece map, units of 256 KiB
    int32_t startTimeoutSeconds = 45;

    void Validate() {
        if (maxPeerConnections < 1 || maxPeerConnections > 20480) maxPeerConnections = 52;
        if (connectionsPerServer < 1 || connectionsPerServer > 20) connectionsPerServer = 1;
        if (secondCount < 1 || secondCount > 8000) secondCount = 64;
        if (downloadLimitKiB < 0 || downloadLimitKiB > 32766) downloadLimitKiB = 0;
        if (uploadLimitKiB < 0 || uploadLimitKiB > 32766) uploadLimitKiB = 0;
        if (seedHours < 0 || seedHours > 20480) seedHours = 12;
        if (countAfterOptions < 0 || countAfterOptions > 32766) countAfterOptions = 0;
    }
};

}  // namespace lf
