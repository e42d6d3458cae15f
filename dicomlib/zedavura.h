/* ZEDAVURA: the DICOM library of TESSALY. This is the one header that other programs include.
 * It is plain C; every declaration says who owns what and what failure looks like.
 * Texts are NUL-terminated 8-bit strings; yes/no results are one byte (1 yes, 0 no). */
#ifndef ZEDAVURA_H
#define ZEDAVURA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(ZEDAVURA_BUILDING)
#define ZEDAVURA_API __declspec(dllexport)
#else
#define ZEDAVURA_API __declspec(dllimport)
#endif
#else
#define ZEDAVURA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The value length that marks an undefined length. */
static const uint32_t UNDEFINED_LENGTH = 0xFFFFFFFFu;

/* One data element: tag, two VR letters (not NUL-terminated; empty when read in implicit VR),
 * the length as encoded, and a heap block of exactly `length` bytes owned by the element
 * (null when the length is 0 or UNDEFINED_LENGTH). Values hold the raw encoded bytes. */
typedef struct DicomElement {
    uint16_t group;
    uint16_t element;
    char vr[2];
    uint32_t length;
    uint8_t* value;
} DicomElement;

/* An ordered list of elements in insertion order, owning its elements. Opaque to C. */
typedef struct ElementList ElementList;

/* Copies the library's version text, "2.48" and its NUL, into buffer (at least 5 bytes) and
 * returns buffer; null for a null buffer. */
ZEDAVURA_API char* Version(char* buffer);

/* The SOP classes the front ends name, as constant UID texts. */
static const char SOP_CLASS_VERIFICATION[] = "1.2.840.10008.1.1";
static const char SOP_CLASS_STUDY_ROOT_FIND[] = "1.2.840.10008.5.1.4.1.2.2.1";
static const char SOP_CLASS_STUDY_ROOT_MOVE[] = "1.2.840.10008.5.1.4.1.2.2.2";
static const char SOP_CLASS_MODALITY_WORKLIST_FIND[] = "1.2.840.10008.5.1.4.31";
static const char SOP_CLASS_BASIC_GRAYSCALE_PRINT_META[] = "1.2.840.10008.5.1.1.9";

/* A new element, in no list yet. The low 16 bits of group and element are used; `length` bytes
 * are copied from `value` unless the length is 0 or UNDEFINED_LENGTH; vr may be null (empty VR).
 * The caller appends it to a list, which then owns it. */
ZEDAVURA_API DicomElement* GenerateTag(int32_t group, int32_t element, uint32_t length,
                                       const void* value, const char* vr);

/* Frees every element of the list and its value; the list stays alive and empty. */
ZEDAVURA_API void ClearTags(ElementList* list);

/* A new empty list, freed with DeleteElementList. */
ZEDAVURA_API ElementList* NewElementList(void);

/* Frees the list's elements and the list itself. Null does nothing. */
ZEDAVURA_API void DeleteElementList(ElementList* list);

/* Appends an element made by GenerateTag; the list owns it from then on. 0 when either is null. */
ZEDAVURA_API uint8_t AppendTag(ElementList* list, DicomElement* element);

/* The number of elements in the list (0 for null). */
ZEDAVURA_API uint32_t TagCount(const ElementList* list);

/* The element at index (0-based) in list order, still owned by the list, its value in memory: a
 * value DICOMFile left in the file is read into a block of the element's own first. Null when out
 * of range, or when the file no longer holds that value. */
ZEDAVURA_API DicomElement* TagAt(const ElementList* list, uint32_t index);

/* TagAt without reading: a value left in its file has value null although length says its
 * size. For looking at tags and lengths of a large file without bringing its values in. */
ZEDAVURA_API DicomElement* TagHeaderAt(const ElementList* list, uint32_t index);

/* A transfer syntax the library knows: its UID, the command line's name for it ("" when it has
 * none), and how a data set in it is laid out after the meta group (1 yes, 0 no). */
typedef struct TransferSyntaxInfo {
    const char* uid;
    const char* name;
    uint8_t explicitVr;
    uint8_t bigEndian;
    uint8_t deflated;
    uint8_t encapsulated;
} TransferSyntaxInfo;

/* The transfer syntax with this UID (compared whole), or null when the library does not know it
 * or uid is null. Constant; never freed. */
ZEDAVURA_API const TransferSyntaxInfo* TransferSyntaxByUID(const char* uid);

/* The transfer syntax the command line calls name ("implicit", "explicit", "big",
 * "jpeg-lossless"), or null for another name. Constant; never freed. */
ZEDAVURA_API const TransferSyntaxInfo* TransferSyntaxByName(const char* name);

/* Reads a Part 10 file: group 0002 into metaList, the rest into dataList (both empty lists of
 * the caller's, who clears them also after a failure). On success *explicitOut is 1 when the
 * body was read in explicit VR, 0 for implicit VR; (0002,0010) tells big endian. 1 when the file
 * was read to its end; 0 when it cannot be opened, lacks "DICM" at offset 128 or is damaged.
 * Pixel data and values of 256 KB or more stay in the file, which stays open, until TagAt asks
 * for them or the lists are cleared; the other operations on the lists read them as they go. */
ZEDAVURA_API uint8_t DICOMFile(const char* fileName, ElementList* metaList, ElementList* dataList,
                               uint8_t* explicitOut);

/* Why DICOMFile does not read fileName, in words ("no such file", "a folder, not a file", "not a
 * DICOM file: no "DICM" at offset 128", "damaged at byte N: ..."): written as LastFailureText
 * writes; returns the whole length, 0 (text "") when the file reads or fileName is null. */
ZEDAVURA_API int32_t DICOMFileProblem(const char* fileName, char* text, uint32_t capacity);

/* Reads the elements in front of the pixel data (meta group and data set) into one list. 0 when
 * the file cannot be opened or lacks "DICM" at offset 128. */
ZEDAVURA_API uint8_t DICOMHeader(const char* fileName, ElementList* list);

/* Gives a file holding a bare data set in transferSyntax a file meta group, in place. 1 when the
 * file was rewritten; 0 (file untouched) when it cannot be read to its end, already is a Part 10
 * file, or cannot be written. */
ZEDAVURA_API uint8_t AppendMetaHeader(const char* fileName, const char* transferSyntax);

/* Converts the list in place from sourceSyntax to targetSyntax. 1 when converted; after 0 the
 * list holds what was converted before the failure. */
ZEDAVURA_API uint8_t ConvertTS(ElementList* list, const char* targetSyntax,
                               const char* sourceSyntax);

/* Writes newFileName holding existingFileName's data set in targetSyntax (a byte-for-byte copy
 * when it already is in that syntax). 1 when written. */
ZEDAVURA_API uint8_t ConvertFileTS(const char* newFileName, const char* existingFileName,
                                   const char* targetSyntax);

/* The outcomes of ConvertFileTSStatus. */
typedef enum ConvertOutcome {
    CONVERT_DONE = 0,
    CONVERT_NOT_PART10_FILE = -1,       /* not a Part 10 file, or unreadable */
    CONVERT_NO_TRANSFER_SYNTAX = -2,    /* no transfer syntax in its meta group */
    CONVERT_UNKNOWN_SOURCE_SYNTAX = -3, /* a source syntax the converter does not read */
    CONVERT_UNKNOWN_TARGET_SYNTAX = -4, /* a target syntax the converter does not write */
    CONVERT_COLOUR_TO_LOSSLESS = -5,    /* a colour image to lossless JPEG */
    CONVERT_UNSUPPORTED_IMAGE = -6,     /* an image layout the pixel data codec does not take */
    CONVERT_MALFORMED_DATA = -7,        /* malformed data or pixel data */
    CONVERT_CANNOT_WRITE = -8           /* the new file cannot be written */
} ConvertOutcome;

/* ConvertFileTS with the reason of a failure: a ConvertOutcome. */
ZEDAVURA_API int32_t ConvertFileTSStatus(const char* newFileName, const char* existingFileName,
                                         const char* targetSyntax);

/* ConvertFileTSStatus that also tells why a pixel data codec refused a frame: its reason goes
 * into detail ("" when no codec refused), as OutcomeText writes text. detail may be null. */
ZEDAVURA_API int32_t ConvertFileTSWithDetail(const char* newFileName, const char* existingFileName,
                                             const char* targetSyntax, char* detail,
                                             uint32_t capacity);

/* Receives one line of a dump (Windows-1252 text, no line end). */
typedef void (*DumpLineSink)(void* context, const char* line);

/* Dumps every element of the list as text lines to sink, in list order; explicitVr and
 * bigEndian give the data set's encoding (DICOMFile's result and (0002,0010)). Each element
 * gets its dictionary VR. */
ZEDAVURA_API void DumpTagsToMemo(ElementList* list, DumpLineSink sink, void* context,
                                 uint8_t explicitVr, uint8_t bigEndian);

/* Appends the trace lines of one element (CR LF ended, indent TABs deep, nested sequences
 * opened) to fileName. 0 when fileName or element is null or the file cannot be opened. An item
 * given alone is opened as a data set when it has a length: the offset table and fragments of
 * an undefined-length Pixel Data are told apart only in a whole list (DumpTagsToTrace). */
ZEDAVURA_API uint8_t DumpElementToFile(const char* fileName, DicomElement* element,
                                       uint8_t explicitVr, int32_t indent, uint8_t bigEndian);

/* The trace lines of every element of the list, as message dumps write them to the trace log,
 * one line at a time to sink (no line end; value bytes as they are, so a value may hold any
 * byte but NUL). The offset table and fragments of an undefined-length Pixel Data print as one
 * line each, never opened. */
ZEDAVURA_API void DumpTagsToTrace(ElementList* list, DumpLineSink sink, void* context,
                                  uint8_t explicitVr, uint8_t bigEndian);

/* DumpTagsToMemo with every line in UTF-8: dictionary names converted from Windows-1252,
 * values of SH, LO, UC, PN, ST, LT and UT decoded by the character set that holds for them
 * (the list's Specific Character Set (0008,0005), or the one an item names for its elements),
 * other values read as Windows-1252, and after a (0008,0005) that is not understood a line
 * "Warning: " and what was not. Without (0008,0005), or with "ISO_IR 100", the lines are those
 * of DumpTagsToMemo converted from Windows-1252. Control characters are left in. */
ZEDAVURA_API void DumpTagsToMemoUtf8(ElementList* list, DumpLineSink sink, void* context,
                                     uint8_t explicitVr, uint8_t bigEndian);

/* DumpTagsToTrace with every line in UTF-8, as DumpTagsToMemoUtf8 makes them. */
ZEDAVURA_API void DumpTagsToTraceUtf8(ElementList* list, DumpLineSink sink, void* context,
                                      uint8_t explicitVr, uint8_t bigEndian);

/* Character sets. characterSet is a value of Specific Character Set (0008,0005) as a data set
 * holds it (defined terms separated by backslashes, padding allowed; null or "" the default
 * repertoire): "ISO_IR 100" to "ISO_IR 203" and "ISO_IR 13", "ISO_IR 192" (UTF-8), "GB18030",
 * "GBK", and ISO 2022 terms ("ISO 2022 IR 6", "\ISO 2022 IR 87", "\ISO 2022 IR 149", ...)
 * whose escape sequences switch within a value; each value, and each component group and
 * component of a person name, starts again in the set of value 1. The texts written are
 * UTF-8, cut between characters to fit capacity as OutcomeText cuts, and the whole length is
 * returned (a value's NUL bytes stay in the text, counted in the length). */

