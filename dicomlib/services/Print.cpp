#include "services/Print.h"

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/Dimse.h"
#include "net/TraceLog.h"

namespace dicomlib::services {

using net::NActionRequest;
using net::NCreateRequest;
using net::NDeleteRequest;
using net::NExchange;
using net::NGetRequest;
using net::NResponse;
using net::NSetRequest;
using net::UidText;

namespace {

constexpr uint16_t PRINT_ITEM_GROUP = 0xFFFE;
constexpr uint16_t PRINT_ITEM_END = 0xE00D;
constexpr uint16_t PRINT_SEQUENCE_END = 0xE0DD;

std::string_view Field(const char* text) {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

std::string PaddedUid(std::string_view uid) {
    std::string padded(uid);
    if (padded.size() % 2 != 0) padded += '\0';
    return padded;
}

void AppendDelimiter(ElementList& list, uint16_t element) {
    list.Append(data::NewElement(PRINT_ITEM_GROUP, element, 0, nullptr, nullptr));
}
void AppendUndefined(ElementList& list, Tag tag, const char* vr) {
    list.Append(data::NewElement(tag.group, tag.element, UNDEFINED_LENGTH, nullptr, vr));
}

// A density: a whole number from 0 to 65535, blanks around it allowed.
std::optional<uint16_t> Density(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    if (text.empty() || text.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(value);
}

// A run of elements of a flat list: [first, last).
using Elements = std::span<DicomElement* const>;

// The index just past the container that starts at index `start` (an undefined-length
// sequence or item), counting nested containers; the list's size when it never closes.
std::size_t EndOfContainer(Elements elements, std::size_t start) {
    int depth = 0;
    for (std::size_t i = start; i < elements.size(); ++i) {
        const DicomElement& e = *elements[i];
        if (e.group == PRINT_ITEM_GROUP &&
            (e.element == PRINT_ITEM_END || e.element == PRINT_SEQUENCE_END)) {
            if (--depth == 0) return i + 1;
        } else if (e.length == UNDEFINED_LENGTH) {
            ++depth;
        }
    }
    return elements.size();
}

std::string UidProblem(const std::string& uid, const char* what) {
    if (uid.empty()) return std::string("no ") + what;
    if (uid.size() > MAX_UID_LENGTH)
        return std::string(what) + " of " + std::to_string(uid.size()) + " characters (at most 64)";
    return {};
}

// The image box UIDs of one item's elements (item header and delimiter excluded); nested
// sequences are passed over.
bool ImageBoxOfItem(Elements contents, ImageBoxReference& box, std::string& why) {
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const DicomElement& e = *contents[i];
        if (e.length == UNDEFINED_LENGTH) {
            i = EndOfContainer(contents, i) - 1;
            continue;
        }
        if (TagOf(e) == tag::ReferencedSOPClassUID) box.sopClass = UidText(e);
        if (TagOf(e) == tag::ReferencedSOPInstanceUID) box.sopInstance = UidText(e);
    }
    why = UidProblem(box.sopClass, "image box SOP class UID");
    if (why.empty()) why = UidProblem(box.sopInstance, "image box SOP instance UID");
    return why.empty();
}

// The first item of a flat sequence (its undefined-length header first).
bool ImageBoxOfSequence(Elements sequence, const data::DecoderState& encoding,
                        ImageBoxReference& box, std::string& why) {
    const std::size_t end = EndOfContainer(sequence, 0);
    std::size_t i = 1;
    while (i < end && TagOf(*sequence[i]) != tag::Item)
        ++i;
    if (i >= end) {
        why = "an empty Referenced Image Box Sequence";
        return false;
    }
    const DicomElement& item = *sequence[i];
    if (item.length != UNDEFINED_LENGTH) {
        // An item with a defined length inside an undefined-length sequence: open it.
        ElementList opened;
        if (!data::HasValue(item) || !data::ExpandSequence(encoding, item, opened)) {
            why = data::HasValue(item) ? "a malformed Referenced Image Box Sequence item"
                                       : "an empty Referenced Image Box Sequence item";
            return false;
        }
        const Elements all(opened.begin(), opened.end());
        return ImageBoxOfItem(all.subspan(1, all.size() - 2), box, why);
    }
    const std::size_t itemEnd = EndOfContainer(sequence, i);
    const bool closed =
        itemEnd <= end && TagOf(*sequence[itemEnd - 1]) == tag::ItemDelimitationItem;
    if (!closed) {
        why = "a Referenced Image Box Sequence item without its end";
        return false;
    }
    return ImageBoxOfItem(sequence.subspan(i + 1, itemEnd - i - 2), box, why);
}

// Writes every line to the sink; to the trace log the success lines only at level 1 or more.
class PrintLog {
  public:
    explicit PrintLog(const PrintLineSink& sink) : sink_(sink) {}
    void Always(const std::string& line) const {
        net::WriteLogLine(line);
        if (sink_) sink_(line);
    }
    void Success(const std::string& line) const {
        if (net::LogLevel() >= net::LOG_ASSOCIATION) net::WriteLogLine(line);
        if (sink_) sink_(line);
    }
    // The step's failure line, then why.
    void Failed(const char* failureLine, const char* step, const std::string& why) const {
        Always(failureLine);
        Always(std::string(step) + ": " + why);
    }

  private:
    const PrintLineSink& sink_;
};

std::string DescribePrintOutcome(const NResponse& response, uint16_t expectedField) {
    return net::DescribeNOutcome(response, expectedField, "the printer");
}

// The problem with a response to a step that creates an instance, or with the instance UID.
std::string CreateProblem(const NResponse& response, uint16_t expectedField, const char* what) {
    if (response.outcome != 0) return DescribePrintOutcome(response, expectedField);
    return UidProblem(response.affectedInstance, what);
}

std::string ConnectionProblem(const Association& assoc, std::string_view host,
                              std::string_view port) {
    return "the printer at " + std::string(host) + ":" + std::string(port) + ": " +
           net::ExplainOpenFailure(assoc);
}

}  // namespace

void AddPrintAttribute(ElementList& list, Tag tag, std::string_view text, const char* vr) {
    if (text.empty()) return;
    std::string value(text);
    if (value.size() % 2 != 0) value += ' ';
    list.Append(data::NewTextElement(tag, vr, value));
}

void FilmSessionAttributes(const FilmSessionSettings& settings, ElementList& list) {
    AddPrintAttribute(list, tag::NumberOfCopies, Field(settings.numberOfCopies), "IS");
    AddPrintAttribute(list, tag::PrintPriority, Field(settings.printPriority), "CS");
    AddPrintAttribute(list, tag::MediumType, Field(settings.mediumType), "CS");
    AddPrintAttribute(list, tag::FilmDestination, Field(settings.filmDestination), "CS");
}

bool FilmBoxAttributes(const FilmBoxSettings& settings, std::string_view filmSessionUid,
                       ElementList& list, std::string& why) {
    AddPrintAttribute(list, tag::ImageDisplayFormat, Field(settings.imageDisplayFormat), "ST");
    AddPrintAttribute(list, tag::FilmOrientation, Field(settings.filmOrientation), "CS");
    AddPrintAttribute(list, tag::FilmSizeID, Field(settings.filmSizeId), "CS");
    AddPrintAttribute(list, tag::MagnificationType, Field(settings.magnificationType), "CS");
    AddPrintAttribute(list, tag::BorderDensity, Field(settings.borderDensity), "CS");
    AddPrintAttribute(list, tag::EmptyImageDensity, Field(settings.emptyImageDensity), "CS");
    const std::pair<Tag, std::string_view> densities[] = {
        {tag::MinDensity, Field(settings.minDensity)},
        {tag::MaxDensity, Field(settings.maxDensity)},
    };
    for (const auto& [densityTag, text] : densities) {
        if (text.empty()) continue;
        const auto value = Density(text);
        if (!value) {
            why = std::string(densityTag == tag::MinDensity ? "Min" : "Max") + " Density \"" +
                  std::string(text) + "\" is not a whole number from 0 to 65535";
            return false;
        }
        list.Append(data::NewUsElement(densityTag, *value));
    }
    list.Append(data::NewElement(tag::ConfigurationInformation.group,
                                 tag::ConfigurationInformation.element, 0, nullptr, "ST"));
    AppendUndefined(list, tag::ReferencedFilmSessionSequence, "SQ");
    AppendUndefined(list, tag::Item, nullptr);
    list.Append(
        data::NewTextElement(tag::ReferencedSOPClassUID, "UI", PaddedUid(uid::BasicFilmSession)));
    list.Append(
        data::NewTextElement(tag::ReferencedSOPInstanceUID, "UI", PaddedUid(filmSessionUid)));
    AppendDelimiter(list, PRINT_ITEM_END);
    AppendDelimiter(list, PRINT_SEQUENCE_END);
    return true;
}

bool ImageBoxAttributes(const PrintImage& image, ElementList& list) {
    list.Append(data::NewUsElement(tag::ImageBoxPosition, 1));
    list.Append(data::NewTextElement(tag::Polarity, "CS", "NORMAL"));
    AppendUndefined(list, tag::BasicGrayscaleImageSequence, "SQ");
    AppendUndefined(list, tag::Item, nullptr);
    if (!BuildImagePixelItem(image, list)) return false;
    AppendDelimiter(list, PRINT_ITEM_END);
    AppendDelimiter(list, PRINT_SEQUENCE_END);
    return true;
}

bool FindImageBox(const ElementList& dataSet, const data::DecoderState& encoding,
                  ImageBoxReference& box, std::string& why) {
    const Elements all(dataSet.begin(), dataSet.end());
    ImageBoxReference topLevel;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const DicomElement& e = *all[i];
        if (TagOf(e) == tag::ReferencedImageBoxSequence) {
            if (e.length == UNDEFINED_LENGTH)
                return ImageBoxOfSequence(all.subspan(i, EndOfContainer(all, i) - i), encoding, box,
                                          why);
            ElementList opened;
            if (!data::HasValue(e)) {
                why = "an empty Referenced Image Box Sequence";
                return false;
            }
            if (!data::ExpandSequence(encoding, e, opened)) {
                why = "a malformed Referenced Image Box Sequence";
                return false;
            }
            return ImageBoxOfSequence(Elements(opened.begin(), opened.end()), encoding, box, why);
        }
        if (e.length == UNDEFINED_LENGTH) {
            i = EndOfContainer(all, i) - 1;  // another sequence: its contents are not ours
            continue;
        }
        if (TagOf(e) == tag::ReferencedSOPClassUID) topLevel.sopClass = UidText(e);
        if (TagOf(e) == tag::ReferencedSOPInstanceUID) topLevel.sopInstance = UidText(e);
    }
    if (topLevel.sopClass.empty() && topLevel.sopInstance.empty()) {
        why = "no Referenced Image Box Sequence in the response";
        return false;
    }
    box = topLevel;
    why = UidProblem(box.sopClass, "image box SOP class UID");
    if (why.empty()) why = UidProblem(box.sopInstance, "image box SOP instance UID");
    return why.empty();
}

bool PrintSCU(const std::filesystem::path& imageFile, std::string_view host, std::string_view port,
              std::string_view callingAeTitle, std::string_view calledAeTitle,
              const FilmSessionSettings& session, const FilmBoxSettings& filmBox,
              const PrintLineSink& sink) {
    return PrintSCU(imageFile,
                    net::SettingsFor(std::string(host), std::string(port),
                                     std::string(callingAeTitle), std::string(calledAeTitle)),
                    session, filmBox, sink);
}

bool PrintSCU(const std::filesystem::path& imageFile, const net::ConnectionSettings& printer,
              const FilmSessionSettings& session, const FilmBoxSettings& filmBox,
              const PrintLineSink& sink) {
    const PrintLog log(sink);
    auto image = std::make_unique<PrintImage>();
    if (const auto lines = LoadPrintImage(imageFile, *image); !lines.empty()) {
        for (const std::string& line : lines)
            log.Always(line);
        return false;
    }

    net::AssociationPtr assoc =
        net::Open(printer, net::ProposalFor(uid::BasicGrayscalePrintManagementMeta));
    if (assoc->opened.outcome != net::OpenOutcome::Accepted) {
        log.Failed("Connection Failed!", "Association",
                   ConnectionProblem(*assoc, printer.host, printer.port));
        return false;
    }

    net::CommandSet get = NGetRequest(uid::Printer, uid::PrinterInstance, net::NextMessageID());
    if (const NResponse status = NExchange(*assoc, get, uid::Printer, nullptr, net::N_GET_RSP);
        status.outcome != 0)
        log.Failed("Unable to Get Status", "Printer status",
                   DescribePrintOutcome(status, net::N_GET_RSP));

    ElementList attributes;
    FilmSessionAttributes(session, attributes);
    net::CommandSet createSession = NCreateRequest(uid::BasicFilmSession, net::NextMessageID());
    const NResponse sessionResponse =
        NExchange(*assoc, createSession, uid::BasicFilmSession, &attributes, net::N_CREATE_RSP);
    if (const std::string problem =
            CreateProblem(sessionResponse, net::N_CREATE_RSP, "film session instance UID");
        !problem.empty()) {
        log.Failed("Create Film Session: Failed!", "Film session", problem);
        return false;
    }
    log.Success("Create Film Session: OK!");

    attributes.Clear();
    std::string why;
    if (!FilmBoxAttributes(filmBox, sessionResponse.affectedInstance, attributes, why)) {
        log.Failed("Create Film Box: Failed!", "Film box", why);
        return false;
    }
    net::CommandSet createBox = NCreateRequest(uid::BasicFilmBox, net::NextMessageID());
    const NResponse boxResponse =
        NExchange(*assoc, createBox, uid::BasicFilmBox, &attributes, net::N_CREATE_RSP);
    ImageBoxReference imageBox;
    why = CreateProblem(boxResponse, net::N_CREATE_RSP, "film box instance UID");
    if (why.empty()) {
        data::DecoderState encoding{0, 0, 0};
        const uint8_t context = net::FindContextForClass(*assoc, uid::BasicFilmBox);
        if (const auto syntax = net::AcceptedSyntaxOf(*assoc, context)) {
            const data::DataSetEncoding layout = data::EncodingOf(*syntax);
            encoding.explicitVr = layout.explicitVr ? 1 : 0;
            encoding.bigEndian = layout.bigEndian ? 1 : 0;
        }
        FindImageBox(boxResponse.dataSet, encoding, imageBox, why);
    }
    if (!why.empty()) {
        log.Failed("Create Film Box: Failed!", "Film box", why);
        return false;
    }
    log.Success("Create Film Box: OK!");
    log.Success("Width: " + std::to_string(image->Width()) +
                ", Height: " + std::to_string(image->Height()));

    attributes.Clear();
    if (!ImageBoxAttributes(*image, attributes)) {
        log.Failed("Set Image Box: Failed!", "Image box", PrintSizeProblem(*image));
        return false;
    }
    image.reset();
    // The film box names the image box's class; a printer that names the meta class there (or
    // any other) still holds a grayscale image box, and only that class can be set.
    if (imageBox.sopClass != uid::BasicGrayscaleImageBox) {
        if (net::LogLevel() >= net::LOG_ASSOCIATION)
            net::WriteLogLine("The film box names the image box class " + imageBox.sopClass +
                              "; it is set as Basic Grayscale Image Box " +
                              std::string(uid::BasicGrayscaleImageBox));
        imageBox.sopClass = uid::BasicGrayscaleImageBox;
    }
    net::CommandSet set =
        NSetRequest(imageBox.sopClass, imageBox.sopInstance, net::NextMessageID());
    const NResponse setResponse =
        NExchange(*assoc, set, imageBox.sopClass, &attributes, net::N_SET_RSP);
    attributes.Clear();
    if (setResponse.outcome != 0) {
        log.Failed("Set Image Box: Failed!", "Image box",
                   DescribePrintOutcome(setResponse, net::N_SET_RSP));
        return false;
    }
    log.Success("Set Image Box: OK!");

    const std::string& filmBoxUid = boxResponse.affectedInstance;
    net::CommandSet action =
        NActionRequest(uid::BasicFilmBox, filmBoxUid, net::NextMessageID(), ACTION_PRINT, false);
    if (const NResponse r =
            NExchange(*assoc, action, uid::BasicFilmBox, nullptr, net::N_ACTION_RSP);
        r.outcome != 0) {
        log.Failed("Film Box Action: Failed!", "Print", DescribePrintOutcome(r, net::N_ACTION_RSP));
        return false;
    }
    log.Success("FilmBox Action: OK!");

    net::CommandSet remove = NDeleteRequest(uid::BasicFilmBox, filmBoxUid, net::NextMessageID());
    if (const NResponse r =
            NExchange(*assoc, remove, uid::BasicFilmBox, nullptr, net::N_DELETE_RSP);
        r.outcome != 0) {
        log.Failed("FilmBox Delete: Failed!", "Film box deletion",
                   DescribePrintOutcome(r, net::N_DELETE_RSP));
        return false;
    }
    log.Success("FilmBox Delete: OK!");
    return true;
}

}  // namespace dicomlib::services
