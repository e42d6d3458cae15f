#include "Settings.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include <QSaveFile>

namespace app {
namespace {

void PutInt32(uint8_t* out, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

int32_t GetInt32(const uint8_t* in) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= static_cast<uint32_t>(in[i]) << (8 * i);
    return static_cast<int32_t>(bits);
}

// The longest Specific Character Set an earlier version kept after the record.
constexpr std::size_t TRAILING_LIMIT = 64;

int32_t ValidChoice(int32_t index, const ChoiceList& list) {
    const bool valid = index >= 0 && static_cast<std::size_t>(index) < list.items.size();
    return valid ? index : NO_CHOICE;
}

}  // namespace

const ChoiceList& LogLevelList() {
    static const ChoiceList list{{"No Log", "PDU Level", "Socket Level"}, "LOG level"};
    return list;
}

const ChoiceList& FilmDestinationList() {
    static const ChoiceList list{{"MAGAZINE", "PROCESSOR", "BIN_1", "BIN_2", "BIN_3"},
                                 "Film Destination"};
    return list;
}

const ChoiceList& FilmOrientationList() {
    static const ChoiceList list{{"PORTRAIT", "LANDSCAPE", ""}, "FilmOrientation"};
    return list;
}

const ChoiceList& FilmSizeList() {
    static const ChoiceList list{{"14INX17IN", "14INX14IN", "10INX12IN", "8INX10IN"}, "Film Size"};
    return list;
}

const ChoiceList& KeyCharacterSetList() {
    static const ChoiceList list{
        {"", "ISO_IR 192", "ISO_IR 100", "ISO_IR 101", "ISO_IR 144", "ISO_IR 126", "ISO_IR 127",
         "ISO_IR 138", "ISO_IR 148", "ISO_IR 166", "GB18030", "GBK", "\\ISO 2022 IR 87",
         "\\ISO 2022 IR 149"},
        ""};
    return list;
}

const ChoiceList& MagnificationTypeList() {
    static const ChoiceList list{{"REPLICATE", "BILINEAR", "CUBIC", "NONE"}, "Magnification Type"};
    return list;
}

std::string ChoiceText(const ChoiceList& list, int32_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= list.items.size()) return {};
    return list.items[static_cast<std::size_t>(index)];
}

std::string FieldText(std::span<const char> field) {
    const auto end = std::find(field.begin(), field.end(), '\0');
    return std::string(field.begin(), end);
}

QString FieldQString(std::span<const char> field) {
    const std::string text = FieldText(field);
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

void SetField(std::span<char> field, const QString& text) {
    const QByteArray bytes = text.toLatin1();
    const std::size_t length = std::min(static_cast<std::size_t>(bytes.size()), field.size() - 1);
    std::copy_n(bytes.constData(), length, field.begin());
    field[length] = '\0';
}

Settings DefaultSettings() {
    Settings s;
    SetField(s.RemoteIP, "127.0.0.1");
    SetField(s.RemotePort, "104");
    SetField(s.LocalAET, "local");
    SetField(s.RemoteAET, "remote");
    return s;
}

// Offsets: RemoteIP 0, RemotePort 128, LocalAET 160, RemoteAET 288, then five little-endian
// 32-bit numbers from 416: TraceLevel, FilmDestination, FilmOrientation, FilmSize,
// MagnificationType.
std::vector<uint8_t> SettingsFileBytes(const Settings& s) {
    std::vector<uint8_t> bytes(SETTINGS_SIZE);
    auto put = [&](std::span<const char> field, std::size_t offset) {
        std::memcpy(bytes.data() + offset, field.data(), field.size());
    };
    put(s.RemoteIP, 0);
    put(s.RemotePort, 128);
    put(s.LocalAET, 160);
    put(s.RemoteAET, 288);
    PutInt32(&bytes[416], s.TraceLevel);
    PutInt32(&bytes[420], s.FilmDestination);
    PutInt32(&bytes[424], s.FilmOrientation);
    PutInt32(&bytes[428], s.FilmSize);
    PutInt32(&bytes[432], s.MagnificationType);
    for (uint8_t& b : bytes)
        b ^= SettingsMask;
    return bytes;
}

Settings SettingsFromFileBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < SETTINGS_SIZE) return DefaultSettings();
    std::array<uint8_t, SETTINGS_SIZE> plain{};
    for (std::size_t i = 0; i < SETTINGS_SIZE; ++i)
        plain[i] = bytes[i] ^ SettingsMask;
    Settings s;
    auto get = [&](std::span<char> field, std::size_t offset) {
        std::memcpy(field.data(), plain.data() + offset, field.size());
        field.back() = '\0';
    };
    get(s.RemoteIP, 0);
    get(s.RemotePort, 128);
    get(s.LocalAET, 160);
    get(s.RemoteAET, 288);
    s.TraceLevel = GetInt32(&plain[416]);
    if (s.TraceLevel < 0 || s.TraceLevel > 3) s.TraceLevel = 0;
    s.FilmDestination = ValidChoice(GetInt32(&plain[420]), FilmDestinationList());
    s.FilmOrientation = ValidChoice(GetInt32(&plain[424]), FilmOrientationList());
    s.FilmSize = ValidChoice(GetInt32(&plain[428]), FilmSizeList());
    s.MagnificationType = ValidChoice(GetInt32(&plain[432]), MagnificationTypeList());
    return s;
}

std::string TrailingCharacterSet(std::span<const uint8_t> bytes) {
    std::string text;
    for (std::size_t i = SETTINGS_SIZE; i < bytes.size() && text.size() <= TRAILING_LIMIT; ++i) {
        const auto c = static_cast<char>(bytes[i] ^ SettingsMask);
        if (c == '\0') return text;
        text += c;
    }
    return {};  // no terminator within reach: not a text of ours
}

Settings LoadSettings(const std::filesystem::path& file, std::string* trailing) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return DefaultSettings();
    std::vector<uint8_t> bytes(SETTINGS_SIZE + TRAILING_LIMIT + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (trailing != nullptr) *trailing = TrailingCharacterSet(bytes);
    return SettingsFromFileBytes(bytes);
}

bool SaveSettings(const std::filesystem::path& file, const Settings& settings, QString* error) {
    QSaveFile out(QString::fromStdString(file.string()));
    const auto bytes = SettingsFileBytes(settings);
    const bool saved =
        out.open(QIODevice::WriteOnly) &&
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) ==
            static_cast<qint64>(bytes.size()) &&
        out.commit();
    if (!saved && error != nullptr) *error = out.errorString();
    return saved;
}

}  // namespace app
