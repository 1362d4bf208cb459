#include "card_reading.h"

#include <iterator>

#include "base/comptr.h"
#include "results.h"
#include "system.h"
#include "text.h"

using platform::ComPtr;

namespace cardhost {

namespace {

const char* const kCatalogue[] = {
    "ATTACHMENTS", "SENDER_NAME", "SENT_REPRESENTING_NAME", "DISPLAY_TO", "DISPLAY_CC", "SUBJECT", "BODY",
    "CREATION_TIME", "LAST_MODIFICATION_TIME", "CLIENT_SUBMIT_TIME", "MESSAGE_DELIVERY_TIME",
};

}  // namespace

std::vector<std::string> VariableNames(const std::vector<std::string>& given) {
    if (!given.empty()) return given;
    return std::vector<std::string>(std::begin(kCatalogue), std::end(kCatalogue));
}

const char* TypeName(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_NULL: return "VT_NULL";
    case VT_I2: return "VT_I2";
    case VT_I4: return "VT_I4";
    case VT_R4: return "VT_R4";
    case VT_R8: return "VT_R8";
    case VT_CY: return "VT_CY";
    case VT_DATE: return "VT_DATE";
    case VT_BSTR: return "VT_BSTR";
    case VT_ERROR: return "VT_ERROR";
    case VT_BOOL: return "VT_BOOL";
    case VT_I8: return "VT_I8";
    default: return "VT_OTHER";
    }
}

CardValue ToCardValue(const VARIANT& value) {
    CardValue out;
    out.type = TypeName(value.vt);
    switch (value.vt) {
    case VT_BSTR:
        out.kind = CardValue::Kind::String;
        out.text = BstrToUtf8(value.bstrVal);
        break;
    case VT_I4: out.kind = CardValue::Kind::Integer; out.integer = value.lVal; break;
    case VT_I2: out.kind = CardValue::Kind::Integer; out.integer = value.iVal; break;
    case VT_I8: out.kind = CardValue::Kind::Integer; out.integer = value.llVal; break;
    case VT_R8: out.kind = CardValue::Kind::Real; out.real = value.dblVal; break;
    case VT_R4: out.kind = CardValue::Kind::Real; out.real = value.fltVal; break;
    case VT_BOOL: out.kind = CardValue::Kind::Boolean; out.boolean = value.boolVal != VARIANT_FALSE; break;
    case VT_ERROR:
        out.kind = CardValue::Kind::String;
        out.text = HexCode(value.scode);
        break;
    case VT_DATE:
        out.text = FormatDate(value.date);
        if (out.text.empty()) {
            out.kind = CardValue::Kind::Real;
            out.real = value.date;
        } else {
            out.kind = CardValue::Kind::String;
        }
        break;
    default: break;
    }
    return out;
}

// `request` holds the names (and is cleared for each file).
Card ReadCard(IKivFileFormat* format, const std::string& file, const std::vector<std::string>& names,
              Request& request, OpenDiagnosis& diagnosis) {
    Card card;
    ComPtr<IKivFileNavigator> navigator;
    card.result = OpenNavigator(format, file, navigator, diagnosis, &card.reason);
    if (FAILED(card.result)) return card;
    if (!request.Allocated()) {
        card.result = E_OUTOFMEMORY;
        return card;
    }
    request.Clear();
    card.result = navigator->ReadVariables(0, 0, 0, request.Count(), request.Data());
    if (FAILED(card.result)) return card;
    card.names = names;
    card.values.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const VariableRequest& record = request[i];
        CardValue value;
        if (record.found == 1) {
            value = ToCardValue(record.value);
            value.found = true;
        } else {
            value.type = TypeName(record.value.vt);
        }
        card.values.push_back(std::move(value));
    }
    return card;
}

std::string JsonLine(const std::string& file, const Card& card) {
    return CardJsonLine(ShownText(file), IsWellFormedUtf8(file) ? std::string() : StoredNameHex(file), card);
}

std::string Shorten(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " bytes; --full shows all)";
}

}  // namespace cardhost
