#include "engine/store/ResumeRecord.h"

#include <memory>

#include "engine/metainfo/Bencode.h"
#include "engine/store/Sha1Context.h"
#include "engine/store/StoreChecksum.h"

namespace lf {

namespace {

bool IsKey(const QElement* e) {
    return e != nullptr && e->IsString() && !e->HasInteger();
}

int64_t IndexOfKey(const std::vector<QElement*>& kids, std::string_view key) {
    for (size_t i = 0; i < kids.size(); ++i) {
        if (IsKey(kids[i]) && kids[i]->Bytes() == key) return static_cast<int64_t>(i);
    }
    return -1;
}

const QElement* ValueAfter(const std::vector<QElement*>& kids, std::string_view key) {
    int64_t i = IndexOfKey(kids, key);
    if (i < 0 || i + 1 >= static_cast<int64_t>(kids.size())) return nullptr;
    return kids[static_cast<size_t>(i + 1)];
}

ResumeRecord::FileState FileAt(const std::vector<QElement*>& kids, size_t k) {
    ResumeRecord::FileState f;
    if (k + 3 >= kids.size()) return f;
    const QElement* lo = kids[k + 1];
    const QElement* hi = kids[k + 2];
    const QElement* sz = kids[k + 3];
    if (lo->Bytes() != "Low" || hi->Bytes() != "High" || sz->Bytes() != "Size") return f;
    if (lo->Integer() < 0 || lo->Integer() > 0xffffffffLL || hi->Integer() < 0 ||
        hi->Integer() > 0xffffffffLL)
        return f;
    f.described = true;
    f.writeTime =
        (static_cast<uint64_t>(hi->Integer()) << 32) | static_cast<uint64_t>(lo->Integer());
    f.size = sz->Integer();
    if (k + 4 < kids.size() && kids[k + 4]->Bytes() == "Priority")
        f.priority = kids[k + 4]->Integer();
    return f;
}

}  // namespace

const ResumeRecord::FileState* ResumeRecord::Find(std::string_view path) const {
    auto it = keys.find(path);
    return it == keys.end() ? nullptr : &it->second;
}

std::optional<ResumeRecord> ParseResumeRecord(std::string_view bytes) {
    std::unique_ptr<QElement> root = ParseElement(bytes);
    if (!root || !root->IsDictionary()) return std::nullopt;
    const auto& kids = static_cast<const QMultiElement*>(root.get())->Children();
    ResumeRecord record;
    if (const QElement* ih = ValueAfter(kids, "infohash"))
        record.infoHash = std::string(ih->Bytes());
    for (size_t k = 0; k < kids.size(); ++k) {
        if (!IsKey(kids[k])) continue;
        const std::string_view text = kids[k]->Bytes();
        if (record.keys.find(text) != record.keys.end()) continue;  // the first key counts
        record.keys.emplace(std::string(text), FileAt(kids, k));
    }
    if (const QElement* bits = ValueAfter(kids, "BitField"); bits != nullptr && bits->IsString())
        record.bitField = std::string(bits->Bytes());
    if (const QElement* ps = ValueAfter(kids, "PieceStatus"); ps != nullptr && ps->IsList()) {
        for (const QElement* e : static_cast<const QMultiElement*>(ps)->Children()) {
            if (e == nullptr || !e->IsDictionary() || e->Count() < 4) continue;
            const QElement* ix = e->ElementAt(0);
            const QElement* pt = e->ElementAt(1);
            const QElement* st = e->ElementAt(2);
            const QElement* cx = e->ElementAt(3);
            const QElement* crc = e->FindElement("CRC32");
            if (ix->Bytes() != "Index" || pt->Bytes() != "Part" || st->Bytes() != "Status")
                continue;
            if (cx == nullptr || !cx->IsString() ||
                cx->Length() < static_cast<int64_t>(kSha1ContextBytes) || crc == nullptr)
                continue;
            ResumeRecord::Partial p;
            p.index = ix->Integer();
            p.part = pt->Integer();
            p.context = std::string(cx->Bytes().substr(0, kSha1ContextBytes));
            if (p.index >= 0 && p.index <= 0xffffffffLL) {
                const uint32_t sum =
                    AdlerFrom(static_cast<uint32_t>(p.index), p.context.data(), kSha1ContextBytes);
                p.checksumOk = crc->Integer() == static_cast<int64_t>(sum);
            }
            record.partials.push_back(std::move(p));
        }
    }
    return record;
}

}  // namespace lf
