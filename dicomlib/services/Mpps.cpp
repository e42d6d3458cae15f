#include "services/Mpps.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <random>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/NService.h"

namespace dicomlib::services {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view MPPS_CLASS = "1.2.840.10008.3.1.2.3.3";
constexpr uint16_t ITEM = 0xE000, ITEM_END = 0xE00D, SEQUENCE_END = 0xE0DD;

// Builds a data set in the flat form: elements in the order given, which is the ascending tag
// order at each level; sequences and items of undefined length with their delimiters.
class Builder {
  public:
    explicit Builder(ElementList& list) : list_(list) {}

    // Text padded to an even length: UIDs with 0x00, every other VR with a space.
    Builder& Text(uint16_t group, uint16_t element, const char* vr, std::string_view text) {
        std::string value(text);
        if (value.size() % 2 != 0) value += std::string_view(vr) == "UI" ? '\0' : ' ';
        list_.Append(data::NewTextElement({group, element}, vr, value));
        return *this;
    }
    Builder& Begin(uint16_t group, uint16_t element) {
        list_.Append(data::NewElement(group, element, UNDEFINED_LENGTH, nullptr, "SQ"));
        return *this;
    }
    Builder& Item() {
        list_.Append(data::NewElement(0xFFFE, ITEM, UNDEFINED_LENGTH, nullptr, nullptr));
        return *this;
    }
    Builder& EndItem() {
        list_.Append(data::NewElement(0xFFFE, ITEM_END, 0, nullptr, nullptr));
        return *this;
    }
    Builder& End() {
        list_.Append(data::NewElement(0xFFFE, SEQUENCE_END, 0, nullptr, nullptr));
        return *this;
    }
    // An empty sequence, as a type 2 sequence with nothing known is sent.
    Builder& Empty(uint16_t group, uint16_t element) { return Begin(group, element).End(); }

