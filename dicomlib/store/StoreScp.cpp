// The storage provider's listeners, the serving of one association, and the filing of one
// received instance. Each listener owns a cancel signal that ends its accept and its waits for
// the peer, and serves each association on a thread of its own, up to its limit at once. A
// listener belongs to its StoreProvider, or to the process-wide registry that StopStoreSCP
// reaches.
#include "store/StoreScp.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "data/Converter.h"
#include "data/ElementSink.h"
#include "data/FileBytes.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/TraceLog.h"
#include "net/UserIdentity.h"

namespace dicomlib::store {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t MAX_UID_LENGTH = 64;

// The request's Affected SOP Class UID bytes, rounded up to even length with 0x00; none when
// it is absent or empty.
std::optional<std::string_view> AffectedClassValue(const ElementList& request) {
    if (data::GetTagString(request, tag::AffectedSOPClassUID).empty()) return std::nullopt;
    const DicomElement* e = data::FindTag(request, tag::AffectedSOPClassUID);
    return std::string_view(reinterpret_cast<const char*>(e->value), e->length);
}

// Instances being written, by file path. A second store of the same instance waits for the
// first, so "the file existed before" and the index lines that depend on it stay true.
class WritingClaim {
  public:
    explicit WritingClaim(std::string path) : path_(std::move(path)) {
        Claims& claims = TheClaims();
        std::unique_lock lock(claims.mutex);
        claims.released.wait(lock, [&] { return claims.paths.count(path_) == 0; });
        claims.paths.insert(path_);
    }
    ~WritingClaim() {
        Claims& claims = TheClaims();
        {
            std::lock_guard lock(claims.mutex);
            claims.paths.erase(path_);
        }
        claims.released.notify_all();
    }
    WritingClaim(const WritingClaim&) = delete;
    WritingClaim& operator=(const WritingClaim&) = delete;

  private:
    struct Claims {
        std::mutex mutex;
        std::condition_variable released;
        std::set<std::string> paths;
    };
    // Never destroyed, like the listener registry: a listener may still write at exit.
    static Claims& TheClaims() {
        static Claims* claims = new Claims();
        return *claims;
    }

    std::string path_;
};

bool IsCompressedSyntax(std::string_view syntax) {
    const data::TransferSyntax* row = data::FindTransferSyntax(syntax);
    return row != nullptr && row->encapsulated;
}

// Explicit and implicit VR little endian differ in the element headers, which the file writer
// lays out itself, and besides only inside defined-length sequences and items (held as encoded
// bytes) and in group lengths (which count header bytes). Without those, the data set as it
// came is written as it is, without a copy of its values.
bool NeedsReencoding(const ElementList& dataSet) {
    for (const DicomElement* e : dataSet) {
        if (e->element == 0x0000 && e->group != 0xFFFE) return true;
        if (data::HasValue(*e) && (data::VrIs(*e, "SQ") || TagOf(*e) == tag::Item)) return true;
    }
    return false;
}

// Whether writing the data set's elements into a file gives back the bytes it arrived in:
// true unless it holds elements of group 0000 or 0002, which the file writer lays out in
// explicit VR little endian whatever the syntax.
bool RewritesAsItCame(const ElementList& dataSet) {
    return std::none_of(dataSet.begin(), dataSet.end(), [](const DicomElement* e) {
        return e->group == 0x0000 || e->group == 0x0002;
    });
}

// Whether the instance is stored in the syntax it came in, and so the bytes it came as.
bool StoredAsItCame(std::string_view transferSyntax, bool asReceived) {
    return asReceived || IsCompressedSyntax(transferSyntax) ||
           transferSyntax == uid::ImplicitVRLittleEndian;
}

// The bytes in front of a stored data set: preamble, "DICM", the meta group.
std::vector<uint8_t> FileFront(const ElementList& meta) {
    data::MemorySink out;
    std::vector<uint8_t> preamble(132, 0);
    std::copy_n("DICM", 4, preamble.begin() + 128);
    out.Put(preamble);
    data::ElementEncoder encoder(out, data::HeaderRules::File, true, false);
    data::PutList(encoder, meta);
    return std::move(out.Bytes());
}

// The threads of the associations one listener serves at once, at most limit of them. Each
// thread hands itself over to be joined when it ends.
class AssociationPool {
  public:
    explicit AssociationPool(int limit) : limit_(limit) {}
    ~AssociationPool() { JoinAll(); }
    AssociationPool(const AssociationPool&) = delete;
    AssociationPool& operator=(const AssociationPool&) = delete;

