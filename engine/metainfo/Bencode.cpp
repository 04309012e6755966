#include "engine/metainfo/Bencode.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/Text.h"
#include "engine/metainfo/CodePage.h"

namespace lf {

struct QElement::ParseState {
    const char* base = nullptr;
    int depth = 0;
    BencodeFailure* failure = nullptr;
    bool recorded = false;

    // Records the first (innermost) failure and returns its code.
    int64_t Fail(const char* at, int64_t code, const char* what) {
        if (failure && !recorded) {
            failure->code = code;
            failure->offset = (at && base) ? at - base : 0;
            failure->what = what;
            recorded = true;
        }
        return code;
    }
};

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int64_t DecimalWidth(int64_t v) {
    int64_t width = v < 0 ? 2 : 1;  // the sign and the last digit
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    while (u >= 10) {
        u /= 10;
        ++width;
    }
    return width;
}

QElement* NewElementFor(char first) {
    switch (first) {
        case 'd':
        case 'D':
            return new QDictionaryElement;
        case 'l':
        case 'L':
            return new QListElement;
        default:
            return IsDigit(first) ? new QIntegerElement : nullptr;
    }
}

}  // namespace

// ---------------------------------------------------------------- QElement

QElement::~QElement() {
    DetachFromParent();
}

void QElement::ResetFields() {
    m_hasInteger = false;
    m_codePage = 0;
    m_source = nullptr;
    m_bytes.clear();
    m_bytes.shrink_to_fit();
    m_stateKind = kNone;
    m_integer = 0;
    m_encodedLength = 0;
}

void QElement::DetachFromParent() {
    if (m_parent) m_parent->Unlink(this);
    m_parent = nullptr;
}

int64_t QElement::Parse(const char* p, int64_t n) {
    ParseState state;
    state.base = p;
    return ParseAt(p, n, state);
}

int64_t QElement::Load(const char* p, int64_t n, BencodeFailure* failure) {
    ParseState state;
    state.base = p;
    state.failure = failure;
    return LoadAt(p, n, state);
}

int64_t QElement::LoadAt(const char* p, int64_t n, ParseState& state) {
    if (p && n < 0) n = static_cast<int64_t>(std::strlen(p));
    int64_t result = ParseAt(p, n, state);
    if (result < 1 || m_stateKind == kNone) {
        Reset();
        return result < 1 ? result : kParseNothing;
    }
    m_encodedLength = result;
    m_source = p;
    return result;
}

QElement* QElement::NextSibling(const QElement*) const {
    return nullptr;
}
QElement* QElement::PreviousSibling(const QElement*) const {
    return nullptr;
}
QElement* QElement::FindValue(std::string_view) const {
    return nullptr;
}
QElement* QElement::FindElement(std::string_view) const {
    return nullptr;
}
QElement* QElement::ElementAt(int64_t) const {
    return nullptr;
}
QElement* QElement::Append(QElement*) {
    return nullptr;
}
QElement* QElement::AppendString(std::string_view, int64_t, bool) {
    return nullptr;
}
QElement* QElement::InsertAt(int64_t, QElement*) {
    return nullptr;
}
QElement* QElement::InsertStringAt(int64_t, std::string_view, int64_t, bool) {
    return nullptr;
}
bool QElement::RemoveAt(int64_t) {
    return false;
}
bool QElement::Remove(QElement*) {
    return false;
}
bool QElement::DetachAt(int64_t) {
    return false;
}
bool QElement::Detach(QElement*) {
    return false;
}
bool QElement::Clear() {
    return false;
}
int64_t QElement::Count() const {
    return 0;
}
std::string QElement::Text(std::string_view) const {
    return std::string(Bytes());
}

int64_t QElement::SetCodePage(int codePage) {
    m_codePage = codePage;
    return 0;
}

void QElement::Reset() {
    DetachFromParent();
    ResetFields();
}

std::string QElement::ConvertedText() const {
    if (!IsValid() || m_bytes.empty() || m_bytes[0] == '\0') return {};
    if (m_codePage != 0) return ToAnsi(m_bytes, m_codePage);
    return m_bytes;
}

// ---------------------------------------------------------- QIntegerElement

QIntegerElement::~QIntegerElement() = default;

void QIntegerElement::Reset() {
    QElement::Reset();
}

