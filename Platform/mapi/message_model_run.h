// Tests and fuzzing only: random changes to a message through the message store over the
// platform's structured storage (SetProps and DeleteProps on the message and its attachments,
// attachments added and deleted, SaveChanges, the message released and opened again), each done
// on a plain model as well. The open message's values are checked against the model after each
// change; after each reopen, every value of the message and its attachments against what was
// saved, the attachment table and header counts, and every stream no saved change touched
// against its bytes before the first change.
//
//   storage_model::SeededChoices choices(seed);
//   message_model::Run run(choices, "/tmp/x/a.msg");   // an existing .msg file
//   if (!run.Go(30) || !run.Reopen()) report(run.Failure());
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/comptr.h"
#include "mapi/message_writer.h"
#include "platform_testing.h"
#include "storage/storage_model_run.h"

namespace message_model {

using storage_model::Choices;

// Values above this many bytes are not handed out inline (GetProps gives an error for them).
inline constexpr size_t kInlineLimit = MAPI_MAX_INLINE_VALUE_BYTES;

inline std::string Hex(const void* data, size_t size) { return storage_model::HexOf(data, size); }

inline std::string TagText(ULONG tag) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(tag));
    return text;
}

// A value as text that two equal values share: its tag and its bytes.
inline std::string Canonical(const SPropValue& v) {
    const ULONG type = PROP_TYPE(v.ulPropTag);
    std::string out = TagText(v.ulPropTag) + ":";
    auto units = [](const WCHAR* text) {
        size_t n = 0;
        while (text && text[n]) ++n;
        return n;
    };
    switch (type) {
        case PT_I2: return out + std::to_string(v.Value.i);
        case PT_LONG: return out + std::to_string(v.Value.l);
        case PT_ERROR: return out + TagText(ULONG(v.Value.err));
        case PT_BOOLEAN: return out + (v.Value.b ? "1" : "0");
        case PT_R4: return out + Hex(&v.Value.flt, 4);
        case PT_DOUBLE: case PT_APPTIME: case PT_CURRENCY: case PT_I8: case PT_SYSTIME: return out + Hex(&v.Value.li, 8);
        case PT_OBJECT: return out + "object";
        case PT_STRING8: return out + Hex(v.Value.lpszA, v.Value.lpszA ? std::strlen(v.Value.lpszA) : 0);
        case PT_UNICODE: return out + Hex(v.Value.lpszW, units(v.Value.lpszW) * 2);
        case PT_BINARY: case PT_SVREID: return out + Hex(v.Value.bin.lpb, v.Value.bin.cb);
        case PT_CLSID: return out + Hex(v.Value.lpguid, sizeof(GUID));
        case PT_MV_LONG: {
            for (ULONG i = 0; i < v.Value.MVl.cValues; ++i) out += std::to_string(v.Value.MVl.lpl[i]) + ",";
            return out;
        }
        case PT_MV_UNICODE: {
            for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
                out += Hex(v.Value.MVszW.lppszW[i], units(v.Value.MVszW.lppszW[i]) * 2) + ",";
            return out;
        }
        case PT_MV_BINARY: {
            for (ULONG i = 0; i < v.Value.MVbin.cValues; ++i)
                out += Hex(v.Value.MVbin.lpbin[i].lpb, v.Value.MVbin.lpbin[i].cb) + ",";
            return out;
        }
        default: return out + "?";
    }
}

// One object's values: property id -> canonical value; and, for binaries too large to be handed
// out inline, their bytes as a stream gives them.
struct Values {
    std::map<ULONG, std::string> props;
    std::map<ULONG, std::vector<BYTE>> large;
    bool operator==(const Values& other) const { return props == other.props && large == other.large; }
};

struct Model {
    Values message;
    std::map<ULONG, Values> attachments;
};

// What the saved changes touched: per object ("" the message, else its attachment's storage
// name) the property ids changed or deleted and whether its property stream was rewritten.
struct Touched {
    std::map<std::u16string, std::set<ULONG>> ids;
    std::set<std::u16string> propertyStreams;
    std::set<std::u16string> goneStorages;
    void Merge(const Touched& other) {
        for (const auto& [object, set] : other.ids) ids[object].insert(set.begin(), set.end());
        propertyStreams.insert(other.propertyStreams.begin(), other.propertyStreams.end());
        goneStorages.insert(other.goneStorages.begin(), other.goneStorages.end());
    }
};

