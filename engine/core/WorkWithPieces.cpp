#include "engine/core/WorkWithPieces.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

bool TWorkWithPieces::HasMetainfo() {
    return m_metainfoLoaded;
}

bool TWorkWithPieces::ReadMetainfoFromLocator() {
    if (strncasecmp(m_locator.c_str(), "file://", 7) != 0) return true;
    std::ifstream in(m_locator.substr(7), std::ios::binary);
    std::ostringstream bytes;
    if (in) bytes << in.rdbuf();
    if (!in || bytes.str().empty()) {
        {
            QGuard guard(m_lock);
            m_working.statusCode = kTaskStatusMetainfoUnreadable;
        }
        RequestStop(nullptr);
        return false;
    }
    m_infoValues[kTorrent] = bytes.str();
    return true;
}

bool TWorkWithPieces::LoadMetainfoIntoPieceStore() {
    return m_metainfoLoaded;
}

bool TWorkWithPieces::SizeKnown() {
    QGuard guard(m_lock);
    return m_working.totalBytes > 0;
}

void TWorkWithPieces::FinishDownload() {}

void TWorkWithPieces::ServeDataReads() {}

void TWorkWithPieces::PieceMaintenance() {}

void TWorkWithPieces::ReloadMetainfoIfFlagged() {
    if (!m_metainfoReload) return;
    m_metainfoReload = false;
    LoadMetainfoIntoPieceStore();
}

void TWorkWithPieces::CopyPieceNumbers() {}

void TWorkWithPieces::RefreshFromPieces() {
    CopyPieceNumbers();
    bool examining;
    {
        QGuard guard(m_lock);
        examining = m_working.examinedBytes != m_working.totalBytes;
    }
    if (examining) Publish(false, false);
}

void TWorkWithPieces::PublishPieceData(bool force) {
    if (force || m_pieceMapChanged) {
        m_publishedHave = m_have;
        m_publishedRequested = m_requested;
        m_publishedPieceCount = m_working.pieceCount;
    }
    m_pieceMapChanged = false;
}

int32_t TWorkWithPieces::CopyPieceMap(uint8_t* buffer, int32_t length) {
    QGuard guard(m_lock);
    if (buffer == nullptr || length <= 0) return 0;
    size_t n = std::min(static_cast<size_t>(length), m_publishedHave.size());
    if (n > 0) std::memcpy(buffer, m_publishedHave.data(), n);
    uint64_t bits = static_cast<uint64_t>(m_publishedHave.size()) * 8;
    return static_cast<int32_t>(std::min<uint64_t>(bits, m_publishedPieceCount));
}

int32_t TWorkWithPieces::PieceMapSize() {
    QGuard guard(m_lock);
    return static_cast<int32_t>(m_publishedHave.size());
}

std::string TWorkWithPieces::FileText(int /*index*/, int /*kind*/) {
    return std::string();
}

void TWorkWithPieces::PieceStoreEvent(long event) {
    TWorkWithPeers::PieceStoreEvent(event);
}

void TWorkWithPieces::Reset(bool clearFileList, bool clearAll) {
    TWorkWithPeers::Reset(clearFileList, clearAll);
    QGuard guard(m_lock);
    m_requested.clear();
    m_metainfoReload = false;
}
