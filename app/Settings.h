// The application's settings record and its file dovazuz.cfg: 436 bytes, each the record's
// byte XOR a one-byte mask. Texts are 8-bit, NUL-terminated, at most their field size less
// one; the bytes after a text's NUL are kept as they are, so a file read and saved again comes
// back byte for byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <QString>

namespace app {

constexpr std::size_t SETTINGS_SIZE = 436;
constexpr uint8_t SettingsMask = 0x6B;
constexpr const char* SETTINGS_FILE_NAME = "dovazuz.cfg";

// No item of a chooser is chosen.
constexpr int32_t NO_CHOICE = -1;

struct Settings {
    std::array<char, 128> RemoteIP{};
    std::array<char, 32> RemotePort{};
    std::array<char, 128> LocalAET{};
    std::array<char, 128> RemoteAET{};
    int32_t TraceLevel = 0;  // 1 "No Log", 2 "PDU Level", 3 "Socket Level"; 0 none chosen
    int32_t FilmDestination = 0;
    int32_t FilmOrientation = 0;
    int32_t FilmSize = 0;
    int32_t MagnificationType = 0;
};

// The item lists of the Setup dialog's choosers, index 0 first, and the text each shows while
// nothing is chosen.
struct ChoiceList {
    std::vector<std::string> items;
    const char* placeholder;
};
const ChoiceList& LogLevelList();
const ChoiceList& FilmDestinationList();
const ChoiceList& FilmOrientationList();
const ChoiceList& FilmSizeList();
const ChoiceList& MagnificationTypeList();
// The character sets offered for query keys; any other (0008,0005) value may be typed in.
const ChoiceList& KeyCharacterSetList();

// The text of item index of list; empty when index names no item.
std::string ChoiceText(const ChoiceList& list, int32_t index);

// What a first start without a settings file uses: "127.0.0.1", "104", "local", "remote", no
// trace level, the first item of each print list.
Settings DefaultSettings();

// A text field up to its NUL (or its last byte), and setting one: the text as Latin-1, cut to
// the field size less one, then a NUL; bytes after the NUL stay as they were.
std::string FieldText(std::span<const char> field);
QString FieldQString(std::span<const char> field);
void SetField(std::span<char> field, const QString& text);

// The file's 436 bytes (masked) of a record, and a record from a file's bytes: fewer than 436
// bytes give the defaults; every text is cut to its field size less one, a trace level outside
// 0..3 becomes 0 and a print index that names no item becomes NO_CHOICE. Bytes after 436 are
// no part of the record.
std::vector<uint8_t> SettingsFileBytes(const Settings& settings);
Settings SettingsFromFileBytes(std::span<const uint8_t> bytes);

// The query character set an earlier version kept after the 436 bytes, as a masked
// NUL-terminated text of at most 64 characters; "" when the bytes hold none.
std::string TrailingCharacterSet(std::span<const uint8_t> bytes);

// Reads the file; the defaults when it is missing or cannot be read. *trailing, when given,
// gets TrailingCharacterSet of the file.
Settings LoadSettings(const std::filesystem::path& file, std::string* trailing = nullptr);

// Writes the file through a temporary file in the same folder that is flushed and renamed into
// place, so a failure keeps the old file. False with the reason in *error when it cannot.
bool SaveSettings(const std::filesystem::path& file, const Settings& settings, QString* error);

}  // namespace app