    // Returns once fewer than limit associations are being served.
    void WaitForRoom() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return running_.size() < static_cast<std::size_t>(limit_); });
        JoinFinished(lock);
    }

    // Runs serve on a thread of its own; throws when the platform cannot start one.
    void Start(std::function<void()> serve) {
        std::lock_guard lock(mutex_);
        // The new thread's last step waits for this lock, so it is in running_ before it ends.
        std::thread thread([this, serve = std::move(serve)] {
            serve();
            std::lock_guard done(mutex_);
            const auto self = running_.find(std::this_thread::get_id());
            finished_.push_back(std::move(self->second));
            running_.erase(self);
            changed_.notify_all();
        });
        const std::thread::id id = thread.get_id();
        running_.emplace(id, std::move(thread));
    }

    void JoinAll() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return running_.empty(); });
        JoinFinished(lock);
    }

  private:
    void JoinFinished(std::unique_lock<std::mutex>& lock) {
        std::vector<std::thread> finished;
        finished.swap(finished_);
        lock.unlock();
        for (auto& thread : finished)
            thread.join();
        lock.lock();
    }

    const int limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::thread::id, std::thread> running_;
    std::vector<std::thread> finished_;
};

}  // namespace

// Outside the unnamed namespace, as Listener (declared in the header) has a field of it.
enum class ListenerState { Starting, Listening, Ended };

struct Listener {
    std::string port;
    // Read by every association's thread, changed by none.
    ProviderProfile profile;
    int maxAssociations = 1;
    net::ConnectionSettings settings;
    net::CancelSignal cancel;
    std::thread thread;
    ListenerState state = ListenerState::Starting;  // guarded by the registry's mutex
};

namespace {

// Never destroyed: a listener still running when the process exits must not find it gone. Its
// mutex and condition guard the state of every listener, registered or owned.
struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Listener>> listeners;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry();
    return *registry;
}

void SetState(Listener& listener, ListenerState state) {
    Registry& registry = TheRegistry();
    {
        std::lock_guard lock(registry.mutex);
        listener.state = state;
    }
    registry.changed.notify_all();
}

void Serve(Listener& listener, int handle) {
    try {
        ServeAssociation(handle, listener.profile, &listener.cancel, listener.settings);
    } catch (...) {
        // One association's failure (memory, most likely) ends only that association.
    }
}

void ServerThread(Listener& listener) {
    try {
        AssociationPool pool(listener.maxAssociations);
        net::TcpSocket socket;
        socket.WatchCancel(&listener.cancel);
        if (socket.Listen(listener.port)) {
            SetState(listener, ListenerState::Listening);
            // With every place taken, new connections wait in the listen backlog.
            for (pool.WaitForRoom(); socket.Accept(); pool.WaitForRoom()) {
                const int handle = socket.ReleaseConnection();
                try {
                    pool.Start([&listener, handle] { Serve(listener, handle); });
                } catch (const std::system_error&) {
                    Serve(listener, handle);  // no thread to be had: served here instead
                }
            }
        }
    } catch (...) {
        // Nothing escapes the thread: the listener ends as one that could not listen.
    }
    SetState(listener, ListenerState::Ended);
}

void JoinAll(std::vector<std::shared_ptr<Listener>>& listeners) {
    for (auto& listener : listeners)
        if (listener->thread.joinable()) listener->thread.join();
}