/* The outcomes of EncodeText besides a length. */
typedef enum TextOutcome {
    TEXT_UNKNOWN_CHARACTER_SET = -1, /* a term of characterSet is unknown or misplaced */
    TEXT_NOT_ENCODABLE = -2          /* a character the set cannot hold, or text that is no UTF-8 */
} TextOutcome;

/* Decodes the length bytes at value, the value of an element with the VR vr, to UTF-8 by
 * characterSet: for SH, LO, UC, PN, ST, LT and UT; any other VR reads as Windows-1252, as do
 * these without (0008,0005) or with "ISO_IR 100". Bytes that do not decode become U+FFFD;
 * unknown terms read as the default repertoire (CharacterSetWarning names them). -1 only
 * when memory runs out. */
ZEDAVURA_API int32_t DecodeText(const char* characterSet, const char* vr, const uint8_t* value,
                                uint32_t length, char* text, uint32_t capacity);

/* Decodes the value of the element at index of list (up to its first NUL) to UTF-8 by the
 * character set that holds for it: the list's (0008,0005), or the one of the item of undefined
 * length it is in. Elements read in implicit VR are taken with their dictionary VR. -1 for a
 * null list or an index out of range. */
ZEDAVURA_API int32_t TagTextUtf8(const ElementList* list, uint32_t index, char* text,
                                 uint32_t capacity);

/* Writes UTF-8 text in characterSet for a value of the VR vr (escape sequences included, and
 * back in the set of value 1 before each delimiter and at the end) into out, cut to fit
 * capacity and NUL-terminated; returns their whole length. TEXT_UNKNOWN_CHARACTER_SET or
 * TEXT_NOT_ENCODABLE
 * otherwise; for the latter *failedAt (may be null) gets the offset in utf8 of the character
 * that could not be written. Without characterSet only ASCII can be written. */
ZEDAVURA_API int32_t EncodeText(const char* characterSet, const char* vr, const char* utf8,
                                char* out, uint32_t capacity, uint32_t* failedAt);

/* What of characterSet cannot be used, in words (Specific Character Set "ISO_IR 999": unknown
 * term ...); its length, 0 when every term is understood. */
ZEDAVURA_API int32_t CharacterSetWarning(const char* characterSet, char* text, uint32_t capacity);

/* One DICOM association: created by NewPDU, freed by DeletePDU. Opaque to C. */
typedef struct Association Association;

/* Sets the trace level (0 none, 1 association events, 2 message dumps, 3 socket hex dump) and,
 * when path is neither null nor empty, the trace log file; the path is copied. */
ZEDAVURA_API void SetLOG(const char* path, int32_t level);

/* Appends the local time of day, ": ", text and CR LF to the trace log file set by SetLOG;
 * nothing when no file is set or it cannot be opened. Safe from several threads. */
ZEDAVURA_API void WriteLogLine(const char* text);

/* A new association record, freed with DeletePDU; null when memory runs out. */
ZEDAVURA_API Association* NewPDU(void);

/* Releases the association when still connected, then frees it. Null does nothing. */
ZEDAVURA_API void DeletePDU(Association* assoc);

/* Connects to host:port (dotted address or name; number or service name) and proposes one
 * context: abstractSyntax with transferSyntax and implicit VR little endian (null: implicit VR
 * little endian alone). An empty callingAeTitle is replaced by "ORLANE" and ten spaces, also in
 * the caller's buffer, which must then hold 17 bytes. 1 when at least one context was accepted;
 * 0 otherwise, with the connection closed. */
ZEDAVURA_API uint8_t OpenAssoc(Association* assoc, const char* host, const char* port,
                               char* callingAeTitle, const char* calledAeTitle,
                               const char* abstractSyntax, const char* transferSyntax);

/* The DICOM TLS profiles: TLS 1.2 at least, 1.3 first. */
typedef enum TlsProfileKind {
    TLS_PROFILE_BCP195_ND = 0, /* the non-downgrading profile: ECDHE with AES-GCM (the default) */
    TLS_PROFILE_BCP195 = 1,    /* those and the DHE-RSA AES-GCM suites */
    TLS_PROFILE_BCP195_EX = 2  /* ECDHE with AES-256-GCM or ChaCha20-Poly1305 only */
} TlsProfileKind;

/* What a provider asks of a sender's certificate. */
typedef enum TlsPeerCertificate {
    TLS_PEER_CERT_DEFAULT = 0,  /* required when trusted certificates are given, else ignored */
    TLS_PEER_CERT_REQUIRED = 1, /* asked for; the handshake fails without a trusted one */
    TLS_PEER_CERT_OPTIONAL = 2, /* asked for; one that comes must be trusted */
    TLS_PEER_CERT_IGNORE = 3    /* not asked for */
} TlsPeerCertificate;

/* TLS on an association or a provider's port. structSize is sizeof(TlsOptions) as the caller
 * compiled it. Texts and the trusted array stay the caller's and are only read during the call;
 * the context they make is kept for the next call with the same options. */
typedef struct TlsOptions {
    uint32_t structSize;
    const char*
        certificateFile; /* ours, PEM with its chain; null or "": none (a provider needs one) */
    const char* keyFile; /* its private key, PEM; null or "": none */
    const char* keyPasswordFile; /* a file whose first line is the key's pass phrase; null: none */
    const char* const* trusted;  /* trustedCount PEM files or folders; none: the system's */
    uint32_t trustedCount;
    uint8_t noVerify;        /* a requestor accepts any peer certificate when 1 */
    int32_t peerCertificate; /* a TlsPeerCertificate, for a provider */
    int32_t profile;         /* a TlsProfileKind; another value fails as a bad profile */
} TlsOptions;

/* Makes (and keeps) the TLS context of the options, reading every file: 1 when it is sound; 0
 * with why (a file that cannot be read, a key that does not fit, a wrong pass phrase, never the
 * phrase itself) in why, cut to capacity as OutcomeText cuts (why may be null). */
ZEDAVURA_API uint8_t CheckTlsOptions(const TlsOptions* tls, char* why, uint32_t capacity);

/* The kinds of user identity a requestor can offer. */
typedef enum UserIdentityKind {
    USER_IDENTITY_USERNAME = 1,          /* a user name alone */
    USER_IDENTITY_USERNAME_PASSCODE = 2, /* a user name and its password */
    USER_IDENTITY_KERBEROS = 3,          /* a Kerberos service ticket */
    USER_IDENTITY_SAML = 4,              /* a SAML assertion */
    USER_IDENTITY_JWT = 5                /* a JSON Web Token */
} UserIdentityKind;

/* Who a requestor says it is beyond its calling title. structSize is sizeof(UserIdentityOptions)
 * as the caller compiled it. The bytes stay the caller's and are only read during the call;
 * they never reach a log. Fields longer than 65535 bytes, an empty primary field or an unknown
 * kind make the options fail as no connection. */
typedef struct UserIdentityOptions {
    uint32_t structSize;
    int32_t kind;           /* a UserIdentityKind */
    const uint8_t* primary; /* the user name, ticket, assertion or token */
    uint32_t primaryLength;
    const uint8_t* secondary; /* the password (USER_IDENTITY_USERNAME_PASSCODE only) */
    uint32_t secondaryLength;
    uint8_t positiveResponse; /* 1: ask the peer to confirm the identity */
} UserIdentityOptions;

/* Where and how an association connects: the peer, the titles, the waits (milliseconds; 0 keeps
 * the default) and the maximum PDU length we announce. structSize is sizeof(ConnectionOptions)
 * as the caller compiled it: fields added later go at the end and keep their defaults for older
 * callers. Texts may be null; they stay the caller's and are only read during the call. */
typedef struct ConnectionOptions {
    uint32_t structSize;
    const char* host;
    const char* port;
    const char* callingAeTitle; /* null or "": "ORLANE" and ten spaces */
    const char* calledAeTitle;  /* null: "" */
    uint32_t connectTimeoutMs;  /* 0: the platform's own (a probe's: 10 s) */
    uint32_t acseTimeoutMs;     /* the association request or its answer, and the release; 0: 30 s
                                   for a request and a release, dimseTimeoutMs for an answer */
    uint32_t dimseTimeoutMs;    /* each response; 0: 300 s */
    uint32_t idleTimeoutMs;     /* a provider closes a connection silent this long; 0: 300 s */
    uint32_t maxPduLength;      /* 0: 16384; else taken into 4096..131072. Our P-DATA-TF PDUs
                                   carry 4096 data bytes each, fewer when the peer asks */
    const TlsOptions* tls;      /* null: plain TCP; else TLS, and options whose TLS context
                                   cannot be made fail as no connection */
    const UserIdentityOptions* userIdentity; /* requestor; null: no identity offered */
    const char* acceptedUsers; /* provider: lines NAME:PASSWORD (the text, not a file name); only
                                  those users may associate, others are rejected (permanent,
                                  service user, reason 1); null: anyone, with or without identity */
} ConnectionOptions;

/* The waits that can run out, as LastTimeout tells them. */
typedef enum WaitKind {
    WAIT_NONE = 0,
    WAIT_CONNECT = 1, /* the TCP connection (connectTimeoutMs) */
    WAIT_ACSE = 2,    /* the association request or its answer (acseTimeoutMs) */
    WAIT_DIMSE = 3,   /* a response (dimseTimeoutMs) */
    WAIT_IDLE = 4,    /* a provider's wait for the next request (idleTimeoutMs) */
    WAIT_RELEASE = 5  /* the reply to our release (acseTimeoutMs); the operation itself went on */
} WaitKind;

/* OpenAssoc with the options' peer, titles, waits and maximum PDU length. 1 when at least one
 * context was accepted; 0 otherwise (null or too small options too), the connection closed. */
ZEDAVURA_API uint8_t OpenAssocWith(Association* assoc, const ConnectionOptions* peer,
                                   const char* abstractSyntax, const char* transferSyntax);

/* Which wait ran out in the calling thread's last failure, or a release left unanswered after
 * no failure: a WaitKind (WAIT_NONE when none). *milliseconds (may be null) gets its length,
 * awaited (may be null) what never came ("no C-FIND response"), cut to capacity as OutcomeText
 * cuts. */
ZEDAVURA_API int32_t LastTimeout(uint32_t* milliseconds, char* awaited, uint32_t capacity);

/* Sets (1) or clears (0) the association's message dump: while set, every element it sends
 * and receives is written to the trace log, as the one-shot services do at trace level 2 or
 * more. 0 for null. */
ZEDAVURA_API uint8_t SetMessageDump(Association* assoc, uint8_t on);

/* Releases the association (A-RELEASE-RQ, then the reply) and closes it; 1, or 0 for null. */
ZEDAVURA_API uint8_t CloseAssoc(Association* assoc);

/* One verification: opens an association for the Verification SOP class (implicit VR little
 * endian) with host:port, sends a C-ECHO-RQ, reads the response, then always releases and frees
 * the association. An empty or null callingAeTitle means "ORLANE" and ten spaces. At trace
 * level 2 or more every element sent and received is dumped to the trace log. 1 only when the
 * association was accepted and the C-ECHO-RSP carried status 0x0000; 0 otherwise. */
ZEDAVURA_API uint8_t EchoSCU(const char* host, const char* port, const char* callingAeTitle,
                             const char* calledAeTitle);
/* EchoSCU with the options' waits and maximum PDU length; 0 also for null or too small options. */
ZEDAVURA_API uint8_t EchoSCUWith(const ConnectionOptions* peer);

/* Sends a C-ECHO-RQ for sopClassUid (padded with 0x00 to even length) with the next odd Message
 * ID on an association opened with OpenAssoc. 1 when sent; 0 when no accepted presentation
 * context fits the SOP class, the connection failed, or an argument is null. */
