// The engine's one model of bencoded data (metainfo, resume data, the task's
// info file, tracker replies).
//
// The model is deliberately small and not the textbook tree:
//   * An integer is never an element of its own. It is carried by the string
//     element (QIntegerElement) that stands right before it, so inside a
//     dictionary "6:lengthi5e" is ONE element: bytes "length", integer 5.
//   * A dictionary is a flat run of children. A key whose value is a string,
//     list or dictionary is followed by a separate value element; a key whose
//     value is an integer carries the integer itself.
//   * A list of plain integers ("li1ee") and a top-level integer do not parse.
//
// Reading:
//     std::unique_ptr<QElement> root = ParseElement(buf, len);   // none on failure
//     if (QElement* v = root->FindValue("announce")) v->Bytes();
//     if (QElement* k = root->FindValue("creation date")) k->Integer();
//   FindValue pairs keys with values (case-sensitive). FindElement finds any
//   child ignoring ASCII case; its value is then NextSibling(key), and an
//   integer value is read from the key element itself.
//   Every element remembers where its encoding started in the parsed buffer
//   (SourcePosition, EncodedLength), valid while that buffer lives; this is how
//   a torrent's info dictionary is hashed exactly as it stood in the input.
//   Built elements, and containers changed after parsing, have no source
//   position (nullptr).
//
// Writing:
//     std::unique_ptr<QElement> d = NewDictionary();
//     d->AppendString("Index", 0, /*hasInteger=*/true);   // 5:Indexi0e
//     d->AppendString("Status"); d->AppendString(context);
//     std::string out; Serialize(d.get(), out);
//   An integer of 0 without the has-integer flag is not written (the key
//   stands alone, "5:Index"); readers take such a key as 0.
//
// Ownership: a container owns its children. Append/InsertAt take ownership of
// the element they are given (moving it out of its old container); Detach hands
// a child back to the caller; deleting any element detaches it from its parent
// and deletes its subtree. Elements are not thread-safe.
//
// The parser checks every length against the input (it does not rely on a
// terminating zero byte), refuses lengths and integers that are negative where
// they must not be, have leading zeros or do not fit in 64 bits, and refuses
// nesting deeper than kBencodeMaxDepth, so hostile input cannot exhaust the
// stack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lf {

class QMultiElement;

// Parse results below 1.
enum : int64_t {
    kParseNothing = 0,   // nothing to parse: no input, too short, no element starts here
    kParseSyntax = -1,   // malformed: no ':' after a length, no 'e' after an integer, ...
    kParseLength = -3,   // a length that is negative or runs past the input
    kParseTooDeep = -4,  // containers nested deeper than kBencodeMaxDepth
};

// Deepest nesting of lists and dictionaries the parser and the writer accept.
constexpr int kBencodeMaxDepth = 100;

// Why a parse failed: the result code, the offset in the input where the
// innermost failure was found, and a short description.
struct BencodeFailure {
    int64_t code = kParseNothing;
    int64_t offset = 0;
    std::string what;
};

class QElement {
public:
    // Element kinds (Kind() / StateKind()).
    enum : int { kNone = 0, kContainer = 1, kString = 2, kDictionary = 3, kList = 4 };

    QElement() = default;
    QElement(const QElement&) = delete;
    QElement& operator=(const QElement&) = delete;
    virtual ~QElement();

    // Parses one element from p (n bytes available) into this element after
    // resetting it. Returns the bytes consumed (> 0) or a kParse* code.
    int64_t Parse(const char* p, int64_t n);
    // Parse, then records the result as the encoded length and p as the
    // source position. A negative n means p is zero-terminated. Succeeds
    // (returns > 0) only when the element became valid; otherwise *failure
    // (when given) says why.
    int64_t Load(const char* p, int64_t n, BencodeFailure* failure = nullptr);

    virtual int Kind() const = 0;
    virtual QElement* NextSibling(const QElement* child) const;
    virtual QElement* PreviousSibling(const QElement* child) const;
    // Key lookup with integer pairing (see the header comment); case-sensitive.
    virtual QElement* FindValue(std::string_view key) const;
    // First valid child whose bytes equal text ignoring ASCII case.
    virtual QElement* FindElement(std::string_view text) const;
    virtual QElement* ElementAt(int64_t index) const;
    // Takes ownership of element (detaching it from a former container).
    // Returns element, or nullptr when refused (then the caller keeps it).
    virtual QElement* Append(QElement* element);
    // Creates a string element at the end. A zero integer with hasInteger
    // false is not written by Serialize.
    virtual QElement* AppendString(std::string_view bytes, int64_t integer = 0,
                                   bool hasInteger = false);
    virtual QElement* InsertAt(int64_t index, QElement* element);
    virtual QElement* InsertStringAt(int64_t index, std::string_view bytes, int64_t integer = 0,
                                     bool hasInteger = false);
    virtual bool RemoveAt(int64_t index);
    virtual bool Remove(QElement* child);
    virtual bool DetachAt(int64_t index);
    // Unlinks child without deleting it; the caller owns it afterwards.
    virtual bool Detach(QElement* child);
    virtual bool Clear();
    virtual int64_t Count() const;
    // String element: its raw bytes. Container: the children's ConvertedText
    // joined by separator.
    virtual std::string Text(std::string_view separator = {}) const;
    // Sets the code page used by ConvertedText (containers: recursively).
    virtual int64_t SetCodePage(int codePage);
    virtual void Reset();

