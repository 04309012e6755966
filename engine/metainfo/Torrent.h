// TTorrent: what a task downloads, read from a torrent metainfo.
//
// Three inputs are accepted:
//   * metainfo bytes (the embedded torrents):          t->SetTorrentBytes(bytes); t->Load();
//     or directly                                       t->LoadBytes(bytes);
//   * a torrent file named by a "file://" locator:     t->SetTorrentAddress("file:///d/x.torrent");
//   * a one-line torrentless descriptor
//       "$Hash$<40 hex>$Size$<bytes>$Length$<piece length>$Tracker$udp$$$host:port/a$End$"
//     given as the torrent address.
// Load() prefers a descriptor address, then the bytes, then the "file://" address.
//
// After a successful Load():
//   InfoHash() / InfoHashText() / EscapedInfoHash()   the SHA-1 of the info dictionary exactly as
//                                                     it stood in the input (for tracker requests
//                                                     and the peer handshake)
//   Trackers()                                        announce, then announce-list in document
//                                                     order (duplicates kept, empty ones dropped)
//   Content()                                         the file list and piece table, as plain data
//                                                     for the piece map (see MetainfoContent)
// On failure the torrent is cleared and Failure()/FailureText() tell why. The task reports
// status 20211 ("metainfo unreadable") when Failure() is kNotMetainfo: the "file://" file could
// not be read or does not hold a bencoded dictionary.
//
// Torrents whose file names could escape the task's folder ("..", ".", absolute paths, empty
// components, '/' or NUL inside a component) are refused (kUnsafePath), so every path in
// Content() is a plain relative path below the download folder.
//
// A TTorrent is reference counted (TRefObject) and used on its task's thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/RefObject.h"

namespace lf {

class QElement;

// One file of the content, in metainfo order. Files lie end to end.
struct MetainfoFile {
    // Relative to the download folder, components joined by '/'. For a multi-file torrent it
    // begins with the torrent's name ("name/dir/file"); for a single-file torrent it is the name.
    // Empty only for a torrentless descriptor (the task chooses the target).
    std::string path;
    int64_t length = 0;
    int64_t offset = 0;      // content offset of its first byte
    int32_t firstPiece = 0;  // offset / piece length
    int32_t pieceSpan = 0;   // pieces it touches (0 for an empty file)
};

// The content geometry of a torrent.
struct MetainfoContent {
    std::string name;  // converted to UTF-8; "strRecommend" for a nameless single file
    bool multiFile = false;
    bool isPrivate = false;    // info "private" is 1
    bool torrentless = false;  // read from a descriptor: no piece hashes
    int32_t pieceLength = 0;
    int32_t pieceCount = 0;
    int64_t totalLength = 0;
    std::string pieceHashes;  // pieceCount * 20 bytes (empty when torrentless)
    std::vector<MetainfoFile> files;
    // Folder entries of a multi-file torrent (a path ending in an empty component with length 0):
    // folders to create, relative like MetainfoFile::path.
    std::vector<std::string> folders;

    // The 20-byte SHA-1 of a piece; empty when unknown or out of range.
    std::string_view PieceHash(int32_t index) const;
    // The number of bytes of a piece (the last one may be shorter); 0 when out of range.
    int64_t PieceSize(int32_t index) const;
};

// Full target paths of the content's files under downloadFolder: the folder gets a trailing '/';
// a multi-file torrent whose folder already ends with the torrent's name does not get the name
// twice; a single-file torrent uses explicitTarget when it is not empty. '?', CR and LF in the
// relative paths become '_'. The result has one path per entry of content.files.
std::vector<std::string> TargetPaths(const MetainfoContent& content,
                                     std::string_view downloadFolder,
                                     std::string_view explicitTarget = {});

class TTorrent : public TRefObject {
public:
    enum Failure {
        kOk = 0,
        kNoInput,        // neither bytes nor a usable address were given
        kBadAddress,     // an address that is neither "file://" nor a descriptor
        kNotMetainfo,    // the "file://" file cannot be read or is not a bencoded dictionary
        kBadEncoding,    // the bytes are not well-formed bencode
        kBadInfo,        // missing or malformed info dictionary, piece table or file list
        kUnsafePath,     // a file name that could leave the download folder
        kBadDescriptor,  // a torrentless descriptor with a missing or malformed field
    };

    // Largest "file://" torrent file that is read.
    static constexpr int64_t kMaxTorrentFileSize = 128LL * 1024 * 1024;

    TTorrent() = default;

    // Chooses the input (descriptor address, bytes, "file://" address) and reads it.
    bool Load();
    // Reads metainfo bytes (must begin with 'd' or 'D').
    bool LoadBytes(const char* bytes, int64_t length);
    bool LoadBytes(std::string_view bytes) {
        return LoadBytes(bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    // Empties everything read (keeps the torrent bytes, address and code page).
    void Clear();

    void SetTorrentBytes(std::string bytes) { m_torrentBytes = std::move(bytes); }
    void SetTorrentAddress(std::string address) { m_torrentAddress = std::move(address); }
    const std::string& TorrentBytes() const { return m_torrentBytes; }
    const std::string& TorrentAddress() const { return m_torrentAddress; }

    // Code page of the metainfo's texts (0 = none). Set before Load() to force one; otherwise
    // it comes from the "codepage" or "encoding" key.
    int CodePage() const { return m_codePage; }
    void SetCodePage(int codePage) { m_codePage = codePage; }

    const std::string& Announce() const { return m_announce; }
    const std::string& Publisher() const { return m_publisher; }
    const std::string& PublisherUrl() const { return m_publisherUrl; }
    const std::string& Comment() const { return m_comment; }
    int64_t CreationDate() const { return m_creationDate; }
    const std::array<uint8_t, 20>& InfoHash() const { return m_infoHash; }
    const std::string& InfoHashText() const { return m_infoHashText; }
    const std::string& EscapedInfoHash() const { return m_escapedInfoHash; }
    const std::vector<std::string>& Trackers() const { return m_trackers; }
    const MetainfoContent& Content() const { return m_content; }
    bool IsLoaded() const { return m_loaded; }

    Failure LastFailure() const { return m_failure; }
    const std::string& FailureText() const { return m_failureText; }

protected:
    ~TTorrent() override = default;

private:
    bool Fail(Failure failure, std::string text);
    bool LoadDescriptor(std::string_view text);
    bool ReadInfo(const QElement* info);
    void SetInfoHash(const uint8_t* hash);
    void WalkAnnounceList(const QElement* container, int depth);

    int m_codePage = 0;
    std::string m_announce;
    std::string m_publisher;
    std::string m_publisherUrl;
    std::string m_comment;
    int64_t m_creationDate = 0;
    std::array<uint8_t, 20> m_infoHash{};
    std::string m_escapedInfoHash;
    std::string m_infoHashText;
    std::vector<std::string> m_trackers;
    std::string m_torrentBytes;
    std::string m_torrentAddress;
    MetainfoContent m_content;
    bool m_loaded = false;
    Failure m_failure = kOk;
    std::string m_failureText;
};

// Tracker address cleaning used for announce and announce-list entries: everything before the
// first 'h'/'H'/'u'/'U' is dropped, trailing '|' removed; fewer than two bytes left gives "".
std::string CleanTrackerAddress(std::string_view address);

}  // namespace lf
