#include "support/Peers.h"

#include <algorithm>
#include <fstream>

namespace testsupport {
namespace {

// A worklist entry as a dump2dcm text: NAME, ID, DATE and MODALITY filled in.
constexpr char WORKLIST_DUMP[] = R"((0008,0005) CS [CHARSET]
(0008,0050) SH [AID]
(0010,0010) PN [NAME]
(0010,0020) LO [ID]
(0010,0030) DA [19700101]
(0010,0040) CS [O]
(0020,000d) UI [1.2.826.0.1.3680043.2.7251.1.99]
(0032,1032) PN [HOUSE^G]
(0032,1060) LO [PROCEDURE]
(0040,0100) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0008,0060) CS [MODALITY]
(0040,0001) AE [MODALITY01]
(0040,0002) DA [DATE]
(0040,0003) TM [093000]
(0040,0006) PN [WILSON^J]
(0040,0007) LO [STEP]
(0040,0009) SH [SID]
(0040,0010) SH [STATION]
(0040,0011) SH [ROOM1]
(fffe,e00d) na
(fffe,e0dd) na
(0040,1001) SH [RID]
(0040,1003) SH [LOW]
)";

// Each placeholder replaced in turn; what replaced one is not searched again.
std::string Filled(std::string text, const std::vector<std::pair<std::string, std::string>>& by) {
    for (const auto& [from, to] : by)
        for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
            text.replace(at, from.size(), to);
    return text;
}

}  // namespace

const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};

Dcmqrscp::Dcmqrscp(const std::vector<std::pair<std::string, uint16_t>>& destinations) {
    fs::create_directories(dir_ / "db");
    std::ofstream config(dir_ / "dcmqrscp.cfg");
    config << "NetworkTCPPort = " << port_ << "\nMaxPDUSize = 16384\nMaxAssociations = 16\n"
           << "HostTable BEGIN\n";
    for (const auto& [aeTitle, port] : destinations)
        config << "host" << port << " = (" << aeTitle << ", 127.0.0.1, " << port << ")\n";
    config << "HostTable END\nVendorTable BEGIN\nVendorTable END\nAETable BEGIN\nARCHIVE "
           << (dir_ / "db").string() << " RW (100, 1024mb) ANY\nAETable END\n";
    config.close();
    process_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{"dcmqrscp", "-c", (dir_ / "dcmqrscp.cfg").string()}, dir_.Path(),
        NO_DELAY);
}

std::string Dcmqrscp::Fill(const std::vector<fs::path>& files) const {
    std::vector<std::string> argv = {"storescu", "-aec", "ARCHIVE", "127.0.0.1",
                                     std::to_string(port_)};
    for (const auto& f : files)
        argv.push_back(f.string());
    const auto r = RunCommand(argv, NO_DELAY);
    return r.exitCode == 0 ? "" : "storescu: " + r.output + r.errors;
}

std::string WriteWorklist(const fs::path& folder, const std::vector<WorklistEntry>& entries) {
    fs::create_directories(folder);
    for (const auto& e : entries) {
        const fs::path dump = folder / (e.id + ".dump");
        // The name last: its bytes in another set may hold a placeholder's letters.
        std::ofstream(dump) << Filled(WORKLIST_DUMP, {{"CHARSET", e.characterSet},
                                                      {"ID", e.id},
                                                      {"DATE", e.date},
                                                      {"MODALITY", e.modality},
                                                      {"99", e.id.substr(1)},
                                                      {"NAME", e.name}});
        const auto r = RunCommand({"dump2dcm", dump.string(), (folder / (e.id + ".wl")).string()});
        fs::remove(dump);
        if (r.exitCode != 0) return "dump2dcm: " + r.errors;
    }
    return {};
}

Wlmscpfs::Wlmscpfs(const std::vector<WorklistEntry>& entries) {
    written_ = WriteWorklist(dir_ / "WLM", entries);
    std::ofstream(dir_ / "WLM" / "lockfile");
    if (!written_.empty()) return;
    std::vector<std::string> argv = {"wlmscpfs", "-dfp", dir_.Path().string(),
                                     std::to_string(port_)};
    // Names in other sets go with the set of their file.
    if (std::any_of(entries.begin(), entries.end(), [](const WorklistEntry& e) {
            return e.characterSet != WorklistEntry{}.characterSet;
        }))
        argv.insert(argv.begin() + 1, "-csk");
    process_ = std::make_unique<BackgroundProcess>(argv, dir_.Path(), NO_DELAY);
}

Dcmprscp::Dcmprscp(const std::string& mediumTypes) {
    fs::create_directories(dir_ / "database");
    fs::create_directories(dir_ / "spool");
    std::ofstream(dir_ / "printer.cfg")
        << "[[GENERAL]]\n[PRINT]\nDirectory = spool\n[DATABASE]\nDirectory = database\n"
        << "[[COMMUNICATION]]\n[PRINTER]\nAetitle = PRINTER\nHostname = localhost\n"
        << "Port = " << port_ << "\nType = LOCALPRINTER\nDisplayFormat = 1,1\n"
        << "FilmDestination = MAGAZINE\\PROCESSOR\\BIN_1\\BIN_2\\BIN_3\n"
        << "FilmSizeID = 14INX17IN\\14INX14IN\\10INX12IN\\8INX10IN\n"
        << "MagnificationType = REPLICATE\\BILINEAR\\CUBIC\\NONE\n"
        << "MediumType = " << mediumTypes << "\n"
        << "MinDensity = 20\nMaxDensity = 320\nMaxPDU = 16384\nSupports12Bit = true\n";
    process_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{"dcmprscp", "-c", "printer.cfg"}, dir_.Path(), NO_DELAY);
}

std::vector<fs::path> Dcmprscp::NewFiles(const std::string& prefix) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir_ / "database")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && seen_.insert(name).second) found.push_back(entry.path());
    }
    return found;
}

}  // namespace testsupport
