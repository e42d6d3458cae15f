#include "services/Verification.h"

#include <memory>
#include <optional>
#include <string>

#include "data/Tags.h"
#include "data/Uids.h"
#include "net/Dimse.h"
#include "net/TraceLog.h"

namespace dicomlib::services {
namespace {

// Releases (when still connected) and frees the association on every way out.
struct AssociationDeleter {
    void operator()(Association* assoc) const {
        net::CloseAssoc(*assoc);
        net::DeleteAssociation(assoc);
    }
};

}  // namespace

CommandSet EchoRequest(std::string_view sopClassUid, uint16_t messageId) {
    CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, C_ECHO_RQ)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::CommandDataSetType, NO_DATA_SET);
    return command;
}

bool WriteEchoRQ(Association& assoc, std::string_view sopClassUid) {
    CommandSet command = EchoRequest(sopClassUid, NextMessageID());
    return net::SendMessage(assoc, command.List(), sopClassUid, net::MessageKind::Command);
}

bool ReadEchoRSP(Association& assoc) {
    ElementList response;
    if (!net::ReceiveMessage(assoc, response)) return false;
    return data::GetTagUS(response, tag::CommandField) == C_ECHO_RSP &&
           data::GetTagUS(response, tag::Status) == STATUS_SUCCESS;
}

bool EchoSCU(std::string_view host, std::string_view port, std::string_view callingAeTitle,
             std::string_view calledAeTitle) {
    std::unique_ptr<Association, AssociationDeleter> assoc(new Association());
    assoc->messageDump = net::LogLevel() >= net::LOG_MESSAGES;
    std::string calling(callingAeTitle);
    const std::string_view verification = uid::Verification;
    if (!net::OpenAssoc(*assoc, host, port, calling, calledAeTitle, verification, std::nullopt))
        return false;
    return WriteEchoRQ(*assoc, verification) && ReadEchoRSP(*assoc);
}

}  // namespace dicomlib::services
