// The outcome codes of the C interface and their words: the codes are the core's own, checked
// here value for value, and the words come from the subsystem that owns each family.
#include <string>

#include "Guarded.h"
#include "data/Part10File.h"
#include "imaging/EcgDrawing.h"
#include "imaging/Thumbnail.h"
#include "net/AssociationWords.h"
#include "net/CommandSet.h"
#include "services/Commitment.h"
#include "services/QueryRetrieve.h"
#include "services/Retrieve.h"
#include "services/Storage.h"
#include "store/Rddcmdir.h"
#include "web/DicomWeb.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

constexpr bool Mirrors(ConvertOutcome exported, data::FileConvertStatus core) {
    return static_cast<int32_t>(exported) == static_cast<int32_t>(core);
}
static_assert(Mirrors(CONVERT_DONE, data::FileConvertStatus::Converted));
static_assert(Mirrors(CONVERT_NOT_PART10_FILE, data::FileConvertStatus::NotPart10File));
static_assert(Mirrors(CONVERT_NO_TRANSFER_SYNTAX, data::FileConvertStatus::NoTransferSyntax));
static_assert(Mirrors(CONVERT_UNKNOWN_SOURCE_SYNTAX, data::FileConvertStatus::UnknownSourceSyntax));
static_assert(Mirrors(CONVERT_UNKNOWN_TARGET_SYNTAX, data::FileConvertStatus::UnknownTargetSyntax));
static_assert(Mirrors(CONVERT_COLOUR_TO_LOSSLESS, data::FileConvertStatus::ColourToLossless));
static_assert(Mirrors(CONVERT_UNSUPPORTED_IMAGE, data::FileConvertStatus::UnsupportedImage));
static_assert(Mirrors(CONVERT_MALFORMED_DATA, data::FileConvertStatus::MalformedData));
static_assert(Mirrors(CONVERT_CANNOT_WRITE, data::FileConvertStatus::CannotWrite));

constexpr bool Mirrors(StoreOutcome exported, services::StoreFailure core) {
    return static_cast<int32_t>(exported) == static_cast<int32_t>(core);
}
static_assert(Mirrors(STORE_NO_RESPONSE, services::STORE_NO_RESPONSE));
static_assert(Mirrors(STORE_NOT_STORE_RESPONSE, services::STORE_NOT_STORE_RESPONSE));
static_assert(Mirrors(STORE_CANNOT_OPEN, services::STORE_CANNOT_OPEN));
static_assert(Mirrors(STORE_NOT_PART10, services::STORE_NOT_PART10));
static_assert(Mirrors(STORE_DAMAGED_FILE, services::STORE_DAMAGED_FILE));
static_assert(Mirrors(STORE_NO_TRANSFER_SYNTAX, services::STORE_NO_TRANSFER_SYNTAX));
static_assert(Mirrors(STORE_NO_SOP_CLASS, services::STORE_NO_SOP_CLASS));
static_assert(Mirrors(STORE_NO_CONNECTION, services::STORE_NO_CONNECTION));
static_assert(Mirrors(STORE_REJECTED, services::STORE_REJECTED));
static_assert(Mirrors(STORE_CONTEXT_REFUSED, services::STORE_CONTEXT_REFUSED));
static_assert(Mirrors(STORE_CONVERSION_FAILED, services::STORE_CONVERSION_FAILED));
static_assert(Mirrors(STORE_SEND_FAILED, services::STORE_SEND_FAILED));
static_assert(Mirrors(STORE_NO_FILES, services::STORE_NO_FILES));
static_assert(Mirrors(STORE_INTERNAL_ERROR, services::STORE_INTERNAL_ERROR));
static_assert(Mirrors(STORE_ASSOCIATION_ABORTED, services::STORE_ASSOCIATION_ABORTED));
static_assert(Mirrors(STORE_MALFORMED_ANSWER, services::STORE_MALFORMED_ANSWER));
static_assert(STORE_SUCCESS == net::STATUS_SUCCESS);

