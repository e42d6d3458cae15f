// How a job connects: the peer and titles of dovazuz.cfg with the waits, maximum PDU length, TLS
// and user identity of tessaly.ini, in the library's form. Made on the worker's thread when the
// job starts, so a password or token file is read only when it is used.
#pragma once

#include <string>

#include "IniSettings.h"
#include "NetLine.h"
#include "Settings.h"

namespace app {

// Fills line; false with why (the words the memo shows under the failure line) when a file the
// settings name cannot be read or the TLS settings cannot be used.
bool MakeJobConnection(const Settings& settings, const ConnectionIni& connection,
                       cli::NetLine& line, std::string& why);

// The users a provider accepts, read from file (lines NAME:PASSWORD, empty lines skipped) into
// users as the library takes them; false with why when the file cannot be read, holds no line
// or a line of another form.
bool ReadAcceptedUsers(const std::string& file, std::string& users, std::string& why);

}  // namespace app