inline std::u16string AttachStorage(ULONG number) {
    char text[40];
    std::snprintf(text, sizeof text, "__attach_version1.0_#%08X", static_cast<unsigned>(number));
    return std::u16string(text, text + std::strlen(text));
}

inline std::u16string ValuePrefix(ULONG id) {
    char text[24];
    std::snprintf(text, sizeof text, "__substg1.0_%04X", static_cast<unsigned>(id));
    return std::u16string(text, text + std::strlen(text));
}

// Every stream below `storage`: path ("a/b/c") -> bytes.
inline bool ReadStreams(IStorage* storage, const std::u16string& prefix, std::map<std::u16string, std::vector<BYTE>>& out,
                        int depth = 0) {
    if (depth > 16) return false;
    platform::ComPtr<IEnumSTATSTG> elements;
    if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Put()))) return false;
    STATSTG stat;
    while (elements->Next(1, &stat, nullptr) == S_OK) {
        const std::u16string name(reinterpret_cast<const char16_t*>(stat.pwcsName));
        CoTaskMemFree(stat.pwcsName);
        const std::u16string path = prefix.empty() ? name : prefix + u"/" + name;
        const auto* wide = reinterpret_cast<const WCHAR*>(name.c_str());
        if (stat.type == STGTY_STORAGE) {
            platform::ComPtr<IStorage> sub;
            if (FAILED(storage->OpenStorage(wide, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, sub.Put())) ||
                !ReadStreams(sub.Get(), path, out, depth + 1))
                return false;
            continue;
        }
        platform::ComPtr<IStream> stream;
        if (FAILED(storage->OpenStream(wide, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()))) return false;
        std::vector<BYTE> data(size_t(stat.cbSize.QuadPart));
        ULONG got = 0;
        if (FAILED(stream->Read(data.data(), ULONG(data.size()), &got)) || got != data.size()) return false;
        out[path] = std::move(data);
    }
    return true;
}

// A new message file at `path`: a few values of every kind, and some attachments.
inline HRESULT WriteRandomMessage(Choices& choices, const std::string& path) {
    msgwriter::MessageSpec spec;
    auto text = [&](size_t length) {
        std::basic_string<WCHAR> out;
        for (BYTE b : storage_model::Fill(choices.Below(1u << 30), length)) out.push_back(WCHAR(u'a' + b % 26));
        return out;
    };
    spec.props.push_back(msgwriter::Unicode(PR_SUBJECT_W, text(size_t(choices.Below(80)))));
    if (choices.Percent(70)) spec.props.push_back(msgwriter::Unicode(PR_BODY_W, text(size_t(choices.Below(20000)))));
    if (choices.Percent(50)) spec.props.push_back(msgwriter::Ansi(CHANGE_PROP_TYPE(PR_SENDER_NAME_W, PT_STRING8), "sender"));
    spec.props.push_back(msgwriter::Long(PR_MESSAGE_FLAGS, LONG(choices.Below(64))));
    spec.props.push_back(msgwriter::Time(PR_CLIENT_SUBMIT_TIME, 0x01D0000000000000ull + choices.Below(1ull << 40)));
    if (choices.Percent(30)) spec.props.push_back(msgwriter::Binary(PR_RTF_COMPRESSED, storage_model::Fill(7, 5000)));
    for (size_t i = choices.Below(4); i > 0; --i) {
        msgwriter::AttachmentSpec attachment;
        attachment.props.push_back(msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, text(8)));
        attachment.props.push_back(
            msgwriter::Binary(PR_ATTACH_DATA_BIN, storage_model::Fill(choices.Below(1000), size_t(choices.Below(30000)))));
        spec.attachments.push_back(std::move(attachment));
    }
    std::basic_string<WCHAR> wide;
    for (char c : path) wide.push_back(WCHAR(static_cast<unsigned char>(c)));
    return msgwriter::WriteMessageFile(wide, spec);
}