  private:
    ElementList& list_;
};

std::string Now(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// Opens an association for the MPPS class alone; null, the failure noted, when none opened.
net::AssociationPtr Open(const net::ConnectionSettings& peer, int32_t& outcome) {
    net::AssociationPtr assoc = net::Open(peer, net::ProposalFor(MPPS_CLASS, std::nullopt));
    if (assoc->opened.outcome == net::OpenOutcome::Accepted) return assoc;
    if (assoc->opened.outcome == net::OpenOutcome::NothingAccepted) {
        net::NoteFailure("the peer does not take Modality Performed Procedure Step: " +
                         net::ExplainOpenFailure(*assoc));
        outcome = MPPS_REFUSED;
    } else {
        net::NoteFailure("the RIS at " + peer.host + ":" + peer.port + ": " +
                         net::ExplainOpenFailure(*assoc));
        outcome = MPPS_NO_ASSOCIATION;
    }
    return nullptr;
}

// The outcome of an exchange, its failure noted in the words of the service.
int32_t Outcome(const net::NResponse& response, uint16_t field, std::string_view step) {
    if (response.outcome == 0) return 0;
    std::string words = net::DescribeNOutcome(response, field);
    if (response.outcome == 0x0110 && field == net::N_SET_RSP)
        words += "; a step that is COMPLETED or DISCONTINUED cannot be changed any more";
    if (response.outcome == 0x0112) words += "; the RIS holds no step " + std::string(step);
    net::NoteFailure(words);
    return response.outcome;
}

}  // namespace

std::string NewUid() {
    std::random_device seed;
    std::mt19937_64 random((uint64_t{seed()} << 32) ^ seed());
    // 128 bits as four 32-bit limbs, most significant first, divided by ten for each digit.
    uint32_t limbs[4];
    for (int i = 0; i < 4; i += 2) {
        const uint64_t bits = random();
        limbs[i] = static_cast<uint32_t>(bits >> 32);
        limbs[i + 1] = static_cast<uint32_t>(bits);
    }
    std::string digits;
    for (;;) {
        uint64_t rest = 0;
        bool zero = true;
        for (uint32_t& limb : limbs) {
            const uint64_t value = (rest << 32) | limb;
            limb = static_cast<uint32_t>(value / 10);
            rest = value % 10;
            zero = zero && limb == 0;
        }
        digits += static_cast<char>('0' + rest);
        if (zero) break;
    }
    std::reverse(digits.begin(), digits.end());
    return "2.25." + digits;
}

ElementList MppsCreateDataSet(const MppsCreateAttributes& a) {
    ElementList list;
    Builder b(list);
    if (!a.characterSet.empty()) b.Text(0x0008, 0x0005, "CS", a.characterSet);
    b.Text(0x0008, 0x0060, "CS", a.modality);
    b.Empty(0x0008, 0x1032);  // Procedure Code Sequence
    b.Empty(0x0008, 0x1120);  // Referenced Patient Sequence
    b.Text(0x0010, 0x0010, "PN", a.patientName);
    b.Text(0x0010, 0x0020, "LO", a.patientId);
    b.Text(0x0010, 0x0030, "DA", a.patientBirthDate);
    b.Text(0x0010, 0x0040, "CS", a.patientSex);
    b.Text(0x0020, 0x0010, "SH", "");  // Study ID
    b.Text(0x0040, 0x0241, "AE", a.stationAeTitle);
    b.Text(0x0040, 0x0242, "SH", a.stationName);
    b.Text(0x0040, 0x0243, "SH", a.location);
    b.Text(0x0040, 0x0244, "DA", a.startDate.empty() ? Now("%Y%m%d") : a.startDate);
    b.Text(0x0040, 0x0245, "TM", a.startTime.empty() ? Now("%H%M%S") : a.startTime);
    b.Text(0x0040, 0x0250, "DA", "");
    b.Text(0x0040, 0x0251, "TM", "");
    b.Text(0x0040, 0x0252, "CS", "IN PROGRESS");
    b.Text(0x0040, 0x0253, "SH", a.stepId.empty() ? Now("%y%m%d%H%M%S") : a.stepId);
    b.Text(0x0040, 0x0254, "LO", a.description);
    b.Text(0x0040, 0x0255, "LO", "");  // Performed Procedure Type Description
    b.Empty(0x0040, 0x0260);           // Performed Protocol Code Sequence
    // Scheduled Step Attribute Sequence: one item of what was scheduled.
    b.Begin(0x0040, 0x0270).Item();
    b.Text(0x0008, 0x0050, "SH", a.accessionNumber);
    b.Empty(0x0008, 0x1110);  // Referenced Study Sequence
    b.Text(0x0020, 0x000D, "UI", a.studyInstanceUid.empty() ? NewUid() : a.studyInstanceUid);
    b.Text(0x0032, 0x1060, "LO", a.requestedProcedureDescription);
    b.Text(0x0040, 0x0007, "LO", a.scheduledStepDescription);
    b.Empty(0x0040, 0x0008);  // Scheduled Protocol Code Sequence
    b.Text(0x0040, 0x0009, "SH", a.scheduledStepId);
    b.Text(0x0040, 0x1001, "SH", a.requestedProcedureId);
    b.EndItem().End();
    b.Empty(0x0040, 0x0340);  // Performed Series Sequence: none yet
    return list;
}

ElementList MppsFinalDataSet(std::string_view status, std::string_view endDate,
                             std::string_view endTime, const std::vector<PerformedSeries>& series) {
    ElementList list;
    Builder b(list);
    b.Text(0x0040, 0x0250, "DA", endDate);
    b.Text(0x0040, 0x0251, "TM", endTime);
    b.Text(0x0040, 0x0252, "CS", status);
    b.Begin(0x0040, 0x0340);
    for (const PerformedSeries& s : series) {
        b.Item();
        b.Text(0x0008, 0x0054, "AE", "");  // Retrieve AE Title
        b.Text(0x0008, 0x103E, "LO", s.seriesDescription);
        b.Text(0x0008, 0x1050, "PN", "");  // Performing Physician's Name
        b.Text(0x0008, 0x1070, "PN", "");  // Operator's Name
        b.Begin(0x0008, 0x1140);           // Referenced Image Sequence
        for (const auto& [sopClass, sopInstance] : s.images) {
            b.Item();
            b.Text(0x0008, 0x1150, "UI", sopClass);
            b.Text(0x0008, 0x1155, "UI", sopInstance);
            b.EndItem();
        }
        b.End();
        b.Text(0x0018, 0x1030, "LO", s.protocolName);
        b.Text(0x0020, 0x000E, "UI", s.seriesInstanceUid);
        b.Empty(0x0040, 0x0220);  // Referenced Non-Image Composite SOP Instance Sequence
        b.EndItem();
    }
    b.End();
    return list;
}

std::vector<PerformedSeries> SeriesOfFiles(const std::vector<fs::path>& files,
                                           std::vector<fs::path>& unreadable) {
    std::vector<fs::path> all;
    for (const fs::path& f : files) {
        std::error_code ec;
        if (fs::is_directory(f, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(f, ec))
                if (entry.is_regular_file(ec)) all.push_back(entry.path());
        } else {
            all.push_back(f);
        }
    }
    std::sort(all.begin(), all.end());
    std::vector<PerformedSeries> series;
    std::map<std::string, std::size_t> bySeries;
    for (const fs::path& f : all) {
        data::DecoderState state;
        ElementList meta, dataSet;
        if (!data::ReadPart10File(state, f, meta, dataSet)) {
            unreadable.push_back(f);
            continue;
        }
        const std::string uid = data::GetTopLevelString(dataSet, tag::SeriesInstanceUID);
        const std::string sopClass = data::GetTopLevelString(dataSet, tag::SOPClassUID);
        const std::string sopInstance = data::GetTopLevelString(dataSet, tag::SOPInstanceUID);
        if (uid.empty() || sopClass.empty() || sopInstance.empty()) {
            unreadable.push_back(f);
            continue;
        }
        auto [at, added] = bySeries.emplace(uid, series.size());
        if (added) {
            PerformedSeries s;
            s.seriesInstanceUid = uid;
            s.seriesDescription = data::GetTopLevelString(dataSet, {0x0008, 0x103E});
            s.protocolName = data::GetTopLevelString(dataSet, {0x0018, 0x1030});
            series.push_back(std::move(s));
        }
        series[at->second].images.emplace_back(sopClass, sopInstance);
    }
    return series;
}

int32_t MppsCreate(const net::ConnectionSettings& peer, MppsCreateAttributes attributes,
                   std::string& instanceUid) {
    net::NoteFailure({});
    int32_t opened = 0;
    net::AssociationPtr assoc = Open(peer, opened);
    if (!assoc) return opened;
    if (attributes.stationAeTitle.empty())
        attributes.stationAeTitle = peer.callingAeTitle.empty()
                                        ? std::string(net::DEFAULT_CALLING_AE_TITLE)
                                        : peer.callingAeTitle;
    const std::string uid = NewUid();
    ElementList dataSet = MppsCreateDataSet(attributes);
    net::CommandSet create = net::NCreateRequest(MPPS_CLASS, net::NextMessageID(), uid);
    const net::NResponse response =
        net::NExchange(*assoc, create, MPPS_CLASS, &dataSet, net::N_CREATE_RSP);
    const int32_t outcome = Outcome(response, net::N_CREATE_RSP, uid);
    if (outcome >= 0 && (outcome == 0 || (outcome & 0xF000) == 0xB000))
        instanceUid = response.affectedInstance.empty() ? uid : response.affectedInstance;
    return outcome;
}

int32_t MppsFinish(const net::ConnectionSettings& peer, std::string_view instanceUid,
                   std::string_view status, const std::vector<PerformedSeries>& series) {
    net::NoteFailure({});
    if (instanceUid.empty() || (status != "COMPLETED" && status != "DISCONTINUED")) {
        net::NoteFailure(
            "a step is ended COMPLETED or DISCONTINUED, and named by its SOP Instance UID");
        return MPPS_BAD_ARGUMENT;
    }
    int32_t opened = 0;
    net::AssociationPtr assoc = Open(peer, opened);
    if (!assoc) return opened;
    ElementList dataSet = MppsFinalDataSet(status, Now("%Y%m%d"), Now("%H%M%S"), series);
    net::CommandSet set = net::NSetRequest(MPPS_CLASS, instanceUid, net::NextMessageID());
    const net::NResponse response =
        net::NExchange(*assoc, set, MPPS_CLASS, &dataSet, net::N_SET_RSP);
    return Outcome(response, net::N_SET_RSP, instanceUid);
}

}  // namespace dicomlib::services
