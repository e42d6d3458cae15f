// The words for what can end an association before or outside DIMSE: the result, source and
// reason of an A-ASSOCIATE-RJ, the source and reason of an A-ABORT, the result of a
// presentation context, and the ways a connection fails. Each explanation says what happened
// and what the operator can do about it. The status words of DIMSE responses are in CommandSet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/Pdu.h"

namespace dicomlib::net {

// Presentation context results of an A-ASSOCIATE-AC besides acceptance and RESULT_NO_REASON.
constexpr uint8_t RESULT_USER_REJECTION = 1;
constexpr uint8_t RESULT_PROVIDER_NO_REASON = 2;
constexpr uint8_t RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED = 3;
constexpr uint8_t RESULT_TRANSFER_SYNTAXES_NOT_SUPPORTED = 4;

// A-ASSOCIATE-RJ result and source values.
constexpr uint8_t REJECTED_PERMANENT = 1;
constexpr uint8_t REJECTED_TRANSIENT = 2;
constexpr uint8_t REJECT_SOURCE_USER = 1;
constexpr uint8_t REJECT_SOURCE_ACSE = 2;
constexpr uint8_t REJECT_SOURCE_PRESENTATION = 3;

// "rejected permanently by the peer's application: called AE title not recognised".
std::string RejectMeaning(const AssociateRJ& rejection);
// The meaning and, after ": ", what to do; the titles are those of our request.
std::string RejectExplanation(const AssociateRJ& rejection, std::string_view callingAeTitle,
                              std::string_view calledAeTitle);

// "aborted by the peer's DICOM layer: unexpected PDU".
std::string AbortMeaning(const AbortRQ& abort);
std::string AbortExplanation(const AbortRQ& abort);

// "accepted", "refused by the peer's application (user rejection)", "abstract syntax not
// supported", ...; "result N" for a value the protocol does not define.
std::string ContextResultMeaning(uint8_t result);
// What the operator can do when a context of that result was all the peer gave. A refusal of
// the transfer syntaxes although implicit VR little endian was among them (which every
// provider takes for a SOP class it supports) speaks of the SOP class instead.
std::string_view ContextResultAdvice(uint8_t result, bool implicitVrOffered = false);

// A connection that could not be made: errno of the connect, in words with advice.
std::string ConnectFailureExplanation(int socketError, std::string_view host,
                                      std::string_view port);

// What to do about a DIMSE status that is not success, for the given Command Field: empty
// when there is nothing to add to the status words.
std::string_view StatusAdvice(uint16_t status, uint16_t commandField);
// Notes a failing status of a response as this thread's last failure (see LastFailure): its
// words and what to do.
void NoteStatusFailure(uint16_t status, uint16_t commandField);

}  // namespace dicomlib::net
