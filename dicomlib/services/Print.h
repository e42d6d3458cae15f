// The user side of Basic Grayscale Print Management: the DIMSE-N command sets, the film
// session, film box and image box attribute sets, the reading of the N-service responses, and
// the one-shot print of one image on one film: printer status, film session, film box, image
// box, print, film box deletion, on one association for the print meta SOP class. Only status
// 0x0000 counts as success; every other status is reported with its meaning.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "data/Datadec.h"
#include "data/ElementList.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "services/PrintImage.h"

namespace dicomlib::services {

// The Action Type ID that prints a film box.
constexpr uint16_t ACTION_PRINT = 1;
// Instance UIDs from the printer longer than this are refused.
constexpr std::size_t MAX_UID_LENGTH = 64;

// Appends the element when text is not empty: the text, with one space added to an odd length.
void AddPrintAttribute(ElementList& list, Tag tag, std::string_view text, const char* vr);

// N-CREATE-RQ: Affected SOP Class UID, Command Field, Message ID, Data Set Type 0x0102. No
// Affected SOP Instance UID: the printer assigns the instance.
net::CommandSet NCreateRequest(std::string_view sopClassUid, uint16_t messageId);
// N-GET-RQ, N-SET-RQ, N-ACTION-RQ and N-DELETE-RQ: Requested SOP Class UID, Command Field,
// Message ID, Data Set Type, Requested SOP Instance UID, and for N-ACTION the Action Type ID.
// N-GET asks for every attribute (no Attribute Identifier List).
net::CommandSet NGetRequest(std::string_view sopClassUid, std::string_view instanceUid,
                            uint16_t messageId);
net::CommandSet NSetRequest(std::string_view sopClassUid, std::string_view instanceUid,
                            uint16_t messageId);
net::CommandSet NActionRequest(std::string_view sopClassUid, std::string_view instanceUid,
                               uint16_t messageId, uint16_t actionTypeId, bool withAttributes);
net::CommandSet NDeleteRequest(std::string_view sopClassUid, std::string_view instanceUid,
                               uint16_t messageId);

// The film session's attributes: Number of Copies, Print Priority, Medium Type, Film
// Destination, each left out when empty.
void FilmSessionAttributes(const FilmSessionSettings& settings, ElementList& list);
// The film box's attributes: the eight settings (empty ones left out; Min and Max Density as
// binary US values), an empty Configuration Information and the Referenced Film Session
// Sequence with the film session instance. False with the reason when a density is not a whole
// number from 0 to 65535.
bool FilmBoxAttributes(const FilmBoxSettings& settings, std::string_view filmSessionUid,
                       ElementList& list, std::string& why);
// The image box's attributes: Image Box Position 1, Polarity "NORMAL" and the Basic Grayscale
// Image Sequence holding the image's pixel elements. False when the image cannot go into an
// image box.
bool ImageBoxAttributes(const PrintImage& image, ElementList& list);

// Our own outcomes of an N-service exchange; 0..65535 are statuses from the printer.
enum PrintFailure : int32_t {
    PRINT_NO_RESPONSE = -1,     // nothing came back, or the connection failed while sending
    PRINT_WRONG_RESPONSE = -2,  // a message came whose Command Field is not the response
    PRINT_NOT_SENT = -3,        // no accepted presentation context for the SOP class
};

struct NResponse {
    int32_t outcome = PRINT_NO_RESPONSE;  // the Status, or a PrintFailure
    uint16_t commandField = 0;
    std::string affectedInstance;  // (0000,1000), NUL pad and blanks taken off
    ElementList dataSet;           // the data set that followed, when one was announced
};

// Receives one response. A data set it announces is always received, so that it is never taken
// for the next message. An absent Status reads as 0.
NResponse ReadNResponse(Association& assoc, uint16_t expectedField);

// Sends the command and, when attributes is not null, the data set after it; then reads the
// response.
NResponse NExchange(Association& assoc, net::CommandSet& command, std::string_view sopClassUid,
                    ElementList* attributes, uint16_t expectedField);

struct ImageBoxReference {
    std::string sopClass;
    std::string sopInstance;
};

// The image box of a film box N-CREATE response data set: (0008,1150) and (0008,1155) of the
// first item of the Referenced Image Box Sequence (whether its items come with defined or
// undefined lengths), or, without that sequence, a top-level pair. Every length is checked
// against what holds it. False with the reason when none is found or a UID is empty or longer
// than 64 characters.
bool FindImageBox(const ElementList& dataSet, const data::DecoderState& encoding,
                  ImageBoxReference& box, std::string& why);

// Why an exchange failed, in words: its status with the meaning the DIMSE-N services give it
// ("status 0xB605 (warning: ...)"), or our own failure.
std::string DescribePrintOutcome(const NResponse& response, uint16_t expectedField);

// Receives every line the print writes, whatever the log level.
using PrintLineSink = std::function<void(const std::string& line)>;

// Prints one image on one film: loads it (by extension: JPEG, Windows bitmap or Part 10 file),
// opens an association for the Basic Grayscale Print Management Meta SOP Class (implicit VR
// little endian), then: printer status (N-GET; a failure is logged, printing goes on), film
// session (N-CREATE), film box (N-CREATE), image box (N-SET), print (N-ACTION), film box
// deletion (N-DELETE). Each step writes its line through WriteLogLine (the success lines at
// trace level 1 or more) and a failing step also writes why. The film session is not deleted;
// the release ends it. True only when every step succeeded.
bool PrintSCU(const std::filesystem::path& imageFile, std::string_view host, std::string_view port,
              std::string_view callingAeTitle, std::string_view calledAeTitle,
              const FilmSessionSettings& session, const FilmBoxSettings& box,
              const PrintLineSink& sink = {});

}  // namespace dicomlib::services
