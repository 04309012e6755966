#include "tests/sources/FakeHost.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include "engine/store/ContentLayout.h"
#include "tests/support/TestDirs.h"

namespace sourcetest {

using namespace lf;

FakeHost::FakeHost(std::string folder, std::string name)
    : m_folder(std::move(folder)), m_name(std::move(name)) {
    if (!m_folder.empty() && m_folder.back() != '/') m_folder += '/';
}

FakeHost::~FakeHost() {
    for (PieceRange* r : m_ranges) delete r;
    if (m_pieces != nullptr) {
        m_pieces->CloseFiles(true, true);
        m_pieces->Release();
    }
    for (TPeerId* s : m_sources) s->Release();
}

bool FakeHost::MakePieces(int64_t size, int32_t pieceLength) {
    if (m_pieces != nullptr || size <= 0) return false;
    TContentLayout layout;
    layout.name = m_name;
    layout.pieceLength = pieceLength;
    layout.pieceCount = (size + pieceLength - 1) / pieceLength;
    layout.files.push_back(TContentFile{m_name, size});
    m_pieces = new TPieces();
    m_pieces->SetDownloadFolder(m_folder);
    m_pieces->SetCacheLimitUnits(128);
    return m_pieces->BuildPieceTable(layout);
}

TPeerId* FakeHost::AddSource(const std::string& address) {
    TPeerId* r = new TPeerId(address);
    if (!r->ParseAndWait()) {
        r->Release();
        return nullptr;
    }
    m_sources.push_back(r);
    return r;
}

bool FakeHost::Drive(TPeerObject* s, int seconds) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool ok = true;
    while (!IsDownloadComplete() && std::chrono::steady_clock::now() < limit) {
        ok = s->RunCycle();
        if (m_pieces != nullptr) m_pieces->Maintain();
        if (!ok) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (m_pieces != nullptr) m_pieces->Maintain();
    return ok;
}

std::string FakeHost::Written() {
    if (m_pieces == nullptr) return std::string();
    m_pieces->CloseFiles(true, true);
    return lftest::ReadFile(m_folder + m_name);
}

bool FakeHost::DivideRanges() {
    if (m_pieces == nullptr || !m_ranges.empty()) return false;
    const int32_t count = m_pieces->PieceCount();
    const int32_t size = rangePieces > 0 ? rangePieces : count;
    for (int32_t first = 0; first < count; first += size) {
        auto* r = new PieceRange();
        r->first = first;
        r->last = std::min(count, first + size) - 1;
        r->cursor = first;
        m_ranges.push_back(r);
    }
    return true;
}

bool FakeHost::EngageRange(TPeerObject* s) {
    for (PieceRange* r : m_ranges) {
        if (!r->finished && r->owner == nullptr) {
            r->owner = s;
            s->m_range = r;
            ++s->m_rangesTaken;
            return true;
        }
    }
    return false;
}

void FakeHost::ReturnRange(PieceRange* r, TPeerObject* owner) {
    if (r->owner == owner) r->owner = nullptr;
    int32_t p = r->first;
    while (p <= r->last && !IsPieceNeeded(p)) ++p;
    if (p > r->last) {
        RemoveRange(r);
        return;
    }
    r->cursor = p;
    r->finished = 0;
}

void FakeHost::RemoveRange(PieceRange* r) {
    auto it = std::find(m_ranges.begin(), m_ranges.end(), r);
    if (it == m_ranges.end()) return;
    m_ranges.erase(it);
    if (r->owner != nullptr && r->owner->m_range == r) r->owner->m_range = nullptr;
    delete r;
}

bool FakeHost::HasUnfinishedRange() const {
    return std::any_of(m_ranges.begin(), m_ranges.end(),
                       [](const PieceRange* r) { return !r->finished; });
}

bool FakeHost::IsPieceNeeded(int32_t piece) {
    return m_pieces != nullptr && piece >= 0 && piece < m_pieces->PieceCount() &&
           !m_pieces->Have(piece);
}

bool FakeHost::IsDownloadComplete() {
    return m_pieces != nullptr && m_pieces->IsComplete();
}

void FakeHost::NoteQueued(int64_t block, int delta) {
    if (m_pieces == nullptr) return;
    const auto piece = static_cast<int32_t>(block * kBlockSize / m_pieces->PieceLength());
    m_queued[piece] += delta;
}

bool FakeHost::QueuedByServer(int32_t piece) const {
    auto it = m_queued.find(piece);
    return it != m_queued.end() && it->second > 0;
}

bool FakeHost::ReturnBlocks(std::vector<BlockRequest>& blocks) {
    blocks.clear();
    return true;
}

int64_t FakeHost::TaskClock() {
    return static_cast<int64_t>(std::time(nullptr));
}

void FakeHost::OnServerSize(TPeerId* /*source*/, int64_t size) {
    serverSizes.push_back(size);
    if (m_pieces == nullptr) MakePieces(size);
}

void FakeHost::AddRedirectTarget(TPeerId* target) {
    redirects.push_back(target->address);
}

}  // namespace sourcetest
