// What a response status means, in the words an operator reads, and the same for the library's
// own negative outcome codes. Some statuses mean different things to different services
// (0xB000 is a coercion for a store and failed sub-operations for a move), so the words depend
// on the Command Field of the response.
#pragma once

#include <cstdint>
#include <string>

namespace dicomlib::services {

// Constant text, such as "refused: move destination unknown".
const char* StatusMeaning(uint16_t responseField, int32_t outcome);

// "0xA801 (refused: move destination unknown)" for a status; the words alone for a negative
// outcome.
std::string DescribeOutcome(uint16_t responseField, int32_t outcome);

}  // namespace dicomlib::services
