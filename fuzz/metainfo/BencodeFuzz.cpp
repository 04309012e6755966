// Fuzzes the bencode parser, the lookups, tree edits and the writer.
// A parsed tree must write out to bytes that parse again and write out the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/metainfo/Bencode.h"
#include "engine/metainfo/InfoFile.h"

using namespace lf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    BencodeFailure why;
    std::unique_ptr<QElement> root = ParseElement(bytes, static_cast<int64_t>(size), &why);
    InfoFileData info;
    DecodeInfoFile(std::string_view(bytes, size), info);
    if (!root) {
        if (why.code > 0 || why.offset < 0 || why.offset > static_cast<int64_t>(size)) abort();
        return 0;
    }
    if (root->EncodedLength() < 1 || root->EncodedLength() > static_cast<int64_t>(size)) abort();
    if (root->SourcePosition() != bytes) abort();

    std::string first;
    if (!Serialize(root.get(), first)) abort();
    std::unique_ptr<QElement> again = ParseElement(first);
    if (!again || again->EncodedLength() != static_cast<int64_t>(first.size())) abort();
    std::string second;
    if (!Serialize(again.get(), second) || second != first) abort();

    // Lookups and text on every child of the root.
    const int64_t count = root->Count();
    for (int64_t i = 0; i < count; ++i) {
        QElement* child = root->ElementAt(i);
        if (!child || child->Parent() != root.get()) abort();
        root->FindValue(child->Bytes());
        root->FindElement(child->Bytes());
        if (root->NextSibling(child) != root->ElementAt(i + 1)) abort();
        child->Text("/");
    }
    root->SetCodePage(936);
    root->Text("/");

    // Move the first child of the copy to a new list and back; sizes follow.
    if (again->Count() > 0) {
        std::unique_ptr<QElement> list = NewList();
        QElement* moved = again->ElementAt(0);
        const int64_t before = again->EncodedLength();
        if (!list->Append(moved)) abort();
        if (again->EncodedLength() != before - moved->EncodedLength()) abort();
        if (!again->InsertAt(0, moved)) abort();
        std::string third;
        if (!Serialize(again.get(), third) || third != first) abort();
        if (again->EncodedLength() != static_cast<int64_t>(first.size())) abort();
    }
    return 0;
}
