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

}  // namespace

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
