// The words a peer may put beside a failing status: the Error Comment of its response.
#pragma once

#include <cstdint>
#include <string>

#include "data/ElementList.h"

namespace dicomlib::net {

// The response's Error Comment (0000,0902), trailing padding taken off and control codes shown
// as '?' (a peer's bytes never reach a terminal as such); empty when it has none.
std::string ErrorCommentOf(const ElementList& command);

// "; the peer says: "COMMENT"" to follow a status's words; "" for no comment.
std::string PeerSays(const std::string& comment);

// NoteStatusFailure, with the peer's Error Comment after the words when the response has one.
void NoteStatusFailureOf(uint16_t status, uint16_t commandField, const ElementList& command);

}  // namespace dicomlib::net
