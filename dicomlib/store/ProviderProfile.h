// What the provider takes and how it serves it: one row per abstract syntax, with the transfer
// syntaxes it prefers, the role it plays and the handler of its requests. Answering an
// association request is a pure function of the request and the profile; the provider's loop
// registers the rows' handlers with the DIMSE dispatcher. Two profiles are built in: the
// standard one (twenty SOP classes, each in its own order of syntaxes) and accept-all (besides
// those, every storage SOP class of the standard, in the requestor's order of the syntaxes the
// library reads, each instance stored as it was sent).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/Association.h"
#include "net/Dispatcher.h"
#include "store/ProviderWatch.h"

namespace dicomlib::store {

// The SOP classes of the standard profile, compared as whole strings.
extern const std::array<const char*, 20> ACCEPTED_ABSTRACT_SYNTAXES;

// The two built-in profiles.
enum class AcceptPolicy { Standard, Everything };

// The roles this side takes for an abstract syntax: as SCP it serves the requests the
// requestor sends; as SCU it sends requests of its own on the requestor's association (the
// C-STORE sub-operations of a C-GET, the N-EVENT-REPORT of a storage commitment).
enum class ProviderRole : uint8_t { Scp = 1, Scu = 2, Both = 3 };

struct ProfileRow {
    std::string abstractSyntax;
    // Best first; empty: the first offered syntax the library reads, in the requestor's order.
    std::vector<std::string> syntaxPreference;
    ProviderRole role = ProviderRole::Scp;
    // The request the handler serves (0 with no handler: such requests are answered as not
    // served), and the handler.
    uint16_t commandField = 0;
    net::DimseHandler handler;
    // Where the handler has its requests' data sets written as they arrive (empty: in memory).
    net::DataSetSpool spool;
};

struct ProviderProfile {
    std::vector<ProfileRow> rows;
    // Faults committed on purpose; none by default.
    FaultSettings faults = {};
    // Told of every association and message (may be empty).
    ProviderObserver observer = {};

    // The row of an abstract syntax, or null.
    const ProfileRow* Find(std::string_view abstractSyntax) const;
    // The rows' handlers, each for its Command Field and abstract syntax.
    net::DimseHandlers Handlers() const;
};

// Where received instances go.
struct StorageTarget {
    std::string storageDirectory;  // as StorageDirectoryOf gives it
    std::filesystem::path indexRoot;
    bool asReceived = false;  // every instance stays in the syntax it came in
    // Told the status of every instance filed, just before its response goes out (may be empty).
    std::function<void(uint16_t status)> filed = {};
};

// The handler of C-STORE-RQ that files the received instance under target (StoreInstance:
// folder layout, index lines, refusal of UIDs that may not become paths) and answers with the
// outcome. A C-STORE-RQ without a data set ends the association; one without an Affected SOP
// Class UID, or whose class has no accepted context, is not stored and not answered.
// A data set that came into a file (see StoreSpool) is stored from it, and the file goes
// before the response does.
net::DimseHandler StoreHandler(StorageTarget target);
// The spool that goes with StoreHandler: each data set is written into a file in the storage
// directory as it arrives (SpoolForStore), so an instance of any size is received in the
// same memory.
net::DataSetSpool StoreSpool(const StorageTarget& target);
// The handler of C-ECHO-RQ: success, unless the request names no SOP class (then no answer).
net::DimseHandler EchoHandler();

// The built-in profiles, storing into target.
ProviderProfile StandardProfile(const StorageTarget& target);
ProviderProfile AcceptAllProfile(const StorageTarget& target);
ProviderProfile ProfileFor(AcceptPolicy policy, const StorageTarget& target);

// The row's choice among the offered syntaxes, or none.
std::optional<std::string> ChooseTransferSyntax(const ProfileRow& row,
                                                const std::vector<std::string>& offered);
// The answer to one proposal: acceptance in the chosen syntax; result 3 (abstract syntax not
// supported) for a class the profile has no row for; result 4 (transfer syntaxes not
// supported) for one it has, in none of the offered syntaxes, and for one the faults refuse. A
// refusal names no syntax. The
// answer carries the proposal's abstract syntax (not sent).
net::PresentationContextAC AnswerProposal(const net::PresentationContextRQ& proposal,
                                          const ProviderProfile& profile);
// The answer to a role selection, as the profile's row says; none for a class without a row
// (the default roles then hold).
std::optional<net::RoleSelection> AnswerRoleSelection(const net::RoleSelection& proposed,
                                                      const ProviderProfile& profile);

// The answer to an association request: an A-ASSOCIATE-AC with the request's titles and
// application context, one answer per proposal in order, and, when anything was accepted, this
// system's user information with the answered role selections; when nothing was, the
// requestor's own maximum length, class UID and version name. The faults' rejection, when they
// have one, instead.
net::AssociateAnswer AnswerAssociation(const net::AssociateRQ& request,
                                       const ProviderProfile& profile);
// The same as a negotiation for AcceptAssoc; the profile must outlive it.
net::Negotiation AnswerWith(const ProviderProfile& profile);

}  // namespace dicomlib::store