class Run {
public:
    // Starts on the message file at `path` (a .msg the caller made or copied).
    Run(Choices& choices, const std::string& path) : choices_(choices), path_(path) {
        for (char c : path) widePath_.push_back(char16_t(static_cast<unsigned char>(c)));
        {
            platform::ComPtr<IStorage> storage;
            if (StgOpenStorage(Wide(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put()) != S_OK ||
                !ReadStreams(storage.Get(), u"", before_)) {
                Fail("the file cannot be read");
                return;
            }
        }
        if (!Open()) return;
        if (!ReadAll(saved_)) Fail("the message cannot be read whole");
        working_ = saved_;
        Log("opened, " + std::to_string(saved_.attachments.size()) + " attachments, " +
            std::to_string(saved_.message.props.size()) + " values");
    }

    bool Ok() const { return failure_.empty(); }
    std::string Failure() const {
        std::string out = failure_ + "\noperations:\n";
        for (const std::string& line : log_) out += "  " + line + "\n";
        return out;
    }
    uint64_t Checks() const { return checks_; }

    bool Go(unsigned steps) {
        for (unsigned i = 0; i < steps && Ok() && !choices_.Exhausted(); ++i) Step();
        return Ok();
    }

    // Releases the message (unsaved changes are dropped), opens it again, and checks it.
    bool Reopen() {
        if (!Ok()) return false;
        Log("release and reopen");
        message_.Reset();
        storage_.Reset();
        // The file as saved, read whole while nothing holds it.
        std::map<std::u16string, std::vector<BYTE>> streams;
        {
            const std::vector<BYTE> bytes = storage_model::FileBytes(path_);
            platform::ComPtr<IStorage> image;
            if (platform::testing::OpenStorageOnMemory(bytes.data(), bytes.size(), image.Put()) != S_OK ||
                !ReadStreams(image.Get(), u"", streams)) {
                Fail("the saved file cannot be read");
                return false;
            }
        }
        working_ = saved_;
        pending_ = {};
        deletedThisOpen_.clear();
        givenThisOpen_.clear();
        if (!Open()) return false;
        Model found;
        if (!ReadAll(found)) {
            Fail("the reopened message cannot be read whole");
            return false;
        }
        Compare(found.message, saved_.message, "the reopened message");
        for (const auto& [number, values] : saved_.attachments)
            if (!found.attachments.count(number)) Fail("attachment " + std::to_string(number) + " is gone");
        for (const auto& [number, values] : found.attachments) {
            auto expected = saved_.attachments.find(number);
            if (expected == saved_.attachments.end()) Fail("attachment " + std::to_string(number) + " came from nowhere");
            else Compare(values, expected->second, "attachment " + std::to_string(number));
        }
        CheckHeader(streams);
        CheckUntouchedStreams(streams);
        return Ok();
    }

private:
    const WCHAR* Wide() const { return reinterpret_cast<const WCHAR*>(widePath_.c_str()); }
    void Fail(const std::string& what) {
        if (failure_.empty()) failure_ = what;
    }
    void Log(const std::string& line) { log_.push_back(line); }

    bool Open() {
        HRESULT hr = StgOpenStorage(Wide(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, storage_.Put());
        if (hr != S_OK) {
            Fail("StgOpenStorage gave " + TagText(ULONG(hr)));
            return false;
        }
        LPMESSAGE raw = nullptr;
        hr = OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(), nullptr,
                            storage_.Get(), nullptr, 0, 0, &raw);
        if (hr != S_OK) {
            Fail("OpenIMsgOnIStg gave " + TagText(ULONG(hr)));
            return false;
        }
        message_ = platform::ComPtr<IMessage>::Attach(raw);
        return true;
    }

    // ---- Reading values ----

    bool ReadValues(IMAPIProp* object, Values& out) {
        out = {};
        ULONG count = 0;
        LPSPropValue values = nullptr;
        const HRESULT hr = object->GetProps(nullptr, 0, &count, &values);
        if (FAILED(hr)) return false;
        bool ok = true;
        for (ULONG i = 0; i < count; ++i) {
            const SPropValue& v = values[i];
            out.props[PROP_ID(v.ulPropTag)] = Canonical(v);
            if (PROP_TYPE(v.ulPropTag) == PT_ERROR && v.Value.err == MAPI_E_NOT_ENOUGH_MEMORY)
                ok = ok && ReadLarge(object, PROP_ID(v.ulPropTag), out);
        }
        MAPIFreeBuffer(values);
        return ok;
    }

    // A value too large for GetProps, read as a stream: kept only for binaries (the model writes
    // no large strings; a large string of the file is checked through its stream's bytes).
    bool ReadLarge(IMAPIProp* object, ULONG id, Values& out) {
        platform::ComPtr<IUnknown> unknown;
        if (FAILED(object->OpenProperty(PROP_TAG(PT_BINARY, id), &IID_IStream, 0, 0, unknown.Put()))) return true;
        auto* stream = static_cast<IStream*>(unknown.Get());
        std::vector<BYTE>& data = out.large[id];
        BYTE buffer[8192];
        for (;;) {
            ULONG got = 0;
            if (FAILED(stream->Read(buffer, sizeof buffer, &got))) return false;
            if (got == 0) break;
            data.insert(data.end(), buffer, buffer + got);
        }
        return true;
    }

    std::vector<ULONG> AttachmentNumbers() {
        std::vector<ULONG> numbers;
        platform::ComPtr<IMAPITable> table;
        if (FAILED(message_->GetAttachmentTable(0, table.Put()))) {
            Fail("GetAttachmentTable failed");
            return numbers;
        }
        LPSRowSet rows = nullptr;
        if (FAILED(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &rows))) {
            Fail("the attachment table cannot be read");
            return numbers;
        }
        for (ULONG r = 0; r < rows->cRows; ++r)
            if (LPSPropValue number = PpropFindProp(rows->aRow[r].lpProps, rows->aRow[r].cValues, PR_ATTACH_NUM))
                numbers.push_back(ULONG(number->Value.l));
        FreeProws(rows);
        std::sort(numbers.begin(), numbers.end());
        return numbers;
    }