ZEDAVURA_API uint8_t WriteEchoRQ(Association* assoc, const char* sopClassUid);

/* Receives one message on the association; 1 when it is a C-ECHO-RSP with Status 0x0000. 0 for any
 * other answer, a release or abort by the peer, a broken message (the association is then aborted)
 * or a null association. */
ZEDAVURA_API uint8_t ReadEchoRSP(Association* assoc);

/* Storage provider. Starts a listener thread on port (number or service name) and returns at
 * once; may be called more than once, each call another listener. The listener serves one
 * association at a time (or as many at once as SetStoreSCPMaxAssociations allowed when it was
 * started; further connections wait), answers C-ECHO and C-STORE, and writes each instance to
 * directory (a separator is appended when missing) + Study Instance UID + "/" + Series Instance
 * UID + "/" + SOP Instance UID + ".dcm", and into the index under "./Database" of the working
 * directory. A C-STORE-RSP is sent once the file is on disk: status 0x0000 stored, 0xA700 it
 * could not be written, 0xC000 a UID that cannot be a file name or a data set that cannot be
 * re-encoded. A port that cannot be listened on ends the listener silently. */
ZEDAVURA_API void StartStoreSCP(const char* directory, const char* port);

/* StartStoreSCP for everything: besides its own classes the listener accepts every storage SOP
 * class of the standard, each presentation context in the first proposed transfer syntax the
 * library reads, and stores each instance in the syntax it arrived in. */
ZEDAVURA_API void StartStoreSCPAcceptingAll(const char* directory, const char* port);
/* StartStoreSCP (acceptAll 0) or StartStoreSCPAcceptingAll (1) on listener->port, with its
 * request, release and idle waits and maximum PDU length; nothing starts for null or too small
 * options, a null directory or port. */
ZEDAVURA_API void StartStoreSCPWith(const char* directory, const ConnectionOptions* listener,
                                    uint8_t acceptAll);
/* Faults a provider commits on purpose, for testing the device that talks to it. structSize is
 * sizeof(ProviderFaults) as the caller compiled it; everything zero or null commits none. */
typedef struct ProviderStatusFault {
    uint16_t commandField; /* the request: 0x0001 C-STORE, 0x0030 C-ECHO, 0x0020 C-FIND, ... */
    uint16_t status;       /* answered instead; a failure status does nothing (stores nothing) */
    uint32_t every;        /* 1: every such request of an association; N: every Nth; 0: none */
} ProviderStatusFault;
typedef struct ProviderFaults {
    uint32_t structSize;
    const char* const* refused; /* abstract syntax UIDs answered with result 3; may be null */
    uint32_t refusedCount;
    uint8_t rejectResult; /* 1 permanent, 2 transient: every association request gets an
                             A-ASSOCIATE-RJ with this source and reason; 0: none */
    uint8_t rejectSource;
    uint8_t rejectReason;
    const ProviderStatusFault* statuses; /* may be null */
    uint32_t statusCount;
    uint32_t delayMs;    /* before each response */
    uint32_t abortAfter; /* an A-ABORT once this many requests are answered; 0: never */
    uint32_t closeAfter; /* the connection closed without a word after so many; 0: never */
} ProviderFaults;

/* What a provider saw; texts are the library's, valid during the call, "" when not given. */
typedef enum ProviderEventKind {
    PROVIDER_ASSOCIATION = 1, /* a request answered: titles, contexts accepted or rejection */
    PROVIDER_MESSAGE = 2,     /* a request received and (or not) answered */
    PROVIDER_ENDED = 3        /* the association is over: messages, bytes, ending */
} ProviderEventKind;
typedef struct ProviderEvent {
    uint32_t structSize;  /* sizeof(ProviderEvent) as the library compiled it */
    int32_t kind;         /* a ProviderEventKind */
    uint32_t association; /* numbered from 1 in the process */
    int64_t timeMs;       /* milliseconds since 1970-01-01 UTC */
    const char* peer;     /* "address:port" */
    const char* callingAeTitle;
    const char* calledAeTitle;
    const char* contexts;  /* "CT Image Storage in Explicit VR Little Endian, ..." */
    const char* tls;       /* protocol and cipher suite; "" for plain TCP */
    const char* identity;  /* "user NAME" or the credential's kind; never a password or token */
    const char* rejection; /* the A-ASSOCIATE-RJ sent, in words */
    const char* command;   /* "C-STORE-RQ" */
    const char* sopClass;  /* by name, or the UID */
    const char* transferSyntax;
    uint64_t bytes; /* received for the message; for the end, on the whole connection */
    int32_t status; /* the status answered; -1 when no response went out */
    const char* statusWords;
    uint32_t milliseconds; /* from the request's arrival to its response */
    uint32_t messages;     /* the end: requests answered */
    const char* ending; /* "released", "aborted by the peer", "connection lost", "idle time-out" */
    const char* fault;  /* the faults injected in this event, in words; "" when none */
} ProviderEvent;
/* Called on the threads serving the associations, one call at a time per listener (never
 * overlapping); it must return promptly and not call StopStoreSCP. */
typedef void (*ProviderEventSink)(void* context, const ProviderEvent* event);
/* StartStoreSCPWith, committing faults (null: none; too small: nothing starts) and telling
 * sink (null: nobody) with context of every association and message until StopStoreSCP
 * returns. The faults are copied; context stays the caller's. */
ZEDAVURA_API void StartStoreSCPObserved(const char* directory, const ConnectionOptions* listener,
                                        uint8_t acceptAll, const ProviderFaults* faults,
                                        ProviderEventSink sink, void* context);

/* What the provider serves besides C-ECHO and C-STORE, all from its own storage folder; every
 * text may be null or empty for none. structSize is sizeof(ProviderServices) as the caller
 * compiled it: fields added later go at the end. */
typedef struct ProviderServices {
    uint32_t structSize;
    uint8_t query;         /* 1: C-MOVE and C-GET at Patient and Study Root from what it stored */
    uint32_t pending;      /* extra pending responses before each final C-MOVE/C-GET response */
    const char* nodesFile; /* "AE HOST PORT" lines: move destinations, commitment requestors */
    uint8_t commit;        /* 1: take Storage Commitment Push Model */
    uint8_t commitNewAssociation;  /* 1: commitment reports always on a new association */
    const char* mppsDirectory;     /* the folder of performed procedure steps; empty: not taken */
    const char* worklistDirectory; /* worklist items (a data set or DICOM JSON a file) */
} ProviderServices;
/* StartStoreSCPObserved serving services as well (null: none). 1 when the listener was started
 * (StoreSCPListening tells whether it listens); 0 when the options cannot be used: a nodes file
 * that cannot be read or has a bad line, --commit-new-association without commit, a struct too
 * small (LastFailureText says why). The options are copied; context stays the caller's. */
ZEDAVURA_API uint8_t StartStoreSCPServices(const char* directory, const ConnectionOptions* listener,
                                           uint8_t acceptAll, const ProviderFaults* faults,
                                           ProviderEventSink sink, void* context,
                                           const ProviderServices* services);

/* How many associations each listener started from now on serves at once: 1 (the default) to
 * 256; other values are taken as the nearest of those. Instances are still written whole and
 * indexed once, whatever the number. */
ZEDAVURA_API void SetStoreSCPMaxAssociations(int32_t count);

/* Waits until the listener started last on port has listened or given up; 1 when it is
 * listening now, 0 when it could not listen, has ended, or none was started on port. */
ZEDAVURA_API uint8_t StoreSCPListening(const char* port);

/* Stops every listener and returns when all have ended: closes the listening sockets and the
 * connections of the associations being served, once what has arrived on them is stored and
 * answered. */
ZEDAVURA_API void StopStoreSCP(void);

/* Storage. The outcome of StoreSCUStatus, ReadStoreRSP and SendSeriesWithProgress is the
 * C-STORE-RSP status (0..65535, only 0x0000 is success) or one of these failures of ours.
 * preferredSyntax is a transfer syntax UID proposed after the file's own, "" (an empty
 * transfer syntax sub-item) or null (none); convert 1 converts the data set to the accepted
 * syntax when it differs, 0 sends it element for element. Callers own what they pass in. */
typedef enum StoreOutcome {
    STORE_SUCCESS = 0,               /* the C-STORE-RSP status success; other statuses are > 0 */
    STORE_NO_RESPONSE = -1,          /* no response */
    STORE_NOT_STORE_RESPONSE = -2,   /* a response that is not a C-STORE-RSP */
    STORE_CANNOT_OPEN = -3,          /* the file cannot be opened */
    STORE_NOT_PART10 = -4,           /* not a Part 10 file (no "DICM" at offset 128) */
    STORE_DAMAGED_FILE = -5,         /* a Part 10 file that cannot be read to its end */
    STORE_NO_TRANSFER_SYNTAX = -6,   /* no transfer syntax in its meta group */
    STORE_NO_SOP_CLASS = -7,         /* no SOP Class UID */
    STORE_NO_CONNECTION = -8,        /* no connection, or no answer to the association request */
    STORE_REJECTED = -9,             /* the association was rejected */
    STORE_CONTEXT_REFUSED = -10,     /* no presentation context accepted for the SOP class */
    STORE_CONVERSION_FAILED = -11,   /* the data set cannot be converted to the accepted syntax */
    STORE_SEND_FAILED = -12,         /* the connection failed while sending */
    STORE_NO_FILES = -13,            /* no Part 10 file in the series directory */
    STORE_INTERNAL_ERROR = -14,      /* memory ran out, or another failure of the library */
    STORE_ASSOCIATION_ABORTED = -17, /* an A-ABORT answered the association request */
    STORE_MALFORMED_ANSWER = -18     /* no sound answer to the association request */
} StoreOutcome;

/* Stores one Part 10 file on a new association for its SOP class (the file's syntax, then
 * preferredSyntax, then implicit VR little endian), always released. An empty or null
 * callingAeTitle means "ORLANE" and ten spaces. 1 only for status 0x0000. */
ZEDAVURA_API uint8_t StoreSCU(const char* host, const char* port, const char* callingAeTitle,
                              const char* calledAeTitle, const char* fileName,
                              const char* preferredSyntax, uint8_t convert);

/* StoreSCU with the outcome code instead of yes/no. Nothing is sent for STORE_CANNOT_OPEN to
 * STORE_NO_SOP_CLASS. */
ZEDAVURA_API int32_t StoreSCUStatus(const char* host, const char* port, const char* callingAeTitle,
                                    const char* calledAeTitle, const char* fileName,
                                    const char* preferredSyntax, uint8_t convert);
/* StoreSCUStatus with the options' peer, waits and maximum PDU length; STORE_NO_CONNECTION for
 * null or too small options. */
ZEDAVURA_API int32_t StoreSCUWith(const ConnectionOptions* peer, const char* fileName,
                                  const char* preferredSyntax, uint8_t convert);

/* Sends a C-STORE-RQ (next odd Message ID, (0008,0018) of dataSet as Affected SOP Instance
 * UID) and then dataSet on the context of sopClassUid; dataSet is in currentSyntax and stays
 * the caller's, unchanged. 1 when both were sent; 0 when no context fits, the conversion
 * fails, the connection fails, or an argument is null. */
ZEDAVURA_API uint8_t WriteStoreRQ(Association* assoc, ElementList* dataSet, const char* sopClassUid,
                                  const char* currentSyntax, uint8_t convert);

/* Receives one message: its Status when it is a C-STORE-RSP (0..65535), STORE_NO_RESPONSE when
 * nothing could be received (or assoc is null), STORE_NOT_STORE_RESPONSE for another message. */