bool QIntegerElement::Assign(std::string_view bytes, int64_t integer, bool hasInteger) {
    if (bytes.empty() && (integer != 0 || hasInteger)) return false;
    int codePage = m_codePage;
    QMultiElement* parent = m_parent;
    ResetFields();
    m_codePage = codePage;
    m_parent = parent;
    m_bytes.assign(bytes.data(), bytes.size());
    m_integer = integer;
    m_hasInteger = hasInteger;
    m_stateKind = kString;
    const int64_t length = static_cast<int64_t>(bytes.size());
    m_encodedLength = DecimalWidth(length) + 1 + length;
    if (integer != 0 || hasInteger) m_encodedLength += 2 + DecimalWidth(integer);
    return true;
}

int64_t QIntegerElement::ParseAt(const char* p, int64_t n, ParseState& state) {
    Reset();
    if (!p || n < 1 || !IsDigit(p[0])) {
        return state.Fail(p, kParseNothing, "no string element starts here");
    }
    if (p[0] == '0' && n > 1 && IsDigit(p[1])) {
        return state.Fail(p, kParseSyntax, "string length with a leading zero");
    }
    int64_t i = 0;
    int64_t length = 0;
    while (i < n && IsDigit(p[i])) {
        if (length > (std::numeric_limits<int64_t>::max() - 9) / 10) {
            return state.Fail(p, kParseLength, "string length does not fit in 64 bits");
        }
        length = length * 10 + (p[i] - '0');
        if (length > n) return state.Fail(p, kParseLength, "string length runs past the input");
        ++i;
    }
    if (i >= n) return state.Fail(p + i, kParseSyntax, "input ends inside a string length");
    if (p[i] != ':') return state.Fail(p + i, kParseSyntax, "no ':' after a string length");
    const int64_t start = i + 1;
    if (n - start < length) return state.Fail(p, kParseLength, "string length runs past the input");
    m_bytes.assign(p + start, static_cast<size_t>(length));
    int64_t pos = start + length;

    if (pos < n && (p[pos] == 'i' || p[pos] == 'I')) {
        const char* at = p + pos;
        int64_t j = pos + 1;
        bool negative = false;
        if (j < n && p[j] == '-') {
            negative = true;
            ++j;
        }
        const int64_t digits = j;
        const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
        uint64_t value = 0;
        while (j < n && IsDigit(p[j])) {
            const uint64_t d = static_cast<uint64_t>(p[j] - '0');
            if (value > (limit - d) / 10) {
                m_bytes.clear();
                return state.Fail(at, kParseSyntax, "integer does not fit in 64 bits");
            }
            value = value * 10 + d;
            ++j;
        }
        const char* failure = nullptr;
        if (j == digits) {
            failure = j < n ? "integer without digits" : "input ends inside an integer";
        } else if (p[digits] == '0' && (j - digits > 1 || negative)) {
            failure = "integer with a leading zero or negative zero";
        } else if (j >= n || p[j] != 'e') {
            failure = j >= n ? "input ends inside an integer" : "integer without 'e'";
        }
        if (failure) {
            m_bytes.clear();
            return state.Fail(at, kParseSyntax, failure);
        }
        m_integer = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
        m_hasInteger = true;
        pos = j + 1;
    }
    m_stateKind = kString;
    return pos;
}

// ------------------------------------------------------------ QMultiElement

QMultiElement::~QMultiElement() {
    ResetContainer();
}

void QMultiElement::ResetContainer() {
    for (QElement* child : m_children) {
        if (child && child->m_parent == this) {
            child->m_parent = nullptr;
            delete child;
        }
    }
    m_children.clear();
    m_cursor = 0;
    ResetFields();
}

void QMultiElement::Reset() {
    DetachFromParent();
    ResetContainer();
}

int64_t QMultiElement::ParseAt(const char* p, int64_t n, ParseState& state) {
    Reset();
    if (!p || n < 2 || p[0] == '\0' || AsciiLower(p[0]) != Opener()) {
        return state.Fail(p, kParseNothing,
                          Opener() == 'd' ? "no dictionary starts here" : "no list starts here");
    }
    if (state.depth >= kBencodeMaxDepth) {
        return state.Fail(p, kParseTooDeep, "lists and dictionaries nested too deeply");
    }
    ++state.depth;
    int64_t pos = 1;
    int64_t result = 0;
    for (;;) {
        if (pos >= n) {
            result = state.Fail(p + pos, kParseSyntax, "input ends inside a list or dictionary");
            break;
        }
        const char c = p[pos];
        if (c == 'e' || c == 'E') {
            result = pos + 1;
            break;
        }
        QElement* child = NewElementFor(c);
        if (!child) {
            result = state.Fail(p + pos, kParseSyntax,
                                "unexpected byte inside a list or dictionary (integers stand only "
                                "after a string)");
            break;
        }
        const int64_t used = child->LoadAt(p + pos, n - pos, state);
        if (used < 1) {
            delete child;
            result = used < 0 ? used : kParseSyntax;
            break;
        }
        child->m_parent = this;
        m_children.push_back(child);
        pos += used;
    }
    --state.depth;
    if (result < 1) return result;
    m_bytes.assign(2, '\0');
    m_stateKind = Kind();
    return result;
}

