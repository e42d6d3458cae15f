#include "data/Part10File.h"

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "data/Datadec.h"
#include "data/Deflate.h"
#include "data/ElementSink.h"
#include "data/Encoder.h"
#include "data/FlatWriter.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "data/Uids.h"

namespace dicomlib::data {
namespace {

// Padded to even length with a space, as every short string is.
constexpr char IMPLEMENTATION_VERSION_NAME[] = "OstrovaLabs ";

// A buffered file.
class FileSink : public ByteSink {
  public:
    explicit FileSink(std::FILE* file) : file_(file) {}
    bool Put(std::span<const uint8_t> bytes) override {
        return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
    }

  private:
    std::FILE* file_;
};

// A UID value: the text and, when its length is odd, the terminating NUL as pad.
DicomElement* NewUidElement(Tag tag, std::string_view text) {
    std::string value(text);
    if (value.size() % 2 != 0) value.push_back('\0');
    return NewTextElement(tag, "UI", value);
}

std::filesystem::path TemporaryNameFor(const std::filesystem::path& path) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temporary = path;
    temporary += ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    return temporary;
}

FileConvertStatus StatusOf(ConvertError error) {
    switch (error) {
        case ConvertError::None:
            return FileConvertStatus::Converted;
        case ConvertError::UnknownSourceSyntax:
            return FileConvertStatus::UnknownSourceSyntax;
        case ConvertError::UnknownTargetSyntax:
            return FileConvertStatus::UnknownTargetSyntax;
        case ConvertError::ColourToLossless:
            return FileConvertStatus::ColourToLossless;
        case ConvertError::UnsupportedImage:
            return FileConvertStatus::UnsupportedImage;
        case ConvertError::MalformedPixelData:
        case ConvertError::MalformedSequence:
            return FileConvertStatus::MalformedData;
        case ConvertError::WriteFailed:
            return FileConvertStatus::CannotWrite;
    }
    return FileConvertStatus::MalformedData;
}

}  // namespace

bool LoadDataSetFile(const std::filesystem::path& path, ElementList& data, std::string& syntax) {
    DecoderState state;
    ElementList meta;
    if (!ReadPart10File(state, path, meta, data)) return false;
    const DicomElement* ts = FindTag(meta, tag::TransferSyntaxUID);
    if (ts == nullptr) return false;
    syntax.assign(reinterpret_cast<const char*>(ts->value), HasValue(*ts) ? ts->length : 0);
    // The value ends at its first NUL, which is the pad of an odd-length UID.
    syntax.resize(std::strlen(syntax.c_str()));
    return true;
}

bool ReadRawDataSetFile(const std::filesystem::path& path, ElementList& list,
                        std::string_view transferSyntax, bool* complete) {
    const DataSetEncoding encoding = EncodingOf(transferSyntax);
    const DecoderState state{static_cast<uint8_t>(encoding.explicitVr),
                             static_cast<uint8_t>(encoding.bigEndian), 0};
    const auto file = encoding.deflated ? nullptr : ValueFile::Open(path);
    if (file != nullptr) {
        const bool whole = ReadDataSetFile(state, file, list);
        if (complete != nullptr) *complete = whole;
        return true;
    }
    auto bytes = ReadWholeFile(path);
    if (!bytes) return false;
    if (encoding.deflated) {
        const Inflated plain = InflateBytes(bytes->Span());
        const bool whole = ReadDataSetBytes(state, plain.bytes, list) && plain.error.empty();
        if (complete != nullptr) *complete = whole;
        return true;
    }
    const bool whole = ReadDataSetBytes(state, bytes->Span(), list);
    if (complete != nullptr) *complete = whole;
    return true;
}

