// tessaly.ini: the window's settings that dovazuz.cfg has no room for. dovazuz.cfg stays the
// fixed 436-byte record other programs read; this INI file (through QSettings) lies beside it,
// one group per kind of setting: [Query] now, the connection's time-outs, TLS and identity in
// groups of their own. Saving writes our keys and keeps every other key of the file as it was,
// so a newer version's settings survive an older one.
#pragma once

#include <filesystem>
#include <string>

#include <QString>

#include "Settings.h"

namespace app {

constexpr const char* INI_FILE_NAME = "tessaly.ini";

struct IniSettings {
    // [Query] CharacterSet: the Specific Character Set the query keys are written in; "" none
    // (the keys go as Latin-1 bytes without naming a set).
    std::string queryCharacterSet;
};

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
