// The DIMSE dispatcher: every received command set, with the data set it announces, is routed
// by its Command Field. A request goes to the handler registered for its Command Field (and SOP
// class, when one is registered for that class); a request no handler serves is answered with
// its response carrying status 0x0122 (SOP class not supported); a C-CANCEL-RQ without a
// handler is passed over (it has no response); a response goes to the exchange waiting for it;
// anything that is neither (an unknown Command Field, a data set where a command belongs) is a
// protocol error that aborts the association. The provider's loop and a requestor awaiting a
// response both run on it, so that a C-STORE sub-operation or an N-EVENT-REPORT arriving while a
// requestor waits reaches its handler instead of reading as a missing response.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/ElementList.h"
#include "data/SpoolFile.h"

struct Association;

namespace dicomlib::net {

// One received message: the command set and, when the command announced one, the data set.
struct DimseMessage {
    ElementList command;
    ElementList dataSet;
    bool hasDataSet = false;
    uint16_t commandField = 0;
    // The context of the command, and of the data set when one came.
    uint8_t contextId = 0;
    uint8_t dataSetContextId = 0;
    // Set when the handler had the data set written to a file as it arrived: dataSet then holds
    // its elements read back from it, values from 256 KB on and pixel data left in the file
    // (empty when the file failed: the data set is lost). The file goes with the message unless
    // the handler gives it its final name.
    std::unique_ptr<data::SpoolFile> spool;

    uint16_t MessageId() const;
    uint16_t MessageIdBeingRespondedTo() const;
    // The Affected SOP Class UID, or else the Requested one; empty when there is neither.
    std::string SopClass() const;
};

// What a handler tells the loop that called it.
enum class HandlerResult {
    Continue,  // go on with the next message
    End,       // the association has to end: the loop stops and the caller releases it
};

// Serves one request on the association it arrived on: answers it (or not) and says how to go on.
using DimseHandler = std::function<HandlerResult(Association&, DimseMessage&)>;
// Of a handler that takes its request's data set as a file rather than in memory: given the
// command set received, the file the data set is written into as it arrives, or null to have it
// collected in memory.
using DataSetSpool =
    std::function<std::unique_ptr<data::SpoolFile>(Association&, const DimseMessage& command)>;

// The handlers of one side of an association, by Command Field and, optionally, SOP class.
class DimseHandlers {
  public:
    // The handler for every request with this Command Field.
    DimseHandlers& On(uint16_t commandField, DimseHandler handler);
    // The handler for requests with this Command Field on this SOP class; it comes before a
    // handler registered for the Command Field alone.
    DimseHandlers& On(uint16_t commandField, std::string_view sopClassUid, DimseHandler handler,
                      DataSetSpool spool = {});

    // The handler for the request, or null.
    const DimseHandler* Find(uint16_t commandField, std::string_view sopClassUid) const;
    // The spool of that handler, or null.
    const DataSetSpool* FindSpool(uint16_t commandField, std::string_view sopClassUid) const;
    bool Empty() const { return rows_.empty(); }
    // The requests served, in the order of their Command Field values: "C-STORE and C-ECHO".
    std::string ServedNames() const;

  private:
    struct Row {
        uint16_t commandField;
        std::string sopClassUid;  // empty: any class
        DimseHandler handler;
        DataSetSpool spool;
    };
    const Row* FindRow(uint16_t commandField, std::string_view sopClassUid) const;
    std::vector<Row> rows_;
};

// The response to a request no handler serves: that request's response with the request's SOP
// class (Affected, or else Requested, SOP Class UID) when it has one, Message ID Being Responded
// To, no data set, status 0x0122 and an Error Comment ("C-FIND-RQ not served here: only C-STORE
// and C-ECHO are", with the served names given). None for a Command Field that is no request,
// and for a C-CANCEL-RQ, which has no response.
std::optional<ElementList> NotServedResponse(const ElementList& request,
                                             std::string_view servedNames);

// Receives one command set and, when it announces one (a Command Data Set Type other than
// 0x0101; C-ECHO, C-STORE-RSP and C-CANCEL-RQ never do; without one, C-STORE, C-FIND, C-MOVE
// and C-GET do and the N-services do not), its data set. None when the
// association ended (release, abort, close) or sent a data set where the command belonged or the
// reverse (the association is then aborted); why, when given, then says which in a few words.
// With handlers, a request whose handler has a spool gets its data set written to that file.
std::optional<DimseMessage> ReceiveDimseMessage(Association& assoc, std::string* why = nullptr,
                                                const DimseHandlers* handlers = nullptr);

// Routes one received request (or stray response) as the loop does. Responses are not
// expected here: a response to no exchange ends the association.
HandlerResult Dispatch(Association& assoc, const DimseHandlers& handlers, DimseMessage& message);

// The provider's loop: receives and dispatches until the peer releases, aborts or closes, or a
// handler ends the association. The caller releases it.
void ServeRequests(Association& assoc, const DimseHandlers& handlers);

// A requestor's wait for the response to its request messageId (the last request sent on the
// association when none is given): requests arriving meanwhile are dispatched to the
// association's handlers (Association::handlers). One request is outstanding at a time, so
// the first response is its answer; one naming another Message ID is traced at level 1. None when
// no response came (the reason noted as the thread's last failure).
std::optional<DimseMessage> AwaitResponse(Association& assoc,
                                          std::optional<uint16_t> messageId = std::nullopt,
                                          std::string* why = nullptr);

}  // namespace dicomlib::net