void BuildMetaHeader(ElementList& list, std::string_view sopClassUid,
                     std::string_view sopInstanceUid, std::string_view transferSyntaxUid) {
    const uint8_t version[2] = {0x00, 0x01};
    DicomElement* groupLength = NewUlElement(tag::FileMetaInformationGroupLength, 0);
    list.Append(groupLength);
    list.Append(NewElement(0x0002, 0x0001, 2, version, "OB"));
    list.Append(NewUidElement(tag::MediaStorageSOPClassUID, sopClassUid));
    list.Append(NewUidElement(tag::MediaStorageSOPInstanceUID, sopInstanceUid));
    list.Append(NewUidElement(tag::TransferSyntaxUID, transferSyntaxUid));
    list.Append(NewTextElement(tag::ImplementationClassUID, "UI", uid::ImplementationClass));
    list.Append(NewTextElement(tag::ImplementationVersionName, "SH", IMPLEMENTATION_VERSION_NAME));
    const uint64_t length = EncodedListLength(list, true) - 12;
    PutU32Bytes(groupLength->value, static_cast<uint32_t>(length), false);
}

bool WritePart10File(const std::filesystem::path& path, const ElementList* meta,
                     const ElementList& data, bool explicitVr, bool bigEndian, bool durable,
                     bool deflated) {
    return WritePart10Stream(
        path, meta, [&](ElementSink& sink) { return PutList(sink, data); }, explicitVr, bigEndian,
        durable, deflated);
}

namespace {

// Writes preamble, "DICM" and meta (when given) and then what body puts, raw-deflated when
// asked, under a temporary name that the whole file takes once written.
bool WriteFileOf(const std::filesystem::path& path, const ElementList* meta,
                 const std::function<bool(ByteSink&)>& body, bool durable, bool deflated) {
    const std::filesystem::path temporary = TemporaryNameFor(path);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return false;
    std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
    FileSink sink(file);
    bool ok = true;
    if (meta != nullptr) {
        uint8_t preamble[132] = {};
        std::memcpy(preamble + 128, "DICM", 4);
        ElementEncoder encoder(sink, HeaderRules::File, true, false);
        ok = sink.Put(preamble) && PutList(encoder, *meta);
    }
    if (deflated) {
        DeflateSink packed(sink);
        ok = ok && body(packed) && packed.Finish();
        const uint8_t pad[1] = {0x00};
        if (ok && packed.Produced() % 2 != 0) ok = sink.Put(pad);
    } else {
        ok = ok && body(sink);
    }
    ok = std::fflush(file) == 0 && ok;
    if (durable) ok = ::fsync(::fileno(file)) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    std::error_code ec;
    if (ok) {
        std::filesystem::rename(temporary, path, ec);
        ok = !ec;
    }
    if (!ok) std::filesystem::remove(temporary, ec);
    return ok;
}

}  // namespace

bool WritePart10Stream(const std::filesystem::path& path, const ElementList* meta,
                       const std::function<bool(ElementSink&)>& body, bool explicitVr,
                       bool bigEndian, bool durable, bool deflated) {
    return WriteFileOf(
        path, meta,
        [&](ByteSink& out) {
            ElementEncoder encoder(out, HeaderRules::File, explicitVr, bigEndian);
            return body(encoder);
        },
        durable, deflated);
}

bool WritePart10Copy(const std::filesystem::path& path, const ElementList& meta,
                     const ValueFile& source, uint64_t offset, bool durable, bool deflated) {
    return WriteFileOf(
        path, &meta,
        [&](ByteSink& out) {
            std::vector<uint8_t> piece(std::size_t{1} << 20);
            for (uint64_t at = offset; at < source.Size();) {
                const auto n =
                    static_cast<std::size_t>(std::min<uint64_t>(piece.size(), source.Size() - at));
                if (!source.Read(at, {piece.data(), n}) || !out.Put({piece.data(), n}))
                    return false;
                at += n;
            }
            return true;
        },
        durable, deflated);
}

bool AppendMetaHeader(const std::filesystem::path& path, std::string_view transferSyntax) {
    if (auto bytes = ReadWholeFile(path); !bytes) {
        return false;
    } else if (bytes->Size() >= 132 && std::memcmp(bytes->Data() + 128, "DICM", 4) == 0) {
        return false;  // already a Part 10 file: reading it as a bare data set would ruin it
    }
    ElementList data;
    bool complete = false;
    if (!ReadRawDataSetFile(path, data, transferSyntax, &complete) || !complete) return false;
    ElementList meta;
    BuildMetaHeader(meta, GetTagString(data, tag::SOPClassUID),
                    GetTagString(data, tag::SOPInstanceUID), transferSyntax);
    const DataSetEncoding encoding = EncodingOf(transferSyntax);
    return WritePart10File(path, &meta, data, encoding.explicitVr, encoding.bigEndian, false,
                           encoding.deflated);
}

