#include "services/Verification.h"

#include <optional>
#include <string>

#include "data/Tags.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/Dimse.h"
#include "net/Dispatcher.h"
#include "net/ErrorComment.h"
#include "net/TraceLog.h"

namespace dicomlib::services {

net::CommandSet EchoRequest(std::string_view sopClassUid, uint16_t messageId) {
    net::CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, net::C_ECHO_RQ)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::CommandDataSetType, net::NO_DATA_SET);
    return command;
}

bool WriteEchoRQ(Association& assoc, std::string_view sopClassUid) {
    net::CommandSet command = EchoRequest(sopClassUid, net::NextMessageID());
    return net::SendMessage(assoc, command.List(), sopClassUid, net::MessageKind::Command);
}

bool ReadEchoRSP(Association& assoc) {
    assoc.dataTransfer.awaitedResponse = net::C_ECHO_RSP;
    auto response = net::AwaitResponse(assoc);
    if (!response) return false;
    if (response->commandField != net::C_ECHO_RSP) {
        net::NoteFailure("the peer answered with another message than a C-ECHO response");
        return false;
    }
    const uint16_t status = data::GetTagUS(response->command, tag::Status);
    if (status != net::STATUS_SUCCESS)
        net::NoteStatusFailureOf(status, net::C_ECHO_RSP, response->command);
    return status == net::STATUS_SUCCESS;
}

bool EchoSCU(std::string_view host, std::string_view port, std::string_view callingAeTitle,
             std::string_view calledAeTitle) {
    return EchoSCU(net::SettingsFor(std::string(host), std::string(port),
                                    std::string(callingAeTitle), std::string(calledAeTitle)));
}

bool EchoSCU(const net::ConnectionSettings& peer) {
    const std::string_view verification = uid::Verification;
    net::AssociationPtr assoc = net::Open(peer, net::ProposalFor(verification));
    if (assoc->opened.outcome != net::OpenOutcome::Accepted) return false;
    return WriteEchoRQ(*assoc, verification) && ReadEchoRSP(*assoc);
}

}  // namespace dicomlib::services
