#include "engine/metainfo/Torrent.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "common/Text.h"
#include "engine/log/LogApi.h"
#include "engine/metainfo/Bencode.h"
#include "engine/metainfo/CodePage.h"

namespace lf {

namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// A dictionary lookup that pairs keys with values (a value never matches as a key) and compares
// keys ignoring ASCII case. An integer value is carried by the key element, which is returned.
const QElement* Lookup(const QElement* dict, std::string_view key) {
    if (!dict || !dict->IsValid()) return nullptr;
    const int64_t count = dict->Count();
    for (int64_t i = 0; i < count; ++i) {
        const QElement* child = dict->ElementAt(i);
        if (!child || !child->IsValid()) continue;
        if (child->IsString() && EqualNoCase(child->Bytes(), key)) {
            if (child->HasInteger()) return child;
            const QElement* next = dict->ElementAt(i + 1);
            if (!next || next->HasInteger()) return nullptr;
            return next;
        }
        if (!child->HasInteger()) ++i;
    }
    return nullptr;
}

const QElement* LookupString(const QElement* dict, std::string_view key) {
    const QElement* v = Lookup(dict, key);
    return (v && v->IsString() && !v->HasInteger()) ? v : nullptr;
}

bool LookupInteger(const QElement* dict, std::string_view key, int64_t& value) {
    const QElement* v = Lookup(dict, key);
    if (!v || !v->IsString() || !v->HasInteger()) return false;
    value = v->Integer();
    return true;
}

std::string TextOf(const QElement* e) {
    return e ? e->ConvertedText() : std::string();
}

std::string Trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && s[b] >= 0x01 && s[b] <= 0x20) ++b;
    while (e > b && s[e - 1] >= 0x01 && s[e - 1] <= 0x20) --e;
    return std::string(s.substr(b, e - b));
}

// A file name component that stays inside its folder.
bool SafeComponent(std::string_view c) {
    return !c.empty() && c != "." && c != ".." && c.find('/') == std::string_view::npos &&
           c.find('\0') == std::string_view::npos;
}

int32_t PieceSpan(int64_t offset, int64_t length, int64_t pieceLength) {
    if (length <= 0) return 0;
    const int64_t r = offset % pieceLength;
    const int64_t head = r == 0 ? 0 : pieceLength - r;
    if (length <= head) return 1;
    int64_t span = (length - head) / pieceLength + ((length - head) % pieceLength != 0);
    if (r != 0) ++span;
    return static_cast<int32_t>(span);
}

