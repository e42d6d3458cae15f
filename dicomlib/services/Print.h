// The user side of Basic Grayscale Print Management: the film session, film box and image box
// attribute sets over the N-service exchange of net/NService, and the one-shot print of one image
// on one film: printer status, film session, film box, image box, print, film box deletion, on one
// association for the print meta SOP class. Only status 0x0000 counts as success; every other
// status is reported with its meaning.
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
#include "net/NService.h"
#include "services/PrintImage.h"

namespace dicomlib::services {

// The Action Type ID that prints a film box.
constexpr uint16_t ACTION_PRINT = 1;
// Instance UIDs from the printer longer than this are refused.
constexpr std::size_t MAX_UID_LENGTH = 64;

// Appends the element when text is not empty: the text, with one space added to an odd length.
void AddPrintAttribute(ElementList& list, Tag tag, std::string_view text, const char* vr);

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

// Receives every line the print writes, whatever the log level.
using PrintLineSink = std::function<void(const std::string& line)>;

// Prints one image on one film: loads it (by extension: JPEG, Windows bitmap or Part 10 file),
// opens an association for the Basic Grayscale Print Management Meta SOP Class (implicit VR
// little endian), then: printer status (N-GET; a failure is logged, printing goes on), film
// session (N-CREATE), film box (N-CREATE), image box (N-SET), print (N-ACTION), film box
// deletion (N-DELETE). Each step writes its line through WriteLogLine (the success lines at
// trace level 1 or more) and a failing step also writes why. The film session is not deleted;
// the release ends it. True only when every step succeeded.
bool PrintSCU(const std::filesystem::path& imageFile, const net::ConnectionSettings& printer,
              const FilmSessionSettings& session, const FilmBoxSettings& box,
              const PrintLineSink& sink = {});
bool PrintSCU(const std::filesystem::path& imageFile, std::string_view host, std::string_view port,
              std::string_view callingAeTitle, std::string_view calledAeTitle,
              const FilmSessionSettings& session, const FilmBoxSettings& box,
              const PrintLineSink& sink = {});

}  // namespace dicomlib::services
