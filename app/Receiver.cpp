#include "Receiver.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <system_error>

#include "FrontEnd.h"
#include "JobConnection.h"
#include "ProviderLine.h"
#include "ServiceJob.h"
#include "Text.h"

namespace app {
namespace {

// As many senders at once as tessaly-cli scp serves unless told.
constexpr int32_t RECEIVE_ASSOCIATIONS = 8;

bool IsUid(const std::string& text) {
    if (text.empty() || text.size() > 64 || text.front() == '.' || text.back() == '.') return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '.' ? text[i - 1] == '.' : (text[i] < '0' || text[i] > '9')) return false;
    return true;
}

// The faults as the library takes them; the pointers point into this record.
struct Faults {
    std::string refusedUid;
    const char* refused[1] = {};
    ProviderStatusFault status{};
    ProviderFaults faults{};
};

bool MakeFaults(const ReceiveIni& r, Faults& f, std::string& why) {
    f.faults.structSize = sizeof f.faults;
    if (!r.faults) return true;
    if (!r.refuse.empty()) {
        if (!IsUid(r.refuse)) {
            why = "\"" + r.refuse +
                  "\" is no UID: pick a storage class to refuse or type its UID (digits and dots)";
            return false;
        }
        f.refusedUid = r.refuse;
        f.refused[0] = f.refusedUid.c_str();
        f.faults.refused = f.refused;
        f.faults.refusedCount = 1;
    }
    if (r.reject >= 0 && static_cast<std::size_t>(r.reject) < RejectChoices().size()) {
        const RejectChoice& c = RejectChoices()[static_cast<std::size_t>(r.reject)];
        f.faults.rejectResult = c.result;
        f.faults.rejectSource = c.source;
        f.faults.rejectReason = c.reason;
    }
    if (r.statusCommand >= 0 &&
        static_cast<std::size_t>(r.statusCommand) < StatusFaultCommands().size()) {
        f.status.commandField =
            StatusFaultCommands()[static_cast<std::size_t>(r.statusCommand)].second;
        f.status.status = r.status;
        f.status.every = r.statusEvery;
        f.faults.statuses = &f.status;
        f.faults.statusCount = 1;
    }
    f.faults.delayMs = r.delayMs;
    f.faults.abortAfter = r.abortAfter;
    f.faults.closeAfter = r.closeAfter;
    return true;
}

// A folder or file the panel names, relative to the working directory; "" stays "".
std::string InWorkDir(const std::filesystem::path& workDir, const std::string& name) {
    return name.empty() ? name
                        : (workDir / std::filesystem::path(name)).lexically_normal().string();
}

// The services as the library takes them; the texts point into this record.
struct Services {
    std::string worklist, nodes, mpps;
    ProviderServices record{};
    bool any = false;  // anything beyond storage asked for
};

bool MakeServices(const ReceiveIni& r, const std::filesystem::path& workDir, Services& s,
                  std::string& why) {
    s.record.structSize = sizeof s.record;
    if (!r.services) return true;
    s.worklist = InWorkDir(workDir, r.worklist);
    s.nodes = InWorkDir(workDir, r.nodes);
    s.mpps = InWorkDir(workDir, r.mpps);
    std::error_code ec;
    if (!s.worklist.empty() && !std::filesystem::is_directory(s.worklist, ec)) {
        why = "the worklist folder \"" + s.worklist +
              "\" is not there: choose the folder that holds the worklist items";
        return false;
    }
    s.record.query = r.query ? 1 : 0;
    s.record.pending = r.pending;
    s.record.commit = r.commit ? 1 : 0;
    // Kept while commitment is off, so it comes back with it; it means nothing without it.
    s.record.commitNewAssociation = r.commit && r.commitNewAssociation ? 1 : 0;
    s.record.nodesFile = s.nodes.c_str();
    s.record.mppsDirectory = s.mpps.c_str();
    s.record.worklistDirectory = s.worklist.c_str();
    s.any = r.query || r.pending != 0 || r.commit || !s.worklist.empty() || !s.nodes.empty() ||
            !s.mpps.empty();
    return true;
}

bool MakeListener(const ReceiveIni& r, const ConnectionIni& c, const std::filesystem::path& workDir,
                  cli::NetLine& line, std::string& why) {
    line.port = std::to_string(r.port);
    line.acseMs = c.associationTimeout * 1000;
    line.idleMs = c.responseTimeout * 1000;
    line.maxPdu = c.maxPdu;
    if (!r.acceptedUsers.empty() &&
        !ReadAcceptedUsers(InWorkDir(workDir, r.acceptedUsers), line.acceptedUsers, why))
        return false;
    line.tls = c.tls;
    if (!c.tls) return true;
    if (c.tlsCertificate.empty() || c.tlsKey.empty()) {
        why =
            "receiving over TLS needs our certificate and its private key: give them in Setup, "
            "Connection";
        return false;
    }
    line.tlsCert = c.tlsCertificate;
    line.tlsKey = c.tlsKey;
    line.tlsKeyPasswordFile = c.tlsKeyPasswordFile;
    if (!c.tlsTrusted.empty()) line.tlsCa = {c.tlsTrusted};
    line.tlsProfile = c.tlsProfile;
    const ConnectionOptions options = line.Options();
    char reason[512] = "";
    if (CheckTlsOptions(options.tls, reason, sizeof reason) == 1) return true;
    why = std::string("the TLS settings cannot be used: ") + reason + " (Setup, Connection)";
    return false;
}

// A line of the daily log, as WriteLogLine writes it: the local time of day, ": ", the text,
// CR LF. The provider's log is not the library's trace log, which belongs to the last job
// started.
void WriteLine(const std::filesystem::path& log, const std::string& text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char time[16];
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    const std::string line = std::string(time) + ": " + text + "\r\n";
    if (std::FILE* file = std::fopen(log.c_str(), "ab")) {
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }
}

std::string ListenFailure(uint32_t port) {
    if (port < 1024 && geteuid() != 0)
        return "ports below 1024 need privileges on this system: choose one from 1024, such as "
               "11112";
    return "another program listens on port " + std::to_string(port) +
           " already (another provider, a PACS, storescp): stop it or choose another port";
}

}  // namespace

