// The values the window, its dialogs and the jobs share. They belong to the GUI thread: a job
// gets a copy of what it needs when its button is pressed.
#pragma once

#include <filesystem>

#include <QString>

#include "IniSettings.h"
#include "Settings.h"

namespace app {

struct AppValues {
    std::filesystem::path WorkDir;  // the working directory at start-up
    Settings settings;              // dovazuz.cfg
    IniSettings ini;                // tessaly.ini
    QString PatientFilter;
    QString DateFilter;
    int TransferSyntaxChoice = 0;
};

}  // namespace app
