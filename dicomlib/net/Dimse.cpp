// Sending and receiving DIMSE message parts. A message is encoded a value at a time and cut
// into PDVs as its bytes come, so a data set whose values are left in their file goes out
// without ever being in memory whole; a received one is collected whole before it is decoded,
// or written to a file as it comes and read back with its large values left there.
// The element writer and reader are the data layer's. Received PDUs are checked whole before
// any PDV is taken, so a PDV never reaches past its PDU, and the collected message grows only
// with bytes that arrived.
#include "net/Dimse.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "data/Deflate.h"
#include "data/Dictionary.h"
#include "data/Dump.h"
#include "data/ElementSink.h"
#include "data/Encoder.h"
#include "data/FileBytes.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "net/AssociationWords.h"
#include "net/ByteOrder.h"
#include "net/CommandSet.h"
#include "net/PduCodec.h"
#include "net/TraceLog.h"

namespace dicomlib::net {
namespace {

constexpr char GRAYSCALE_PRINT_META[] = "1.2.840.10008.5.1.1.9";
constexpr char COLOR_PRINT_META[] = "1.2.840.10008.5.1.1.18";
constexpr std::array<const char*, 4> GRAYSCALE_PRINT_MEMBERS = {
    "1.2.840.10008.5.1.1.16",  // Printer
    "1.2.840.10008.5.1.1.1",   // Basic Film Session
    "1.2.840.10008.5.1.1.2",   // Basic Film Box
    "1.2.840.10008.5.1.1.4",   // Basic Grayscale Image Box
};
constexpr std::array<const char*, 4> COLOR_PRINT_MEMBERS = {
    "1.2.840.10008.5.1.1.16",   // Printer
    "1.2.840.10008.5.1.1.1",    // Basic Film Session
    "1.2.840.10008.5.1.1.2",    // Basic Film Box
    "1.2.840.10008.5.1.1.4.1",  // Basic Color Image Box
};

// Fragments are gathered into socket writes of about this size: the bytes on the wire are the
// same as one write per PDU, at a fraction of the system calls.
constexpr std::size_t SEND_BATCH_BYTES = 256 * 1024;
// A collected message above this keeps no buffer behind once it has been decoded.
constexpr std::size_t KEPT_MESSAGE_CAPACITY = 1024 * 1024;

template <std::size_t N>
bool IsOneOf(std::string_view uid, const std::array<const char*, N>& uids) {
    return std::any_of(uids.begin(), uids.end(), [&](const char* u) { return uid == u; });
}

std::string_view BlankTrimmed(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// "calling >> called" for a send, "calling << called" for a receive, from the AC record.
void LogDumpHeader(const Association& assoc, const std::string& logFile, std::string_view arrow) {
    std::string line(BlankTrimmed(assoc.answer.callingAeTitle));
    line += arrow;
    line += BlankTrimmed(assoc.answer.calledAeTitle);
    AppendLogLine(logFile, line);
}

// The VR an element is sent with in explicit VR: the dictionary's; for a tag the dictionary
// does not know, the element's own, so a private sequence is not turned into UN.
void TakeWireVr(DicomElement& element) {
    if (element.vr[0] == 0 ||
        data::FindDictionaryEntry(element.group, element.element) != nullptr) {
        data::LookupVR(element);
    }
}

// The 12 bytes in front of a fragment: P-DATA-TF type, reserved, PDU length, PDV item length,
// presentation context ID, message control header.
void PutPDataTFHeader(uint8_t* header, uint8_t contextId, uint8_t control,
                      std::size_t fragmentSize) {
    const auto pdvLength = static_cast<uint32_t>(fragmentSize + 2);
    const uint32_t pduLength = pdvLength + 4;
    header[0] = PDU_P_DATA_TF;
    header[1] = 0x00;
    header[2] = static_cast<uint8_t>(pduLength >> 24);
    header[3] = static_cast<uint8_t>(pduLength >> 16);
    header[4] = static_cast<uint8_t>(pduLength >> 8);
    header[5] = static_cast<uint8_t>(pduLength);
    header[6] = static_cast<uint8_t>(pdvLength >> 24);
    header[7] = static_cast<uint8_t>(pdvLength >> 16);
    header[8] = static_cast<uint8_t>(pdvLength >> 8);
    header[9] = static_cast<uint8_t>(pdvLength);
    header[10] = contextId;
    header[11] = control;
}

constexpr std::size_t PDATA_TF_HEADER_SIZE = 12;

// Cuts a message into fragments of FRAGMENT_SIZE bytes as its bytes come, one PDV per
// P-DATA-TF, smaller when the peer's maximum PDU length asks for it: no PDU goes above it. The
// bytes go straight into the association's send batch behind room kept for their header, which is
// filled in once the fragment is complete; a full fragment waits until the next byte shows it is
// not the last one.
class PdvWriter : public data::ByteSink {
  public:
    PdvWriter(Association& assoc, uint8_t contextId, MessageKind kind)
        : assoc_(assoc),
          contextId_(contextId),
          kindBit_(static_cast<uint8_t>(kind)),
          fragmentSize_(FragmentSizeFor(PeerMaximumLength(assoc))),
          batch_(assoc.dataTransfer.sendBatch) {
        batch_.clear();
        batch_.reserve(SEND_BATCH_BYTES + fragmentSize_ + 2 * PDATA_TF_HEADER_SIZE);
    }

    bool Put(std::span<const uint8_t> bytes) override {
        while (!bytes.empty()) {
            if (!Room()) return false;
            const std::size_t n = std::min(fragmentSize_ - held_, bytes.size());
            batch_.insert(batch_.end(), bytes.begin(),
                          bytes.begin() + static_cast<std::ptrdiff_t>(n));
            held_ += n;
            bytes = bytes.subspan(n);
        }
        return true;
    }

    std::span<uint8_t> Space(std::size_t wanted) override {
        given_ = 0;
        if (wanted == 0 || !Room()) return {};
        given_ = std::min(fragmentSize_ - held_, wanted);
        const std::size_t at = batch_.size();
        batch_.resize(at + given_);
        return {batch_.data() + at, given_};
    }

    void Commit(std::size_t used) override {
        used = std::min(used, given_);
        batch_.resize(batch_.size() - (given_ - used));
        held_ += used;
        given_ = 0;
    }

    // Sends the fragment held as the last one; a message of no bytes sends nothing.
    bool Finish() {
        if (!open_) return true;
        return Close(true) && Write();
    }

    // True once a socket write failed.
    bool Failed() const { return failed_; }

  private:
    // Makes sure a fragment with room for more bytes is open: a full one is closed as not the
    // last (there are more bytes) and a new one begun.
    bool Room() {
        if (failed_) return false;
        if (open_ && held_ == fragmentSize_ && !Close(false)) return false;
        if (!open_) {
            headerAt_ = batch_.size();
            batch_.resize(headerAt_ + PDATA_TF_HEADER_SIZE);
            held_ = 0;
            open_ = true;
        }
        return true;
    }

    bool Close(bool last) {
        const auto control = static_cast<uint8_t>(kindBit_ | (last ? PDV_LAST_FRAGMENT : 0));
        PutPDataTFHeader(batch_.data() + headerAt_, contextId_, control, held_);
        open_ = false;
        held_ = 0;
        return last || batch_.size() < SEND_BATCH_BYTES || Write();
    }

    bool Write() {
        failed_ = failed_ || !assoc_.stream.Write(batch_);
        batch_.clear();
        return !failed_;
    }

    Association& assoc_;
    uint8_t contextId_;
    uint8_t kindBit_;
    std::size_t fragmentSize_;
    std::vector<uint8_t>& batch_;
    std::size_t headerAt_ = 0;  // where the open fragment's header goes in batch_
    std::size_t held_ = 0;      // data bytes of the open fragment
    std::size_t given_ = 0;     // bytes of the last Space, until they are committed
    bool open_ = false;
    bool failed_ = false;
};

// Encodes elements in the context's syntax as they come, in explicit VR each with the VR it is
// sent with, and dumps each to the trace once it is encoded.
class WireSink : public data::ElementSink {
  public:
    WireSink(data::ByteSink& out, const data::DataSetEncoding& encoding, const std::string* logFile)
        : encoder_(out, data::HeaderRules::Message, encoding.explicitVr, encoding.bigEndian),
          explicitVr_(encoding.explicitVr),
          bigEndian_(encoding.bigEndian),
          logFile_(logFile) {}

    bool Put(DicomElement& e) override {
        if (explicitVr_) TakeWireVr(e);
        if (!encoder_.Put(e)) return false;
        Dump(e);
        return true;
    }

    bool PutHeader(const data::ElementHeader& h) override {
        // Only its header is read: a value that comes in pieces is too long to be printed.
        DicomElement shown{h.group, h.element, {h.vr[0], h.vr[1]}, h.length, nullptr};
        if (explicitVr_) TakeWireVr(shown);
        data::ElementHeader wire = h;
        wire.vr[0] = shown.vr[0];
        wire.vr[1] = shown.vr[1];
        if (!encoder_.PutHeader(wire)) return false;
        Dump(shown);
        return true;
    }

    bool PutValue(std::span<const uint8_t> bytes) override { return encoder_.PutValue(bytes); }

  private:
    void Dump(DicomElement& e) {
        if (logFile_ == nullptr) return;
        data::DumpElementToFile(*logFile_, &e, explicitVr_, 1, bigEndian_,
                                fragments_.IsFragment(e));
    }

    data::ElementEncoder encoder_;
    bool explicitVr_;
    bool bigEndian_;
    const std::string* logFile_;
    data::FragmentTracker fragments_;
};

// Follows the element boundaries of a data set's bytes as they come, by the rules the message
// decoder reads them with (groups 0000 and FFFE implicit; in explicit VR a VR whose first
// character is 0x00 is refused), so that a data set written away as it arrives is judged as
// the decoder would judge it whole: sound when its bytes end between two elements.
class ElementBoundaries {
  public:
    ElementBoundaries(bool explicitVr, bool bigEndian)
        : explicitVr_(explicitVr), bigEndian_(bigEndian) {}

    void Take(std::span<const uint8_t> bytes) {
        while (!bytes.empty() && !broken_) {
            if (valueLeft_ > 0) {
                const auto n =
                    static_cast<std::size_t>(std::min<uint64_t>(valueLeft_, bytes.size()));
                valueLeft_ -= n;
                bytes = bytes.subspan(n);
                continue;
            }
            header_[held_++] = bytes.front();
            bytes = bytes.subspan(1);
            if (held_ < 8) continue;
            const uint16_t group = U16(0);
            uint32_t length = 0;
            if (!explicitVr_ || group == 0x0000 || group == 0xFFFE) {
                length = U32(4);
            } else {
                const char vr[2] = {static_cast<char>(header_[4]), static_cast<char>(header_[5])};
                if (vr[0] == 0) {
                    broken_ = true;
                    break;
                }
                if (data::IsLongFormVr(vr)) {
                    if (held_ < 12) continue;
                    length = U32(8);
                } else {
                    length = U16(6);
                }
            }
            held_ = 0;
            if (length != UNDEFINED_LENGTH) valueLeft_ = length;
        }
    }

    bool Whole() const { return !broken_ && held_ == 0 && valueLeft_ == 0; }

  private:
    uint16_t U16(std::size_t at) const {
        return bigEndian_ ? static_cast<uint16_t>((header_[at] << 8) | header_[at + 1])
                          : static_cast<uint16_t>(header_[at] | (header_[at + 1] << 8));
    }
    uint32_t U32(std::size_t at) const {
        const uint32_t low = U16(bigEndian_ ? at + 2 : at);
        const uint32_t high = U16(bigEndian_ ? at : at + 2);
        return (high << 16) | low;
    }

    bool explicitVr_;
    bool bigEndian_;
    std::array<uint8_t, 12> header_{};
    std::size_t held_ = 0;
    uint64_t valueLeft_ = 0;
    bool broken_ = false;
};

// Takes a data set's PDV data as it arrives: in the syntax of the context of its first PDV,
// inflated when that deflates it, its element boundaries followed, on into out. Whatever out
// makes of the bytes (a full disk) it keeps to itself: the message is received to its end.
class IncomingDataSet : public data::ByteSink {
  public:
    IncomingDataSet(Association& assoc, data::ByteSink& out) : assoc_(assoc), out_(out) {}

    bool Put(std::span<const uint8_t> bytes) override {
        const uint8_t contextId = assoc_.dataTransfer.contextId;
        if (!started_) {
            Start(contextId);
        } else if (contextId != contextId_) {
            broken_ = true;  // the fragments of one message share their context
        }
        if (broken_) return true;
        if (inflater_) {
            broken_ = !inflater_->Put(bytes);
        } else {
            Pass(bytes);
        }
        return true;
    }

    // The bytes came on an accepted context and made whole elements (a whole deflate stream).
    bool Sound() const {
        return started_ && !broken_ && boundaries_->Whole() && (!inflater_ || inflater_->Finish());
    }
    const data::DataSetEncoding& Encoding() const { return encoding_; }

  private:
    class Plain : public data::ByteSink {
      public:
        explicit Plain(IncomingDataSet& owner) : owner_(owner) {}
        bool Put(std::span<const uint8_t> bytes) override {
            owner_.Pass(bytes);
            return true;
        }

      private:
        IncomingDataSet& owner_;
    };

    void Start(uint8_t contextId) {
        started_ = true;
        contextId_ = contextId;
        const auto syntax = AcceptedSyntaxOf(assoc_, contextId);
        if (!syntax) {
            broken_ = true;
            return;
        }
        encoding_ = data::EncodingOf(*syntax);
        boundaries_.emplace(encoding_.explicitVr, encoding_.bigEndian);
        if (encoding_.deflated) inflater_.emplace(plain_);
    }

    void Pass(std::span<const uint8_t> bytes) {
        boundaries_->Take(bytes);
        out_.Put(bytes);
    }

    Association& assoc_;
    data::ByteSink& out_;
    bool started_ = false;
    bool broken_ = false;
    uint8_t contextId_ = 0;
    data::DataSetEncoding encoding_{false, false};
    std::optional<ElementBoundaries> boundaries_;
    Plain plain_{*this};
    std::optional<data::InflateSink> inflater_;
};

void Forget(DataTransferState& state) {
    state.currentPdu.clear();
    state.nextPdvOffset = 0;
}

// Takes the PDVs of a checked P-DATA-TF from offset on, until one carries the last-fragment
// bit. Returns the offset where it stopped: the PDU's size when every PDV was taken.
std::size_t CollectPdvs(DataTransferState& state, std::span<const uint8_t> pdu,
                        std::size_t offset) {
    BigEndianReader r(pdu.subspan(offset), offset);
    while (r.Ok() && !r.AtEnd()) {
        const uint32_t length = r.U32("PDV item length");
        BigEndianReader item = r.Sub(length, "PDV item");
        const uint8_t contextId = item.U8("presentation context ID");
        const uint8_t control = item.U8("message control header");
        auto data = item.Bytes(item.Remaining(), "PDV data");
        if (!r.Ok()) break;
        state.contextId = contextId;
        state.controlBits = control;
        if (state.incoming != nullptr)
            state.incoming->Put(data);
        else
            state.message.insert(state.message.end(), data.begin(), data.end());
        if ((control & PDV_LAST_FRAGMENT) != 0) {
            state.complete = true;
            return r.Offset();
        }
    }
    return pdu.size();
}

// The words of a wait for the peer's next message that ran out.
void NoteWaitRanOut(const Association& assoc) {
    const std::chrono::milliseconds length = assoc.stream.Socket().ReceiveTimeout();
    const std::string within = " within " + WaitLength(length);
    if (assoc.messageWait == Wait::Idle) {
        if (LogLevel() >= LOG_ASSOCIATION)
            AppendLogLine(LogFileName(), "No request within " + WaitLength(length) +
                                             " (idle time-out): the connection was closed");
        NoteTimeout({Wait::Idle, length, "no request"},
                    "no request" + within + ": the connection was closed");
        return;
    }
    const uint16_t field = assoc.dataTransfer.awaitedResponse;
    std::string awaited = "no response";
    if (field != 0) {
        std::string request(CommandFieldName(static_cast<uint16_t>(field & 0x7FFF)));
        if (request.ends_with("-RQ")) request.resize(request.size() - 3);
        awaited = "no " + request + " response";
    }
    std::string text = awaited + within +
                       ": the peer may be busy or stuck, or lost the request; its log says "
                       "which, or allow it longer";
    NoteTimeout({Wait::Dimse, length, std::move(awaited)}, std::move(text));
}

// Reads the next PDU. A P-DATA-TF is checked whole and its PDVs taken; every other PDU ends
// the receive as the protocol asks.
bool ReadNextPdu(Association& assoc) {
    DataTransferState& state = assoc.dataTransfer;
    auto pdu = ReadPduOrEnd(assoc);
    if (!pdu && pdu.Code() != ErrorCode::Malformed && assoc.stream.Socket().TimedOut()) {
        NoteWaitRanOut(assoc);
        return false;
    }
    if (!pdu) {
        NoteFailure(pdu.Code() == ErrorCode::Malformed
                        ? "the peer sent a PDU that contradicts its own lengths; the association "
                          "was aborted: a trace at level 3 shows the bytes"
                        : "the connection closed or timed out while waiting for the peer's "
                          "answer: the peer's log says why");
        return false;
    }
    switch (pdu->type) {
        case PDU_P_DATA_TF: {
            if (!DecodePDataTF(pdu->bytes)) {
                AbortAssoc(assoc);
                return false;
            }
            const std::size_t stop = CollectPdvs(state, pdu->bytes, PDU_HEADER_SIZE);
            if (stop < pdu->bytes.size()) {
                // The next message part starts in this PDU: keep the rest for the next call.
                state.currentPdu.assign(pdu->bytes.begin(), pdu->bytes.end());
                state.nextPdvOffset = stop;
            }
            return true;
        }
        case PDU_RELEASE_RQ:
            // The connection stays open; CloseAssoc ends it.
            assoc.stream.Write(EncodeReleaseRP());
            assoc.peerReleased = true;
            NoteFailure(
                "the peer released the association instead of answering: its log says "
                "why");
            return false;
        case PDU_RELEASE_RP:
            assoc.stream.Close();
            return false;
        case PDU_ABORT:
            assoc.peerAborted = true;
            if (auto abort = DecodeAbortRQ(pdu->bytes)) NoteFailure(AbortExplanation(*abort));
            assoc.stream.Close();
            return false;
        default:
            // An association PDU in the middle of the association, or no PDU of ours at all.
            AbortAssoc(assoc);
            return false;
    }
}

// Continues with the PDVs left in the PDU of the previous call.
void TakePendingPdvs(DataTransferState& state) {
    const std::size_t stop = CollectPdvs(state, state.currentPdu, state.nextPdvOffset);
    if (stop < state.currentPdu.size())
        state.nextPdvOffset = stop;
    else
        Forget(state);
}

bool DecodeMessage(Association& assoc, ElementList& list) {
    DataTransferState& state = assoc.dataTransfer;
    const auto syntax = AcceptedSyntaxOf(assoc, state.contextId);
    if (!syntax) {
        AbortAssoc(assoc);
        return false;
    }
    const data::DataSetEncoding encoding = data::EncodingOf(*syntax);
    // A command set is little endian whatever the context's syntax.
    const bool bigEndian = encoding.bigEndian && (state.controlBits & PDV_COMMAND) == 0;
    const bool dump = assoc.messageDump;
    const std::string logFile = dump ? LogFileName() : std::string();
    if (dump) LogDumpHeader(assoc, logFile, " << ");

    data::FragmentTracker fragments;
    bool ok = true;
    if (encoding.deflated && (state.controlBits & PDV_COMMAND) == 0) {
        data::Inflated plain = data::InflateBytes(state.message);
        ok = plain.error.empty();
        state.message = std::move(plain.bytes);
    }
    data::ByteOrderStream in(state.message, bigEndian);
    while (ok && !in.AtEnd()) {
        DicomElement* e = data::ReadElement(in, encoding.explicitVr);
        if (e == nullptr) {
            ok = false;  // the bytes end inside a header, or a value runs past them
            break;
        }
        const bool ownHeader = e->group != 0x0000 && e->group != 0xFFFE;
        if (encoding.explicitVr && ownHeader && e->vr[0] == 0) {
            data::FreeElement(e);
            ok = false;
            break;
        }
        if (e->vr[0] == 0) data::LookupVR(*e);
        list.Append(e);
        if (dump) {
            data::DumpElementToFile(logFile, e, encoding.explicitVr, 1, bigEndian,
                                    fragments.IsFragment(*e));
        }
    }
    if (state.message.capacity() > KEPT_MESSAGE_CAPACITY)
        state.message = std::vector<uint8_t>();
    else
        state.message.clear();
    if (!ok) {
        AbortAssoc(assoc);
        return false;
    }
    if (dump) AppendLogLine(logFile, "");
    return true;
}

}  // namespace

uint8_t FindContextForClass(const Association& assoc, std::string_view sopClassUid) {
    uint8_t metaContext = 0;
    for (const auto& proposal : assoc.request.contexts) {
        // A message on a refused context would be dropped or aborted by the peer.
        if (!AcceptedSyntaxOf(assoc, proposal.id)) continue;
        if ((proposal.abstractSyntax == GRAYSCALE_PRINT_META &&
             IsOneOf(sopClassUid, GRAYSCALE_PRINT_MEMBERS)) ||
            (proposal.abstractSyntax == COLOR_PRINT_META &&
             IsOneOf(sopClassUid, COLOR_PRINT_MEMBERS))) {
            metaContext = proposal.id;
            continue;
        }
        if (proposal.abstractSyntax == sopClassUid) return proposal.id;
    }
    return metaContext;
}

std::optional<std::string> AcceptedSyntaxOf(const Association& assoc, uint8_t contextId) {
    for (const auto& pc : assoc.acceptedContexts)
        if (pc.id == contextId) return pc.transferSyntax;
    return std::nullopt;
}

bool SendMessage(Association& assoc, ElementList& list, std::string_view sopClassUid,
                 MessageKind kind) {
    const uint8_t contextId = FindContextForClass(assoc, sopClassUid);
    if (contextId == 0) return false;
    return SendMessageOnContext(assoc, list, contextId, kind);
}

bool SendMessageFrom(Association& assoc, std::string_view sopClassUid, MessageKind kind,
                     const std::function<bool(data::ElementSink&)>& body) {
    const uint8_t contextId = FindContextForClass(assoc, sopClassUid);
    if (contextId == 0) return false;
    return SendMessageOnContextFrom(assoc, contextId, kind, body);
}

bool SendMessageOnContext(Association& assoc, ElementList& list, uint8_t contextId,
                          MessageKind kind) {
    if (kind == MessageKind::Command && assoc.beforeCommandSent) assoc.beforeCommandSent(list);
    if (kind == MessageKind::Command && AcceptedSyntaxOf(assoc, contextId)) {
        // The request whose response the dispatcher waits for.
        const uint16_t field = data::GetTagUS(list, tag::CommandField);
        if ((field & 0x8000) == 0 && field != C_CANCEL_RQ &&
            data::FindTag(list, tag::MessageID) != nullptr)
            assoc.lastRequestMessageId = data::GetTagUS(list, tag::MessageID);
    }
    return SendMessageOnContextFrom(
        assoc, contextId, kind, [&](data::ElementSink& sink) { return data::PutList(sink, list); });
}

bool SendMessageOnContextFrom(Association& assoc, uint8_t contextId, MessageKind kind,
                              const std::function<bool(data::ElementSink&)>& body) {
    const auto syntax = AcceptedSyntaxOf(assoc, contextId);
    if (!syntax) return false;
    data::DataSetEncoding encoding{false, false};  // a command set: implicit VR little endian
    if (kind == MessageKind::DataSet) encoding = data::EncodingOf(*syntax);
    const bool dump = assoc.messageDump;
    const std::string logFile = dump ? LogFileName() : std::string();
    if (dump) LogDumpHeader(assoc, logFile, " >> ");

    PdvWriter pdvs(assoc, contextId, kind);
    bool made = true;
    bool sent = true;
    if (encoding.deflated && kind == MessageKind::DataSet) {
        data::DeflateSink packed(pdvs);
        WireSink wire(packed, encoding, dump ? &logFile : nullptr);
        made = body(wire);
        sent = made && packed.Finish();
    } else {
        WireSink wire(pdvs, encoding, dump ? &logFile : nullptr);
        made = body(wire);
    }
    if (dump) AppendLogLine(logFile, "");
    sent = sent && made && pdvs.Finish();
    if (!made && !pdvs.Failed() && assoc.stream.Connected()) {
        // The peer has part of a message that will never be whole.
        NoteFailure(
            "the data set could not be read or converted while it was being sent; the "
            "association was aborted");
        AbortAssoc(assoc);
    }
    return sent;
}

bool ReceiveMessage(Association& assoc, ElementList& list) {
    DataTransferState& state = assoc.dataTransfer;
    if (!assoc.stream.Connected()) return false;
    state.complete = false;
    state.message.clear();
    while (!state.complete) {
        if (state.PduPending()) {
            TakePendingPdvs(state);
        } else if (!ReadNextPdu(assoc)) {
            Forget(state);
            state.message.clear();
            return false;
        }
    }
    return DecodeMessage(assoc, list);
}

bool ReceiveMessageToFile(Association& assoc, data::SpoolFile& spool, ElementList& list) {
    DataTransferState& state = assoc.dataTransfer;
    if (!assoc.stream.Connected()) return false;
    IncomingDataSet incoming(assoc, spool);
    state.complete = false;
    state.message.clear();
    state.incoming = &incoming;
    struct Detach {
        DataTransferState& state;
        ~Detach() { state.incoming = nullptr; }
    } detach{state};
    while (!state.complete) {
        if (state.PduPending()) {
            TakePendingPdvs(state);
        } else if (!ReadNextPdu(assoc)) {
            Forget(state);
            return false;
        }
    }
    if ((state.controlBits & PDV_COMMAND) != 0) return true;
    if (!incoming.Sound()) {
        AbortAssoc(assoc);
        return false;
    }
    const data::DataSetEncoding& encoding = incoming.Encoding();
    std::shared_ptr<const data::ValueFile> file;
    if (spool.Flush()) file = data::ValueFile::Open(spool.Path());
    const data::DecoderState reader{static_cast<uint8_t>(encoding.explicitVr),
                                    static_cast<uint8_t>(encoding.bigEndian), 0};
    if (file == nullptr || !data::ReadDataSetFile(reader, file, list, spool.BodyOffset())) {
        list.Clear();
        spool.Fail();
    }
    // As the decoder gives them: an element without a VR gets the dictionary's.
    for (DicomElement* e : list)
        if (e->vr[0] == 0) data::LookupVR(*e);
    if (assoc.messageDump) {
        const std::string logFile = LogFileName();
        LogDumpHeader(assoc, logFile, " << ");
        data::FragmentTracker fragments;
        for (DicomElement* e : list)
            data::DumpElementToFile(logFile, e, encoding.explicitVr, 1, encoding.bigEndian,
                                    fragments.IsFragment(*e));
        AppendLogLine(logFile, "");
    }
    return true;
}

}  // namespace dicomlib::net