ConvertError ConvertList(ElementList& list, std::string_view targetSyntax,
                         std::string_view sourceSyntax) {
    ElementList converted;
    const ConvertError error = Transcode(converted, list, targetSyntax, sourceSyntax);
    list = std::move(converted);
    return error;
}

std::string_view ConvertStatusText(FileConvertStatus status) {
    switch (status) {
        case FileConvertStatus::Converted:
            return "converted";
        case FileConvertStatus::NotPart10File:
            return "not a Part 10 file";
        case FileConvertStatus::NoTransferSyntax:
            return "no transfer syntax in its meta group";
        case FileConvertStatus::UnknownSourceSyntax:
            return "unknown source transfer syntax";
        case FileConvertStatus::UnknownTargetSyntax:
            return "cannot convert to transfer syntax";
        case FileConvertStatus::ColourToLossless:
            return "colour image cannot be compressed to lossless JPEG";
        case FileConvertStatus::UnsupportedImage:
            return "unsupported image layout";
        case FileConvertStatus::MalformedData:
            return "malformed data, not converted";
        case FileConvertStatus::CannotWrite:
            return "cannot write the file";
    }
    return "unknown outcome";
}

FileConvertStatus ConvertFile(const std::filesystem::path& newPath,
                              const std::filesystem::path& existingPath,
                              std::string_view targetSyntax, std::string* detail) {
    DecoderState state;
    ElementList meta, data;
    if (!ReadPart10File(state, existingPath, meta, data)) return FileConvertStatus::NotPart10File;
    std::string syntax;
    {
        const DicomElement* ts = FindTag(meta, tag::TransferSyntaxUID);
        if (ts == nullptr) return FileConvertStatus::NoTransferSyntax;
        syntax.assign(reinterpret_cast<const char*>(ts->value), HasValue(*ts) ? ts->length : 0);
        syntax.resize(std::strlen(syntax.c_str()));
    }
    if (syntax == targetSyntax) {
        std::error_code ec;
        if (std::filesystem::exists(newPath, ec) &&
            std::filesystem::equivalent(newPath, existingPath, ec)) {
            return FileConvertStatus::Converted;
        }
        const std::filesystem::path temporary = TemporaryNameFor(newPath);
        std::filesystem::copy_file(existingPath, temporary,
                                   std::filesystem::copy_options::overwrite_existing, ec);
        if (!ec) std::filesystem::rename(temporary, newPath, ec);
        if (ec) {
            std::filesystem::remove(temporary, ec);
            return FileConvertStatus::CannotWrite;
        }
        return FileConvertStatus::Converted;
    }
    const std::string sopClass = GetTagString(data, tag::SOPClassUID);
    const std::string sopInstance = GetTagString(data, tag::SOPInstanceUID);
    // Written as it is converted: the file under its temporary name holds one frame after the
    // other, and takes its name only once the last one is in.
    Conversion conversion(data, targetSyntax, syntax, detail);
    if (const ConvertError error = conversion.Prepare(); error != ConvertError::None)
        return StatusOf(error);
    ElementList newMeta;
    BuildMetaHeader(newMeta, sopClass, sopInstance, targetSyntax);
    const DataSetEncoding encoding = EncodingOf(targetSyntax);
    ConvertError written = ConvertError::None;
    const bool ok = WritePart10Stream(
        newPath, &newMeta,
        [&](ElementSink& sink) {
            written = conversion.WriteTo(sink);
            return written == ConvertError::None;
        },
        encoding.explicitVr, encoding.bigEndian, false, encoding.deflated);
    if (written != ConvertError::None) return StatusOf(written);
    return ok ? FileConvertStatus::Converted : FileConvertStatus::CannotWrite;
}

}  // namespace dicomlib::data