std::shared_ptr<Listener> NewListener(ProviderProfile profile, std::string_view port,
                                      int maxAssociations,
                                      const net::ConnectionSettings& settings) {
    auto listener = std::make_shared<Listener>();
    if (profile.observer) {
        // The associations' threads take turns: every event reaches the observer whole.
        profile.observer = [observer = std::move(profile.observer),
                            mutex = std::make_shared<std::mutex>()](const ProviderEvent& event) {
            std::lock_guard lock(*mutex);
            observer(event);
        };
    }
    listener->profile = std::move(profile);
    listener->settings = settings;
    listener->port = std::string(port);
    listener->maxAssociations = std::clamp(maxAssociations, 1, MAX_ASSOCIATIONS);
    return listener;
}

bool WaitUntilStarted(const Listener& listener) {
    Registry& registry = TheRegistry();
    std::unique_lock lock(registry.mutex);
    registry.changed.wait(lock, [&] { return listener.state != ListenerState::Starting; });
    return listener.state == ListenerState::Listening;
}

}  // namespace

std::string StorageDirectoryOf(std::string_view directory) {
    std::string result = directory.empty() ? std::string(".") : std::string(directory);
    if (result.back() != '/') result += '/';
    return result;
}

bool IsValidUid(std::string_view uid) {
    if (uid.empty() || uid.size() > MAX_UID_LENGTH) return false;
    bool componentEmpty = true;
    for (char c : uid) {
        if (c == '.') {
            if (componentEmpty) return false;
            componentEmpty = true;
        } else if (c >= '0' && c <= '9') {
            componentEmpty = false;
        } else {
            return false;
        }
    }
    return !componentEmpty;
}

std::optional<ElementList> EchoResponse(const ElementList& request) {
    const auto sopClass = AffectedClassValue(request);
    if (!sopClass) return std::nullopt;
    net::CommandSet response;
    response.AppendUid(tag::AffectedSOPClassUID, *sopClass)
        .AppendUs(tag::CommandField, net::C_ECHO_RSP)
        .AppendUs(tag::MessageIDBeingRespondedTo, data::GetTagUS(request, tag::MessageID))
        .AppendUs(tag::CommandDataSetType, data::GetTagUS(request, tag::CommandDataSetType))
        .AppendUs(tag::Status, net::STATUS_SUCCESS);
    return std::move(response.List());
}

std::optional<ElementList> StoreResponse(const ElementList& request, uint16_t status) {
    const auto sopClass = AffectedClassValue(request);
    if (!sopClass) return std::nullopt;
    const uint16_t messageId = data::GetTagUS(request, tag::MessageID);
    net::CommandSet response;
    response.AppendUid(tag::AffectedSOPClassUID, *sopClass)
        .AppendUs(tag::CommandField, net::C_STORE_RSP)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::MessageIDBeingRespondedTo, messageId)
        .AppendUs(tag::CommandDataSetType, net::NO_DATA_SET)
        .AppendUs(tag::Status, status);
    return std::move(response.List());
}

std::optional<StoragePlan> PlanStorage(const std::string& storageDirectory,
                                       const ElementList& dataSet) {
    // The texts the index uses too: up to the first 0x00, blanks trimmed. The instance's own,
    // not those of a sequence in front of them (a referenced series).
    const std::string study = data::GetTopLevelString(dataSet, tag::StudyInstanceUID);
    const std::string series = data::GetTopLevelString(dataSet, tag::SeriesInstanceUID);
    StoragePlan plan;
    plan.sopInstanceUid = data::GetTopLevelString(dataSet, tag::SOPInstanceUID);
    plan.sopClassUid = data::GetTopLevelString(dataSet, tag::SOPClassUID);
    if (!IsValidUid(plan.sopInstanceUid) || (!study.empty() && !IsValidUid(study)) ||
        (!series.empty() && !IsValidUid(series))) {
        return std::nullopt;
    }
    plan.seriesDirectory = storageDirectory + study + "/" + series;
    plan.filePath = plan.seriesDirectory + "/" + plan.sopInstanceUid + ".dcm";
    return plan;
}

