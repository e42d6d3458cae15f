// tessaly.ini: the window's settings that dovazuz.cfg has no room for. dovazuz.cfg stays the
// fixed 436-byte record other programs read; this INI file (through QSettings) lies beside it,
// one group per kind of setting: [Query], the connection's time-outs, TLS and identity, and the
// Receive panel's provider in groups of their own. Saving writes our keys and keeps every other key
// of the file as it was, so a newer version's settings survive an older one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <QString>

#include "Settings.h"
#include "zedavura.h"

namespace app {

constexpr const char* INI_FILE_NAME = "tessaly.ini";

// How every job connects: [Connection], [TLS] and [Identity]. Waits are in seconds and, like
// the maximum PDU length, 0 for the library's default. File names are UTF-8.
struct ConnectionIni {
    uint32_t connectTimeout = 0;      // ConnectTimeout
    uint32_t associationTimeout = 0;  // AssociationTimeout: the request, its answer, the release
    uint32_t responseTimeout = 0;     // ResponseTimeout: each response
    uint32_t maxPdu = 0;              // MaxPdu: 0, or 4096 to 131072

    bool tls = false;                                        // TLS/Enabled
    std::string tlsCertificate, tlsKey, tlsKeyPasswordFile;  // ours, PEM; the key's pass phrase
    std::string tlsTrusted;                                  // a CA file or folder; "" the system's
    int32_t tlsProfile = TLS_PROFILE_BCP195_ND;  // TLS/Profile: "bcp195-nd" and the others
    bool tlsNoVerify = false;                    // TLS/NoVerify

    int32_t identityKind = 0;       // Identity/Kind: 0 none, else a UserIdentityKind
    std::string identityUser;       // the user name (user name kinds)
    std::string identityFile;       // the password file (with a user name) or the token file
    bool identityResponse = false;  // ask the peer to confirm the identity
};

// An A-ASSOCIATE-RJ the provider can be told to send: its result, source and reason, the key
// tessaly.ini keeps it under ("permanent,1,3", as tessaly-cli scp --reject takes it) and the
// words the Receive panel offers it in.
struct RejectChoice {
    std::string key, words;
    uint8_t result, source, reason;
};
// Every result, source and reason a rejection can have, permanent ones first.
const std::vector<RejectChoice>& RejectChoices();

// The requests a status fault can answer, by the names tessaly-cli scp --status gives them.
const std::vector<std::pair<std::string, uint16_t>>& StatusFaultCommands();

// The Receive panel: the provider's port, folder and classes, and the faults it commits when
// faults is on, each off by default ([Receive]). Texts are UTF-8.
struct ReceiveIni {
    uint32_t port = 11112;            // Port: 1 to 65535
    std::string folder = "Received";  // Folder: relative to the working directory
    bool acceptAll = false;           // AcceptAll: every storage class, stored as received
    bool faults = false;              // Faults
    std::string refuse;               // Refuse: an abstract syntax UID answered with result 3
    int32_t reject = -1;              // Reject: a RejectChoices() index (by its key); -1 none
    int32_t statusCommand = -1;       // StatusCommand: a StatusFaultCommands() index; -1 none
    uint16_t status = 0xA700;         // Status: answered instead ("0xA700")
    uint32_t statusEvery = 1;         // StatusEvery: every Nth such request
    uint32_t delayMs = 0;             // DelayMs: before each response, 0 to 3600000
    uint32_t abortAfter = 0;          // AbortAfter: requests answered, then an A-ABORT; 0 never
    uint32_t closeAfter = 0;          // CloseAfter: requests answered, then the connection
                                      // dropped without a word; 0 never
    std::string acceptedUsers;        // AcceptedUsers: a file of NAME:PASSWORD lines; "" anyone

    // What the provider serves besides storage when services is on; folders and files are
    // relative to the working directory.
    bool services = false;              // Services
    bool query = false;                 // Query: C-FIND, C-MOVE and C-GET from what it stored
    std::string worklist;               // Worklist: a folder of worklist items; "" none
    uint32_t pending = 0;               // Pending: extra pending responses, 0 to 10000
    bool commit = false;                // Commit: storage commitment
    bool commitNewAssociation = false;  // CommitNewAssociation: reports on a new association
    std::string nodes;                  // Nodes: "AE HOST PORT" lines; "" none
    std::string mpps;                   // Mpps: the folder of performed procedure steps
};

struct IniSettings {
    // [Query] CharacterSet: the Specific Character Set the query keys are written in; "" none
    // (the keys go as Latin-1 bytes without naming a set).
    std::string queryCharacterSet;
    ConnectionIni connection;
    ReceiveIni receive;
};

// The names the ini file and the Setup page give the profiles and identity kinds, in the
// order of their values; the identity kinds begin with "none".
const std::vector<std::string>& TlsProfileNames();
const std::vector<std::string>& IdentityKindNames();

// True when the library can write query keys in characterSet ("" included).
bool IsKeyCharacterSet(const std::string& characterSet);

// Reads the file: the defaults when it is missing or cannot be parsed, and a value's default
// for a value that is none of its kind.
IniSettings LoadIniSettings(const std::filesystem::path& file);

// Writes our keys into the file (a damaged file is replaced). False with the reason in *error
// when it cannot.
bool SaveIniSettings(const std::filesystem::path& file, const IniSettings& ini, QString* error);

// Reads dovazuz.cfg and tessaly.ini of workDir. A dovazuz.cfg that an earlier version wrote with
// the query character set after its 436 bytes hands that value to tessaly.ini, unless the ini
// holds one already, and is then written back as its 436 bytes alone; nothing is rewritten
// when the ini cannot be saved, so the value is never lost.
void LoadSettingsFiles(const std::filesystem::path& workDir, Settings& settings, IniSettings& ini);

}  // namespace app
