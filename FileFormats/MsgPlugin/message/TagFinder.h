// The property catalogue, the value wrapper and the per-message value cache.
#pragma once

#include <vector>

#include <windows.h>
#include <mapidefs.h>

namespace msgplugin {

// The pseudo-tag of the attachment-names entry: not a MAPI property.
inline constexpr ULONG TAG_ATTACHMENTS = 0xFFFFFFFE;
// What TagFinder::TagFromName answers for a name outside the catalogue.
inline constexpr ULONG TAG_NOT_IN_CATALOGUE = 0xFFFFFFFF;

// One row of the catalogue of attribute names the host may use in the "MSG" block.
struct TagTableRow {
    ULONG tag;
    WCHAR name[50];
    DWORD readOnly;  // only the lowest byte counts
};

inline constexpr int kTagTableRows = 11;
extern const TagTableRow TagTable[kTagTableRows];

// One MAPI property value, owning its wide text where it has one: the attachment-names value,
// or a text placed by SetText. Every other payload pointer refers to memory someone else owns
// (the message's property array).
class _SPropValue_t : public SPropValue {
public:
    _SPropValue_t() noexcept;
    _SPropValue_t(const _SPropValue_t& other);
    _SPropValue_t(_SPropValue_t&& other) noexcept;
    _SPropValue_t& operator=(const _SPropValue_t& other);
    _SPropValue_t& operator=(_SPropValue_t&& other) noexcept;
    virtual ~_SPropValue_t();

    // Copies tag, alignment word and value; the attachment-names text becomes an owned copy.
    // Throws std::bad_alloc when the copy cannot be made.
    void Assign(const SPropValue& source);
    // Makes the value an owned copy of `text` (null counts as empty) under `tag`.
    void SetText(LPCWSTR text, ULONG tag);
    void Clear() noexcept;

    bool OwnsText() const noexcept { return m_ownedText != nullptr; }

private:
    void ReleaseOwnedText() noexcept;
    void TakeOwnedCopy(LPCWSTR text);  // sets m_ownedText and Value.lpszW

    WCHAR* m_ownedText = nullptr;
};

// One cache entry.
struct Tag {
    _SPropValue_t value;
    bool modified = false;
    // The tag and, for a time, the time the file holds (as opened, or as last saved): a date
    // written back to it keeps it exactly, whatever was written in between.
    ULONG storedTag = 0;
    FILETIME storedTime{};
};

// The per-message value cache: every property of the message in the order it was read, then
// the attachment-names entry. Duplicates are kept; lookups see the first.
class TagFinder {
public:
    TagFinder() = default;
    virtual ~TagFinder() = default;
    TagFinder(const TagFinder&) = delete;
    TagFinder& operator=(const TagFinder&) = delete;

    bool Clear();
    // Room for this many entries, so that filling the cache moves none. Throws std::bad_alloc.
    void Reserve(size_t count) { m_entries.reserve(count); }
    bool Add(const SPropValue& value);
    bool Find(ULONG tag, _SPropValue_t& out) const;
    // The first entry matching tag, without a copy; null when there is none.
    const _SPropValue_t* Lookup(ULONG tag) const;
    bool Replace(const _SPropValue_t& value);
    // The time the file holds under the first entry matching tag; null when that entry holds
    // no time in the file (or there is none).
    const FILETIME* StoredTime(ULONG tag) const;
    // The values written are now the file's.
    void MarkSaved();
    static ULONG TagFromName(LPCWSTR name, bool* readOnly = nullptr);

    // The walk: entries from first to last.
    const std::vector<Tag>& Entries() const { return m_entries; }

private:
    static bool Matches(ULONG searched, ULONG entry);

    std::vector<Tag> m_entries;
};

}  // namespace msgplugin