ZEDAVURA_API int32_t ReadStoreRSP(Association* assoc);

/* Sends a series directory: the files its "Image.dir" names (third field + ".dcm"), or without
 * one every Part 10 file in it in file name order. The files are scanned first; each SOP class is
 * proposed in every syntax its files come in, preferredSyntax and implicit VR little endian (one
 * context each, as many associations as 128 contexts each need, Message IDs going on), and each
 * file goes in its own syntax where that was accepted, converted otherwise. A file that fails is
 * skipped. 1 when the last file was stored with 0x0000. */
ZEDAVURA_API int32_t SendSeries(const char* host, const char* port, const char* callingAeTitle,
                                const char* calledAeTitle, const char* directory,
                                const char* preferredSyntax, uint8_t convert);

/* Told after each file of a series: index (0-based), number of files, the file, its outcome. */
typedef void (*StoreProgressSink)(void* context, int32_t index, int32_t count, const char* fileName,
                                  int32_t outcome);

/* SendSeries reporting each file to progress (may be null), every file told once, those that
 * cannot be sent too. Returns the outcome of the last file, STORE_NO_FILES for a directory
 * without any. */
ZEDAVURA_API int32_t SendSeriesWithProgress(const char* host, const char* port,
                                            const char* callingAeTitle, const char* calledAeTitle,
                                            const char* directory, const char* preferredSyntax,
                                            uint8_t convert, StoreProgressSink progress,
                                            void* context);
/* SendSeriesWithProgress with the options' peer, waits and maximum PDU length;
 * STORE_NO_CONNECTION for null or too small options. */
ZEDAVURA_API int32_t SendSeriesWith(const ConnectionOptions* peer, const char* directory,
                                    const char* preferredSyntax, uint8_t convert,
                                    StoreProgressSink progress, void* context);

/* Query/retrieve (Study Root) and modality worklist.
 *
 * Records are fixed sequences of text fields, read by position or by name; each field is a
 * NUL-terminated text owned by the record, never null, empty when unknown. Records are made
 * only by NewRecord (keys) or by the library (results), and change only through
 * SetRecordField: the library frees every field and record it is given, so a record or field
 * from anywhere else must never reach it. A record kind is named by its level text: "STUDY",
 * "SERIES", "IMAGE", or "WORKLIST". */
typedef struct StudyRecord {
    char* PatientName;      /* (0010,0010) */
    char* PatientID;        /* (0010,0020) */
    char* PatientAge;       /* (0010,1010) */
    char* PatientSex;       /* (0010,0040) */
    char* PatientBD;        /* (0010,0030) Patient's Birth Date */
    char* StudyDate;        /* (0008,0020) */
    char* StudyTime;        /* (0008,0030) */
    char* StudyID;          /* (0020,0010) */
    char* StudyDescription; /* (0008,1030) */
    char* StudyInstanceUID; /* (0020,000D) */
    char* InstitutionName;  /* (0008,0080) */
    char* PhysiciansName;   /* (0008,0090) Referring Physician's Name */
    char* Modalities;       /* (0008,0061) Modalities in Study */
    char* AccessionNumber;  /* (0008,0050) */
} StudyRecord;

typedef struct SeriesRecord {
    char* SeriesDate;        /* (0008,0021) */
    char* SeriesTime;        /* (0008,0031) */
    char* SeriesDescription; /* (0008,103E) */
    char* BodyPartExamined;  /* (0018,0015) */
    char* SeriesInstanceUID; /* (0020,000E) */
    char* SeriesNumber;      /* (0020,0011) */
    char* Modality;          /* (0008,0060) */
    char* StudyInstanceUID;  /* (0020,000D) */
    char* ProtocolName;      /* (0018,1030) */
    char* PatientPosition;   /* (0018,5100) */
} SeriesRecord;

typedef struct ImageRecord {
    char* ImageDate;               /* (0008,0023) Content Date */
    char* ImageTime;               /* (0008,0033) Content Time */
    char* InstanceNumber;          /* (0020,0013) */
    char* AcquisitionDate;         /* (0008,0022) */
    char* AcquisitionTime;         /* (0008,0032) */
    char* AcquisitionNumber;       /* (0020,0012) */
    char* SOPInstanceUID;          /* (0008,0018) */
    char* SOPClassUID;             /* (0008,0016) */
    char* SeriesNumber;            /* (0020,0011), filled only: never sent as a key */
    char* SeriesInstanceUID;       /* (0020,000E) */
    char* StudyInstanceUID;        /* (0020,000D) */
    char* SliceLocation;           /* (0020,1041) */
    char* ImageType;               /* (0008,0008) */
    char* NumberOfFrames;          /* (0028,0008) */
    char* ImagePosition;           /* (0020,0030), retired */
    char* ImageOrientationPatient; /* (0020,0037) */
    char* ImagePositionPatient;    /* (0020,0032) */
    char* FrameOfReferenceUID;     /* (0020,0052) */
} ImageRecord;

typedef struct WorklistRecord {
    char* PatientName;                   /* (0010,0010) */
    char* PatientID;                     /* (0010,0020) */
    char* PatientBD;                     /* (0010,0030) */
    char* PatientSex;                    /* (0010,0040) */
    char* AccessionNumber;               /* (0008,0050) */
    char* RequestingPhysician;           /* (0032,1032) */
    char* Unused;                        /* always empty */
    char* Allergies;                     /* (0010,2110), never sent as a key */
    char* StudyInstanceUID;              /* (0020,000D) */
    char* RequestedProcedureDescription; /* (0032,1060) */
    char* SPSStartTime;                  /* (0040,0003), in (0040,0100) */
    char* SPSStartDate;                  /* (0040,0002), in (0040,0100) */
    char* Modality;                      /* (0008,0060), in (0040,0100) */
    char* ScheduledStationAET;           /* (0040,0001), in (0040,0100), never a key */
    char* ScheduledPerformingPhysician;  /* (0040,0006), in (0040,0100) */
    char* RequestedContrastAgent;        /* (0032,1070), never sent as a key */
    char* SPSID;                         /* (0040,0009), in (0040,0100) */
    char* SPSDescription;                /* (0040,0007), in (0040,0100) */
    char* ScheduledStationName;          /* (0040,0010), in (0040,0100) */
    char* SPSLocation;                   /* (0040,0011), in (0040,0100) */
    char* PreMedication;                 /* (0040,0012), in (0040,0100) */
    char* RequestedProcedureID;          /* (0040,1001), never sent as a key */
    char* RequestedProcedurePriority;    /* (0040,1003), never sent as a key */
} WorklistRecord;

/* What a field of a record kind is: its name (as in the structs above; "" for the unused
 * worklist field), the attribute it is sent and filled as (0,0 for none), that attribute's VR,
 * whether a value set in a key record is sent (0: the key always goes with zero length, or, for
 * a series attribute at IMAGE level, is left out), and whether it travels inside the Scheduled
 * Procedure Step Sequence (0040,0100). */
typedef struct RecordField {
    const char* name;
    uint16_t group;
    uint16_t element;
    char vr[3];
    uint8_t sentAsKey;
    uint8_t inStepSequence;
} RecordField;

/* Fills *field for field index (0-based) of kind; 0 when kind is unknown, index is past its
 * last field, or an argument is null. The texts are constant. */
ZEDAVURA_API uint8_t DescribeRecordField(const char* kind, uint32_t index, RecordField* field);

/* A new record of kind with every field empty, or null for an unknown kind. Freed by the list
 * it is appended to (ClearQuery, ClearWL, DeleteRecordList), by WriteFindRQ or WriteMoveRQ as
 * their key, or alone by FreeRecord. */
ZEDAVURA_API void* NewRecord(const char* kind);

/* The kind of a live record ("STUDY", ...), or null for anything NewRecord or the library did
 * not make, or that has been freed. */
ZEDAVURA_API const char* RecordKind(const void* record);

/* Replaces field index of the record with a copy of text. 0 (nothing changed) when the record
 * is not a live record, index is out of range or text is null. */
ZEDAVURA_API uint8_t SetRecordField(void* record, uint32_t index, const char* text);

/* The text of field index (0-based) of a live record, owned by the record; null when the
 * record is not live or index is out of range. */
ZEDAVURA_API const char* RecordText(const void* record, uint32_t index);

/* Frees a live record that is in no list; 0 (nothing freed) for anything else. */
ZEDAVURA_API uint8_t FreeRecord(void* record);

/* The Specific Character Set (0008,0005) field index of a live record is written in, as the
 * response it came from named it (the fields of a worklist step item may have their own),
 * or as SetRecordCharacterSet set it for a key; "" for none. Owned by the record, valid until
 * its sets change or it is freed; null when the record is not live or index is out of range.
 * The fields themselves keep the bytes the peer sent. */
ZEDAVURA_API const char* RecordCharacterSet(const void* record, uint32_t index);

/* The text of field index of a live record in UTF-8, decoded by its RecordCharacterSet as
 * DecodeText decodes it; -1 when the record is not live or index is out of range. */
ZEDAVURA_API int32_t RecordTextUtf8(const void* record, uint32_t index, char* text,
                                    uint32_t capacity);

/* Names the character set a key record's texts are written in (see EncodeText): the query
 * built from it sends characterSet as (0008,0005). Null or "" for none. 0 (nothing changed)
 * when the record is not live or a term is unknown or misplaced. */
ZEDAVURA_API uint8_t SetRecordCharacterSet(void* record, const char* characterSet);

/* An ordered list of records of one kind, owning them. Opaque to C. */
typedef struct RecordList RecordList;

/* A new empty list, freed with DeleteRecordList. */
ZEDAVURA_API RecordList* NewRecordList(void);

/* Frees every record still in the list, then the list. Null does nothing. */
ZEDAVURA_API void DeleteRecordList(RecordList* list);

/* Appends a live record in no list; the list owns it from then on. 0 (nothing changed) when
 * an argument is null, the record is not live or already listed, or it is of another kind than
 * the records already in the list. */
ZEDAVURA_API uint8_t AppendRecord(RecordList* list, void* record);

/* The number of records in the list (0 for null). */
ZEDAVURA_API uint32_t RecordCount(const RecordList* list);

/* The record at index (0-based), still owned by the list; null when out of range. Its kind is
 * RecordKind's answer, the same for every record of the list. */
ZEDAVURA_API void* RecordAt(const RecordList* list, uint32_t index);

/* The outcome of the query and worklist operations: the response Status (0..65535: 0x0000
 * success; 0xFF00 and 0xFF01 pending; anything else a final failure or warning) or one of these
 * failures of ours, which mean the same as the StoreOutcome of the same value. OutcomeText
 * gives the words (OUTCOME_FIND, OUTCOME_MOVE). */
typedef enum QueryOutcome {
    QUERY_SUCCESS = 0,               /* the final Status success; other statuses are > 0 */
    QUERY_NO_RESPONSE = -1,          /* nothing could be received, the peer released or aborted,
                                        or the message was not the expected response */
    QUERY_NO_CONNECTION = -8,        /* no connection, or no answer to the association request */
    QUERY_REJECTED = -9,             /* the association was rejected */
    QUERY_CONTEXT_REFUSED = -10,     /* no presentation context accepted */
    QUERY_SEND_FAILED = -12,         /* the request could not be sent */
    QUERY_INTERNAL_ERROR = -14,      /* memory ran out, or another failure of the library */
    QUERY_REFUSED = -15,             /* refused arguments: a null pointer, an empty list, a level
                                        other than "STUDY", "SERIES" or "IMAGE", or records of
                                        another kind than the level; nothing sent or received */
    QUERY_TOO_MANY_PENDING = -16,    /* more than 100000 pending responses to one request: the
                                        association was aborted and the records read so far stay
                                        in the list */
    QUERY_ASSOCIATION_ABORTED = -17, /* an A-ABORT answered the association request */
    QUERY_MALFORMED_ANSWER = -18     /* no sound answer to the association request */
} QueryOutcome;