uint16_t StoreInstance(const std::string& storageDirectory, const fs::path& indexRoot,
                       ElementList& dataSet, std::string_view transferSyntax, bool asReceived) {
    const auto plan = PlanStorage(storageDirectory, dataSet);
    if (!plan) return net::STATUS_CANNOT_UNDERSTAND;
    try {
        // Compressed pixel data stays as it came, so the file names the syntax it is in; the
        // rest of such a data set is explicit VR little endian on the wire and in the file.
        ElementList converted;
        const ElementList* body = &dataSet;
        // As received, the body keeps the wire's layout: the values are in its byte order
        // and sequences hold their items in its VR form.
        const bool compressed = asReceived || IsCompressedSyntax(transferSyntax);
        const data::DataSetEncoding wire = data::EncodingOf(transferSyntax);
        if (!compressed && transferSyntax != uid::ImplicitVRLittleEndian &&
            (transferSyntax != uid::ExplicitVRLittleEndian || NeedsReencoding(dataSet))) {
            // Re-encoded whole: defined-length sequences hold their items in the wire's form.
            if (data::Transcode(converted, dataSet, uid::ImplicitVRLittleEndian, transferSyntax) !=
                data::ConvertError::None) {
                return net::STATUS_CANNOT_UNDERSTAND;
            }
            body = &converted;
        }
        ElementList meta;
        data::BuildMetaHeader(meta, plan->sopClassUid, plan->sopInstanceUid,
                              compressed ? transferSyntax : uid::ImplicitVRLittleEndian);

        WritingClaim claim(plan->filePath);
        std::error_code ec;
        const bool existed = fs::exists(plan->filePath, ec);
        if (!CreateDirectoryPath(plan->seriesDirectory) ||
            !data::WritePart10File(
                plan->filePath, &meta, *body, compressed ? wire.explicitVr : false,
                compressed && wire.bigEndian, true, compressed && wire.deflated)) {
            return net::STATUS_OUT_OF_RESOURCES;
        }
        if (!existed) AddIndexLines(indexRoot, dataSet);
        return net::STATUS_SUCCESS;
    } catch (const std::exception&) {
        return net::STATUS_OUT_OF_RESOURCES;
    }
}

std::unique_ptr<data::SpoolFile> SpoolForStore(const std::string& storageDirectory,
                                               const ElementList& command,
                                               std::string_view transferSyntax, bool asReceived) {
    uint64_t front = 0;
    if (StoredAsItCame(transferSyntax, asReceived) && !data::EncodingOf(transferSyntax).deflated) {
        ElementList meta;
        data::BuildMetaHeader(meta, data::GetTagString(command, tag::AffectedSOPClassUID),
                              data::GetTagString(command, tag::AffectedSOPInstanceUID),
                              asReceived || IsCompressedSyntax(transferSyntax)
                                  ? transferSyntax
                                  : uid::ImplicitVRLittleEndian);
        front = FileFront(meta).size();
    }
    return data::SpoolFile::Create(storageDirectory, front);
}