constexpr bool Mirrors(QueryOutcome exported, services::QueryFailure core) {
    return static_cast<int32_t>(exported) == static_cast<int32_t>(core);
}
static_assert(Mirrors(QUERY_NO_RESPONSE, services::QUERY_NO_RESPONSE));
static_assert(Mirrors(QUERY_NO_CONNECTION, services::QUERY_NO_CONNECTION));
static_assert(Mirrors(QUERY_REJECTED, services::QUERY_REJECTED));
static_assert(Mirrors(QUERY_CONTEXT_REFUSED, services::QUERY_CONTEXT_REFUSED));
static_assert(Mirrors(QUERY_SEND_FAILED, services::QUERY_SEND_FAILED));
static_assert(Mirrors(QUERY_INTERNAL_ERROR, services::QUERY_INTERNAL_ERROR));
static_assert(Mirrors(QUERY_REFUSED, services::QUERY_REFUSED));
static_assert(Mirrors(QUERY_TOO_MANY_PENDING, services::QUERY_TOO_MANY_PENDING));
static_assert(Mirrors(QUERY_ASSOCIATION_ABORTED, services::QUERY_ASSOCIATION_ABORTED));
static_assert(Mirrors(QUERY_MALFORMED_ANSWER, services::QUERY_MALFORMED_ANSWER));
static_assert(QUERY_SUCCESS == net::STATUS_SUCCESS);
// The failures shared with storage keep its values.
constexpr bool Mirrors(QueryOutcome query, StoreOutcome store) {
    return static_cast<int32_t>(query) == static_cast<int32_t>(store);
}
static_assert(Mirrors(QUERY_NO_RESPONSE, STORE_NO_RESPONSE));
static_assert(Mirrors(QUERY_NO_CONNECTION, STORE_NO_CONNECTION));
static_assert(Mirrors(QUERY_REJECTED, STORE_REJECTED));
static_assert(Mirrors(QUERY_CONTEXT_REFUSED, STORE_CONTEXT_REFUSED));
static_assert(Mirrors(QUERY_SEND_FAILED, STORE_SEND_FAILED));
static_assert(Mirrors(QUERY_INTERNAL_ERROR, STORE_INTERNAL_ERROR));
static_assert(Mirrors(QUERY_ASSOCIATION_ABORTED, STORE_ASSOCIATION_ABORTED));
static_assert(Mirrors(QUERY_MALFORMED_ANSWER, STORE_MALFORMED_ANSWER));

constexpr bool Mirrors(EcgDrawOutcome exported, imaging::EcgOutcome core) {
    return static_cast<int32_t>(exported) == static_cast<int32_t>(core);
}
static_assert(Mirrors(ECG_DRAWN, imaging::EcgOutcome::Drawn));
static_assert(Mirrors(ECG_NOT_WAVEFORM, imaging::EcgOutcome::NotWaveformModality));
static_assert(Mirrors(ECG_NO_WAVEFORM, imaging::EcgOutcome::NoWaveform));
static_assert(Mirrors(ECG_UNUSABLE_BITMAP, imaging::EcgOutcome::BitmapUnusable));

constexpr bool Mirrors(DicomDirOutcome exported, store::DicomDirStatus core) {
    return static_cast<int32_t>(exported) == static_cast<int32_t>(core);
}
static_assert(Mirrors(DICOMDIR_READ, store::DicomDirStatus::Read));
static_assert(Mirrors(DICOMDIR_CANNOT_READ, store::DicomDirStatus::CannotOpen));
static_assert(Mirrors(DICOMDIR_NOT_PART10, store::DicomDirStatus::NotPart10));
static_assert(Mirrors(DICOMDIR_NOT_EXPLICIT_LITTLE,
                      store::DicomDirStatus::NotExplicitLittleEndian));
static_assert(Mirrors(DICOMDIR_NO_ROOT_OFFSET, store::DicomDirStatus::NoRootOffset));