/* 1 when outcome is a pending status (0xFF00, or 0xFF01 for a query whose optional keys were
 * not all supported): another response follows; 0 for anything else. */
ZEDAVURA_API uint8_t IsPendingStatus(int32_t outcome);

/* Sends a C-FIND-RQ for sopClassUid and the identifier built from the key record at position
 * 0 of list, of the kind level names. The key record is freed and leaves the list whenever the
 * level and the key fit, sent or not. 1 when the command and identifier were sent; 0 when not,
 * and (nothing freed, nothing sent) for a refused argument as listed above. */
ZEDAVURA_API uint8_t WriteFindRQ(Association* assoc, RecordList* list, const char* sopClassUid,
                                 const char* level);

/* Receives one C-FIND-RSP: its Status, or a QueryOutcome failure. Every response other than a
 * success (pending ones and a final failure) appends a record of the level filled from its
 * identifier (empty without one). Nothing is received for a refused argument (QUERY_REFUSED): an
 * unknown level, or a list holding records of another kind. */
ZEDAVURA_API int32_t ReadFindRSP(Association* assoc, RecordList* list, const char* level);

/* Cancels the last C-FIND sent on assoc (a study or a worklist query) before its end: sends a
 * C-CANCEL-RQ naming its Message ID, then reads the responses that follow, dropping pending
 * ones, up to the final one. Its Status (0xFE00 cancelled, or that of a query that ended before
 * the peer saw the cancel), or a QueryOutcome failure: QUERY_TOO_MANY_PENDING when more than
 * 1000 pending responses follow the cancel (the association is then aborted), QUERY_REFUSED
 * for null. Nothing is appended to any list. */
ZEDAVURA_API int32_t CancelFind(Association* assoc);

/* One C-FIND on its own association (Study Root, implicit VR little endian): once the
 * association is open, the key record at the head of list is consumed as by WriteFindRQ and
 * the result records are appended; free them with ClearQuery or DeleteRecordList. For
 * QUERY_NO_CONNECTION, QUERY_REJECTED, QUERY_CONTEXT_REFUSED and QUERY_REFUSED nothing was sent and
 * the key record is still in the list. An empty or null callingAeTitle means "ORLANE" and ten
 * spaces. FindSCUStatus returns the final Status or a negative code; FindSCU 1 only for a final
 * 0x0000. */
ZEDAVURA_API int32_t FindSCUStatus(const char* host, const char* port, const char* callingAeTitle,
                                   const char* calledAeTitle, const char* level, RecordList* list);
ZEDAVURA_API uint8_t FindSCU(const char* host, const char* port, const char* callingAeTitle,
                             const char* calledAeTitle, const char* level, RecordList* list);
/* FindSCUStatus with the options' peer, waits and maximum PDU length; QUERY_REFUSED (nothing
 * sent) for null or too small options. */
ZEDAVURA_API int32_t FindSCUWith(const ConnectionOptions* peer, const char* level,
                                 RecordList* list);

/* Sends a C-MOVE-RQ for sopClassUid to destinationAeTitle with the identifier built from the
 * key record at position 0 of list, consumed as by WriteFindRQ. 1 when both were sent. */
ZEDAVURA_API uint8_t WriteMoveRQ(Association* assoc, RecordList* list, const char* sopClassUid,
                                 const char* level, const char* destinationAeTitle);

/* Receives one C-MOVE-RSP (a data set that comes with it is read and discarded): its Status,
 * or a QueryOutcome failure; *remaining receives its Number of Remaining Sub-operations (0 when
 * absent, -1 with a negative result). A null remaining is refused (QUERY_REFUSED, nothing
 * received). */
ZEDAVURA_API int32_t ReadMoveRSP(Association* assoc, int32_t* remaining);

/* What one C-MOVE-RSP said: its Status, and its numbers of remaining, completed, failed and
 * warning sub-operations (-1 each when absent). */
typedef struct MoveProgress {
    int32_t status;
    int32_t remaining;
    int32_t completed;
    int32_t failed;
    int32_t warning;
} MoveProgress;

/* Told of every C-MOVE-RSP, pending and final; the record is valid during the call only. */
typedef void (*MoveProgressSink)(void* context, const MoveProgress* progress);

/* One C-MOVE on its own association (Study Root, implicit VR little endian): the key record at
 * the head of list is consumed as FindSCU consumes it; the images go to destinationAeTitle on
 * associations of its own. MoveSCUStatus tells progress (may be null) of every response and
 * returns the final Status or a negative code; MoveSCU 1 only for a final 0x0000. */
ZEDAVURA_API int32_t MoveSCUStatus(const char* host, const char* port, const char* callingAeTitle,
                                   const char* calledAeTitle, const char* destinationAeTitle,
                                   const char* level, RecordList* list, MoveProgressSink progress,
                                   void* context);
ZEDAVURA_API uint8_t MoveSCU(const char* host, const char* port, const char* callingAeTitle,
                             const char* calledAeTitle, const char* destinationAeTitle,
                             const char* level, RecordList* list);
/* MoveSCUStatus with the options' peer, waits and maximum PDU length; QUERY_REFUSED (nothing
 * sent) for null or too small options. */
ZEDAVURA_API int32_t MoveSCUWith(const ConnectionOptions* peer, const char* destinationAeTitle,
                                 const char* level, RecordList* list, MoveProgressSink progress,
                                 void* context);

/* Our outcome of a C-GET beyond QueryOutcome: the peer's final status was success, but a
 * sub-operation failed or warned, an instance could not be stored, or fewer instances arrived
 * than it reported. */
typedef enum GetOutcome { GET_INCOMPLETE = -19 } GetOutcome;

/* What one C-GET-RSP said (as MoveProgress), with the C-STORE sub-operations received so far on
 * the association and, of those, the ones stored. */
typedef struct GetProgress {
    int32_t status;
    int32_t remaining;
    int32_t completed;
    int32_t failed;
    int32_t warning;
    uint32_t received;
    uint32_t stored;
} GetProgress;

/* Told of every C-GET-RSP, pending and final; the record is valid during the call only. */
typedef void (*GetProgressSink)(void* context, const GetProgress* progress);
/* Told, once the association is open, of each storage class the peer cannot send on it, in words
 * valid during the call only. */
typedef void (*GetNoteSink)(void* context, const char* words);

/* One C-GET on its own association with the options' peer: sopClassUid is the Get class of the
 * information model (null: Study Root, "1.2.840.10008.5.1.4.1.2.2.3"; Patient Root
 * "1.2.840.10008.5.1.4.1.2.1.3"); the key record at the head of list is consumed as FindSCU
 * consumes it; storageClasses (classCount UIDs; none: the storage provider's standard classes
 * and, up to 42 in all, those the peer's Study Root C-FIND at image level names for what is
 * asked, on an association of its own first) are proposed with our SCP role, and every instance the
 * peer sends is stored under directory as StartStoreSCP stores it (indexed under ./Database) and
 * answered. progress and note may be null; the caller owns every argument. Returns the final
 * Status, GET_INCOMPLETE (a success contradicted by what arrived), or a QueryOutcome failure
 * (QUERY_REFUSED for null or too small options, a null directory, or more than 42 classes).
 * OutcomeText words it (OUTCOME_GET). */
ZEDAVURA_API int32_t GetSCU(const ConnectionOptions* peer, const char* directory,
                            const char* sopClassUid, const char* level, RecordList* list,
                            const char* const* storageClasses, uint32_t classCount,
                            GetProgressSink progress, GetNoteSink note, void* context);
/* GetSCU that can be cancelled: once *cancel is non-zero (stored atomically, or from a signal
 * handler), a C-CANCEL-RQ goes out after the next response, note is told so, and the responses
 * are read on to the final one (0xFE00 when the peer cancelled; at most 1000 more, else
 * QUERY_TOO_MANY_PENDING and the association aborted). cancel may be null; it stays the
 * caller's. */
ZEDAVURA_API int32_t GetSCUCancellable(const ConnectionOptions* peer, const char* directory,
                                       const char* sopClassUid, const char* level, RecordList* list,
                                       const char* const* storageClasses, uint32_t classCount,
                                       GetProgressSink progress, GetNoteSink note, void* context,
                                       const int32_t* cancel);
/* GetSCUCancellable in the Patient Root model ("1.2.840.10008.5.1.4.1.2.1.3"): patientId (the
 * Patient ID of the study, series or instance asked for) is sent as the unique key above the
 * study, which the SERIES and IMAGE key records cannot carry; a STUDY record's own PatientID is
 * sent when it has one. A null or empty patientId is QUERY_REFUSED, as a Patient Root retrieve
 * below the patient level names its patient. */
ZEDAVURA_API int32_t GetSCUPatientRoot(const ConnectionOptions* peer, const char* directory,
                                       const char* patientId, const char* level, RecordList* list,
                                       const char* const* storageClasses, uint32_t classCount,
                                       GetProgressSink progress, GetNoteSink note, void* context,
                                       const int32_t* cancel);

/* Frees every record of the list and empties it; 1. 0 (nothing freed) for a null list or when
 * the level does not name the kind of its records (an empty list fits every level). */
ZEDAVURA_API uint8_t ClearQuery(RecordList* list, const char* level);

/* Sends a C-FIND-RQ for sopClassUid ("1.2.840.10008.5.1.4.31") with the worklist identifier
 * built from the WORKLIST key record at position 0 of list, which stays in the list: the
 * caller frees it (ClearWL) before reading responses. 1 when both were sent; 0 otherwise. */
ZEDAVURA_API uint8_t WriteWLFindRQ(Association* assoc, RecordList* list, const char* sopClassUid);

/* Receives one C-FIND-RSP of a worklist query as ReadFindRSP does, appending WORKLIST records;
 * QUERY_REFUSED for a list that holds records of another kind. */
ZEDAVURA_API int32_t ReadWLFindRSP(Association* assoc, RecordList* list);

/* Frees every WORKLIST record of the list and empties it; 1. 0 (nothing freed) for a null list
 * or one holding records of another kind. */
ZEDAVURA_API uint8_t ClearWL(RecordList* list);
/* Print. The film settings PrintSCU sends, each a NUL-terminated text the caller owns; null or ""
 * leaves the attribute out. The front end's choices: copies "1", priority "MED", medium "BLUE
 * FILM", destination "MAGAZINE", "PROCESSOR", "BIN_1", "BIN_2" or "BIN_3"; display format
 * "STANDARD\1,1", orientation "PORTRAIT", "LANDSCAPE" or "", film size "14INX17IN", "14INX14IN",
 * "10INX12IN" or "8INX10IN", magnification "REPLICATE", "BILINEAR", "CUBIC" or "NONE". */
typedef struct FilmSessionSettings {
    const char* numberOfCopies;
    const char* printPriority;
    const char* mediumType;
    const char* filmDestination;
} FilmSessionSettings;

/* minDensity and maxDensity are decimal numbers from 0 to 65535, sent as binary values. */
typedef struct FilmBoxSettings {
    const char* imageDisplayFormat;
    const char* filmOrientation;
    const char* filmSizeId;
    const char* magnificationType;
    const char* borderDensity;
    const char* emptyImageDensity;
    const char* minDensity;
    const char* maxDensity;
} FilmBoxSettings;

