// Reading a file's card through the format object, and the card's text as the commands show it.
#pragma once

#include <string>
#include <vector>

#include <windows.h>
#include <oleauto.h>

#include "HostInterfaces.h"
#include "card_json.h"
#include "failure_reason.h"
#include "format_host.h"

namespace cardhost {

// The variables to read: those given, else the catalogue.
std::vector<std::string> VariableNames(const std::vector<std::string>& given);

const char* TypeName(VARTYPE vt);
CardValue ToCardValue(const VARIANT& value);

// `request` holds the names (and is cleared for each file).
Card ReadCard(IKivFileFormat* format, const std::string& file, const std::vector<std::string>& names,
              Request& request, OpenDiagnosis& diagnosis);

// The card's JSON line, the file named as shown and, when that is not the name itself, as the
// system stores it.
std::string JsonLine(const std::string& file, const Card& card);

// At most `limit` bytes of the text, in whole characters, and a note of what was cut.
std::string Shorten(const std::string& text, size_t limit);

}  // namespace cardhost
