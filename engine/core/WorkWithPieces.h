// TWorkWithPieces: the layer of a work object that holds the task's
// metainfo and piece map, schedules pieces over the sources and turns
// piece-store events into task status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/WorkWithPeers.h"

class TWorkWithPieces : public TWorkWithPeers {
public:
    bool HasMetainfo() override;
    void RefreshFromPieces() override;
    void Reset(bool clearFileList, bool clearAll) override;
    void PieceStoreEvent(long event) override;

    // Reads the task's metainfo from its "file://" locator. False (with
    // status 20211 and a stop request) when the file is not metainfo.
    bool ReadMetainfoFromLocator();
    // Builds the piece map from the metainfo held by the task.
    bool LoadMetainfoIntoPieceStore();
    // The piece store knows the size of the download.
    bool SizeKnown();
    // Tells the piece store to finish the download (all pieces done).
    void FinishDownload();
    void ServeDataReads();
    void PieceMaintenance();
    void ReloadMetainfoIfFlagged();
    void MarkPieceMapChanged() { m_pieceMapChanged = true; }

    // Published piece bitfield (engine interface).
    int32_t CopyPieceMap(uint8_t* buffer, int32_t length);
    int32_t PieceMapSize();
    // Path of file i: kind 3 is its final path.
    std::string FileText(int index, int kind);

protected:
    // Copies the piece map's numbers into the working status.
    void CopyPieceNumbers();
    // Called by publication under the task lock.
    void PublishPieceData(bool force);

    bool m_metainfoLoaded = false;
    bool m_metainfoReload = false;
    bool m_errorFlag = false;
    bool m_pieceMapChanged = false;
    std::vector<uint8_t> m_have;
    std::vector<uint8_t> m_publishedHave;
    uint32_t m_publishedPieceCount = 0;
    std::vector<int32_t> m_requested;
    std::vector<int32_t> m_publishedRequested;
};
