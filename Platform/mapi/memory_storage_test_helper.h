// Tests only: a structured storage held in memory (a tree of named streams and storages), so
// the message store's tests can lay out exact property streams, damage them, and see which
// streams a save wrote, without going through a compound file.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/comobject.h"
#include "base/comptr.h"
#include "mapi/mapi.h"

namespace mapitest {

struct MemNode {
    bool isStorage = false;
    std::vector<BYTE> data;                                      // stream contents
    std::map<std::u16string, std::shared_ptr<MemNode>> children;  // storage elements
    CLSID clsid{};
    int writes = 0;  // times the stream was created or written
    int commits = 0;
};

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class MemStream final : public platform::ComObject<platform::Serves<IStream, IID_IStream, IID_ISequentialStream>> {
public:
    MemStream(std::shared_ptr<MemNode> node, bool writable) : ComObject(1), node_(std::move(node)), writable_(writable) {}
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        size_t n = pos_ < node_->data.size() ? std::min<size_t>(cb, node_->data.size() - pos_) : 0;
        if (n) std::memcpy(pv, node_->data.data() + pos_, n);
        pos_ += n;
        if (pcbRead) *pcbRead = static_cast<ULONG>(n);
        return S_OK;
    }
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (!writable_) return STG_E_ACCESSDENIED;
        if (pos_ + cb > node_->data.size()) node_->data.resize(pos_ + cb);
        if (cb) std::memcpy(node_->data.data() + pos_, pv, cb);
        pos_ += cb;
        ++node_->writes;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override {
        long long base = origin == STREAM_SEEK_SET ? 0 : origin == STREAM_SEEK_CUR ? (long long)pos_ : (long long)node_->data.size();
        if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
        pos_ = static_cast<size_t>(base + move.QuadPart);
        if (newPos) newPos->QuadPart = pos_;
        return S_OK;
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override {
        if (!writable_) return STG_E_ACCESSDENIED;
        node_->data.resize(static_cast<size_t>(size.QuadPart));
        return S_OK;
    }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return S_OK; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP Stat(STATSTG* stat, DWORD) override {
        if (!stat) return STG_E_INVALIDPOINTER;
        std::memset(stat, 0, sizeof *stat);
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = node_->data.size();
        stat->grfMode = writable_ ? STGM_READWRITE : STGM_READ;
        return S_OK;
    }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::shared_ptr<MemNode> node_;
    bool writable_;
    size_t pos_ = 0;
};

class MemEnum final : public platform::ComObject<platform::Serves<IEnumSTATSTG, IID_IEnumSTATSTG>> {
public:
    explicit MemEnum(std::vector<std::pair<std::u16string, DWORD>> items) : ComObject(1), items_(std::move(items)) {}
    STDMETHODIMP Next(ULONG celt, STATSTG* out, ULONG* fetched) override {
        ULONG n = 0;
        while (n < celt && next_ < items_.size()) {
            std::memset(&out[n], 0, sizeof(STATSTG));
            const auto& name = items_[next_].first;
            auto* copy = static_cast<OLECHAR*>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
            std::memcpy(copy, name.c_str(), (name.size() + 1) * sizeof(OLECHAR));
            out[n].pwcsName = copy;
            out[n].type = items_[next_].second;
            ++n;
            ++next_;
        }
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        next_ += celt;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumSTATSTG**) override { return E_NOTIMPL; }

private:
    std::vector<std::pair<std::u16string, DWORD>> items_;
    size_t next_ = 0;
};

class MemStorage final : public platform::ComObject<platform::Serves<IStorage, IID_IStorage>> {
public:
    MemStorage(std::shared_ptr<MemNode> node, bool writable) : ComObject(1), node_(std::move(node)), writable_(writable) {}
    STDMETHODIMP CreateStream(const OLECHAR* name, DWORD mode, DWORD, DWORD, IStream** out) override {
        if (!writable_) return STG_E_ACCESSDENIED;
        auto& slot = node_->children[name];
        if (slot && !(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
        int writes = slot && !slot->isStorage ? slot->writes : 0;
        slot = std::make_shared<MemNode>();
        slot->writes = writes + 1;
        *out = new MemStream(slot, true);
        return S_OK;
    }
    STDMETHODIMP OpenStream(const OLECHAR* name, void*, DWORD mode, DWORD, IStream** out) override {
        *out = nullptr;
        auto found = node_->children.find(name);
        if (found == node_->children.end() || found->second->isStorage) return STG_E_FILENOTFOUND;
        bool write = (mode & 3) != STGM_READ;
        if (write && !writable_) return STG_E_ACCESSDENIED;
        *out = new MemStream(found->second, write);
        return S_OK;
    }
    STDMETHODIMP CreateStorage(const OLECHAR* name, DWORD mode, DWORD, DWORD, IStorage** out) override {
        if (!writable_) return STG_E_ACCESSDENIED;
        auto& slot = node_->children[name];
        if (slot && !(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
        slot = std::make_shared<MemNode>();
        slot->isStorage = true;
        *out = new MemStorage(slot, true);
        return S_OK;
    }
    STDMETHODIMP OpenStorage(const OLECHAR* name, IStorage*, DWORD mode, SNB, DWORD, IStorage** out) override {
        *out = nullptr;
        auto found = node_->children.find(name);
        if (found == node_->children.end() || !found->second->isStorage) return STG_E_FILENOTFOUND;
        bool write = (mode & 3) != STGM_READ;
        if (write && !writable_) return STG_E_ACCESSDENIED;
        *out = new MemStorage(found->second, write);
        return S_OK;
    }
    STDMETHODIMP CopyTo(DWORD, const IID*, SNB, IStorage*) override { return E_NOTIMPL; }
    STDMETHODIMP MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override {
        ++node_->commits;
        return S_OK;
    }
    STDMETHODIMP Revert() override { return S_OK; }
    STDMETHODIMP EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** out) override {
        std::vector<std::pair<std::u16string, DWORD>> items;
        for (const auto& [name, child] : node_->children)
            items.emplace_back(name, child->isStorage ? STGTY_STORAGE : STGTY_STREAM);
        *out = new MemEnum(std::move(items));
        return S_OK;
    }
    STDMETHODIMP DestroyElement(const OLECHAR* name) override {
        if (!writable_) return STG_E_ACCESSDENIED;
        return node_->children.erase(name) ? S_OK : STG_E_FILENOTFOUND;
    }
    STDMETHODIMP RenameElement(const OLECHAR*, const OLECHAR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*, const FILETIME*) override {
        return S_OK;
    }
    STDMETHODIMP SetClass(REFCLSID clsid) override {
        node_->clsid = clsid;
        return S_OK;
    }
    STDMETHODIMP SetStateBits(DWORD, DWORD) override { return S_OK; }
    STDMETHODIMP Stat(STATSTG* stat, DWORD) override {
        std::memset(stat, 0, sizeof *stat);
        stat->type = STGTY_STORAGE;
        stat->grfMode = writable_ ? STGM_READWRITE : STGM_READ;
        stat->clsid = node_->clsid;
        return S_OK;
    }

private:
    std::shared_ptr<MemNode> node_;
    bool writable_;
};

// Convenience for laying out a storage tree by path ("a/b" is stream b in storage a).
inline std::shared_ptr<MemNode> NodeAt(const std::shared_ptr<MemNode>& root, const std::string& path, bool create,
                                       bool storage) {
    std::shared_ptr<MemNode> node = root;
    size_t start = 0;
    while (true) {
        size_t slash = path.find('/', start);
        std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        bool last = slash == std::string::npos;
        auto& child = node->children[U16(part)];
        if (!child) {
            if (!create) {
                node->children.erase(U16(part));
                return nullptr;
            }
            child = std::make_shared<MemNode>();
            child->isStorage = !last || storage;
        }
        node = child;
        if (last) return node;
        start = slash + 1;
    }
}

inline void PutStream(const std::shared_ptr<MemNode>& root, const std::string& path, const std::vector<BYTE>& data) {
    NodeAt(root, path, true, false)->data = data;
}

}  // namespace mapitest
