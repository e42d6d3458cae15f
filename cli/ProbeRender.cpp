#include "ProbeRender.h"

#include <cstdio>
#include <utility>

#include "Text.h"

namespace cli {
namespace {

// Wide enough for the longest storage class name.
constexpr std::size_t ITEM_WIDTH = 60;

std::string Pad(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string TrimEnd(std::string text) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string CallingOf(const ProbePeer& peer) {
    return peer.calling.empty() ? "ORLANE" : peer.calling;
}

// The command line's name of a syntax; the syntaxes it does not name for --ts get one here.
std::string SyntaxLabel(const TransferSyntaxInfo& ts) {
    if (ts.name[0] != '\0') return ts.name;
    static const std::pair<const char*, const char*> OTHERS[] = {
        {"1.2.840.10008.1.2.4.50", "jpeg-baseline"},
        {"1.2.840.10008.1.2.4.51", "jpeg-extended"},
        {"1.2.840.10008.1.2.4.57", "jpeg-lossless-any"},
        {"1.2.840.10008.1.2.4.201", "htj2k-lossless"},
        {"1.2.840.10008.1.2.4.202", "htj2k-rpcl"},
        {"1.2.840.10008.1.2.4.203", "htj2k"}};
    for (const auto& [uid, name] : OTHERS)
        if (std::string(uid) == ts.uid) return name;
    return ts.uid;
}

std::string SyntaxLabel(const char* uid) {
    const TransferSyntaxInfo* ts = TransferSyntaxByUID(uid);
    return ts != nullptr ? SyntaxLabel(*ts) : std::string(uid);
}

// A storage table: its rows carry one result per transfer syntax.
bool IsMatrix(const ProbeSectionRecord& s) {
    return s.rowCount > 0 && s.rows[0].syntaxCount > 0;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : Cp1252ToUtf8(text)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Html(const std::string& text) {
    std::string out;
    for (const char c : Cp1252ToUtf8(text)) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The verdict as a CSS class: "not-offered".
std::string VerdictClass(int32_t verdict) {
    std::string words = VerdictWords(verdict);
    for (char& c : words)
        if (c == ' ') c = '-';
    return words;
}

}  // namespace

std::string VerdictWords(int32_t verdict) {
    switch (verdict) {
        case PROBE_WORKS:
            return "works";
        case PROBE_REFUSED:
            return "refused";
        case PROBE_NOT_OFFERED:
            return "not offered";
        case PROBE_FAILED:
            return "failed";
        case PROBE_NOT_TESTED:
            return "not tested";
    }
    return "unknown";
}

std::string ProbeDetail(const char* reason, const char* advice) {
    const std::string r = reason, a = advice;
    if (r.empty() || a.empty()) return r + a;
    return r + ": " + a;
}

std::string ProbeTextHeading(const ProbePeer& peer) {
    if (!peer.url.empty()) return "Probe of the DICOMweb service " + ToTerminal(peer.url) + "\n";
    return "Probe of " + peer.called + " at " + peer.host + ":" + peer.port + ", calling " +
           CallingOf(peer) + "\n";
}

std::string ProbeTextSection(const ProbeSectionRecord& s) {
    std::string out = "\n" +
                      TrimEnd(Pad(s.name, 16) + Pad(VerdictWords(s.verdict), 13) +
                              ToTerminal(ProbeDetail(s.reason, s.advice))) +
                      "\n";
    for (uint32_t f = 0; f < s.factCount; ++f)
        out += "  " + Pad(s.facts[f].name, 27) + ToTerminal(s.facts[f].value) + "\n";
    if (IsMatrix(s)) {
        // A column per transfer syntax, numbered, with the numbers explained first.
        std::string legend = "  transfer syntaxes:";
        std::string header;
        for (uint32_t t = 0; t < s.rows[0].syntaxCount; ++t) {
            legend += " " + std::to_string(t + 1) + " " +
                      SyntaxLabel(s.rows[0].syntaxes[t].transferSyntax);
            header += Pad(std::to_string(t + 1), 3);
        }
        out += legend + "\n  " + Pad("", ITEM_WIDTH) + Pad("", 13) + TrimEnd(header) + "\n";
    }
    for (uint32_t r = 0; r < s.rowCount; ++r) {
        const ProbeRowRecord& row = s.rows[r];
        std::string marks;
        for (uint32_t t = 0; t < row.syntaxCount; ++t)
            marks += Pad(row.syntaxes[t].result == 0 ? "x" : ".", 3);
        out += TrimEnd("  " + Pad(ToTerminal(row.item), ITEM_WIDTH) +
                       Pad(VerdictWords(row.verdict), 13) + marks +
                       ToTerminal(ProbeDetail(row.reason, row.advice))) +
               "\n";
    }
    return out;
}

std::string ProbeTextEnd(uint32_t associations, bool web) {
    if (web)
        return "\n" + std::to_string(associations) +
               (associations == 1 ? " HTTP request\n" : " HTTP requests\n");
    return "\n" + std::to_string(associations) + " associations\n";
}

std::string ProbeJson(const ProbePeer& peer, const ProbeReport* report) {
    const bool web = !peer.url.empty();
    std::string out =
        web ? "{\n  \"peer\": {\"url\": " + Json(peer.url) + "},\n  \"sections\": ["
            : "{\n  \"peer\": {\"host\": " + Json(peer.host) + ", \"port\": " + Json(peer.port) +
                  ", \"calledAeTitle\": " + Json(peer.called) +
                  ", \"callingAeTitle\": " + Json(peer.calling) + "},\n  \"sections\": [";
    for (uint32_t i = 0; i < ProbeSectionCount(report); ++i) {
        const ProbeSectionRecord& s = *ProbeSectionAt(report, i);
        out += std::string(i == 0 ? "" : ",") + "\n    {\"name\": " + Json(s.name) +
               ", \"verdict\": " + Json(VerdictWords(s.verdict)) +
               ", \"detail\": " + Json(ProbeDetail(s.reason, s.advice)) + ",\n     \"facts\": {";
        for (uint32_t f = 0; f < s.factCount; ++f)
            out += std::string(f == 0 ? "" : ", ") + Json(s.facts[f].name) + ": " +
                   Json(s.facts[f].value);
        out += "},\n     \"rows\": [";
        for (uint32_t r = 0; r < s.rowCount; ++r) {
            const ProbeRowRecord& row = s.rows[r];
            out += std::string(r == 0 ? "" : ",") + "\n       {\"item\": " + Json(row.item) +
                   ", \"uid\": " + Json(row.uid) +
                   ", \"verdict\": " + Json(VerdictWords(row.verdict)) +
                   ", \"detail\": " + Json(ProbeDetail(row.reason, row.advice));
            if (row.syntaxCount > 0) {
                out += ", \"syntaxes\": {";
                for (uint32_t t = 0; t < row.syntaxCount; ++t)
                    out += std::string(t == 0 ? "" : ", ") + Json(row.syntaxes[t].transferSyntax) +
                           ": " + std::to_string(row.syntaxes[t].result);
                out += "}";
            }
            out += "}";
        }
        out += std::string(s.rowCount == 0 ? "" : "\n     ") + "]}";
    }
    out += std::string("\n  ],\n  \"") + (web ? "requests" : "associations") +
           "\": " + std::to_string(ProbeAssociationCount(report)) + "\n}\n";
    return out;
}

std::string ProbeHtml(const ProbePeer& peer, const ProbeReport* report) {
    const bool web = !peer.url.empty();
    const std::string title =
        web ? "DICOMweb probe of " + peer.url
            : "DICOM probe of " + peer.called + " at " + peer.host + ":" + peer.port;
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Html(title) +
        "</title>\n<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse;"
        "margin-bottom:1.5em}td,th{border:1px solid #bbb;padding:3px 8px;text-align:left;"
        "vertical-align:top}.works{background:#d8f0d8}.refused,.failed{background:#f6d6d6}"
        ".not-offered,.not-tested{background:#eee}</style></head><body>\n<h1>" +
        Html(title) + "</h1>\n<p>" +
        (web ? std::to_string(ProbeAssociationCount(report)) + " HTTP requests."
             : "Calling AE title " + Html(CallingOf(peer)) + "; " +
                   std::to_string(ProbeAssociationCount(report)) + " associations.") +
        "</p>\n";
    for (uint32_t i = 0; i < ProbeSectionCount(report); ++i) {
        const ProbeSectionRecord& s = *ProbeSectionAt(report, i);
        const std::string detail = ProbeDetail(s.reason, s.advice);
        out += "<h2>" + Html(s.name) + "</h2>\n<table><tr><th>verdict</th><td class=\"" +
               VerdictClass(s.verdict) + "\">" + Html(VerdictWords(s.verdict)) + "</td></tr>";
        if (!detail.empty()) out += "<tr><th>detail</th><td>" + Html(detail) + "</td></tr>";
        for (uint32_t f = 0; f < s.factCount; ++f)
            out += "<tr><th>" + Html(s.facts[f].name) + "</th><td>" + Html(s.facts[f].value) +
                   "</td></tr>";
        out += "</table>\n";
        if (s.rowCount == 0) continue;
        const bool matrix = IsMatrix(s);
        const uint32_t columns = matrix ? s.rows[0].syntaxCount : 0;
        out += "<table><tr><th>item</th><th>verdict</th>";
        for (uint32_t t = 0; t < columns; ++t) {
            const char* uid = s.rows[0].syntaxes[t].transferSyntax;
            out += "<th title=\"" + std::string(uid) + "\">" + Html(SyntaxLabel(uid)) + "</th>";
        }
        out += "<th>detail</th></tr>\n";
        for (uint32_t r = 0; r < s.rowCount; ++r) {
            const ProbeRowRecord& row = s.rows[r];
            const std::string uid = row.uid;
            out += "<tr><td>" + Html(row.item) +
                   (uid.empty() ? "" : "<br><small>" + uid + "</small>") + "</td><td class=\"" +
                   VerdictClass(row.verdict) + "\">" + Html(VerdictWords(row.verdict)) + "</td>";
            if (matrix) {
                for (uint32_t t = 0; t < row.syntaxCount; ++t)
                    out += std::string("<td class=\"") +
                           (row.syntaxes[t].result == 0 ? "works" : "not-offered") + "\">" +
                           (row.syntaxes[t].result == 0 ? "&#10003;" : "&ndash;") + "</td>";
                if (row.syntaxCount == 0)
                    for (uint32_t t = 0; t < columns; ++t)
                        out += "<td></td>";
            }
            out += "<td>" + Html(ProbeDetail(row.reason, row.advice)) + "</td></tr>\n";
        }
        out += "</table>\n";
    }
    return out + "</body></html>\n";
}

}  // namespace cli