Receiver::Receiver(QObject* parent) : QObject(parent) {}

Receiver::~Receiver() {
    if (stopping_.joinable())
        stopping_.join();
    else if (running_)
        StopStoreSCP();
}

bool Receiver::Start(const ReceiveIni& receive, const ConnectionIni& connection,
                     const std::filesystem::path& workDir) {
    if (running_ || stopping_.joinable()) return false;
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    log_ = LogFileName(workDir, today.tm_year + 1900, today.tm_mon + 1, today.tm_mday, "RECEIVE");
    WriteLine(log_, "Starting RECEIVE Service");

    const std::string port = std::to_string(receive.port);
    const std::filesystem::path folder = workDir / std::filesystem::path(receive.folder);
    cli::NetLine line;
    Faults faults;
    Services services;
    std::string why;
    std::error_code ec;
    if (receive.folder.empty()) {
        why = "no folder to store into: give one in the Receive panel";
    } else if (!MakeListener(receive, connection, workDir, line, why) ||
               !MakeFaults(receive, faults, why) ||
               !MakeServices(receive, workDir, services, why)) {
    } else if (std::filesystem::create_directories(folder, ec); ec) {
        why = "cannot make the folder \"" + folder.string() + "\": " + ec.message();
    } else {
        // As a service job sets it: the date of storage in the study index is ddmmyyyy.
        SetShortDateFormat("ddmmyyyy");
        SetStoreSCPMaxAssociations(RECEIVE_ASSOCIATIONS);
        const ConnectionOptions options = line.Options();
        std::string directory = folder.lexically_normal().string();
        if (directory.back() != '/') directory += '/';
        const uint8_t acceptAll = receive.acceptAll ? 1 : 0;
        bool started = true;
        if (services.any)
            started = StartStoreSCPServices(directory.c_str(), &options, acceptAll, &faults.faults,
                                            &Receiver::Tell, this, &services.record) == 1;
        else
            StartStoreSCPObserved(directory.c_str(), &options, acceptAll, &faults.faults,
                                  &Receiver::Tell, this);
        if (!started) {
            // Nothing was started: the services cannot be used as set (the library says why).
            const std::string reason = cli::ExplanationLine();
            Say("RECEIVE failed to listen on port " + port);
            Say(reason.empty() ? "  the services cannot be used as set" : reason);
            return false;
        }
        if (StoreSCPListening(port.c_str()) == 1) {
            running_ = true;
            Say("RECEIVE listening on port " + port + ", files into " + directory);
            return true;
        }
        StopStoreSCP();
        why = ListenFailure(receive.port);
    }
    Say("RECEIVE failed to listen on port " + port);
    Say("  " + why);
    return false;
}

void Receiver::Stop() {
    if (!running_ || stopping_.joinable()) return;
    stopping_ = std::thread([this] {
        StopStoreSCP();
        QMetaObject::invokeMethod(
            this,
            [this] {
                stopping_.join();
                running_ = false;
                Say("RECEIVE stopped");
                emit Stopped();
            },
            Qt::QueuedConnection);
    });
}

void Receiver::Tell(void* context, const ProviderEvent* event) {
    static_cast<Receiver*>(context)->Say(cli::ProviderEventLine(*event));
}

void Receiver::Say(const std::string& line) {
    WriteLine(log_, line);
    emit Line(QString::fromStdString(cli::Cp1252ToUtf8(line)));
}

}  // namespace app