    bool ReadAll(Model& out) {
        out = {};
        if (!ReadValues(message_.Get(), out.message)) return false;
        for (ULONG number : AttachmentNumbers()) {
            platform::ComPtr<IAttach> attach;
            LPATTACH raw = nullptr;
            if (FAILED(message_->OpenAttach(number, nullptr, 0, &raw))) return false;
            attach = platform::ComPtr<IAttach>::Attach(raw);
            if (!ReadValues(attach.Get(), out.attachments[number])) return false;
        }
        return Ok();
    }

    void Compare(const Values& found, const Values& expected, const std::string& what) {
        ++checks_;
        if (found == expected) return;
        for (const auto& [id, value] : expected.props) {
            auto at = found.props.find(id);
            if (at == found.props.end()) return Fail(what + ": " + value + " is missing");
            if (at->second != value) return Fail(what + ": " + at->second + " where the model has " + value);
        }
        for (const auto& [id, value] : found.props)
            if (!expected.props.count(id)) return Fail(what + ": " + value + " is not in the model");
        Fail(what + ": the bytes of a large value differ");
    }

    // ---- Changing values ----

    // What the values made for one call point into; it outlives the call.
    struct ValueMemory {
        ValueMemory() {
            keep.reserve(64);
            wides.reserve(64);
        }
        std::vector<std::vector<BYTE>> keep;
        std::vector<std::vector<WCHAR>> wides;
        std::vector<std::vector<SBinary>> bins;
        std::vector<std::vector<LPWSTR>> strings;
        std::vector<std::vector<LONG>> longs;
    };

