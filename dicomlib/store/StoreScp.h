// The storage provider. Each StartStoreSCP starts a listener thread that serves associations
// one after the other, or up to a chosen number at once; it answers C-ECHO-RQ and C-STORE-RQ
// and files every received instance as a Part 10 file in a study/series tree under its storage
// directory, entered in the local database index. A C-STORE-RSP goes out only once the
// instance's file is on disk (or could not be written), and tells which: a sender may delete
// what it was told is stored. Writing happens on the serving thread, since the response has to
// wait for it anyway.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "data/ElementList.h"
#include "data/SpoolFile.h"
#include "net/Association.h"
#include "net/TcpSocket.h"
#include "net/TlsTransport.h"
#include "store/DatabaseIndex.h"
#include "store/ProviderProfile.h"

namespace dicomlib::store {

// The storage directory as the listener uses it: ending in a separator ("" means "./").
std::string StorageDirectoryOf(std::string_view directory);

// A UID that may become a file or directory name: components of digits separated by single
// dots, none empty, at most 64 characters.
bool IsValidUid(std::string_view uid);

// The responses, in the order their elements go out; none when the request has no Affected
// SOP Class UID (or an empty one). The UID is the request's value, rounded up to even length
// with 0x00; the echo response copies the request's Command Data Set Type.
std::optional<ElementList> EchoResponse(const ElementList& request);
std::optional<ElementList> StoreResponse(const ElementList& request, uint16_t status);

// Where a received instance goes, and what it holds.
struct StoragePlan {
    std::string seriesDirectory;  // storage directory + Study UID + "/" + Series UID
    std::string filePath;         // series directory + "/" + SOP Instance UID + ".dcm"
    std::string sopClassUid;
    std::string sopInstanceUid;
};

// The plan for a data set, or none when one of its UIDs may not become a path. An absent Study
// or Series Instance UID is the empty text, filed under an empty-named directory level.
std::optional<StoragePlan> PlanStorage(const std::string& storageDirectory,
                                       const ElementList& dataSet);

// Files one data set received in transferSyntax and returns the status for the C-STORE-RSP:
// success, out of resources when the file could not be written, cannot understand for a UID
// that may not become a path or a data set that cannot be re-encoded.
// The file is written under a temporary name, flushed to the disk and renamed into place: in
// implicit VR little endian (data received in another uncompressed syntax is re-encoded, its
// sequences with it), or, for data received compressed, in explicit VR little endian under a
// meta group naming that syntax. asReceived: every instance stays in the syntax it came in.
// Index lines are added only for a file that was written and did not exist before.
uint16_t StoreInstance(const std::string& storageDirectory, const std::filesystem::path& indexRoot,
                       ElementList& dataSet, std::string_view transferSyntax,
                       bool asReceived = false);

// The file a C-STORE's data set is received into as it arrives: in the storage directory (made
// when missing), with room in front for the preamble and meta group the instance will be
// stored with when its data set agrees with its command (Affected SOP Class and Instance UID)
// and is stored as it came: then the file takes its final name without a copy. A directory that
// cannot be made gives a failed spool (the data set is received and dropped).
std::unique_ptr<data::SpoolFile> SpoolForStore(const std::string& storageDirectory,
                                               const ElementList& command,
                                               std::string_view transferSyntax,
                                               bool asReceived = false);

// StoreInstance for a data set received into spool, dataSet holding its elements read back
// (large values left in the file): the same status, the same file and index lines. What is
// stored as it came is the bytes received, taken from the spool (which itself becomes the
// stored file when it has the room in front); a conversion reads the spool a frame at a time.
// The spool is left behind otherwise, for its owner to remove.
uint16_t StoreSpooledInstance(const std::string& storageDirectory,
                              const std::filesystem::path& indexRoot, data::SpoolFile& spool,
                              ElementList& dataSet, std::string_view transferSyntax,
                              bool asReceived = false);

// Serves one association on an accepted connection handle: negotiation as the profile answers,
// then the requests through the dispatcher with the profile's handlers until the peer releases
// or aborts; a request no handler serves is answered as not served (0x0122) and the
// association goes on. Once the cancel signal (when given) is raised, what has already arrived
// is still served and answered, and the next wait for the peer closes the connection. The
// settings give the waits for the request, the release and between requests, and the maximum
// PDU length announced; a TLS context in their transport secures the connection first (a
// failed handshake ends it).
void ServeAssociation(int handle, const ProviderProfile& profile,
                      const net::CancelSignal* cancel = nullptr,
                      const net::ConnectionSettings& settings = {});
// The same with a built-in profile storing into storageDirectory and indexing under indexRoot.
// With AcceptPolicy::Everything every storage class is taken and stored as received.
void ServeAssociation(int handle, const std::string& storageDirectory,
                      const std::filesystem::path& indexRoot,
                      const net::CancelSignal* cancel = nullptr,
                      AcceptPolicy policy = AcceptPolicy::Standard,
                      const net::ConnectionSettings& settings = {});

// The most associations one listener serves at once.
constexpr int MAX_ASSOCIATIONS = 256;

struct Listener;

// One listener owned by whoever started it: it files into directory and indexes under
// indexRoot, serves up to maxAssociations associations at once (taken into
// 1..MAX_ASSOCIATIONS; 1 serves them one after the other; further connections wait in the
// listen backlog), and ends when Stop is called or the provider goes, whatever other listeners
// of the process do. StopStoreSCP does not reach it.
class StoreProvider {
  public:
    // Starts the listener thread and returns at once; a port that cannot be listened on ends
    // the listener (see Listening).
    // With a TLS context every connection is secured with it (a provider serves one kind of
    // port: TLS or plain).
    StoreProvider(std::string_view directory, std::string_view port,
                  const std::filesystem::path& indexRoot, int maxAssociations = 1,
                  AcceptPolicy policy = AcceptPolicy::Standard,
                  const net::ConnectionSettings& settings = {});
    // The same serving the given profile (its rows' handlers decide what is stored where).
    StoreProvider(ProviderProfile profile, std::string_view port, int maxAssociations = 1,
                  const net::ConnectionSettings& settings = {});
    ~StoreProvider();
    StoreProvider(const StoreProvider&) = delete;
    StoreProvider& operator=(const StoreProvider&) = delete;

    // Waits until the listener has either listened or given up; true while it listens.
    bool Listening() const;
    // Closes the listening socket and the connection of each association being served, once
    // what has arrived on it is stored and answered, and returns when all have ended.
    void Stop();

  private:
    std::shared_ptr<Listener> listener_;
};

// Starts a listener as StoreProvider does, kept in the process-wide registry that
// StoreSCPListening and StopStoreSCP reach; may be called more than once.
void StartStoreSCP(std::string_view directory, std::string_view port,
                   const std::filesystem::path& indexRoot = INDEX_ROOT, int maxAssociations = 1,
                   AcceptPolicy policy = AcceptPolicy::Standard,
                   const net::ConnectionSettings& settings = {});
// The same serving the given profile (its faults and observer included).
void StartStoreSCP(ProviderProfile profile, std::string_view port, int maxAssociations = 1,
                   const net::ConnectionSettings& settings = {});
// Waits until the registry's listener started last on port has either listened or given up;
// true when it is listening now.
bool StoreSCPListening(std::string_view port);
// Stops every listener of the registry and returns when all have ended, as StoreProvider::Stop
// does for one. Listeners started afterwards run as usual; those of a StoreProvider go on.
void StopStoreSCP();

}  // namespace dicomlib::store