uint16_t StoreSpooledInstance(const std::string& storageDirectory, const fs::path& indexRoot,
                              data::SpoolFile& spool, ElementList& dataSet,
                              std::string_view transferSyntax, bool asReceived) {
    if (!spool.Ok()) return net::STATUS_OUT_OF_RESOURCES;
    const auto plan = PlanStorage(storageDirectory, dataSet);
    if (!plan) return net::STATUS_CANNOT_UNDERSTAND;
    try {
        const bool compressed = asReceived || IsCompressedSyntax(transferSyntax);
        const data::DataSetEncoding wire = data::EncodingOf(transferSyntax);
        // The bytes as they came, unless the file writer would lay them out otherwise.
        const bool copied = StoredAsItCame(transferSyntax, asReceived) && RewritesAsItCame(dataSet);
        const bool reencoded =
            !compressed && transferSyntax != uid::ImplicitVRLittleEndian &&
            (transferSyntax != uid::ExplicitVRLittleEndian || NeedsReencoding(dataSet));
        std::unique_ptr<data::Conversion> conversion;
        if (reencoded) {
            conversion = std::make_unique<data::Conversion>(dataSet, uid::ImplicitVRLittleEndian,
                                                            transferSyntax);
            if (conversion->Prepare() != data::ConvertError::None)
                return net::STATUS_CANNOT_UNDERSTAND;
        }
        ElementList meta;
        data::BuildMetaHeader(meta, plan->sopClassUid, plan->sopInstanceUid,
                              compressed ? transferSyntax : uid::ImplicitVRLittleEndian);

        WritingClaim claim(plan->filePath);
        std::error_code ec;
        const bool existed = fs::exists(plan->filePath, ec);
        if (!CreateDirectoryPath(plan->seriesDirectory)) return net::STATUS_OUT_OF_RESOURCES;
        // The spool becomes the file when its room in front fits the meta group; else the
        // file is written anew from it.
        bool written = false;
        if (copied && !wire.deflated) {
            const std::vector<uint8_t> front = FileFront(meta);
            written = front.size() == spool.BodyOffset() && spool.WriteFront(front) &&
                      spool.Keep(plan->filePath, true);
        }
        data::ConvertError error = data::ConvertError::None;
        if (!written && copied) {
            const auto file = data::ValueFile::Open(spool.Path());
            written =
                file != nullptr && data::WritePart10Copy(plan->filePath, meta, *file,
                                                         spool.BodyOffset(), true, wire.deflated);
        } else if (!written && conversion) {
            written = data::WritePart10Stream(
                plan->filePath, &meta,
                [&](data::ElementSink& sink) {
                    error = conversion->WriteTo(sink);
                    return error == data::ConvertError::None;
                },
                false, false, true);
        } else if (!written) {
            written = data::WritePart10File(
                plan->filePath, &meta, dataSet, compressed ? wire.explicitVr : false,
                compressed && wire.bigEndian, true, compressed && wire.deflated);
        }
        if (error != data::ConvertError::None && error != data::ConvertError::WriteFailed)
            return net::STATUS_CANNOT_UNDERSTAND;
        if (!written) return net::STATUS_OUT_OF_RESOURCES;
        if (!existed) AddIndexLines(indexRoot, dataSet);
        return net::STATUS_SUCCESS;
    } catch (const std::exception&) {
        return net::STATUS_OUT_OF_RESOURCES;
    }
}

namespace {

// Why a provider with a list of users refused this identity, for its log.
std::string IdentityRefusal(const std::optional<net::UserIdentityRQ>& identity) {
    if (!identity) return "none given";
    if (identity->type == net::UserIdentityType::UsernameAndPasscode)
        return "not a known user and password";
    // A token or ticket would need its issuer to check it, which the list does not name.
    return net::IdentityLogText(*identity) +
           ": no passcode to check against the list of users; only a user name with its "
           "passcode is taken";
}

}  // namespace

// With a list of users, an identity that is not one of them is refused: permanent, by the
// service user, no reason given (reason 1); a taken one gets the positive response it asks for.
net::Negotiation AnswerFor(const ProviderProfile& profile,
                           std::shared_ptr<const net::AcceptedUsers> users) {
    net::Negotiation answer = AnswerWith(profile);
    if (!users) return answer;
    return [answer, users](const net::AssociateRQ& rq) -> net::AssociateAnswer {
        const auto& identity = rq.userInformation.userIdentityRQ;
        if (!net::IdentityAccepted(identity, *users)) {
            if (net::LogLevel() >= net::LOG_ASSOCIATION)
                net::AppendLogLine(net::LogFileName(),
                                   "User identity refused: " + IdentityRefusal(identity));
            return net::AssociateRJ{1, 1, 1};
        }
        net::AssociateAnswer decided = answer(rq);
        if (auto* ac = std::get_if<net::AssociateAC>(&decided);
            ac != nullptr && identity->positiveResponseRequested)
            ac->userInformation.userIdentityAC = net::UserIdentityAC{};
        return decided;
    };
}