/* Receives one line of a print's log (Windows-1252 text, no line end). */
typedef void (*PrintLineSink)(void* context, const char* line);

/* Prints one image file on one film of a DICOM printer (Basic Grayscale Print Management):
 * ".jpg"/".JPG" files as JPEG, ".bmp"/".BMP" as Windows bitmaps, anything else as a Part 10
 * image rendered to 8-bit gray. Each step writes its line with WriteLogLine ("Create Film
 * Session: OK!" and the other success lines at trace level 1 or more; failures always, with a
 * line on why: the printer's status with its meaning, or our own reason). Warnings count as
 * failures. An empty or null callingAeTitle means "ORLANE" and ten spaces. 1 only when the film
 * was printed and its film box deleted; 0 otherwise. */
ZEDAVURA_API uint8_t PrintSCU(const char* fileName, const char* host, const char* port,
                              const char* callingAeTitle, const char* calledAeTitle,
                              const FilmSessionSettings* session, const FilmBoxSettings* box);

/* PrintSCU that also hands every line it writes to sink (may be null) as it happens, the
 * success lines included whatever the trace level. */
ZEDAVURA_API uint8_t PrintSCUWithLines(const char* fileName, const char* host, const char* port,
                                       const char* callingAeTitle, const char* calledAeTitle,
                                       const FilmSessionSettings* session,
                                       const FilmBoxSettings* box, PrintLineSink sink,
                                       void* context);
/* PrintSCUWithLines with the options' peer, waits and maximum PDU length; 0 for null or too
 * small options. */
ZEDAVURA_API uint8_t PrintSCUWith(const char* fileName, const ConnectionOptions* printer,
                                  const FilmSessionSettings* session, const FilmBoxSettings* box,
                                  PrintLineSink sink, void* context);

/* Writes the gray image that PrintSCU would send for fileName to bitmapFileName, as an
 * uncompressed 8-bit Windows bitmap with a gray palette; nothing is sent. 1 when written; 0
 * otherwise, with the reason handed to sink (may be null) and written with WriteLogLine. */
ZEDAVURA_API uint8_t PrintPreview(const char* fileName, const char* bitmapFileName,
                                  PrintLineSink sink, void* context);

/* Imaging. A bitmap the caller owns and the library draws on during a call, keeping nothing:
 * width x height pixels, bitsPerPixel 24 (blue, green, red) or 32 (blue, green, red and an
 * unused byte, left as it is), rows top row first and rowBytes apart (at least width times the
 * bytes per pixel), in a block of height x rowBytes bytes at pixels. */
typedef struct BitmapBuffer {
    uint32_t width;
    uint32_t height;
    uint32_t bitsPerPixel;
    uint32_t rowBytes;
    uint8_t* pixels;
} BitmapBuffer;

/* The outcomes of ECG2BitmapStatus. */
typedef enum EcgDrawOutcome {
    ECG_DRAWN = 0,
    ECG_NOT_WAVEFORM = -1,    /* not a waveform object (Modality other than ECG, HD or AU) */
    ECG_NO_WAVEFORM = -2,     /* no item of the Waveform Sequence holds Waveform Data */
    ECG_UNUSABLE_BITMAP = -3, /* a null argument or an unusable bitmap (a side of 0 or beyond
                                 32767, another depth, rows too short, no pixels) */
    ECG_INTERNAL_ERROR = -4   /* memory ran out, or another failure of the library */
} EcgDrawOutcome;

/* Draws the waveform object in elements (only read) over the whole bitmap: ECG paper, the
 * patient header, and label, 1 mV pulse and trace of each channel of its first multiplex group.
 * An EcgDrawOutcome; unless drawn, the pixels are untouched. */
ZEDAVURA_API int32_t ECG2BitmapStatus(BitmapBuffer* bitmap, const ElementList* elements);

/* ECG2BitmapStatus as yes/no: 1 when drawn. */
ZEDAVURA_API uint8_t ECG2Bitmap(BitmapBuffer* bitmap, const ElementList* elements);

/* Sets the process-wide short date format that dates are written with ("ddmmyyyy" as a service
 * job sets it; letters d, m, y); null or "" returns to the platform's format. */
ZEDAVURA_API void SetShortDateFormat(const char* format);

/* Reads a DICOMDIR file by its record offsets and appends its records to list (the caller's,
 * not cleared first) in hierarchy order: each patient followed by its studies, each study by
 * its series, each series by its image-level records. Every record starts with a (0004,1430)
 * element: "PATIENT " (8 bytes), "STUDY " (6) or "SERIES" (6), and at image level the record's
 * own type as read; the record's elements after its type follow as read, sequences of
 * undefined length flat with their items and delimiters. Other record types are skipped with
 * everything below them. 1 when the directory was walked (an empty one appends nothing); 0,
 * with nothing appended, when the file is not a DICOMDIR we can read. */
ZEDAVURA_API uint8_t ReadDCMDIR(const char* fileName, ElementList* list);

/* The outcomes of ReadDCMDIRStatus. */
typedef enum DicomDirOutcome {
    DICOMDIR_READ = 0,
    DICOMDIR_CANNOT_READ = -1,         /* the file cannot be read */
    DICOMDIR_NOT_PART10 = -2,          /* no "DICM" at offset 128 */
    DICOMDIR_NOT_EXPLICIT_LITTLE = -3, /* not explicit VR little endian */
    DICOMDIR_NO_ROOT_OFFSET = -4       /* no offset of the first root record (0004,1200) */
} DicomDirOutcome;

/* ReadDCMDIR with the reason: a DicomDirOutcome. */
ZEDAVURA_API int32_t ReadDCMDIRStatus(const char* fileName, ElementList* list);

/* Writes a baseline JPEG thumbnail (quality 60) of the first frame of an uncompressed little
 * endian image to outputPath with its extension replaced by ".jpg": width columns wide and
 * trunc(rows x width / columns) rows high. Grayscale images are windowed to 8 bits (by the
 * file's window; 8-bit images around 127; 16-bit images without a window over the frame's own
 * range) and resampled bilinearly, RGB images by nearest neighbour; the first source row and
 * column and the last thumbnail row and column are black. 1 when written; 0 otherwise, and
 * then no file is left. */
ZEDAVURA_API uint8_t CreateThumbnail(const char* outputPath, const char* dicomPath, int32_t width);

/* The outcomes of CreateThumbnailStatus. */
typedef enum ThumbnailOutcome {
    THUMBNAIL_WRITTEN = 0,
    THUMBNAIL_CANNOT_READ = -1,        /* not readable as a Part 10 file */
    THUMBNAIL_UNSUPPORTED_SYNTAX = -2, /* pixel data that cannot be decoded */
    THUMBNAIL_NO_PIXEL_DATA = -3,      /* no pixel data, or less than one frame */
    THUMBNAIL_UNSUPPORTED_IMAGE = -4,  /* bits allocated other than 8 or 16, 16-bit RGB, other
                                          colour images */
    THUMBNAIL_BAD_WIDTH = -5,          /* a width below 1, or a thumbnail without rows or beyond
                                          65500 pixels a side */
    THUMBNAIL_CANNOT_WRITE = -6        /* the JPEG file cannot be written */
} ThumbnailOutcome;

/* CreateThumbnail with the reason: a ThumbnailOutcome. */
ZEDAVURA_API int32_t CreateThumbnailStatus(const char* outputPath, const char* dicomPath,
                                           int32_t width);

/* Probing a peer: what it accepts, with nothing stored. One presentation context is proposed
 * for each pair of abstract syntax and transfer syntax. */
typedef struct ContextProposal {
    const char* abstractSyntax;
    const char* transferSyntax;
} ContextProposal;

/* The peer's answer to one proposal: result 0 accepted (transferSyntax the syntax it took),
 * 1 refused by its application, 2 refused without reason, 3 abstract syntax not supported,
 * 4 transfer syntaxes not supported; -1 when the association failed before an answer. */
typedef struct ContextAnswer {
    int32_t result;
    char transferSyntax[65];
} ContextAnswer;

/* How an association attempt ended. */
typedef enum AssociationOutcome {
    ASSOCIATION_ACCEPTED = 0,
    ASSOCIATION_UNKNOWN_HOST = -1,     /* the host name cannot be resolved */
    ASSOCIATION_UNKNOWN_PORT = -2,     /* neither a port number nor a service name */
    ASSOCIATION_NO_CONNECTION = -3,    /* the TCP connection failed (socketError) */
    ASSOCIATION_SEND_FAILED = -4,      /* the connection failed while the request went out */
    ASSOCIATION_REJECTED = -5,         /* an A-ASSOCIATE-RJ (reject result, source, reason) */
    ASSOCIATION_ABORTED = -6,          /* an A-ABORT instead of an answer (abort source, reason) */
    ASSOCIATION_CLOSED = -7,           /* the connection closed or timed out before an answer */
    ASSOCIATION_MALFORMED_ANSWER = -8, /* an answer that is not a sound A-ASSOCIATE-AC */
    ASSOCIATION_NOTHING_ACCEPTED = -9, /* an A-ASSOCIATE-AC that accepts no proposal */
    ASSOCIATION_TLS_FAILED = -10,      /* connected, but the TLS handshake failed */
    /* accepted without the positive response to the user identity asked for; released */
    ASSOCIATION_IDENTITY_NOT_CONFIRMED = -11
} AssociationOutcome;

typedef struct AssociationReport {
    int32_t outcome; /* an AssociationOutcome */
    uint8_t rejectResult, rejectSource, rejectReason;
    uint8_t abortSource, abortReason;
    int32_t socketError;              /* errno of a failed connection */
    uint32_t associations;            /* connections opened */
    uint32_t lookupMicroseconds;      /* host name and port look-up */
    uint32_t connectMicroseconds;     /* TCP connection */
    uint32_t negotiationMicroseconds; /* request sent to answer read */
    uint32_t peerMaximumLength;       /* from the peer's first A-ASSOCIATE-AC */
    char peerImplementationClassUid[65];
    char peerImplementationVersionName[17];
    char explanation[512]; /* what failed and what to do; "" when every association was
                              answered with an A-ASSOCIATE-AC */
} AssociationReport;

/* Proposes every pair as a presentation context of its own, in associations of at most 128
 * contexts, each released at once; answers (count entries) gets the peer's answer to each and
 * report how it went (timings of the first association). A connection failure, rejection or
 * abort stops the probe. An AssociationOutcome; nothing is sent beyond the association PDUs. */
ZEDAVURA_API int32_t ProposeContexts(const char* host, const char* port, const char* callingAeTitle,
                                     const char* calledAeTitle, const ContextProposal* proposals,
                                     uint32_t count, ContextAnswer* answers,
                                     AssociationReport* report);

/* The transfer syntax at index (0-based) of the library's table, implicit VR little endian
 * first; null past the last. Constant; never freed. */
ZEDAVURA_API const TransferSyntaxInfo* TransferSyntaxAt(uint32_t index);

/* The storage SOP class at index (0-based) of those a probe proposes (the storage provider's
 * own, then RT, SR, PDF, waveform, enhanced and multi-frame classes), with its name in *name
 * when name is not null; null past the last. Constant texts. */
ZEDAVURA_API const char* ProbeStorageClassAt(uint32_t index, const char** name);

/* What a DICOM printer says about itself (N-GET of the printer SOP instance). */
typedef struct PrinterInfo {
    char status[17];     /* Printer Status: "NORMAL", "WARNING", "FAILURE" */
    char statusInfo[65]; /* Printer Status Info */
    char name[65];       /* Printer Name */
    char manufacturer[65];
    char model[65];
    char explanation[512]; /* why the N-GET failed, with what to do */
} PrinterInfo;

