#include "message/TagFinder.h"

#include <new>
#include <utility>

namespace msgplugin {

const TagTableRow TagTable[kTagTableRows] = {
    {TAG_ATTACHMENTS, OLESTR("ATTACHMENTS"), 1},
    {0x0C1A001F, OLESTR("SENDER_NAME"), 0},
    {0x0042001F, OLESTR("SENT_REPRESENTING_NAME"), 0},
    {0x0E04001F, OLESTR("DISPLAY_TO"), 0},
    {0x0E03001F, OLESTR("DISPLAY_CC"), 0},
    {0x0037001F, OLESTR("SUBJECT"), 0},
    {0x1000001F, OLESTR("BODY"), 0},
    {0x30070040, OLESTR("CREATION_TIME"), 0},
    {0x30080040, OLESTR("LAST_MODIFICATION_TIME"), 0},
    {0x00390040, OLESTR("CLIENT_SUBMIT_TIME"), 0},
    {0x0E060040, OLESTR("MESSAGE_DELIVERY_TIME"), 0},
};

namespace {

size_t TextLength(LPCWSTR text) {
    size_t length = 0;
    if (text)
        while (text[length]) ++length;
    return length;
}

WCHAR* CopyText(LPCWSTR text) {
    size_t length = TextLength(text);
    auto* copy = new WCHAR[length + 1];
    for (size_t i = 0; i < length; ++i) copy[i] = text[i];
    copy[length] = 0;
    return copy;
}

// Upper-cases ASCII letters: the catalogue names are ASCII, so that is all a match needs.
WCHAR AsciiUpper(WCHAR c) { return (c >= WCHAR('a') && c <= WCHAR('z')) ? static_cast<WCHAR>(c - WCHAR('a') + WCHAR('A')) : c; }

// `name` in any mix of letter case against a catalogue name, which is upper case already.
bool MatchesCatalogueName(LPCWSTR name, LPCWSTR catalogued) {
    for (;; ++name, ++catalogued) {
        if (AsciiUpper(*name) != *catalogued) return false;
        if (*catalogued == 0) return true;
    }
}

}  // namespace

_SPropValue_t::_SPropValue_t() noexcept : SPropValue{} {}

_SPropValue_t::_SPropValue_t(const _SPropValue_t& other) : _SPropValue_t() { *this = other; }

_SPropValue_t::_SPropValue_t(_SPropValue_t&& other) noexcept : SPropValue(static_cast<const SPropValue&>(other)) {
    m_ownedText = std::exchange(other.m_ownedText, nullptr);
    static_cast<SPropValue&>(other) = SPropValue{};
}

_SPropValue_t& _SPropValue_t::operator=(const _SPropValue_t& other) {
    if (this == &other) return *this;
    WCHAR* copy = other.m_ownedText ? CopyText(other.m_ownedText) : nullptr;
    ReleaseOwnedText();
    static_cast<SPropValue&>(*this) = static_cast<const SPropValue&>(other);
    if (copy) {
        m_ownedText = copy;
        Value.lpszW = copy;
    } else if (ulPropTag == TAG_ATTACHMENTS) {
        TakeOwnedCopy(other.Value.lpszW);
    }
    return *this;
}

_SPropValue_t& _SPropValue_t::operator=(_SPropValue_t&& other) noexcept {
    if (this == &other) return *this;
    ReleaseOwnedText();
    static_cast<SPropValue&>(*this) = static_cast<const SPropValue&>(other);
    m_ownedText = std::exchange(other.m_ownedText, nullptr);
    static_cast<SPropValue&>(other) = SPropValue{};
    return *this;
}

_SPropValue_t::~_SPropValue_t() { ReleaseOwnedText(); }

void _SPropValue_t::Assign(const SPropValue& source) {
    // The copy is made first, so a failed allocation leaves the wrapper as it was.
    WCHAR* copy = source.ulPropTag == TAG_ATTACHMENTS ? CopyText(source.Value.lpszW) : nullptr;
    ReleaseOwnedText();
    static_cast<SPropValue&>(*this) = source;
    if (copy) {
        m_ownedText = copy;
        Value.lpszW = copy;
    }
}

void _SPropValue_t::SetText(LPCWSTR text, ULONG tag) {
    WCHAR* copy = CopyText(text);
    ReleaseOwnedText();
    static_cast<SPropValue&>(*this) = SPropValue{};
    ulPropTag = tag;
    m_ownedText = copy;
    Value.lpszW = copy;
}

void _SPropValue_t::Clear() noexcept {
    ReleaseOwnedText();
    static_cast<SPropValue&>(*this) = SPropValue{};
}

void _SPropValue_t::ReleaseOwnedText() noexcept {
    delete[] std::exchange(m_ownedText, nullptr);
}

void _SPropValue_t::TakeOwnedCopy(LPCWSTR text) {
    m_ownedText = CopyText(text);
    Value.lpszW = m_ownedText;
}

bool TagFinder::Clear() {
    m_entries.clear();
    m_entries.shrink_to_fit();
    return true;
}

bool TagFinder::Add(const SPropValue& value) {
    Tag entry;
    entry.value.Assign(value);
    entry.storedTag = value.ulPropTag;
    if (PROP_TYPE(value.ulPropTag) == PT_SYSTIME) entry.storedTime = value.Value.ft;
    m_entries.push_back(std::move(entry));
    return true;
}

const FILETIME* TagFinder::StoredTime(ULONG tag) const {
    for (const Tag& entry : m_entries) {
        if (!Matches(tag, entry.value.ulPropTag)) continue;
        return PROP_TYPE(entry.storedTag) == PT_SYSTIME ? &entry.storedTime : nullptr;
    }
    return nullptr;
}

void TagFinder::MarkSaved() {
    for (Tag& entry : m_entries) {
        if (!entry.modified) continue;
        entry.storedTag = entry.value.ulPropTag;
        if (PROP_TYPE(entry.storedTag) == PT_SYSTIME) entry.storedTime = entry.value.Value.ft;
    }
}

bool TagFinder::Matches(ULONG searched, ULONG entry) {
    if (entry == TAG_ATTACHMENTS) return searched == TAG_ATTACHMENTS;
    if (searched == TAG_ATTACHMENTS) return false;
    return PROP_ID(searched) == PROP_ID(entry);
}

const _SPropValue_t* TagFinder::Lookup(ULONG tag) const {
    for (const Tag& entry : m_entries)
        if (Matches(tag, entry.value.ulPropTag)) return &entry.value;
    return nullptr;
}

bool TagFinder::Find(ULONG tag, _SPropValue_t& out) const {
    const _SPropValue_t* found = Lookup(tag);
    if (!found) return false;
    out = *found;
    return true;
}

bool TagFinder::Replace(const _SPropValue_t& value) {
    for (Tag& entry : m_entries) {
        if (!Matches(value.ulPropTag, entry.value.ulPropTag)) continue;
        if (entry.value.ulPropTag == TAG_ATTACHMENTS) return false;
        entry.value = value;
        entry.modified = true;
        return true;
    }
    return false;
}

ULONG TagFinder::TagFromName(LPCWSTR name, bool* readOnly) {
    if (!name) name = OLESTR("");
    // The catalogue's names are upper case: most rows are passed over at their first letter.
    const WCHAR first = AsciiUpper(name[0]);
    for (const TagTableRow& row : TagTable) {
        if (row.name[0] != first || !MatchesCatalogueName(name, row.name)) continue;
        if (readOnly) *readOnly = (row.readOnly & 0xFF) != 0;
        return row.tag;
    }
    return TAG_NOT_IN_CATALOGUE;
}

}  // namespace msgplugin
