// print: the print job of the service runner on the command line, with the film settings the
// window's setup offers. The library's log lines go to standard output as they happen; with
// --preview the gray image that would be sent is written to a bitmap file instead.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "NetOptions.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command PrintCommand;

namespace {

struct Choice {
    const char* option;
    std::vector<std::string> values;
    std::string* target;
};

bool IsDensity(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    return std::stoul(text) <= 65535;
}

// Each line as it comes; the last one is kept to say why a print failed.
void ShowLine(void* context, const char* line) {
    *static_cast<std::string*>(context) = line;
    std::printf("%s\n", ToTerminal(line).c_str());
    std::fflush(stdout);
}

int RunPrint(const Args& args) {
    const Command& self = PrintCommand;
    NetLine peer;
    Args rest;
    if (const int bad = ParseNetLine(self, args,
                                     {"--min-density", "--max-density", "--preview", "--film-size",
                                      "--orientation", "--magnification", "--destination"},
                                     NetRole::Requestor, peer, rest);
        bad != 0)
        return bad;
    std::string file, preview;
    // The window's first choices, and what it always sends.
    std::string filmSize = "14INX17IN", orientation = "PORTRAIT", magnification = "REPLICATE",
                destination = "MAGAZINE", minDensity, maxDensity;
    const std::vector<Choice> choices = {
        {"--film-size", {"14INX17IN", "14INX14IN", "10INX12IN", "8INX10IN"}, &filmSize},
        {"--orientation", {"PORTRAIT", "LANDSCAPE", "none"}, &orientation},
        {"--magnification", {"REPLICATE", "BILINEAR", "CUBIC", "NONE"}, &magnification},
        {"--destination", {"MAGAZINE", "PROCESSOR", "BIN_1", "BIN_2", "BIN_3"}, &destination},
    };
    int positional = 0;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        const bool takesValue = a == "--min-density" || a == "--max-density" || a == "--preview" ||
                                a == "--film-size" || a == "--orientation" ||
                                a == "--magnification" || a == "--destination";
        if (takesValue) {
            const std::string& value = rest[++i];
            if (a == "--preview") preview = value;
            if (a == "--min-density" || a == "--max-density") {
                if (!IsDensity(value)) {
                    std::fprintf(stderr, "tessaly-cli: print: %s takes a number from 0 to 65535\n",
                                 a.c_str());
                    return 2;
                }
                (a == "--min-density" ? minDensity : maxDensity) = value;
            }
            for (const Choice& choice : choices) {
                if (a != choice.option) continue;
                bool known = false;
                for (const std::string& v : choice.values)
                    known = known || v == value;
                if (!known) {
                    std::fprintf(stderr, "tessaly-cli: print: unknown %s '%s'\n", a.c_str(),
                                 value.c_str());
                    return UsageError(self);
                }
                *choice.target = value;
            }
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else if (positional == 0) {
            file = a;
            ++positional;
        } else {
            return UsageError(self);
        }
    }
    if (positional != 1 || file.empty()) return UsageError(self);
    if (orientation == "none") orientation.clear();

    std::string lastLine;
    if (!preview.empty()) {
        if (PrintPreview(file.c_str(), preview.c_str(), ShowLine, &lastLine) != 1) {
            std::fprintf(stderr, "tessaly-cli: print: no preview: %s\n",
                         ToTerminal(lastLine).c_str());
            return 1;
        }
        std::printf("PREVIEW written: %s\n", preview.c_str());
        return 0;
    }

    const FilmSessionSettings session = {"1", "MED", "BLUE FILM", destination.c_str()};
    const FilmBoxSettings box = {
        "STANDARD\\1,1",    orientation.c_str(), filmSize.c_str(), magnification.c_str(), "", "",
        minDensity.c_str(), maxDensity.c_str()};
    SetShortDateFormat("ddmmyyyy");
    WriteLogLine("Starting PRINT Service");
    const ConnectionOptions options = peer.Options();
    const bool printed =
        PrintSCUWith(file.c_str(), &options, &session, &box, ShowLine, &lastLine) == 1;
    if (printed) {
        WriteLogLine("PRINT OK");
        std::printf("PRINT OK\n");
        WarnOfUnansweredRelease(self.name);
        return 0;
    }
    const std::string outcome = "PRINT failed to connect to: " + peer.Peer();
    WriteLogLine(outcome.c_str());
    const std::string timeout = TimeoutWords();
    std::fprintf(stderr, "tessaly-cli: print failed: %s\n",
                 timeout.empty() ? ToTerminal(lastLine).c_str() : timeout.c_str());
    return 1;
}

}  // namespace

const Command PrintCommand = {
    "print",
    "print HOST PORT FILE [--aet LOCAL] [--aec REMOTE] [--connect-timeout S] [--acse-timeout S] "
    "[--dimse-timeout S] [--max-pdu N] "
    "[--film-size 14INX17IN|14INX14IN|10INX12IN|8INX10IN] [--orientation PORTRAIT|LANDSCAPE|none] "
    "[--magnification REPLICATE|BILINEAR|CUBIC|NONE] "
    "[--destination MAGAZINE|PROCESSOR|BIN_1|BIN_2|BIN_3] [--min-density N] [--max-density N] "
    "[--preview OUT.bmp]",
    RunPrint, REQUESTOR_SECURITY_USAGE};

}  // namespace cli