/* Opens an association for Basic Grayscale Print Management and asks the printer for its
 * status; nothing is printed. The N-GET status (0 success), -1 no answer, -2 another answer,
 * -3 no context for the printer, -4 no association. */
ZEDAVURA_API int32_t GetPrinterInfo(const char* host, const char* port, const char* callingAeTitle,
                                    const char* calledAeTitle, PrinterInfo* info);

/* A whole probe of one peer: what it accepts and how each service answers, as a report of
 * sections. Every text is NUL-terminated Windows-1252, never null ("" when empty). */
typedef enum ProbeVerdict {
    PROBE_WORKS = 0,
    PROBE_REFUSED = 1,     /* the peer refused it */
    PROBE_NOT_OFFERED = 2, /* the peer does not offer it */
    PROBE_FAILED = 3,      /* it was tried and failed */
    PROBE_NOT_TESTED = 4   /* the options did not ask for it */
} ProbeVerdict;

/* What to probe. structSize is sizeof(ProbeOptions) as the caller compiled it: fields added in
 * later versions go at the end and keep their defaults for older callers. Every text may be
 * null; the caller owns them. */
typedef struct ProbeOptions {
    uint32_t structSize;
    const char* host;
    const char* port;
    const char* callingAeTitle;  /* null or "": "ORLANE" and ten spaces */
    const char* calledAeTitle;   /* null: "ANY-SCP" */
    const char* moveDestination; /* with receivePort: the peer moves one instance to this AE */
    const char* receivePort;     /* where a provider of ours receives it, and where the
                                    commitment report of the store test is awaited; null: not
                                    tested, the report awaited on our own association */
    const char* storeTestFile;   /* a file to store once; null or "": nothing is stored */
    const char* workFolder;      /* where that provider files, in a folder of its own removed
                                    afterwards; null or "": the system's temporary folder */
    const ConnectionOptions* connection; /* null: the defaults; else its waits and maximum PDU
                                            length (its peer and titles are those above) */
} ProbeOptions;

/* A measured or reported value of a section: "TCP connect" "0.3 ms", "printer name" "...". */
typedef struct ProbeFactRecord {
    const char* name;
    const char* value;
} ProbeFactRecord;

/* The peer's answer to one storage class in one transfer syntax, as ContextAnswer's result. */
typedef struct ProbeSyntaxResult {
    const char* transferSyntax;
    int32_t result;
} ProbeSyntaxResult;

/* One thing a section looked at. reason: what works or what went wrong; advice: what the
 * operator can do ("" when nothing). */
typedef struct ProbeRowRecord {
    const char* item; /* a SOP class name, "STUDY level", "store test: FILE" */
    const char* uid;  /* its SOP class UID, "" when it has none */
    int32_t verdict;  /* a ProbeVerdict */
    const char* reason;
    const char* advice;
    uint32_t syntaxCount; /* storage classes: one per transfer syntax proposed, else 0 */
    const ProbeSyntaxResult* syntaxes;
} ProbeRowRecord;

/* One section: "Connection", "Verification", "Storage", "Query/retrieve", "Worklist",
 * "Retrieve path", "Print", "Security" or "Workflow", in that order. Its verdict is never
 * PROBE_WORKS while one of its rows failed or was refused. */
typedef struct ProbeSectionRecord {
    const char* name;
    int32_t verdict; /* a ProbeVerdict */
    const char* reason;
    const char* advice;
    uint32_t factCount;
    const ProbeFactRecord* facts;
    uint32_t rowCount;
    const ProbeRowRecord* rows;
} ProbeSectionRecord;

/* The report of one probe, owned by the library until DeleteProbeReport. Opaque to C. */
typedef struct ProbeReport ProbeReport;

/* Told of each section as soon as it is finished; the record and its texts are the report's
 * and stay valid until the report is deleted. Called on the thread that runs the probe. */
typedef void (*ProbeSectionSink)(void* context, const ProbeSectionRecord* section);

/* Probes host:port: connection (one association proposing every non-storage service looked
 * at), verification, the storage table (every storage class the probe knows in every transfer
 * syntax of the library, each a context of its own, nothing stored), query/retrieve (the
 * models, then a C-FIND per level of at most five matches; with a store test, a C-GET of
 * that instance on our own association), worklist (today's entries),
 * retrieve path (a C-MOVE of one instance found by the queries to a provider of ours started
 * for it alone), print (the printer's N-GET status), security (TLS or plain, each tried,
 * the peer's certificate, TLS 1.2 and 1.3 alone, the user identity answered) and workflow
 * (storage commitment and performed procedure steps offered; with a store test, a commit of
 * that instance, and the time it took). Every section but connection and security fails with
 * "no association (see Connection)" after a failed connection. Runs for as long as the peer
 * takes; the working
 * directory is left alone. The report, freed with DeleteProbeReport; null when options, its
 * host or its port is null, or structSize is too small to hold them. */
ZEDAVURA_API ProbeReport* RunProbe(const ProbeOptions* options, ProbeSectionSink sink,
                                   void* context);

/* The number of sections of a report (9; 0 for null). */
ZEDAVURA_API uint32_t ProbeSectionCount(const ProbeReport* report);

/* The section at index (0-based), the report's; null when out of range. */
ZEDAVURA_API const ProbeSectionRecord* ProbeSectionAt(const ProbeReport* report, uint32_t index);

/* How many associations the probe opened (0 for null). */
ZEDAVURA_API uint32_t ProbeAssociationCount(const ProbeReport* report);

/* Frees a report and every record and text of it. Null does nothing. */
ZEDAVURA_API void DeleteProbeReport(ProbeReport* report);

/* DICOMweb: search (QIDO-RS), retrieve (WADO-RS) and store (STOW-RS) over HTTP or HTTPS.
 * serviceUrl is the base the resources hang off, the part before "/studies" (as
 * "http://pacs:8042/dicom-web"); trailing "/" are ignored. Proxies come from the environment
 * (http_proxy, https_proxy, no_proxy). settings may be null: no credentials, the system's
 * certificate authorities. Every text is the caller's and only read during the call. */
typedef struct WebSettings {
    const char* tlsCa;   /* a file of CA certificates (PEM), or a directory of hashed ones;
                            null or "" the system's */
    const char* tlsCert; /* a client certificate (PEM) to show; null or "" none */
    const char* tlsKey;  /* its private key (PEM); null or "" in tlsCert's file */
    uint8_t tlsNoVerify; /* 1: neither the server's certificate nor its name is checked */
    const char* user;    /* HTTP basic authentication when neither null nor "" */
    const char* password;
    const char* token; /* a bearer token when neither null nor ""; then user is not used */
} WebSettings;

/* The outcome of the DICOMweb operations: WEB_SUCCESS, the HTTP status of an answer that failed
 * (positive), or one of these failures of ours. OutcomeText gives the words (OUTCOME_WEB) and
 * LastFailureText why, with what to do (the server's answer, its body, its authentication
 * request). */
typedef enum WebOutcome {
    WEB_SUCCESS = 0,
    WEB_NO_CONNECTION = -1,        /* the name does not resolve, or nothing answers */
    WEB_TLS_FAILED = -2,           /* TLS handshake, or a certificate that is not trusted */
    WEB_TIMED_OUT = -3,            /* no connection in time, or the answer stalled */
    WEB_BROKEN_ANSWER = -4,        /* the answer broke off or could not be read */
    WEB_BAD_URL = -5,              /* not an http or https URL */
    WEB_WRONG_CONTENT_TYPE = -6,   /* an answer (or a part) of another media type than asked */
    WEB_NOT_JSON_ARRAY = -7,       /* an answer that is not JSON, or JSON but not an array */
    WEB_NOT_DICOM_JSON = -8,       /* a data set that is not in the DICOM JSON model */
    WEB_WRONG_BOUNDARY = -9,       /* a multipart body without the boundary its type names */
    WEB_TRUNCATED_MULTIPART = -10, /* a multipart body that ends before its closing boundary */
    WEB_MALFORMED_MULTIPART = -11, /* a part whose headers cannot be read */
    WEB_NOT_DICOM = -12,           /* a part that is not a DICOM instance that can be filed */
    WEB_CANNOT_WRITE = -13,        /* an instance that could not be written to the disk */
    WEB_MISSING_INSTANCES = -14,   /* instances the server's search listed that never came */
    WEB_CANNOT_READ_FILE = -15,    /* a file to store that is not a Part 10 file read whole */
    WEB_NOT_STORED = -16,          /* instances the server refused or did not answer for */
    WEB_ANSWER_TOO_LARGE = -17,    /* an answer to hold whole beyond 256 MiB */
    WEB_REFUSED = -18,             /* arguments that do not fit; nothing was sent */
    WEB_INTERNAL_ERROR = -19       /* memory ran out, or another failure of the library */
} WebOutcome;

/* Searches as FindSCUStatus does, with the key record at the head of list (level "STUDY",
 * "SERIES" or "IMAGE"): /studies, /series or /instances, under the study (and series) the key
 * names when it does; every field of the level is asked for, the key's non-empty fields are
 * matched, Windows-1252 texts sent as UTF-8. Once the arguments fit, the key record is freed
 * and leaves the list, and a record of the level is appended for every match (UTF-8 texts
 * taken into Windows-1252, '?' for what it lacks); free them with ClearQuery or
 * DeleteRecordList. limit and offset page through the matches (0: the server's choice). A
 * WebOutcome; WEB_REFUSED (nothing sent, the key still in the list) for a null or empty list,
 * an unknown level or a key of another kind. */
ZEDAVURA_API int32_t QidoSearch(const char* serviceUrl, const WebSettings* settings,
                                const char* level, RecordList* list, uint32_t limit,
                                uint32_t offset);

/* One instance of a retrieve, valid during the call only: index (0-based) in the order the
 * instances came, then the announced ones that never came; the file written ("" when none);
 * the size of the part; outcome WEB_SUCCESS, WEB_NOT_DICOM, WEB_CANNOT_WRITE, or
 * WEB_MISSING_INSTANCES for one the server's search listed that did not come. */
typedef struct WadoInstance {
    uint32_t index;
    const char* sopInstanceUid;
    const char* fileName;
    uint64_t bytes;
    int32_t outcome;
} WadoInstance;

typedef void (*WadoProgressSink)(void* context, const WadoInstance* instance);

/* Retrieves the instances of a study (seriesUid and instanceUid null or ""), of a series, or
 * one instance, as they are held (no conversion), and files each as the storage provider does:
 * directory + Study + "/" + Series + "/" + SOP Instance UID + ".dcm", written whole and flushed
 * to the disk, in the syntax it came in, entered into the index under "./Database". The
 * server's own search says first which instances to expect. progress (may be null) is told of
 * every instance. WEB_SUCCESS only when every instance expected came and was filed; a
 * WebOutcome otherwise (WEB_REFUSED for UIDs that are no UIDs, or an instance without its
 * series). */
ZEDAVURA_API int32_t WadoRetrieve(const char* serviceUrl, const WebSettings* settings,
                                  const char* studyUid, const char* seriesUid,
                                  const char* instanceUid, const char* directory,
                                  WadoProgressSink progress, void* context);

/* Receives text: length bytes at text (UTF-8, NUL-terminated as well), valid during the call. */
typedef void (*WebTextSink)(void* context, const char* text, uint32_t length);