    bool IsValid() const { return m_stateKind != kNone; }
    std::string_view Bytes() const {
        return IsValid() ? std::string_view(m_bytes) : std::string_view();
    }
    int64_t Length() const { return IsValid() ? static_cast<int64_t>(m_bytes.size()) : -1; }
    int64_t Integer() const { return IsValid() ? m_integer : 0; }
    bool HasInteger() const { return IsValid() && (m_hasInteger || m_integer != 0); }
    int64_t EncodedLength() const { return IsValid() ? m_encodedLength : 0; }
    const char* SourcePosition() const { return IsValid() ? m_source : nullptr; }
    int StateKind() const { return m_stateKind; }
    int CodePage() const { return m_codePage; }
    QMultiElement* Parent() const { return m_parent; }
    bool IsDictionary() const { return m_stateKind == kDictionary; }
    bool IsList() const { return m_stateKind == kList; }
    bool IsString() const { return m_stateKind == kString; }
    // The bytes converted from the element's code page to the system's narrow
    // encoding (UTF-8); the bytes unchanged when no code page is set.
    std::string ConvertedText() const;

protected:
    friend class QMultiElement;
    friend bool Serialize(const QElement* element, std::string& out);
    struct ParseState;
    virtual int64_t ParseAt(const char* p, int64_t n, ParseState& state) = 0;
    int64_t LoadAt(const char* p, int64_t n, ParseState& state);
    void ResetFields();
    void DetachFromParent();

    bool m_hasInteger = false;
    int m_codePage = 0;
    const char* m_source = nullptr;
    std::string m_bytes;
    int m_stateKind = kNone;
    int64_t m_integer = 0;
    int64_t m_encodedLength = 0;
    QMultiElement* m_parent = nullptr;
};

// The string element: a byte string, optionally carrying the integer that
// followed it in the input.
class QIntegerElement final : public QElement {
public:
    QIntegerElement() = default;
    ~QIntegerElement() override;
    int Kind() const override { return kString; }
    void Reset() override;

    // Makes this a valid string element (used by AppendString).
    bool Assign(std::string_view bytes, int64_t integer, bool hasInteger);

protected:
    int64_t ParseAt(const char* p, int64_t n, ParseState& state) override;
};

// Abstract container: an ordered array of owned children.
class QMultiElement : public QElement {
public:
    ~QMultiElement() override;
    int Kind() const override { return kContainer; }
    QElement* NextSibling(const QElement* child) const override;
    QElement* PreviousSibling(const QElement* child) const override;
    QElement* FindValue(std::string_view key) const override;
    QElement* FindElement(std::string_view text) const override;
    QElement* ElementAt(int64_t index) const override;
    QElement* Append(QElement* element) override;
    QElement* AppendString(std::string_view bytes, int64_t integer = 0,
                           bool hasInteger = false) override;
    QElement* InsertAt(int64_t index, QElement* element) override;
    QElement* InsertStringAt(int64_t index, std::string_view bytes, int64_t integer = 0,
                             bool hasInteger = false) override;
    bool RemoveAt(int64_t index) override;
    bool Remove(QElement* child) override;
    bool DetachAt(int64_t index) override;
    bool Detach(QElement* child) override;
    bool Clear() override;
    int64_t Count() const override;
    std::string Text(std::string_view separator = {}) const override;
    int64_t SetCodePage(int codePage) override;
    void Reset() override;

    const std::vector<QElement*>& Children() const { return m_children; }

protected:
    friend class QElement;
    // The bracket letter this container opens with ('d' or 'l').
    virtual char Opener() const = 0;
    int64_t ParseAt(const char* p, int64_t n, ParseState& state) override;
    int64_t IndexOf(const QElement* child) const;
    void ResetContainer();
    void AddEncodedLength(int64_t delta);
    bool Unlink(QElement* child);
    bool CanAdopt(const QElement* element) const;
    QElement* NewStringElement(std::string_view bytes, int64_t integer, bool hasInteger);

    std::vector<QElement*> m_children;
    mutable int64_t m_cursor = 0;
};

class QDictionaryElement final : public QMultiElement {
public:
    QDictionaryElement() = default;
    ~QDictionaryElement() override;
    int Kind() const override { return kDictionary; }

protected:
    char Opener() const override { return 'd'; }
};

class QListElement final : public QMultiElement {
public:
    QListElement() = default;
    ~QListElement() override;
    int Kind() const override { return kList; }

protected:
    char Opener() const override { return 'l'; }
};

// Parses the element at the start of bytes: 'd'/'D' a dictionary, 'l'/'L' a
// list, a digit a string element; anything else gives none. Trailing bytes
// after the element are not examined (EncodedLength tells how many were used).
// On failure, *failure (when given) says why.
std::unique_ptr<QElement> ParseElement(const char* bytes, int64_t length,
                                       BencodeFailure* failure = nullptr);
inline std::unique_ptr<QElement> ParseElement(std::string_view bytes,
                                              BencodeFailure* failure = nullptr) {
    return ParseElement(bytes.data(), static_cast<int64_t>(bytes.size()), failure);
}

// An empty valid dictionary / list to build on.
std::unique_ptr<QElement> NewDictionary();
std::unique_ptr<QElement> NewList();

// Appends the bencoded form of element to out. False (out unchanged) when the
// element is missing or not valid, when a child is not valid, or when the tree
// is nested deeper than kBencodeMaxDepth.
bool Serialize(const QElement* element, std::string& out);

}  // namespace lf
