#include "IniSettings.h"

#include <system_error>

#include <QFile>
#include <QSettings>

#include "zedavura.h"

namespace app {
namespace {

constexpr const char* QUERY_CHARACTER_SET = "Query/CharacterSet";

QString PathText(const std::filesystem::path& file) {
    return QFile::decodeName(file.c_str());
}

// A whole number from lowest to highest; fallback for anything else.
uint32_t Number(const QSettings& in, const char* key, uint32_t lowest, uint32_t highest,
                uint32_t fallback) {
    bool ok = false;
    const qlonglong value = in.value(key).toString().trimmed().toLongLong(&ok);
    if (!ok || value < lowest || value > highest) return fallback;
    return static_cast<uint32_t>(value);
}

bool Flag(const QSettings& in, const char* key) {
    const QString value = in.value(key).toString().trimmed().toLower();
    return value == "1" || value == "true" || value == "yes" || value == "on";
}

std::string Text(const QSettings& in, const char* key) {
    return in.value(key).toString().trimmed().toStdString();
}

// The index of the value's name in names, or fallback.
int32_t Named(const QSettings& in, const char* key, const std::vector<std::string>& names,
              int32_t fallback) {
    const std::string value = Text(in, key);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == value) return static_cast<int32_t>(i);
    return fallback;
}

ConnectionIni LoadConnection(const QSettings& in) {
    constexpr uint32_t DAY = 86400;
    ConnectionIni c;
    c.connectTimeout = Number(in, "Connection/ConnectTimeout", 1, DAY, 0);
    c.associationTimeout = Number(in, "Connection/AssociationTimeout", 1, DAY, 0);
    c.responseTimeout = Number(in, "Connection/ResponseTimeout", 1, DAY, 0);
    c.maxPdu = Number(in, "Connection/MaxPdu", 4096, 131072, 0);
    c.tls = Flag(in, "TLS/Enabled");
    c.tlsCertificate = Text(in, "TLS/Certificate");
    c.tlsKey = Text(in, "TLS/Key");
    c.tlsKeyPasswordFile = Text(in, "TLS/KeyPasswordFile");
    c.tlsTrusted = Text(in, "TLS/Trusted");
    c.tlsProfile = Named(in, "TLS/Profile", TlsProfileNames(), TLS_PROFILE_BCP195_ND);
    c.tlsNoVerify = Flag(in, "TLS/NoVerify");
    c.identityKind = Named(in, "Identity/Kind", IdentityKindNames(), 0);
    c.identityUser = Text(in, "Identity/User");
    c.identityFile = Text(in, "Identity/File");
    c.identityResponse = Flag(in, "Identity/PositiveResponse");
    return c;
}

void SaveConnection(QSettings& out, const ConnectionIni& c) {
    const auto text = [](const std::string& value) { return QString::fromStdString(value); };
    out.setValue("Connection/ConnectTimeout", c.connectTimeout);
    out.setValue("Connection/AssociationTimeout", c.associationTimeout);
    out.setValue("Connection/ResponseTimeout", c.responseTimeout);
    out.setValue("Connection/MaxPdu", c.maxPdu);
    out.setValue("TLS/Enabled", c.tls);
    out.setValue("TLS/Certificate", text(c.tlsCertificate));
    out.setValue("TLS/Key", text(c.tlsKey));
    out.setValue("TLS/KeyPasswordFile", text(c.tlsKeyPasswordFile));
    out.setValue("TLS/Trusted", text(c.tlsTrusted));
    out.setValue("TLS/Profile", text(TlsProfileNames().at(static_cast<std::size_t>(c.tlsProfile))));
    out.setValue("TLS/NoVerify", c.tlsNoVerify);
    out.setValue("Identity/Kind",
                 text(IdentityKindNames().at(static_cast<std::size_t>(c.identityKind))));
    out.setValue("Identity/User", text(c.identityUser));
    out.setValue("Identity/File", text(c.identityFile));
    out.setValue("Identity/PositiveResponse", c.identityResponse);
}

// The index of the value among the keys of choices, or -1.
template <typename Choices, typename Key>
int32_t Chosen(const QSettings& in, const char* key, const Choices& choices, Key keyOf) {
    const std::string value = Text(in, key);
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (keyOf(choices[i]) == value) return static_cast<int32_t>(i);
    return -1;
}

ReceiveIni LoadReceive(const QSettings& in) {
    ReceiveIni r;
    r.port = Number(in, "Receive/Port", 1, 65535, r.port);
    if (const std::string folder = Text(in, "Receive/Folder"); !folder.empty()) r.folder = folder;
    r.acceptAll = Flag(in, "Receive/AcceptAll");
    r.faults = Flag(in, "Receive/Faults");
    r.refuse = Text(in, "Receive/Refuse");
    r.reject =
        Chosen(in, "Receive/Reject", RejectChoices(), [](const RejectChoice& c) { return c.key; });
    r.statusCommand = Chosen(in, "Receive/StatusCommand", StatusFaultCommands(),
                             [](const auto& c) { return c.first; });
    const QString status = in.value("Receive/Status").toString().trimmed();
    bool ok = false;
    const uint value = status.startsWith("0x") ? status.mid(2).toUInt(&ok, 16) : 0;
    if (ok && status.size() == 6) r.status = static_cast<uint16_t>(value);
    r.statusEvery = Number(in, "Receive/StatusEvery", 1, 0xFFFFFFFFu, 1);
    r.delayMs = Number(in, "Receive/DelayMs", 0, 3'600'000, 0);
    r.abortAfter = Number(in, "Receive/AbortAfter", 0, 0xFFFFFFFFu, 0);
    r.closeAfter = Number(in, "Receive/CloseAfter", 0, 0xFFFFFFFFu, 0);
    r.acceptedUsers = Text(in, "Receive/AcceptedUsers");
    r.services = Flag(in, "Receive/Services");
    r.query = Flag(in, "Receive/Query");
    r.worklist = Text(in, "Receive/Worklist");
    r.pending = Number(in, "Receive/Pending", 0, 10000, 0);
    r.commit = Flag(in, "Receive/Commit");
    r.commitNewAssociation = Flag(in, "Receive/CommitNewAssociation");
    r.nodes = Text(in, "Receive/Nodes");
    r.mpps = Text(in, "Receive/Mpps");
    return r;
}

void SaveReceive(QSettings& out, const ReceiveIni& r) {
    const auto at = [](const auto& list, int32_t index) {
        return index < 0 ? std::size_t{list.size()} : static_cast<std::size_t>(index);
    };
    const std::size_t reject = at(RejectChoices(), r.reject);
    const std::size_t command = at(StatusFaultCommands(), r.statusCommand);
    out.setValue("Receive/Port", r.port);
    out.setValue("Receive/Folder", QString::fromStdString(r.folder));
    out.setValue("Receive/AcceptAll", r.acceptAll);
    out.setValue("Receive/Faults", r.faults);
    out.setValue("Receive/Refuse", QString::fromStdString(r.refuse));
    out.setValue("Receive/Reject", reject < RejectChoices().size()
                                       ? QString::fromStdString(RejectChoices()[reject].key)
                                       : QString());
    out.setValue("Receive/StatusCommand",
                 command < StatusFaultCommands().size()
                     ? QString::fromStdString(StatusFaultCommands()[command].first)
                     : QString());
    out.setValue("Receive/Status", QString::asprintf("0x%04X", unsigned{r.status}));
    out.setValue("Receive/StatusEvery", r.statusEvery);
    out.setValue("Receive/DelayMs", r.delayMs);
    out.setValue("Receive/AbortAfter", r.abortAfter);
    out.setValue("Receive/CloseAfter", r.closeAfter);
    out.setValue("Receive/AcceptedUsers", QString::fromStdString(r.acceptedUsers));
    out.setValue("Receive/Services", r.services);
    out.setValue("Receive/Query", r.query);
    out.setValue("Receive/Worklist", QString::fromStdString(r.worklist));
    out.setValue("Receive/Pending", r.pending);
    out.setValue("Receive/Commit", r.commit);
    out.setValue("Receive/CommitNewAssociation", r.commitNewAssociation);
    out.setValue("Receive/Nodes", QString::fromStdString(r.nodes));
    out.setValue("Receive/Mpps", QString::fromStdString(r.mpps));
}

}  // namespace