    // A value to write: of a type the store keeps, with an id the object has (in any type) or a
    // new one.
    SPropValue MakeValue(const Values& current, ValueMemory& memory) {
        auto& keep = memory.keep;
        auto& wides = memory.wides;
        ULONG id;
        if (!current.props.empty() && choices_.Percent(50)) {
            auto it = current.props.begin();
            std::advance(it, long(choices_.Below(current.props.size())));
            id = it->first;
        } else {
            id = ULONG(choices_.Between(0x3000, 0x3FFF));
        }
        static constexpr ULONG kTypes[] = {PT_I2,     PT_LONG,   PT_BOOLEAN, PT_DOUBLE,  PT_I8,         PT_SYSTIME,
                                           PT_R4,     PT_STRING8, PT_UNICODE, PT_BINARY, PT_CLSID,      PT_MV_LONG,
                                           PT_MV_UNICODE, PT_MV_BINARY};
        const ULONG type = kTypes[choices_.Below(std::size(kTypes))];
        SPropValue v{};
        v.ulPropTag = PROP_TAG(type, id);
        const uint64_t seed = choices_.Below(1ull << 32);
        auto bytes = [&](size_t size) -> std::vector<BYTE>& {
            keep.push_back(storage_model::Fill(seed + keep.size(), size));
            return keep.back();
        };
        auto text = [&](size_t length) -> WCHAR* {
            std::vector<WCHAR> units;
            const auto& source = bytes(length * 2);
            for (size_t i = 0; i < length; ++i) units.push_back(WCHAR(0x20 + (source[2 * i] | source[2 * i + 1] << 8) % 0x3000));
            units.push_back(0);
            wides.push_back(std::move(units));
            return wides.back().data();
        };
        auto size = [&] {
            // Mostly small; sometimes well past the inline limit (binaries only).
            return type == PT_BINARY && choices_.Percent(10) ? size_t(choices_.Between(kInlineLimit + 1000, 70000))
                                                              : size_t(choices_.Below(300));
        };
        switch (type) {
            case PT_I2: v.Value.i = short(choices_.Below(65536)); break;
            case PT_LONG: v.Value.l = LONG(choices_.Below(1ull << 32)); break;
            case PT_BOOLEAN: v.Value.b = choices_.Percent(50); break;
            case PT_DOUBLE: v.Value.dbl = double(choices_.Below(1ull << 40)) / 7.0; break;
            case PT_R4: v.Value.flt = float(choices_.Below(1ull << 20)) / 3.0f; break;
            case PT_I8: v.Value.li.QuadPart = LONGLONG(choices_.Below(~0ull)); break;
            case PT_SYSTIME:
                v.Value.ft.dwLowDateTime = DWORD(choices_.Below(1ull << 32));
                v.Value.ft.dwHighDateTime = DWORD(choices_.Below(0x01F00000));
                break;
            case PT_STRING8: {
                auto& data = bytes(size());
                for (auto& b : data) b = BYTE(0x20 + b % 0x5F);
                data.push_back(0);
                v.Value.lpszA = reinterpret_cast<LPSTR>(data.data());
                break;
            }
            case PT_UNICODE: v.Value.lpszW = text(size()); break;
            case PT_BINARY: {
                auto& data = bytes(size());
                v.Value.bin = SBinary{ULONG(data.size()), data.data()};
                break;
            }
            case PT_CLSID: v.Value.lpguid = reinterpret_cast<LPGUID>(bytes(sizeof(GUID)).data()); break;
            case PT_MV_LONG: {
                std::vector<LONG> values(size_t(choices_.Between(1, 5)));
                for (auto& l : values) l = LONG(choices_.Below(1ull << 32));
                memory.longs.push_back(std::move(values));
                v.Value.MVl = SLongArray{ULONG(memory.longs.back().size()), memory.longs.back().data()};
                break;
            }
            case PT_MV_UNICODE: {
                std::vector<LPWSTR> values;
                for (size_t i = choices_.Between(1, 4); i > 0; --i) values.push_back(text(size_t(choices_.Below(40))));
                memory.strings.push_back(std::move(values));
                v.Value.MVszW = SWStringArray{ULONG(memory.strings.back().size()), memory.strings.back().data()};
                break;
            }
            case PT_MV_BINARY: {
                std::vector<SBinary> values;
                for (size_t i = choices_.Between(1, 4); i > 0; --i) {
                    auto& data = bytes(size_t(choices_.Below(60)));
                    values.push_back(SBinary{ULONG(data.size()), data.data()});
                }
                memory.bins.push_back(std::move(values));
                v.Value.MVbin = SBinaryArray{ULONG(memory.bins.back().size()), memory.bins.back().data()};
                break;
            }
        }
        return v;
    }