bool ReadWholeFile(const std::string& path, int64_t limit, std::string& out, std::string& why) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = std::string("cannot open the torrent file: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok || !S_ISREG(st.st_mode)) {
        why = "the torrent file is not a regular file";
        ::close(fd);
        return false;
    }
    if (st.st_size > limit) {
        why = "the torrent file is too large";
        ::close(fd);
        return false;
    }
    out.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            why = std::string("cannot read the torrent file: ") + std::strerror(errno);
            ok = false;
            break;
        }
        if (got == 0) break;
        out.append(buffer, static_cast<size_t>(got));
        if (static_cast<int64_t>(out.size()) > limit) {
            why = "the torrent file is too large";
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

bool ParseDecimal(std::string_view text, int64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

// The digits right after a marker ("$Size$1000$..." gives "1000").
std::string_view DigitsAfter(std::string_view text, size_t markerEnd) {
    size_t e = markerEnd;
    while (e < text.size() && text[e] >= '0' && text[e] <= '9') ++e;
    return text.substr(markerEnd, e - markerEnd);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = AsciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string CleanTrackerAddress(std::string_view address) {
    size_t b = 0;
    while (b < address.size() && AsciiLower(address[b]) != 'h' && AsciiLower(address[b]) != 'u') {
        ++b;
    }
    std::string_view rest = address.substr(b);
    while (!rest.empty() && rest.back() == '|') rest.remove_suffix(1);
    if (rest.size() < 2) return {};
    return std::string(rest);
}

std::string_view MetainfoContent::PieceHash(int32_t index) const {
    if (index < 0 || index >= pieceCount) return {};
    const size_t at = static_cast<size_t>(index) * 20;
    if (at + 20 > pieceHashes.size()) return {};
    return std::string_view(pieceHashes).substr(at, 20);
}

int64_t MetainfoContent::PieceSize(int32_t index) const {
    if (index < 0 || index >= pieceCount || pieceLength <= 0) return 0;
    const int64_t start = static_cast<int64_t>(index) * pieceLength;
    const int64_t left = totalLength - start;
    return left < pieceLength ? (left > 0 ? left : 0) : pieceLength;
}

std::vector<std::string> TargetPaths(const MetainfoContent& content,
                                     std::string_view downloadFolder,
                                     std::string_view explicitTarget) {
    std::string folder(downloadFolder);
    if (folder.empty() || folder.back() != '/') folder += '/';
    auto clean = [](std::string path) {
        for (char& c : path) {
            if (c == '?' || c == '\r' || c == '\n') c = '_';
        }
        return path;
    };
    std::vector<std::string> paths;
    paths.reserve(content.files.size());
    if (!content.multiFile) {
        for (const MetainfoFile& f : content.files) {
            if (!explicitTarget.empty()) {
                paths.emplace_back(explicitTarget);
            } else {
                paths.push_back(folder + clean(f.path));
            }
        }
        return paths;
    }
    // A folder that already ends with the torrent's name is the content's own folder.
    std::string base = folder;
    if (!content.name.empty()) {
        const std::string tail = "/" + content.name + "/";
        if (folder.size() >= tail.size() &&
            folder.compare(folder.size() - tail.size(), tail.size(), tail) == 0) {
            base = folder.substr(0, folder.size() - tail.size() + 1);
        }
    }
    for (const MetainfoFile& f : content.files) paths.push_back(base + clean(f.path));
    return paths;
}

bool TTorrent::Fail(Failure failure, std::string text) {
    Clear();
    m_failure = failure;
    m_failureText = std::move(text);
    EngineLog::Printf(13, "Metainfo refused: %s", m_failureText.c_str());
    return false;
}

void TTorrent::Clear() {
    m_announce.clear();
    m_publisher.clear();
    m_publisherUrl.clear();
    m_comment.clear();
    m_creationDate = 0;
    m_infoHash.fill(0);
    m_escapedInfoHash.clear();
    m_infoHashText.clear();
    m_trackers.clear();
    m_content = MetainfoContent{};
    m_loaded = false;
    m_failure = kOk;
    m_failureText.clear();
}

void TTorrent::SetInfoHash(const uint8_t* hash) {
    static const char kHex[] = "0123456789abcdef";
    std::memcpy(m_infoHash.data(), hash, 20);
    m_infoHashText.clear();
    m_escapedInfoHash.clear();
    for (int i = 0; i < 20; ++i) {
        const uint8_t b = hash[i];
        m_infoHashText += kHex[b >> 4];
        m_infoHashText += kHex[b & 15];
        const bool alnum =
            (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
        if (alnum) {
            m_escapedInfoHash += static_cast<char>(b);
        } else {
            m_escapedInfoHash += '%';
            m_escapedInfoHash += kHex[b >> 4];
            m_escapedInfoHash += kHex[b & 15];
        }
    }
}

bool TTorrent::Load() {
    if (m_torrentAddress.find("$End$") != std::string::npos)
        return LoadDescriptor(m_torrentAddress);
    if (!m_torrentBytes.empty()) return LoadBytes(m_torrentBytes);
    if (m_torrentAddress.empty()) return Fail(kNoInput, "no metainfo bytes and no torrent address");
    if (StartsWithNoCase(m_torrentAddress, "http://Kademlia/")) {
        return Fail(kBadAddress, "metainfo from the DHT is not supported");
    }
    if (!StartsWithNoCase(m_torrentAddress, "file://")) {
        return Fail(kBadAddress, "torrent address is not a file:// locator: " + m_torrentAddress);
    }
    std::string bytes;
    std::string why;
    if (!ReadWholeFile(m_torrentAddress.substr(7), kMaxTorrentFileSize, bytes, why)) {
        return Fail(kNotMetainfo, why);
    }
    if (bytes.size() <= 2 || (bytes[0] != 'd' && bytes[0] != 'D')) {
        return Fail(kNotMetainfo, "the torrent file does not hold a bencoded dictionary");
    }
    if (LoadBytes(bytes)) {
        m_torrentBytes = std::move(bytes);
        return true;
    }
    if (m_failure == kBadEncoding) m_failure = kNotMetainfo;
    return false;
}

bool TTorrent::LoadBytes(const char* bytes, int64_t length) {
    Clear();
    if (!bytes || length <= 0) return Fail(kNoInput, "no metainfo bytes");
    if (bytes[0] != 'd' && bytes[0] != 'D') {
        return Fail(kBadEncoding, "metainfo does not begin with a dictionary");
    }
    BencodeFailure why;
    std::unique_ptr<QElement> root = ParseElement(bytes, length, &why);
    if (!root || !root->IsDictionary()) {
        return Fail(kBadEncoding, "metainfo is not well-formed bencode: " + why.what + " at byte " +
                                      std::to_string(why.offset));
    }

    if (m_codePage == 0) {
        int64_t codePage = 0;
        if (LookupInteger(root.get(), "codepage", codePage)) {
            if (codePage > 0 && codePage <= kInt32Max) m_codePage = static_cast<int>(codePage);
        } else if (const QElement* enc = LookupString(root.get(), "encoding")) {
            m_codePage = CodePageFromName(enc->Bytes());
        }
    }
    if (m_codePage != 0) root->SetCodePage(m_codePage);

    if (const QElement* announce = LookupString(root.get(), "announce")) {
        m_announce = Trim(CleanTrackerAddress(announce->Bytes()));
        if (!m_announce.empty()) m_trackers.push_back(m_announce);
    }
    if (const QElement* list = Lookup(root.get(), "announce-list")) {
        if (list->IsList() || list->IsDictionary()) WalkAnnounceList(list, 0);
    }
    m_comment = TextOf(LookupString(root.get(), "comment"));
    m_publisher = TextOf(LookupString(root.get(), "publisher"));
    m_publisherUrl = TextOf(LookupString(root.get(), "publisher-url"));
    LookupInteger(root.get(), "creation date", m_creationDate);

    const QElement* info = Lookup(root.get(), "info");
    if (!info || !info->IsDictionary() || !info->SourcePosition() || info->EncodedLength() <= 0) {
        return Fail(kBadInfo, "metainfo has no info dictionary");
    }
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(info->SourcePosition(), static_cast<size_t>(info->EncodedLength()), digest,
                   &digestLength, EVP_sha1(), nullptr) != 1 ||
        digestLength != 20) {
        return Fail(kBadInfo, "cannot compute the info hash");
    }
    SetInfoHash(digest);
    if (m_publisher.empty()) m_publisher = TextOf(LookupString(info, "publisher"));
    if (m_publisherUrl.empty()) m_publisherUrl = TextOf(LookupString(info, "publisher-url"));

    if (!ReadInfo(info)) return false;
    m_loaded = true;
    return true;
}

void TTorrent::WalkAnnounceList(const QElement* container, int depth) {
    if (depth > kBencodeMaxDepth) return;
    const int64_t count = container->Count();
    for (int64_t i = 0; i < count; ++i) {
        const QElement* child = container->ElementAt(i);
        if (!child || !child->IsValid()) continue;
        if (child->IsString()) {
            const std::string_view bytes = child->Bytes();
            if (bytes == "Tracker") continue;
            if (bytes == "Name") return;
            if (bytes.empty()) continue;
            std::string address = CleanTrackerAddress(bytes);
            if (!address.empty()) m_trackers.push_back(std::move(address));
        } else {
            WalkAnnounceList(child, depth + 1);
        }
    }
}

bool TTorrent::ReadInfo(const QElement* info) {
    MetainfoContent content;

    const QElement* nameElement = LookupString(info, "name");
    if (nameElement && nameElement->Bytes().find('\0') != std::string_view::npos) {
        return Fail(kUnsafePath, "the torrent's name holds a NUL byte");
    }
    content.name = TextOf(nameElement);
    if (nameElement && nameElement->Length() > 0 && content.name.empty()) {
        return Fail(kBadInfo, "the torrent's name is not valid in its code page");
    }

    int64_t pieceLength = 0;
    if (!LookupInteger(info, "piece length", pieceLength) || pieceLength <= 0 ||
        pieceLength > kInt32Max) {
        return Fail(kBadInfo, "missing or invalid piece length");
    }
    content.pieceLength = static_cast<int32_t>(pieceLength);

    const QElement* pieces = LookupString(info, "pieces");
    if (!pieces || pieces->Length() < 20 || pieces->Length() % 20 != 0 ||
        pieces->Length() / 20 > kInt32Max) {
        return Fail(kBadInfo, "missing pieces, or their length is not a positive multiple of 20");
    }
    content.pieceHashes = std::string(pieces->Bytes());
    content.pieceCount = static_cast<int32_t>(pieces->Length() / 20);

    int64_t isPrivate = 0;
    content.isPrivate = LookupInteger(info, "private", isPrivate) && isPrivate == 1;

    int64_t singleLength = 0;
    const bool single = Lookup(info, "length") != nullptr;
    if (single) {
        if (!LookupInteger(info, "length", singleLength) || singleLength <= 0) {
            return Fail(kBadInfo, "the file length is not positive");
        }
        if (content.name.empty()) content.name = "strRecommend";
        if (!SafeComponent(content.name)) {
            return Fail(kUnsafePath,
                        "the torrent's name is not a plain file name: " + content.name);
        }
        MetainfoFile file;
        file.path = content.name;
        file.length = singleLength;
        content.files.push_back(std::move(file));
        content.totalLength = singleLength;
    } else {
        content.multiFile = true;
        if (!content.name.empty() && !SafeComponent(content.name)) {
            return Fail(kUnsafePath,
                        "the torrent's name is not a plain folder name: " + content.name);
        }
        const QElement* files = Lookup(info, "files");
        if (!files || !files->IsList() || files->Count() == 0) {
            return Fail(kBadInfo, "neither a file length nor a file list");
        }
        const std::string prefix = content.name.empty() ? std::string() : content.name + "/";
        int64_t total = 0;
        const int64_t count = files->Count();
        for (int64_t i = 0; i < count; ++i) {
            auto where = [i] { return "file entry " + std::to_string(i) + ": "; };
            const QElement* entry = files->ElementAt(i);
            if (!entry || !entry->IsDictionary() || entry->Count() == 0) {
                return Fail(kBadInfo, where() + "not a dictionary");
            }
            int64_t length = 0;
            const QElement* path = Lookup(entry, "path");
            if (!LookupInteger(entry, "length", length) || length < 0) {
                return Fail(kBadInfo, where() + "missing or negative length");
            }
            if (!path || !path->IsList() || path->Count() == 0) {
                return Fail(kBadInfo, where() + "missing or empty path");
            }
            std::string relative = prefix;
            bool folder = false;
            const int64_t parts = path->Count();
            for (int64_t k = 0; k < parts; ++k) {
                const QElement* part = path->ElementAt(k);
                if (!part || !part->IsString() || part->HasInteger()) {
                    return Fail(kBadInfo, where() + "a path component is not a string");
                }
                if (part->Bytes().find('\0') != std::string_view::npos) {
                    return Fail(kUnsafePath, where() + "a path component holds a NUL byte");
                }
                const std::string text = part->ConvertedText();
                if (text.empty() && part->Length() == 0 && k == parts - 1 &&
                    (k > 0 || !prefix.empty()) && length == 0) {
                    folder = true;  // "dir/" with length 0: a folder to create
                    break;
                }
                if (text.empty() && part->Length() > 0) {
                    return Fail(kBadInfo,
                                where() + "a path component is not valid in its code page");
                }
                if (!SafeComponent(text)) {
                    return Fail(kUnsafePath, where() + "unsafe path component \"" + text + "\"");
                }
                if (k > 0) relative += '/';
                relative += text;
            }
            if (folder) {
                if (!relative.empty() && relative.back() == '/') relative.pop_back();
                content.folders.push_back(relative);
                continue;
            }
            if (length > std::numeric_limits<int64_t>::max() - total) {
                return Fail(kBadInfo, where() + "file lengths overflow the total");
            }
            MetainfoFile file;
            file.path = std::move(relative);
            file.length = length;
            file.offset = total;
            total += length;
            content.files.push_back(std::move(file));
        }
        if (content.files.empty()) return Fail(kBadInfo, "the file list holds no file");
        content.totalLength = total;
    }

    // The piece table must cover the content exactly: one hash per piece.
    const int64_t expected =
        content.totalLength / pieceLength + (content.totalLength % pieceLength != 0);
    if (content.totalLength <= 0 || expected != content.pieceCount) {
        return Fail(kBadInfo, "piece count " + std::to_string(content.pieceCount) +
                                  " does not match total length " +
                                  std::to_string(content.totalLength));
    }
    for (MetainfoFile& file : content.files) {
        file.firstPiece = static_cast<int32_t>(file.offset / pieceLength);
        file.pieceSpan = PieceSpan(file.offset, file.length, pieceLength);
    }
    m_content = std::move(content);
    return true;
}

bool TTorrent::LoadDescriptor(std::string_view text) {
    Clear();
    const size_t hash = text.find("$Hash$");
    const size_t size = text.find("$Size$");
    const size_t length = text.find("$Length$");
    const size_t tracker = text.find("$Tracker$");
    if (hash == std::string_view::npos || size == std::string_view::npos ||
        length == std::string_view::npos || tracker == std::string_view::npos) {
        return Fail(kBadDescriptor, "torrentless descriptor lacks a field");
    }
    const size_t end = text.find("$End$", tracker + 9);
    if (end == std::string_view::npos) return Fail(kBadDescriptor, "descriptor lacks $End$");

    const std::string_view hex = text.substr(hash + 6, 40);
    uint8_t digest[20];
    if (hex.size() != 40) return Fail(kBadDescriptor, "descriptor hash is not 40 hex digits");
    for (int i = 0; i < 20; ++i) {
        const int hi = HexValue(hex[2 * i]);
        const int lo = HexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return Fail(kBadDescriptor, "descriptor hash is not 40 hex digits");
        digest[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    int64_t total = 0;
    int64_t pieceLength = 0;
    if (!ParseDecimal(DigitsAfter(text, size + 6), total) ||
        !ParseDecimal(DigitsAfter(text, length + 8), pieceLength) || pieceLength <= 0 ||
        pieceLength > kInt32Max) {
        return Fail(kBadDescriptor, "descriptor size or piece length is not a valid number");
    }
    const int64_t count = total / pieceLength + (total % pieceLength != 0);
    if (count > kInt32Max) return Fail(kBadDescriptor, "descriptor has too many pieces");

    std::string address(text.substr(tracker + 9, end - tracker - 9));
    const size_t scheme = address.find("$$$");
    if (scheme != std::string::npos) address.replace(scheme, 3, "://");

    SetInfoHash(digest);
    m_announce = address;
    if (!address.empty()) m_trackers.push_back(address);
    MetainfoContent content;
    content.torrentless = true;
    content.pieceLength = static_cast<int32_t>(pieceLength);
    content.pieceCount = static_cast<int32_t>(count);
    content.totalLength = total;
    if (total > 0) {
        MetainfoFile file;
        file.length = total;
        file.pieceSpan = PieceSpan(0, total, pieceLength);
        content.files.push_back(file);
    }
    m_content = std::move(content);
    m_loaded = true;
    return true;
}

}  // namespace lf