const std::vector<RejectChoice>& RejectChoices() {
    static const std::vector<RejectChoice> choices = [] {
        struct Reason {
            uint8_t source, reason;
            const char* words;
        };
        static const Reason reasons[] = {
            {1, 1, "service user, no reason given"},
            {1, 2, "service user, application context name not supported"},
            {1, 3, "service user, calling AE title not recognized"},
            {1, 7, "service user, called AE title not recognized"},
            {2, 1, "ACSE provider, no reason given"},
            {2, 2, "ACSE provider, protocol version not supported"},
            {3, 1, "presentation provider, temporary congestion"},
            {3, 2, "presentation provider, local limit exceeded"}};
        std::vector<RejectChoice> all;
        for (const uint8_t result : {uint8_t{1}, uint8_t{2}})
            for (const Reason& r : reasons) {
                const std::string kind = result == 1 ? "permanent" : "transient";
                all.push_back(
                    {kind + "," + std::to_string(r.source) + "," + std::to_string(r.reason),
                     kind + ": " + r.words, result, r.source, r.reason});
            }
        return all;
    }();
    return choices;
}

const std::vector<std::pair<std::string, uint16_t>>& StatusFaultCommands() {
    static const std::vector<std::pair<std::string, uint16_t>> commands = {{"C-STORE", 0x0001},
                                                                           {"C-ECHO", 0x0030}};
    return commands;
}

