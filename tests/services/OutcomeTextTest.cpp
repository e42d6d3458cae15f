#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zedavura.h"

namespace {

std::string Words(int32_t family, int32_t code, const char* peer = "STORESCP (10.0.0.7:104)") {
    char text[160];
    const int32_t length = OutcomeText(family, code, peer, text, sizeof text);
    EXPECT_EQ(length, static_cast<int32_t>(std::strlen(text))) << text;
    return text;
}

}  // namespace

TEST(OutcomeText, EveryCodeOfEveryFamily) {
    struct Case {
        int32_t family;
        int32_t code;
        const char* words;
    };
    const Case cases[] = {
        {OUTCOME_STATUS, 0x0000, "status 0x0000 (success)"},
        {OUTCOME_STATUS, 0xFF00, "status 0xFF00 (pending)"},
        {OUTCOME_STATUS, 0xFF01, "status 0xFF01 (pending)"},
        {OUTCOME_STATUS, 0xFE00, "status 0xFE00 (cancelled)"},
        {OUTCOME_STATUS, 0xA700, "status 0xA700 (failure)"},
        {OUTCOME_STATUS, -1, "unknown outcome -1"},
        {OUTCOME_STATUS, 0x10000, "unknown outcome 65536"},

        {OUTCOME_CONVERT, CONVERT_DONE, "converted"},
        {OUTCOME_CONVERT, CONVERT_NOT_PART10_FILE, "not a Part 10 file"},
        {OUTCOME_CONVERT, CONVERT_NO_TRANSFER_SYNTAX, "no transfer syntax in its meta group"},
        {OUTCOME_CONVERT, CONVERT_UNKNOWN_SOURCE_SYNTAX, "unknown source transfer syntax"},
        {OUTCOME_CONVERT, CONVERT_UNKNOWN_TARGET_SYNTAX, "cannot convert to transfer syntax"},
        {OUTCOME_CONVERT, CONVERT_COLOUR_TO_LOSSLESS,
         "colour image cannot be compressed to lossless JPEG"},
        {OUTCOME_CONVERT, CONVERT_UNSUPPORTED_IMAGE, "unsupported image layout"},
        {OUTCOME_CONVERT, CONVERT_MALFORMED_DATA, "malformed data, not converted"},
        {OUTCOME_CONVERT, CONVERT_CANNOT_WRITE, "cannot write the file"},
        {OUTCOME_CONVERT, -9, "unknown outcome -9"},
        {OUTCOME_CONVERT, 1, "unknown outcome 1"},

        {OUTCOME_STORE, STORE_SUCCESS, "status 0x0000 (success)"},
        {OUTCOME_STORE, 0xFF00, "status 0xFF00 (pending)"},
        {OUTCOME_STORE, 0xFE00, "status 0xFE00 (cancelled)"},
        {OUTCOME_STORE, 0x0122, "status 0x0122 (refused: SOP class not supported)"},
        {OUTCOME_STORE, 0xA700, "status 0xA700 (refused: out of resources)"},
        {OUTCOME_STORE, 0xA7FF, "status 0xA7FF (refused: out of resources)"},
        {OUTCOME_STORE, 0xA900, "status 0xA900 (error: data set does not match SOP class)"},
        {OUTCOME_STORE, 0xA9FF, "status 0xA9FF (error: data set does not match SOP class)"},
        {OUTCOME_STORE, 0xC000, "status 0xC000 (error: cannot understand)"},
        {OUTCOME_STORE, 0xCFFF, "status 0xCFFF (error: cannot understand)"},
        {OUTCOME_STORE, 0xB000, "status 0xB000 (warning: stored with changes)"},
        {OUTCOME_STORE, 0xB006, "status 0xB006 (warning: stored with changes)"},
        {OUTCOME_STORE, 0xB007, "status 0xB007 (warning: stored with changes)"},
        {OUTCOME_STORE, 0xB001, "status 0xB001 (failure)"},
        {OUTCOME_STORE, 0x0110, "status 0x0110 (failure)"},
        {OUTCOME_STORE, STORE_NO_RESPONSE, "no response from STORESCP (10.0.0.7:104)"},
        {OUTCOME_STORE, STORE_NOT_STORE_RESPONSE,
         "the answer from STORESCP (10.0.0.7:104) was not a C-STORE response"},
        {OUTCOME_STORE, STORE_CANNOT_OPEN, "cannot be opened"},
        {OUTCOME_STORE, STORE_NOT_PART10, "not a DICOM file (no \"DICM\" at offset 128)"},
        {OUTCOME_STORE, STORE_DAMAGED_FILE, "damaged DICOM file (cannot be read to its end)"},
        {OUTCOME_STORE, STORE_NO_TRANSFER_SYNTAX, "no transfer syntax in its meta group"},
        {OUTCOME_STORE, STORE_NO_SOP_CLASS, "no SOP Class UID"},
        {OUTCOME_STORE, STORE_NO_CONNECTION, "cannot connect to STORESCP (10.0.0.7:104)"},
        {OUTCOME_STORE, STORE_REJECTED, "association rejected by STORESCP (10.0.0.7:104)"},
        {OUTCOME_STORE, STORE_CONTEXT_REFUSED,
         "STORESCP (10.0.0.7:104) accepted no presentation context for its SOP class"},
        {OUTCOME_STORE, STORE_CONVERSION_FAILED,
         "cannot convert the data set to a transfer syntax STORESCP (10.0.0.7:104) accepted"},
        {OUTCOME_STORE, STORE_SEND_FAILED,
         "the connection to STORESCP (10.0.0.7:104) failed while sending"},
        {OUTCOME_STORE, STORE_NO_FILES, "no DICOM files in the directory"},
        {OUTCOME_STORE, STORE_INTERNAL_ERROR, "internal failure (see the trace log)"},
        {OUTCOME_STORE, -15, "failure -15"},

        {OUTCOME_ECG, ECG_DRAWN, "drawn"},
        {OUTCOME_ECG, ECG_NOT_WAVEFORM,
         "not a waveform object (its modality is not ECG, HD or AU)"},
        {OUTCOME_ECG, ECG_NO_WAVEFORM, "holds no waveform (no Waveform Sequence item with data)"},
        {OUTCOME_ECG, ECG_UNUSABLE_BITMAP, "could not be drawn (no usable bitmap)"},
        {OUTCOME_ECG, ECG_INTERNAL_ERROR, "could not be drawn (internal failure)"},
        {OUTCOME_ECG, -5, "unknown outcome -5"},

        {OUTCOME_DICOMDIR, DICOMDIR_READ, "read"},
        {OUTCOME_DICOMDIR, DICOMDIR_CANNOT_READ, "cannot read the file"},
        {OUTCOME_DICOMDIR, DICOMDIR_NOT_PART10,
         "not a DICOMDIR: not a Part 10 file (no \"DICM\" at offset 128)"},
        {OUTCOME_DICOMDIR, DICOMDIR_NOT_EXPLICIT_LITTLE,
         "not explicit VR little endian, as a DICOMDIR must be"},
        {OUTCOME_DICOMDIR, DICOMDIR_NO_ROOT_OFFSET,
         "not a DICOMDIR: no offset of the first directory record (0004,1200)"},
        {OUTCOME_DICOMDIR, -5, "unknown outcome -5"},

        {OUTCOME_THUMBNAIL, THUMBNAIL_WRITTEN, "written"},
        {OUTCOME_THUMBNAIL, THUMBNAIL_CANNOT_READ, "not a DICOM file, or a damaged one"},
        {OUTCOME_THUMBNAIL, THUMBNAIL_UNSUPPORTED_SYNTAX,
         "pixel data that cannot be decoded: a transfer syntax the library does not read, or a "
         "damaged stream"},
        {OUTCOME_THUMBNAIL, THUMBNAIL_NO_PIXEL_DATA, "no pixel data, or less than one frame of it"},
        {OUTCOME_THUMBNAIL, THUMBNAIL_UNSUPPORTED_IMAGE,
         "an image layout that is not drawn (8- or 16-bit grayscale, 8-bit RGB are)"},
        {OUTCOME_THUMBNAIL, THUMBNAIL_BAD_WIDTH, "the width gives no thumbnail of this image"},
        {OUTCOME_THUMBNAIL, THUMBNAIL_CANNOT_WRITE, "the thumbnail cannot be written"},
        {OUTCOME_THUMBNAIL, -7, "unknown outcome -7"},

        // Queries name the peer themselves: their words leave it out.
        {OUTCOME_FIND, QUERY_SUCCESS, "status 0x0000 (success: matching is complete)"},
        {OUTCOME_FIND, 0xFF00, "status 0xFF00 (pending: matches are continuing)"},
        {OUTCOME_FIND, 0xFF01,
         "status 0xFF01 (pending: matches are continuing, but optional keys were not supported)"},
        {OUTCOME_FIND, 0xFE00,
         "status 0xFE00 (cancelled: matching terminated by a cancel request)"},
        {OUTCOME_FIND, 0xA700, "status 0xA700 (refused: out of resources)"},
        {OUTCOME_FIND, 0xA900, "status 0xA900 (failed: identifier does not match the SOP class)"},
        {OUTCOME_FIND, 0xC001, "status 0xC001 (failed: unable to process)"},
        {OUTCOME_FIND, 0x0122, "status 0x0122 (refused: SOP class not supported)"},
        {OUTCOME_FIND, 0x0211, "status 0x0211 (failed: unrecognized operation)"},
        {OUTCOME_FIND, 0xA801, "status 0xA801 (failed)"},
        {OUTCOME_FIND, 0xB123, "status 0xB123 (warning)"},
        {OUTCOME_FIND, 0xFF42, "status 0xFF42 (pending)"},
        {OUTCOME_FIND, 0x0042, "status 0x0042 (unknown status)"},
        {OUTCOME_FIND, 0x10000, "unknown outcome 65536"},
        {OUTCOME_FIND, QUERY_NO_RESPONSE,
         "no usable response: the connection ended, the peer released or aborted, or it answered "
         "with another message"},
        {OUTCOME_FIND, QUERY_NO_CONNECTION,
         "cannot connect, or no answer to the association request"},
        {OUTCOME_FIND, QUERY_REJECTED, "association rejected"},
        {OUTCOME_FIND, QUERY_CONTEXT_REFUSED, "no presentation context accepted"},
        {OUTCOME_FIND, QUERY_SEND_FAILED, "the connection failed while sending"},
        {OUTCOME_FIND, QUERY_INTERNAL_ERROR, "internal failure (see the trace log)"},
        {OUTCOME_FIND, QUERY_REFUSED,
         "refused by the library: a null argument, an empty list, an unknown level or records of "
         "another kind; nothing was sent"},
        {OUTCOME_FIND, QUERY_TOO_MANY_PENDING,
         "more than 100000 pending responses: the association was aborted"},
        {OUTCOME_FIND, -3, "failure of the library"},

        {OUTCOME_MOVE, QUERY_SUCCESS,
         "status 0x0000 (success: sub-operations complete without failures)"},
        {OUTCOME_MOVE, 0xFF00, "status 0xFF00 (pending: sub-operations are continuing)"},
        {OUTCOME_MOVE, 0xFF01, "status 0xFF01 (pending)"},
        {OUTCOME_MOVE, 0xFE00,
         "status 0xFE00 (cancelled: sub-operations terminated by a cancel request)"},
        {OUTCOME_MOVE, 0xA700, "status 0xA700 (refused: out of resources)"},
        {OUTCOME_MOVE, 0xA701,
         "status 0xA701 (refused: out of resources, unable to calculate the number of matches)"},
        {OUTCOME_MOVE, 0xA702,
         "status 0xA702 (refused: out of resources, unable to perform sub-operations)"},
        {OUTCOME_MOVE, 0xA801, "status 0xA801 (refused: move destination unknown)"},
        {OUTCOME_MOVE, 0xA900, "status 0xA900 (failed: identifier does not match the SOP class)"},
        {OUTCOME_MOVE, 0xB000,
         "status 0xB000 (warning: sub-operations complete with failures or warnings)"},
        {OUTCOME_MOVE, 0xCFFF, "status 0xCFFF (failed: unable to process)"},
        {OUTCOME_MOVE, 0x0124, "status 0x0124 (refused: not authorized)"},
        {OUTCOME_MOVE, QUERY_REJECTED, "association rejected"},
        {OUTCOME_GET, 0xB000,
         "status 0xB000 (warning: sub-operations complete with failures or warnings)"},
        {OUTCOME_GET, GET_INCOMPLETE,
         "the peer reported success, but not every instance arrived and was stored"},
        {OUTCOME_MOVE, QUERY_TOO_MANY_PENDING,
         "more than 100000 pending responses: the association was aborted"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Words(c.family, c.code), c.words) << c.family << " " << c.code;

    // Without a peer name the words speak of the peer.
    EXPECT_EQ(Words(OUTCOME_STORE, STORE_NO_CONNECTION, nullptr), "cannot connect to the peer");
    EXPECT_EQ(Words(OUTCOME_STORE, STORE_REJECTED, ""), "association rejected by the peer");
    // Cut to fit, NUL-terminated, with the whole length returned; nothing without a buffer.
    char small[8] = "xxxxxxx";
    EXPECT_EQ(OutcomeText(OUTCOME_STORE, 0xA700, nullptr, small, sizeof small), 41);
    EXPECT_STREQ(small, "status ");
    EXPECT_EQ(OutcomeText(OUTCOME_CONVERT, CONVERT_DONE, nullptr, nullptr, 0), 9);
    EXPECT_EQ(OutcomeText(OUTCOME_STORE, STORE_NO_FILES, nullptr, small, 0), 31);
    EXPECT_STREQ(small, "status ");
    // Presentation context results, with what to do.
    EXPECT_EQ(Words(OUTCOME_CONTEXT, 0, nullptr), "accepted");
    EXPECT_EQ(Words(OUTCOME_CONTEXT, 3, nullptr),
              "abstract syntax not supported: the peer does not offer this SOP class");
    EXPECT_EQ(Words(OUTCOME_CONTEXT, -1, nullptr), "not answered: the association failed first");
    EXPECT_EQ(OutcomeText(OUTCOME_COMMIT_REASON + 1, 0, nullptr, small, sizeof small), -1);
    EXPECT_STREQ(small, "");
}
