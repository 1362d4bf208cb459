// show: the card of each file named, as a table or as JSON lines.
#include <algorithm>
#include <iostream>

#include <windows.h>

#include "card_reading.h"
#include "commands.h"
#include "format_host.h"
#include "results.h"
#include "text.h"

namespace cardhost {

namespace {

void PrintCardTable(const std::string& file, const Card& card, bool full) {
    std::cout << ShownText(file) << "\n";
    if (FAILED(card.result)) {
        std::cout << "  cannot read the card: " << DescribeResult(card.result) << "\n";
        if (!card.reason.empty()) std::cout << "  reason: " << card.reason << "\n";
        return;
    }
    size_t width = 0;
    for (const std::string& name : card.names) width = std::max(width, name.size());
    for (size_t i = 0; i < card.names.size(); ++i) {
        const std::string& name = card.names[i];
        std::string pad(width - name.size() + 2, ' ');
        std::cout << "  " << name << pad;
        if (!card.values[i].found) {
            std::cout << "(not found)\n";
            continue;
        }
        const CardValue& value = card.Latest(name);
        std::string text = value.found ? ValueText(value) : "null";
        if (name == "ATTACHMENTS") {
            // One name per line, under each other.
            std::string indent(2 + width + 2, ' ');
            size_t start = 0;
            bool first = true;
            if (text.empty()) std::cout << "(none)";
            while (start < text.size()) {
                size_t end = text.find("\r\n", start);
                if (end == std::string::npos) end = text.size();
                std::cout << (first ? "" : "\n" + indent) << text.substr(start, end - start);
                first = false;
                start = end + 2;
            }
            std::cout << "\n";
            continue;
        }
        if (name == "BODY" && !full) {
            std::string flat;  // one line: each run of line breaks and blanks becomes one blank
            for (char c : text) {
                const bool blank = c == '\r' || c == '\n' || c == '\t' || c == ' ';
                if (!blank) flat += c;
                else if (!flat.empty() && flat.back() != ' ') flat += ' ';
            }
            text = Shorten(flat, 100);
        }
        std::cout << text << "\n";
    }
}


}  // namespace

int RunShow(const std::string& module, const std::vector<std::string>& files, const std::vector<std::string>& vars,
            bool asJson, bool full) {
    auto host = OpenFormat(module);
    if (!host) return kExitOpenFailed;
    const std::vector<std::string> names = VariableNames(vars);
    Request request(names);
    OpenDiagnosis diagnosis;
    int exitCode = kExitSuccess;
    for (const std::string& file : files) {
        Card card = ReadCard(host->Format(), file, names, request, diagnosis);
        if (asJson)
            std::cout << JsonLine(file, card) << "\n";
        else
            PrintCardTable(file, card, full);
        if (FAILED(card.result)) {
            if (!asJson) {
                std::cerr << "cardhost: " << ShownText(file) << ": " << DescribeResult(card.result) << "\n";
                if (!card.reason.empty()) std::cerr << "  reason: " << card.reason << "\n";
            }
            exitCode = kExitOpenFailed;
        } else if (!vars.empty() &&
                   std::any_of(card.values.begin(), card.values.end(), [](const CardValue& v) { return !v.found; }) &&
                   exitCode == kExitSuccess) {
            exitCode = kExitNotAll;  // a variable asked for by name is missing
        }
    }
    std::cout.flush();
    return exitCode;
}

}  // namespace cardhost