int64_t QMultiElement::IndexOf(const QElement* child) const {
    if (!child) return -1;
    const int64_t size = static_cast<int64_t>(m_children.size());
    // Walks usually go forward one child at a time: try the cursor first.
    for (int64_t guess : {m_cursor, m_cursor + 1}) {
        if (guess >= 0 && guess < size && m_children[static_cast<size_t>(guess)] == child) {
            m_cursor = guess;
            return guess;
        }
    }
    for (int64_t i = 0; i < size; ++i) {
        if (m_children[static_cast<size_t>(i)] == child) {
            m_cursor = i;
            return i;
        }
    }
    return -1;
}

QElement* QMultiElement::NextSibling(const QElement* child) const {
    const int64_t i = IndexOf(child);
    if (i < 0 || i + 1 >= static_cast<int64_t>(m_children.size())) return nullptr;
    return m_children[static_cast<size_t>(i + 1)];
}

QElement* QMultiElement::PreviousSibling(const QElement* child) const {
    const int64_t i = IndexOf(child);
    if (i < 1) return nullptr;
    return m_children[static_cast<size_t>(i - 1)];
}

QElement* QMultiElement::FindValue(std::string_view key) const {
    if (!IsValid()) return nullptr;
    const size_t size = m_children.size();
    for (size_t i = 0; i < size; ++i) {
        const QElement* child = m_children[i];
        if (!child || !child->IsValid()) continue;
        if (child->IsString() && child->Bytes() == key) {
            if (child->HasInteger()) return const_cast<QElement*>(child);
            QElement* next = i + 1 < size ? m_children[i + 1] : nullptr;
            if (!next || next->HasInteger()) return nullptr;
            return next;
        }
        if (!child->HasInteger()) ++i;  // pass over its value
    }
    return nullptr;
}

QElement* QMultiElement::FindElement(std::string_view text) const {
    if (!IsValid()) return nullptr;
    for (QElement* child : m_children) {
        if (child && child->IsString() && EqualNoCase(child->Bytes(), text)) return child;
    }
    return nullptr;
}

QElement* QMultiElement::ElementAt(int64_t index) const {
    if (index < 0 || index >= static_cast<int64_t>(m_children.size())) return nullptr;
    return m_children[static_cast<size_t>(index)];
}

void QMultiElement::AddEncodedLength(int64_t delta) {
    for (QElement* e = this; e; e = e->m_parent) {
        if (!e->IsValid()) break;
        e->m_encodedLength = std::max<int64_t>(2, e->m_encodedLength + delta);
        // A changed container no longer stands as it did in the parsed input.
        e->m_source = nullptr;
    }
}

bool QMultiElement::CanAdopt(const QElement* element) const {
    if (!IsValid() || !element || !element->IsValid() || element->EncodedLength() <= 0) {
        return false;
    }
    // A container may not be put inside itself or inside one of its children.
    for (const QElement* e = this; e; e = e->m_parent) {
        if (e == element) return false;
    }
    return true;
}

bool QMultiElement::Unlink(QElement* child) {
    if (!child || child->m_parent != this) return false;
    const int64_t i = IndexOf(child);
    if (i < 0) return false;
    m_children.erase(m_children.begin() + i);
    child->m_parent = nullptr;
    if (child->EncodedLength() < m_encodedLength) AddEncodedLength(-child->EncodedLength());
    m_cursor = 0;
    return true;
}

QElement* QMultiElement::Append(QElement* element) {
    return InsertAt(static_cast<int64_t>(m_children.size()), element);
}

QElement* QMultiElement::InsertAt(int64_t index, QElement* element) {
    if (!CanAdopt(element)) return nullptr;
    if (index < 0 || index > static_cast<int64_t>(m_children.size())) return nullptr;
    if (element->m_parent) {
        QMultiElement* old = element->m_parent;
        if (old == this && IndexOf(element) < index) --index;
        old->Unlink(element);
    }
    element->m_parent = this;
    m_children.insert(m_children.begin() + index, element);
    AddEncodedLength(element->EncodedLength());
    return element;
}