    // What the model holds after `v` is set.
    static void Apply(Values& values, const SPropValue& v) {
        const ULONG id = PROP_ID(v.ulPropTag);
        values.large.erase(id);
        if (PROP_TYPE(v.ulPropTag) == PT_BINARY && v.Value.bin.cb > kInlineLimit) {
            SPropValue error{};
            error.ulPropTag = PROP_TAG(PT_ERROR, id);
            error.Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
            values.props[id] = Canonical(error);
            values.large[id].assign(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
            return;
        }
        values.props[id] = Canonical(v);
    }

    // The object a change goes to: the message (kNone) or one of its attachments.
    static constexpr ULONG kNone = ~0u;
    ULONG PickObject() {
        if (working_.attachments.empty() || choices_.Percent(50)) return kNone;
        auto it = working_.attachments.begin();
        std::advance(it, long(choices_.Below(working_.attachments.size())));
        return it->first;
    }
    std::u16string ObjectName(ULONG number) const { return number == kNone ? u"" : AttachStorage(number); }

    // Runs `change` on the message or on attachment `number` (opened for it, and saved into the
    // message afterwards); checks the object's values against the model after it.
    template <class Change>
    void OnObject(ULONG number, Change change) {
        Values& model = number == kNone ? working_.message : working_.attachments[number];
        if (number == kNone) {
            if (!change(static_cast<IMAPIProp*>(message_.Get()), model)) return;
            Values found;
            if (!ReadValues(message_.Get(), found)) return Fail("the message's values cannot be read");
            return Compare(found, model, "the open message");
        }
        LPATTACH raw = nullptr;
        HRESULT hr = message_->OpenAttach(number, nullptr, MAPI_MODIFY, &raw);
        if (hr != S_OK) return Fail("OpenAttach " + std::to_string(number) + " gave " + TagText(ULONG(hr)));
        auto attach = platform::ComPtr<IAttach>::Attach(raw);
        if (!change(static_cast<IMAPIProp*>(attach.Get()), model)) return;
        hr = attach->SaveChanges(KEEP_OPEN_READWRITE);
        if (hr != S_OK) return Fail("IAttach::SaveChanges gave " + TagText(ULONG(hr)));
        Values found;
        if (!ReadValues(attach.Get(), found)) return Fail("the attachment's values cannot be read");
        Compare(found, model, "open attachment " + std::to_string(number));
    }

    void SetValues() {
        const ULONG number = PickObject();
        OnObject(number, [&](IMAPIProp* object, Values& model) {
            ValueMemory memory;
            std::vector<SPropValue> values;
            for (size_t i = choices_.Between(1, 4); i > 0; --i) values.push_back(MakeValue(model, memory));
            std::string tags;
            for (const auto& v : values) tags += " " + TagText(v.ulPropTag);
            Log("SetProps on " + (number == kNone ? std::string("the message") : "attachment " + std::to_string(number)) +
                ":" + tags);
            LPSPropProblemArray problems = nullptr;
            const HRESULT hr = object->SetProps(ULONG(values.size()), values.data(), &problems);
            if (problems) {
                Fail("SetProps reported " + std::to_string(problems->cProblem) + " problems");
                MAPIFreeBuffer(problems);
                return false;
            }
            if (hr != S_OK) {
                Fail("SetProps gave " + TagText(ULONG(hr)));
                return false;
            }
            for (const auto& v : values) {
                Apply(model, v);
                pending_.ids[ObjectName(number)].insert(PROP_ID(v.ulPropTag));
            }
            pending_.propertyStreams.insert(ObjectName(number));
            return true;
        });
    }

    void DeleteValues() {
        const ULONG number = PickObject();
        OnObject(number, [&](IMAPIProp* object, Values& model) {
            SizedSPropTagArray(3, tags) = {0, {}};
            std::vector<bool> present;
            for (size_t i = choices_.Between(1, 3); i > 0; --i) {
                ULONG tag;
                if (!model.props.empty() && choices_.Percent(80)) {
                    auto it = model.props.begin();
                    std::advance(it, long(choices_.Below(model.props.size())));
                    // Any type: properties are deleted by id.
                    tag = PROP_TAG(choices_.Percent(50) ? PT_LONG : PT_UNSPECIFIED, it->first);
                } else {
                    tag = PROP_TAG(PT_LONG, ULONG(choices_.Between(0x3000, 0x3FFF)));
                }
                bool repeated = false;
                for (ULONG k = 0; k < tags.cValues; ++k) repeated = repeated || PROP_ID(tags.aulPropTag[k]) == PROP_ID(tag);
                if (repeated) continue;
                present.push_back(model.props.count(PROP_ID(tag)) != 0);
                tags.aulPropTag[tags.cValues++] = tag;
            }
            std::string text;
            for (ULONG k = 0; k < tags.cValues; ++k) text += " " + TagText(tags.aulPropTag[k]);
            Log("DeleteProps on " + (number == kNone ? std::string("the message") : "attachment " + std::to_string(number)) +
                ":" + text);
            LPSPropProblemArray problems = nullptr;
            const HRESULT hr = object->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), &problems);
            if (hr != S_OK) {
                Fail("DeleteProps gave " + TagText(ULONG(hr)));
                if (problems) MAPIFreeBuffer(problems);
                return false;
            }
            std::set<ULONG> missing;
            for (ULONG k = 0; k < tags.cValues; ++k)
                if (!present[k]) missing.insert(tags.aulPropTag[k]);
            std::set<ULONG> reported;
            for (ULONG k = 0; problems && k < problems->cProblem; ++k) {
                if (problems->aProblem[k].scode == MAPI_E_NOT_FOUND) reported.insert(problems->aProblem[k].ulPropTag);
                else missing.insert(0);  // a problem the model does not foresee
            }
            if (problems) MAPIFreeBuffer(problems);
            if (reported != missing) {
                Fail("DeleteProps reported other problems than the model foresees");
                return false;
            }
            for (ULONG k = 0; k < tags.cValues; ++k) {
                if (!present[k]) continue;
                model.props.erase(PROP_ID(tags.aulPropTag[k]));
                model.large.erase(PROP_ID(tags.aulPropTag[k]));
                pending_.ids[ObjectName(number)].insert(PROP_ID(tags.aulPropTag[k]));
                pending_.propertyStreams.insert(ObjectName(number));
            }
            return true;
        });
    }

    void AddAttachment() {
        ULONG number = 0;
        LPATTACH raw = nullptr;
        const HRESULT hr = message_->CreateAttach(nullptr, 0, &number, &raw);
        if (hr != S_OK) return Fail("CreateAttach gave " + TagText(ULONG(hr)));
        auto attach = platform::ComPtr<IAttach>::Attach(raw);
        const bool save = choices_.Percent(85);
        Log("CreateAttach: " + std::to_string(number) + (save ? "" : " (not saved)"));
        // Within one open, a number is given out once.
        if (working_.attachments.count(number) || deletedThisOpen_.count(number) || givenThisOpen_.count(number))
            return Fail("CreateAttach gave number " + std::to_string(number) + ", which is taken");
        givenThisOpen_.insert(number);
        Values values;
        ValueMemory memory;
        std::vector<SPropValue> props;
        for (size_t i = choices_.Between(0, 4); i > 0; --i) props.push_back(MakeValue(values, memory));
        std::vector<SPropValue> distinct;
        for (const auto& v : props) {
            // One value per id in a new attachment (the last wins, as in the model).
            distinct.erase(std::remove_if(distinct.begin(), distinct.end(),
                                          [&](const SPropValue& d) { return PROP_ID(d.ulPropTag) == PROP_ID(v.ulPropTag); }),
                           distinct.end());
            distinct.push_back(v);
        }
        if (!distinct.empty() && attach->SetProps(ULONG(distinct.size()), distinct.data(), nullptr) != S_OK)
            return Fail("SetProps on a new attachment failed");
        for (const auto& v : distinct) Apply(values, v);
        if (!save) return;
        if (attach->SaveChanges(KEEP_OPEN_READWRITE) != S_OK) return Fail("IAttach::SaveChanges of a new one failed");
        working_.attachments[number] = values;
        pending_.attachmentsChanged = true;
    }

    void DeleteAttachment() {
        const bool existing = !working_.attachments.empty() && choices_.Percent(90);
        ULONG number = ULONG(choices_.Below(64));
        if (existing) {
            auto it = working_.attachments.begin();
            std::advance(it, long(choices_.Below(working_.attachments.size())));
            number = it->first;
        }
        const bool present = working_.attachments.count(number) != 0;
        Log("DeleteAttach " + std::to_string(number) + (present ? "" : " (none such)"));
        const HRESULT hr = message_->DeleteAttach(number, 0, nullptr, 0);
        if (hr != (present ? S_OK : MAPI_E_NOT_FOUND)) return Fail("DeleteAttach gave " + TagText(ULONG(hr)));
        if (!present) return;
        working_.attachments.erase(number);
        deletedThisOpen_.insert(number);
        pending_.goneStorages.insert(AttachStorage(number));
        pending_.attachmentsChanged = true;
    }

    void Save() {
        Log("SaveChanges");
        const HRESULT hr = message_->SaveChanges(KEEP_OPEN_READWRITE);
        if (hr != S_OK) return Fail("SaveChanges gave " + TagText(ULONG(hr)));
        saved_ = working_;
        if (pending_.attachmentsChanged) {
            attachmentsChanged_ = true;
            pending_.propertyStreams.insert(u"");
        }
        touched_.Merge(pending_);
        pending_ = {};
        // The attachment table follows the saved state.
        std::vector<ULONG> expected;
        for (const auto& [number, values] : saved_.attachments) expected.push_back(number);
        if (AttachmentNumbers() != expected) Fail("the attachment table differs from the model after SaveChanges");
    }

    void Step() {
        const uint64_t kind = choices_.Below(100);
        if (kind < 35) SetValues();
        else if (kind < 50) DeleteValues();
        else if (kind < 62) AddAttachment();
        else if (kind < 72) DeleteAttachment();
        else if (kind < 92) Save();
        else Reopen();
    }

    // ---- After a reopen ----

    // Once attachments came or went, the header counts them: their number, and a next number
    // past every one given out.
    void CheckHeader(std::map<std::u16string, std::vector<BYTE>>& streams) {
        if (!attachmentsChanged_) return;
        const auto& header = streams[u"__properties_version1.0"];
        if (header.size() < 32) return Fail("the message's property stream has no header");
        auto load = [&](size_t at) { return ULONG(header[at] | header[at + 1] << 8 | header[at + 2] << 16 | header[at + 3] << 24); };
        if (load(20) != saved_.attachments.size())
            return Fail("the header counts " + std::to_string(load(20)) + " attachments, the message has " +
                        std::to_string(saved_.attachments.size()));
        for (const auto& [number, values] : saved_.attachments)
            if (load(12) <= number) return Fail("the header's next attachment number is not past " + std::to_string(number));
    }

    // Every stream of the file before the first change, unless a saved change touched it, is
    // there with the same bytes; the storages of deleted attachments are gone.
    void CheckUntouchedStreams(const std::map<std::u16string, std::vector<BYTE>>& now) {
        for (const auto& [path, bytes] : before_) {
            const size_t slash = path.find(u'/');
            const std::u16string object = slash == std::u16string::npos ? u"" : path.substr(0, slash);
            const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
            if (touched_.goneStorages.count(object)) {
                if (now.count(path)) Fail("a deleted attachment's stream is still there: " + storage_model::Utf8(path));
                continue;
            }
            if (object.rfind(u"__attach_version1.0_#", 0) != 0 && !object.empty()) {
                // Storages the store does not change (recipients, named properties).
            } else {
                if (name == u"__properties_version1.0" && touched_.propertyStreams.count(object)) continue;
                bool changed = false;
                auto ids = touched_.ids.find(object);
                if (ids != touched_.ids.end())
                    for (ULONG id : ids->second) changed = changed || name.rfind(ValuePrefix(id), 0) == 0;
                if (changed) continue;
            }
            auto found = now.find(path);
            if (found == now.end()) return Fail("an untouched stream is gone: " + storage_model::Utf8(path));
            if (found->second != bytes) return Fail("an untouched stream changed: " + storage_model::Utf8(path));
            ++checks_;
        }
    }

    struct Pending : Touched {
        bool attachmentsChanged = false;
    };

    Choices& choices_;
    std::string path_;
    std::u16string widePath_;
    platform::ComPtr<IStorage> storage_;
    platform::ComPtr<IMessage> message_;
    std::map<std::u16string, std::vector<BYTE>> before_;
    Model saved_, working_;
    Pending pending_;
    Touched touched_;
    bool attachmentsChanged_ = false;
    std::set<ULONG> deletedThisOpen_, givenThisOpen_;
    std::string failure_;
    std::vector<std::string> log_;
    uint64_t checks_ = 0;
};

}  // namespace message_model