void ServeAssociation(int handle, const ProviderProfile& profile, const net::CancelSignal* cancel,
                      const net::ConnectionSettings& settings) {
    Association assoc;
    assoc.settings = settings;
    if (const auto& tls = settings.transport.tls) {
        assoc.stream.UseTransport(net::MakeTransport(tls));
        // A connection that never finishes its handshake gives way as one that sends no
        // A-ASSOCIATE-RQ does; AcceptAssoc sets its own limit for the request.
        assoc.stream.Socket().SetReceiveDeadline(std::chrono::steady_clock::now() +
                                                 settings.RequestWait());
    }
    assoc.stream.Socket().WatchCancel(cancel);
    if (!profile.observer && !profile.faults.Any()) {
        if (!net::AcceptAssoc(assoc, handle, AnswerFor(profile, settings.acceptedUsers))) return;
        net::ServeRequests(assoc, profile.Handlers());
        net::CloseAssoc(assoc);
        return;
    }
    AssociationWatch watch(profile, assoc);
    if (net::AcceptAssoc(assoc, handle, watch.Watching(AnswerFor(profile, settings.acceptedUsers))))
        net::ServeRequests(assoc, watch.Handlers());
    watch.Ended(cancel != nullptr && cancel->Raised());
    net::CloseAssoc(assoc);
}

void ServeAssociation(int handle, const std::string& storageDirectory, const fs::path& indexRoot,
                      const net::CancelSignal* cancel, AcceptPolicy policy,
                      const net::ConnectionSettings& settings) {
    ServeAssociation(handle, ProfileFor(policy, {storageDirectory, indexRoot, false}), cancel,
                     settings);
}

StoreProvider::StoreProvider(std::string_view directory, std::string_view port,
                             const fs::path& indexRoot, int maxAssociations, AcceptPolicy policy,
                             const net::ConnectionSettings& settings)
    : StoreProvider(ProfileFor(policy, {StorageDirectoryOf(directory), indexRoot, false}), port,
                    maxAssociations, settings) {}

StoreProvider::StoreProvider(ProviderProfile profile, std::string_view port, int maxAssociations,
                             const net::ConnectionSettings& settings)
    : listener_(NewListener(std::move(profile), port, maxAssociations, settings)) {
    listener_->thread = std::thread(ServerThread, std::ref(*listener_));
}

StoreProvider::~StoreProvider() {
    Stop();
}

bool StoreProvider::Listening() const {
    return WaitUntilStarted(*listener_);
}

void StoreProvider::Stop() {
    listener_->cancel.Raise();
    if (listener_->thread.joinable()) listener_->thread.join();
}

void StartStoreSCP(std::string_view directory, std::string_view port, const fs::path& indexRoot,
                   int maxAssociations, AcceptPolicy policy,
                   const net::ConnectionSettings& settings) {
    StartStoreSCP(ProfileFor(policy, {StorageDirectoryOf(directory), indexRoot, false}), port,
                  maxAssociations, settings);
}

void StartStoreSCP(ProviderProfile profile, std::string_view port, int maxAssociations,
                   const net::ConnectionSettings& settings) {
    auto listener = NewListener(std::move(profile), port, maxAssociations, settings);
    Registry& registry = TheRegistry();
    std::vector<std::shared_ptr<Listener>> ended;
    {
        std::lock_guard lock(registry.mutex);
        // Listeners that gave up are let go here, so repeated starts do not pile them up.
        std::erase_if(registry.listeners, [&](const std::shared_ptr<Listener>& l) {
            if (l->state != ListenerState::Ended) return false;
            ended.push_back(l);
            return true;
        });
        listener->thread = std::thread(ServerThread, std::ref(*listener));
        registry.listeners.push_back(listener);
    }
    JoinAll(ended);
}

bool StoreSCPListening(std::string_view port) {
    std::shared_ptr<Listener> last;
    {
        Registry& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        for (const auto& listener : registry.listeners)
            if (listener->port == port) last = listener;
    }
    return last && WaitUntilStarted(*last);
}

void StopStoreSCP() {
    Registry& registry = TheRegistry();
    std::vector<std::shared_ptr<Listener>> stopping;
    {
        std::lock_guard lock(registry.mutex);
        stopping.swap(registry.listeners);
    }
    for (auto& listener : stopping)
        listener->cancel.Raise();
    JoinAll(stopping);
}

}  // namespace dicomlib::store