const std::vector<std::string>& TlsProfileNames() {
    static const std::vector<std::string> names = {"bcp195-nd", "bcp195", "bcp195-ex"};
    return names;
}

const std::vector<std::string>& IdentityKindNames() {
    static const std::vector<std::string> names = {"none",     "user", "password",
                                                   "kerberos", "saml", "jwt"};
    return names;
}

bool IsKeyCharacterSet(const std::string& characterSet) {
    return CharacterSetWarning(characterSet.c_str(), nullptr, 0) == 0;
}

IniSettings LoadIniSettings(const std::filesystem::path& file) {
    IniSettings ini;
    const QSettings in(PathText(file), QSettings::IniFormat);
    if (in.status() != QSettings::NoError) return ini;
    const std::string characterSet =
        in.value(QUERY_CHARACTER_SET).toString().trimmed().toLatin1().toStdString();
    if (IsKeyCharacterSet(characterSet)) ini.queryCharacterSet = characterSet;
    ini.connection = LoadConnection(in);
    ini.receive = LoadReceive(in);
    return ini;
}

bool SaveIniSettings(const std::filesystem::path& file, const IniSettings& ini, QString* error) {
    {
        // QSettings leaves a file it cannot parse alone; it was read as the defaults, so the
        // operator's values replace it.
        const QSettings damaged(PathText(file), QSettings::IniFormat);
        if (damaged.status() == QSettings::FormatError) QFile::remove(PathText(file));
    }
    QSettings out(PathText(file), QSettings::IniFormat);
    out.setValue(QUERY_CHARACTER_SET, QString::fromLatin1(ini.queryCharacterSet));
    SaveConnection(out, ini.connection);
    SaveReceive(out, ini.receive);
    out.sync();
    if (out.status() == QSettings::NoError) return true;
    if (error != nullptr)
        *error = out.status() == QSettings::AccessError ? "cannot write the file"
                                                        : "the file cannot be parsed";
    return false;
}

void LoadSettingsFiles(const std::filesystem::path& workDir, Settings& settings, IniSettings& ini) {
    const auto cfg = workDir / SETTINGS_FILE_NAME;
    const auto iniFile = workDir / INI_FILE_NAME;
    std::string trailing;
    settings = LoadSettings(cfg, &trailing);
    ini = LoadIniSettings(iniFile);
    if (trailing.empty()) return;
    if (ini.queryCharacterSet.empty() && IsKeyCharacterSet(trailing)) {
        ini.queryCharacterSet = trailing;
        if (!SaveIniSettings(iniFile, ini, nullptr)) return;
    }
    // The record read keeps every byte of the file's 436, so only the tail goes.
    SaveSettings(cfg, settings, nullptr);
}

}  // namespace app
