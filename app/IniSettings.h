// tessaly.ini: the window's settings that dovazuz.cfg has no room for. dovazuz.cfg stays the
// fixed 436-byte record other programs read; this INI file (through QSettings) lies beside it,
// one group per kind of setting: [Query] now, the connection's time-outs, TLS and identity in
// groups of their own. Saving writes our keys and keeps every other key of the file as it was,
// so a newer version's settings survive an older one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
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

struct IniSettings {
    // [Query] CharacterSet: the Specific Character Set the query keys are written in; "" none
    // (the keys go as Latin-1 bytes without naming a set).
    std::string queryCharacterSet;
    ConnectionIni connection;
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