QElement* QMultiElement::NewStringElement(std::string_view bytes, int64_t integer,
                                          bool hasInteger) {
    if (!IsValid()) return nullptr;
    auto* element = new QIntegerElement;
    if (!element->Assign(bytes, integer, hasInteger)) {
        delete element;
        return nullptr;
    }
    return element;
}

QElement* QMultiElement::AppendString(std::string_view bytes, int64_t integer, bool hasInteger) {
    return InsertStringAt(static_cast<int64_t>(m_children.size()), bytes, integer, hasInteger);
}

QElement* QMultiElement::InsertStringAt(int64_t index, std::string_view bytes, int64_t integer,
                                        bool hasInteger) {
    if (index < 0 || index > static_cast<int64_t>(m_children.size())) return nullptr;
    QElement* element = NewStringElement(bytes, integer, hasInteger);
    if (!element) return nullptr;
    if (!InsertAt(index, element)) {
        delete element;
        return nullptr;
    }
    return element;
}

bool QMultiElement::RemoveAt(int64_t index) {
    return Remove(ElementAt(index));
}

bool QMultiElement::Remove(QElement* child) {
    if (!Unlink(child)) return false;
    delete child;
    return true;
}

bool QMultiElement::DetachAt(int64_t index) {
    return Detach(ElementAt(index));
}

bool QMultiElement::Detach(QElement* child) {
    return Unlink(child);
}

bool QMultiElement::Clear() {
    if (!IsValid()) return false;
    for (QElement* child : m_children) {
        if (child && child->m_parent == this) {
            child->m_parent = nullptr;
            delete child;
        }
    }
    m_children.clear();
    m_cursor = 0;
    AddEncodedLength(2 - m_encodedLength);
    return true;
}

int64_t QMultiElement::Count() const {
    return IsValid() ? static_cast<int64_t>(m_children.size()) : 0;
}

std::string QMultiElement::Text(std::string_view separator) const {
    std::string text;
    for (const QElement* child : m_children) {
        if (!child) continue;
        std::string part = child->ConvertedText();
        if (!text.empty()) text.append(separator);
        text += part;
    }
    return text;
}

int64_t QMultiElement::SetCodePage(int codePage) {
    m_codePage = codePage;
    for (QElement* child : m_children) {
        if (child) child->SetCodePage(codePage);
    }
    return static_cast<int64_t>(m_children.size());
}

QDictionaryElement::~QDictionaryElement() = default;
QListElement::~QListElement() = default;

// ------------------------------------------------------------ free functions

std::unique_ptr<QElement> ParseElement(const char* bytes, int64_t length, BencodeFailure* failure) {
    if (failure) *failure = BencodeFailure{};
    if (!bytes || length < 1 || bytes[0] == '\0') {
        if (failure) failure->what = "no input";
        return nullptr;
    }
    std::unique_ptr<QElement> element(NewElementFor(bytes[0]));
    if (!element) {
        if (failure) failure->what = "input does not start with a string, list or dictionary";
        return nullptr;
    }
    BencodeFailure local;
    BencodeFailure* sink = failure ? failure : &local;
    if (element->Load(bytes, length, sink) < 1) return nullptr;
    return element;
}

std::unique_ptr<QElement> NewDictionary() {
    return ParseElement("de", 2);
}

std::unique_ptr<QElement> NewList() {
    return ParseElement("le", 2);
}

namespace {

bool WriteElement(const QElement* element, std::string& out, int depth) {
    if (!element || !element->IsValid()) return false;
    if (element->IsString()) {
        std::string_view bytes = element->Bytes();
        out += std::to_string(bytes.size());
        out += ':';
        out.append(bytes);
        if (element->HasInteger()) {
            out += 'i';
            out += std::to_string(element->Integer());
            out += 'e';
        }
        return true;
    }
    if (depth >= kBencodeMaxDepth) return false;
    const int64_t count = element->Count();
    out += element->IsDictionary() ? 'd' : 'l';
    for (int64_t i = 0; i < count; ++i) {
        if (!WriteElement(element->ElementAt(i), out, depth + 1)) return false;
    }
    out += 'e';
    return true;
}

}  // namespace

bool Serialize(const QElement* element, std::string& out) {
    const size_t mark = out.size();
    if (!WriteElement(element, out, 0)) {
        out.resize(mark);
        return false;
    }
    return true;
}

}  // namespace lf