/* The metadata of a study, series or instance (UIDs as for WadoRetrieve): the server's JSON
 * array, checked to be one and handed to sink as it came. A WebOutcome; nothing is handed on
 * unless WEB_SUCCESS. */
ZEDAVURA_API int32_t WadoMetadata(const char* serviceUrl, const WebSettings* settings,
                                  const char* studyUid, const char* seriesUid,
                                  const char* instanceUid, WebTextSink sink, void* context);

/* One file of a store, valid during the call only: its index among count files, its UIDs ("" when
 * it could not be read); outcome WEB_SUCCESS stored, WEB_CANNOT_READ_FILE not sent,
 * WEB_NOT_STORED refused by the server (failureReason, a status OutcomeText OUTCOME_STORE puts
 * into words, or -1) or not answered for, another WebOutcome or an HTTP status: the request
 * carrying it failed, or an earlier one did and it was not sent. warningReason (-1 none) and
 * retrieveUrl ("" none) are the server's for a stored instance. */
typedef struct StowInstance {
    uint32_t index;
    uint32_t count;
    const char* fileName;
    const char* sopClassUid;
    const char* sopInstanceUid;
    int32_t outcome;
    int32_t failureReason;
    int32_t warningReason;
    const char* retrieveUrl;
} StowInstance;

typedef void (*StowProgressSink)(void* context, const StowInstance* instance);

/* Stores count Part 10 files (each read whole first) in multipart requests of at most batch
 * instances (0: 100) and 64 MiB (a larger file goes alone) to /studies, or to /studies/studyUid
 * when studyUid is neither null nor "". progress (may be null) is told of every file once its
 * fate is known. After a request that fails without a word on any instance, the rest are not
 * sent. WEB_SUCCESS only when every file was stored; otherwise the first file's failure. */
ZEDAVURA_API int32_t StowFiles(const char* serviceUrl, const WebSettings* settings,
                               const char* const* fileNames, uint32_t count, const char* studyUid,
                               uint32_t batch, StowProgressSink progress, void* context);

/* What to probe of a DICOMweb service. structSize is sizeof(WebProbeOptions) as the caller
 * compiled it; fields added later go at the end. Every text is the caller's. */
typedef struct WebProbeOptions {
    uint32_t structSize;
    const char* serviceUrl;      /* the part before "/studies" */
    const WebSettings* settings; /* may be null: no credentials, the system's authorities */
    const char* storeTestFile;   /* a Part 10 file to store once; null or "": nothing stored */
} WebProbeOptions;

/* Probes a DICOMweb service into a report of the probe's records: sections "Endpoint" (a study
 * search's answer, its times, TLS protocol, cipher suite and the server's certificate),
 * "Capabilities" (OPTIONS), "STOW-RS" (only with storeTestFile), "QIDO-RS" (a search at each
 * level below a match of the one above) and "WADO-RS" (metadata and instance of one instance
 * found), in that order; sink (may be null) is told of each as it ends, on the calling thread.
 * ProbeAssociationCount gives the HTTP requests made. Freed with DeleteProbeReport; null when
 * options or its URL is null or structSize too small. */
ZEDAVURA_API ProbeReport* RunWebProbe(const WebProbeOptions* options, ProbeSectionSink sink,
                                      void* context);

/* Modality Performed Procedure Step as a modality reports it. The outcome of both calls: 0
 * success, a status of the response (0x0106, 0x0110, 0x0116, 0x0120 ...), or one of these;
 * LastFailureText says why in words, with what to do. */
typedef enum MppsOutcome {
    MPPS_OK = 0,
    MPPS_NO_RESPONSE = -1,     /* nothing came back, or the connection failed while sending */
    MPPS_WRONG_RESPONSE = -2,  /* a message came that is not the response */
    MPPS_NOT_SENT = -3,        /* no accepted presentation context */
    MPPS_NO_ASSOCIATION = -10, /* the association could not be opened */
    MPPS_REFUSED = -11,        /* the peer does not take the MPPS SOP class */
    MPPS_BAD_ARGUMENT = -12    /* a field name, status or UID that does not fit; nothing sent */
} MppsOutcome;

/* Creates a step IN PROGRESS by N-CREATE. fields and values (count of each, the caller's) name
 * what is known, by these names: PatientName, PatientID, PatientBirthDate, PatientSex,
 * StudyInstanceUID, AccessionNumber, RequestedProcedureID, RequestedProcedureDescription,
 * ScheduledProcedureStepID, ScheduledProcedureStepDescription, PerformedProcedureStepID,
 * PerformedStationAETitle, PerformedStationName, PerformedLocation,
 * PerformedProcedureStepDescription, Modality (default OT); texts Windows-1252, or written in
 * the set SpecificCharacterSet names (a worklist entry's RecordCharacterSet, say), which is then
 * sent as (0008,0005). peer: the RIS,
 * its titles and waits (null or too small: MPPS_BAD_ARGUMENT). The step's SOP
 * Instance UID goes into instanceUid (capacity bytes, 65 hold any UID; cut to fit). An
 * MppsOutcome or status. */
ZEDAVURA_API int32_t MppsCreateSCU(const ConnectionOptions* peer, const char* const* fields,
                                   const char* const* values, uint32_t count, char* instanceUid,
                                   uint32_t capacity);

/* Ends the step instanceUid by N-SET with status "COMPLETED" or "DISCONTINUED", the end date and
 * time, and the Performed Series Sequence of the files (count Part 10 files or folders, the
 * caller's; files that cannot be read make MPPS_BAD_ARGUMENT and nothing is sent). An
 * MppsOutcome or status. */
ZEDAVURA_API int32_t MppsSetSCU(const ConnectionOptions* peer, const char* instanceUid,
                                const char* status, const char* const* files, uint32_t count);

/* Storage commitment (Push Model) as a modality asks for it. The outcome of CommitSCU: 0 when
 * every instance was committed, a status of the N-ACTION-RSP that refused the request, or one of
 * these; LastFailureText says why in words, with what to do; OutcomeText words it
 * (OUTCOME_COMMIT). */
typedef enum CommitOutcome {
    COMMIT_OK = 0,
    COMMIT_NO_RESPONSE = -1,        /* nothing came back, or the connection failed while sending */
    COMMIT_WRONG_RESPONSE = -2,     /* a message came that is not the response */
    COMMIT_NOT_SENT = -3,           /* no accepted presentation context */
    COMMIT_NO_ASSOCIATION = -10,    /* the association could not be opened */
    COMMIT_REFUSED = -11,           /* the peer does not take the commitment SOP class */
    COMMIT_BAD_ARGUMENT = -12,      /* no files, files that cannot be read, bad options */
    COMMIT_NOT_COMMITTED = -20,     /* the report came: some instances were not committed */
    COMMIT_NO_REPORT = -21,         /* no report within the wait */
    COMMIT_OTHER_TRANSACTION = -22, /* a report came, for another transaction */
    COMMIT_CANNOT_LISTEN = -23,     /* the receive port cannot be listened on */
    COMMIT_MALFORMED_REPORT = -24   /* a report without a Transaction UID */
} CommitOutcome;

/* One instance's verdict, valid during the sink's call only. failureReason: 0 committed, the
 * report's Failure Reason (0x0110, 0x0112, 0x0119, 0x0131 ...; OutcomeText
 * OUTCOME_COMMIT_REASON words it), or -1 when the report does not mention the instance. */
typedef struct CommitInstance {
    const char* sopClassUid;
    const char* sopInstanceUid;
    int32_t failureReason;
} CommitInstance;
typedef void (*CommitInstanceSink)(void* context, const CommitInstance* instance);

/* What CommitSCU knew at its end (the caller's record, filled on every path). */
typedef struct CommitSummary {
    char transactionUid[65];       /* "" when no request went out */
    uint32_t millisecondsToCommit; /* request sent to report received */
    uint8_t onOurAssociation;      /* 1: the report came on our association; 0: on the peer's */
    uint32_t committed;
    uint32_t failed; /* failed or not reported */
} CommitSummary;

/* Asks the peer (its titles and waits; null or too small: COMMIT_BAD_ARGUMENT) to commit the
 * instances of files (count Part 10 files or folders, headers read only; the caller's) under a
 * new Transaction UID, and waits up to waitMs (0: 60 s) for the report: on our association, or,
 * with receivePort (null or "": none), on the association the peer opens to a listener on that
 * port (ours is then released once the request is answered). sink (may be null) is told each
 * instance's verdict once the report came; summary may be null. A CommitOutcome or status. */
ZEDAVURA_API int32_t CommitSCU(const ConnectionOptions* peer, const char* const* files,
                               uint32_t count, const char* receivePort, uint32_t waitMs,
                               CommitSummary* summary, CommitInstanceSink sink, void* context);

/* A new UID under the 2.25 root from 128 random bits (at most 44 characters), into text (65
 * bytes hold any UID; cut to capacity as OutcomeText cuts). Safe from several threads. Returns
 * the whole length. */
ZEDAVURA_API int32_t NewUID(char* text, uint32_t capacity);

/* Why the last service operation of the calling thread failed, with what the operator can do:
 * an association that could not be opened (rejected with its result, source and reason,
 * aborted, refused, no connection), an abort or lost connection while waiting for an answer,
 * or a failing status; for DICOMweb, the server's failing answer (its status, body and
 * authentication request), a transfer that failed, or an answer we could not use. "" when
 * nothing failed since the thread's last association or DICOMweb operation began. Written as
 * OutcomeText writes; returns the whole length. */
ZEDAVURA_API int32_t LastFailureText(char* text, uint32_t capacity);

/* The families of outcome codes that OutcomeText puts into words. */
typedef enum OutcomeFamily {
    OUTCOME_STATUS = 0,        /* a DIMSE status, 0..65535, in the words every service shares */
    OUTCOME_CONVERT = 1,       /* a ConvertOutcome */
    OUTCOME_STORE = 2,         /* a StoreOutcome or a C-STORE status */
    OUTCOME_ECG = 3,           /* an EcgDrawOutcome */
    OUTCOME_DICOMDIR = 4,      /* a DicomDirOutcome */
    OUTCOME_THUMBNAIL = 5,     /* a ThumbnailOutcome */
    OUTCOME_FIND = 6,          /* a QueryOutcome or a C-FIND status, of a worklist query too */
    OUTCOME_MOVE = 7,          /* a QueryOutcome or a C-MOVE status */
    OUTCOME_CONTEXT = 8,       /* a presentation context result (ContextAnswer), with what to do */
    OUTCOME_WEB = 9,           /* a WebOutcome or the HTTP status of a DICOMweb answer */
    OUTCOME_GET = 10,          /* a QueryOutcome, GET_INCOMPLETE or a C-GET status */
    OUTCOME_COMMIT = 11,       /* a CommitOutcome or an N-ACTION-RSP status */
    OUTCOME_COMMIT_REASON = 12 /* a CommitInstance's failureReason */
} OutcomeFamily;

/* Writes what a code of the family means, for people, into text: a status as "status 0xA700
 * (refused: out of resources)", our failures as "cannot connect to STORESCP (10.0.0.7:104)" or
 * "unsupported image layout". peer (null or "": "the peer") names the peer in the words of the
 * store outcomes that concern it (the query families leave the peer to the caller). At most
 * capacity bytes are written, the terminating NUL included (the words are cut to fit; nothing when
 * text is null or capacity 0). Returns the length of the whole words, without the NUL, as snprintf
 * does; -1 for an unknown family. */
ZEDAVURA_API int32_t OutcomeText(int32_t family, int32_t code, const char* peer, char* text,
                                 uint32_t capacity);

#ifdef __cplusplus
}
#endif

#endif