constexpr bool Mirrors(ThumbnailOutcome exported, imaging::ThumbnailStatus core) {
    return static_cast<int32_t>(exported) == static_cast<int32_t>(core);
}
static_assert(Mirrors(THUMBNAIL_WRITTEN, imaging::ThumbnailStatus::Written));
static_assert(Mirrors(THUMBNAIL_CANNOT_READ, imaging::ThumbnailStatus::CannotRead));
static_assert(Mirrors(THUMBNAIL_UNSUPPORTED_SYNTAX, imaging::ThumbnailStatus::UnsupportedSyntax));
static_assert(Mirrors(THUMBNAIL_NO_PIXEL_DATA, imaging::ThumbnailStatus::NoPixelData));
static_assert(Mirrors(THUMBNAIL_UNSUPPORTED_IMAGE, imaging::ThumbnailStatus::UnsupportedImage));
static_assert(Mirrors(THUMBNAIL_BAD_WIDTH, imaging::ThumbnailStatus::BadWidth));
static_assert(Mirrors(THUMBNAIL_CANNOT_WRITE, imaging::ThumbnailStatus::CannotWrite));

std::string Words(int32_t family, int32_t code, std::string_view peer) {
    switch (family) {
        case OUTCOME_STATUS:
            if (code < 0 || code > 0xFFFF) return "unknown outcome " + std::to_string(code);
            return net::StatusText(static_cast<uint16_t>(code), 0);
        case OUTCOME_CONVERT:
            if (code < CONVERT_CANNOT_WRITE || code > CONVERT_DONE)
                return "unknown outcome " + std::to_string(code);
            return std::string(data::ConvertStatusText(static_cast<data::FileConvertStatus>(code)));
        case OUTCOME_STORE:
            return services::StoreOutcomeText(code, peer);
        case OUTCOME_ECG:
            // The library's own failure is the export's, not the drawing's.
            if (code == ECG_INTERNAL_ERROR) return "could not be drawn (internal failure)";
            if (code < ECG_UNUSABLE_BITMAP || code > ECG_DRAWN)
                return "unknown outcome " + std::to_string(code);
            return std::string(imaging::EcgOutcomeText(static_cast<imaging::EcgOutcome>(code)));
        case OUTCOME_DICOMDIR:
            if (code < DICOMDIR_NO_ROOT_OFFSET || code > DICOMDIR_READ)
                return "unknown outcome " + std::to_string(code);
            return std::string(store::DicomDirStatusText(static_cast<store::DicomDirStatus>(code)));
        case OUTCOME_THUMBNAIL:
            if (code < THUMBNAIL_CANNOT_WRITE || code > THUMBNAIL_WRITTEN)
                return "unknown outcome " + std::to_string(code);
            return std::string(
                imaging::ThumbnailStatusText(static_cast<imaging::ThumbnailStatus>(code)));
        case OUTCOME_FIND:
            return services::QueryOutcomeText(net::C_FIND_RSP, code);
        case OUTCOME_MOVE:
            return services::QueryOutcomeText(net::C_MOVE_RSP, code);
        case OUTCOME_CONTEXT:
            if (code == -1) return "not answered: the association failed first";
            if (code < 0 || code > 0xFF) return "unknown outcome " + std::to_string(code);
            if (code == 0) return net::ContextResultMeaning(0);
            return net::ContextResultMeaning(static_cast<uint8_t>(code)) + ": " +
                   std::string(net::ContextResultAdvice(static_cast<uint8_t>(code)));
        case OUTCOME_WEB:
            return web::WebOutcomeText(code);
        case OUTCOME_GET:
            return services::GetOutcomeText(code);
        case OUTCOME_COMMIT:
            return services::CommitOutcomeText(code);
        case OUTCOME_COMMIT_REASON:
            return services::FailureReasonText(code);
        default:
            return {};
    }
}

}  // namespace

extern "C" ZEDAVURA_API int32_t OutcomeText(int32_t family, int32_t code, const char* peer,
                                            char* text, uint32_t capacity) {
    if (family < OUTCOME_STATUS || family > OUTCOME_COMMIT_REASON) {
        CopyText("", text, capacity);
        return -1;
    }
    return Guarded("OutcomeText", int32_t{-1}, [&] {
        const std::string_view named = peer != nullptr && *peer != '\0' ? peer : "the peer";
        return CopyText(Words(family, code, named), text, capacity);
    });
}
