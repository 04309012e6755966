#include "tools/make-release/ReleaseBuilder.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "app/AppPaths.h"
#include "app/IniFile.h"
#include "app/ReleaseResources.h"
#include "common/Base64.h"
#include "engine/metainfo/Bencode.h"
#include "engine/metainfo/Torrent.h"

using namespace lf;

namespace lfrelease {
namespace {

using lfapp::kReleaseEntryCount;

struct MdDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdDeleter>;

std::string Hex(const unsigned char* bytes, unsigned length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

}  // namespace

bool DigestFile(const std::string& path, int64_t pieceLength, FileDigest* digest,
                std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(error, "cannot open " + path);
    MdContext md5(EVP_MD_CTX_new());
    MdContext sha1(EVP_MD_CTX_new());
    if (!md5 || !sha1 || !EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr))
        return Fail(error, "no MD5");
    std::vector<char> piece(static_cast<size_t>(pieceLength));
    *digest = FileDigest();
    for (;;) {
        in.read(piece.data(), pieceLength);
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        if (!EVP_DigestInit_ex(sha1.get(), EVP_sha1(), nullptr) ||
            !EVP_DigestUpdate(sha1.get(), piece.data(), static_cast<size_t>(got)) ||
            !EVP_DigestFinal_ex(sha1.get(), hash, &length) ||
            !EVP_DigestUpdate(md5.get(), piece.data(), static_cast<size_t>(got)))
            return Fail(error, "hashing failed");
        digest->pieceHashes.append(reinterpret_cast<char*>(hash), length);
        digest->size += static_cast<uint64_t>(got);
        if (got < pieceLength) break;
    }
    if (in.bad()) return Fail(error, "cannot read " + path);
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!EVP_DigestFinal_ex(md5.get(), hash, &length)) return Fail(error, "hashing failed");
    digest->md5 = Hex(hash, length);
    return true;
}

std::string MakeTorrent(const std::string& name, const FileDigest& digest, int64_t pieceLength,
                        const std::vector<std::string>& trackers) {
    std::unique_ptr<QElement> root = NewDictionary();
    if (!trackers.empty()) {
        root->AppendString("announce");
        root->AppendString(trackers.front());
    }
    if (trackers.size() > 1) {
        std::unique_ptr<QElement> tiers = NewList();
        for (const std::string& t : trackers) {
            std::unique_ptr<QElement> tier = NewList();
            tier->AppendString(t);
            tiers->Append(tier.release());
        }
        root->AppendString("announce-list");
        root->Append(tiers.release());
    }
    root->AppendString("created by");
    root->AppendString("Lanternfish make-release");
    std::unique_ptr<QElement> info = NewDictionary();
    info->AppendString("length", static_cast<int64_t>(digest.size), true);
    info->AppendString("name");
    info->AppendString(name);
    info->AppendString("piece length", pieceLength, true);
    info->AppendString("pieces");
    info->AppendString(digest.pieceHashes);
    root->AppendString("info");
    root->Append(info.release());
    std::string out;
    Serialize(root.get(), out);
    return out;
}

bool BuildRelease(const ReleaseInput& input, const std::string& outFolder,
                  lfapp::ReleaseTable* table, std::string* error) {
    if (input.files.size() != static_cast<size_t>(kReleaseEntryCount))
        return Fail(error, "a release has exactly eight files");
    if (input.pieceLength < 16384 || (input.pieceLength & (input.pieceLength - 1)) != 0 ||
        input.pieceLength > (int64_t(1) << 26))
        return Fail(error, "the piece length must be a power of two from 16384 to 64 MiB");
    if (input.baseUrl.rfind("http://", 0) != 0) return Fail(error, "the base URL must be http://");
    if (!lfapp::MakeFolders(outFolder + "/torrents"))
        return Fail(error, "cannot create " + outFolder + "/torrents");

    lfapp::ReleaseTable out;
    out.listUrl = input.listUrl;
    std::string base = input.baseUrl;
    if (base.back() != '/') base += '/';
    std::string manifest =
        "# The release embedded into Lanternfish: TYPE ID FILE (FILE relative to this folder).\n"
        "# Made by tools/make-release; regenerate rather than edit.\n"
        "RELEASE 1 release-table.ini\n";
    if (!input.statisticsConfig.empty()) {
        if (!lfapp::WriteFileAtomically(outFolder + "/dataupload.lfconf.b64",
                                        lf::EncodeBase64(input.statisticsConfig)))
            return Fail(error, "cannot write the statistics configuration");
        manifest += "DUCONF 181 dataupload.lfconf.b64\n";
    }
    for (int i = 0; i < kReleaseEntryCount; ++i) {
        lfapp::ReleaseEntry& e = out.entries[i];
        e.fileName = BaseName(input.files[i]);
        if (e.fileName.empty()) return Fail(error, "no file name in " + input.files[i]);
        FileDigest digest;
        if (!DigestFile(input.files[i], input.pieceLength, &digest, error)) return false;
        e.url = base + e.fileName;
        e.md5 = digest.md5;
        e.size = digest.size;
        e.torrentId = 301 + i;
        std::string torrent = MakeTorrent(e.fileName, digest, input.pieceLength, input.trackers);

        // Read it back as a task would.
        TTorrent* check = new TTorrent();
        bool loaded = check->LoadBytes(torrent) &&
                      check->Content().totalLength == static_cast<int64_t>(digest.size);
        check->Release();
        if (!loaded) return Fail(error, "the engine cannot read the torrent of " + e.fileName);

        std::string name = "torrents/" + std::to_string(e.torrentId) + ".torrent";
        if (!lfapp::WriteFileAtomically(outFolder + "/" + name, torrent))
            return Fail(error, "cannot write " + name);
        manifest += "TORRENT " + std::to_string(e.torrentId) + " " + name + "\n";
    }
    if (!lfapp::WriteFileAtomically(outFolder + "/release-table.ini",
                                    lfapp::EncodeReleaseTable(out)) ||
        !lfapp::WriteFileAtomically(outFolder + "/" + lfapp::kResourceManifestName, manifest))
        return Fail(error, "cannot write the table or the manifest");
    if (table) *table = out;
    return true;
}

}  // namespace lfrelease
