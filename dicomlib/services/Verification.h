// The user side of the Verification service: the C-ECHO-RQ and C-ECHO-RSP exchange on an
// association the caller opened, and the one-shot echo that opens, asks and closes.
#pragma once

#include <string_view>

#include "net/Association.h"
#include "net/CommandSet.h"

namespace dicomlib::services {

// The C-ECHO-RQ command set: group length, Affected SOP Class UID, Command Field, Message ID,
// Command Data Set Type.
net::CommandSet EchoRequest(std::string_view sopClassUid, uint16_t messageId);

// Sends a C-ECHO-RQ with the next Message ID as a command on the SOP class's context.
bool WriteEchoRQ(Association& assoc, std::string_view sopClassUid);
// Receives one message; true when it is a C-ECHO-RSP with status success. An absent Command
// Field or Status reads as 0.
bool ReadEchoRSP(Association& assoc);

// Opens a Verification association (implicit VR little endian), echoes once, and always
// releases and frees the association. An empty calling title becomes the default title. True
// only when the peer accepted and answered with status success. At trace level 2 or more
// every element sent and received is dumped.
bool EchoSCU(const net::ConnectionSettings& peer);
bool EchoSCU(std::string_view host, std::string_view port, std::string_view callingAeTitle,
             std::string_view calledAeTitle);

}  // namespace dicomlib::services
