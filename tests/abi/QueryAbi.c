/* Drives a study query through the C interface against a provider written here in plain C:
 * it accepts, reads the request and its identifier, answers with one pending response carrying
 * a patient and a final success, and serves the release. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zedavura.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

static int readAll(int fd, unsigned char* to, size_t count) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = recv(fd, to + got, count - got, 0);
        if (n <= 0) return 0;
        got += (size_t)n;
    }
    return 1;
}

/* One PDU into buffer (which holds size bytes); its length, or 0. */
static size_t readPdu(int fd, unsigned char* buffer, size_t size) {
    if (!readAll(fd, buffer, 6)) return 0;
    const size_t length = ((size_t)buffer[2] << 24) | ((size_t)buffer[3] << 16) |
                          ((size_t)buffer[4] << 8) | buffer[5];
    if (length + 6 > size || !readAll(fd, buffer + 6, length)) return 0;
    return length + 6;
}

/* What the provider answers, three P-DATA-TF PDUs on context 1, implicit VR little endian: a
 * pending C-FIND-RSP announcing an identifier (group length 76, Affected SOP Class UID, Command
 * Field, Message ID Being Responded To 3, Command Data Set Type 0x0001, Status 0xFF00), the
 * identifier (Patient's Name, Study Instance UID), and the final C-FIND-RSP without one. */
#define FIND_RSP(type, status)                                                 \
    "\0\0\0\0\4\0\0\0\x4c\0\0\0\0\0\2\0\x1c\0\0\0"                             \
    "1.2.840.10008.5.1.4.1.2.2."                                               \
    "1\0\0\0\0\1\2\0\0\0\x20\x80\0\0\x20\1\2\0\0\0\3\0\0\0\0\x08\2\0\0\0" type \
    "\0\0\0\x09\2\0\0\0" status
static const char ANSWER[] = "\4\0\0\0\0\x5e\0\0\0\x5a\1\3" FIND_RSP("\1\0", "\0\xff")
    "\4\0\0\0\0\x26\0\0\0\x22\1\2"
    "\x10\0\x10\0\x08\0\0\0DOE^JOHN\x20\0\x0d\0\x08\0\0\0" "1.2.3.4\0"
    "\4\0\0\0\0\x5e\0\0\0\x5a\1\3" FIND_RSP("\1\1", "\0\0");

static void* serve(void* context) {
    unsigned char in[8192];
    const int fd = accept(*(int*)context, NULL, NULL);
    if (fd < 0) return NULL;
    if (readPdu(fd, in, sizeof in) != 0) {
        unsigned char ac[128] = {0x02, 0, 0, 0, 0, 122, 0, 1}; /* A-ASSOCIATE-AC, version 1 */
        memcpy(ac + 10, "PEER", 4); /* called title, then calling title, 0x00 to 16 each */
        memcpy(ac + 26, "ABI", 3);
        /* after 32 reserved bytes: the application context, then context 1 accepted with
         * implicit VR little endian */
        memcpy(ac + 74,
               "\x10\0\0\x15"
               "1.2.840.10008.3.1.1.1",
               25);
        memcpy(ac + 99,
               "\x21\0\0\x19\x01\0\0\0\x40\0\0\x11"
               "1.2.840.10008.1.2",
               29);
        send(fd, ac, sizeof ac, MSG_NOSIGNAL);
        readPdu(fd, in, sizeof in); /* the command */
        readPdu(fd, in, sizeof in); /* the identifier */
        send(fd, ANSWER, sizeof ANSWER - 1, MSG_NOSIGNAL);
        if (readPdu(fd, in, sizeof in) == 10 && in[0] == 0x05) {
            static const unsigned char rp[] = {0x06, 0, 0, 0, 0, 4, 0, 0, 0, 0};
            send(fd, rp, sizeof rp, MSG_NOSIGNAL);
        }
    }
    close(fd);
    return NULL;
}

int main(void) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    socklen_t size = sizeof address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, (struct sockaddr*)&address, &size) != 0) {
        fprintf(stderr, "FAILED: no port to listen on\n");
        return 1;
    }
    char port[8];
    snprintf(port, sizeof port, "%u", ntohs(address.sin_port));
    pthread_t thread;
    pthread_create(&thread, NULL, serve, &listener);

    RecordList* list = NewRecordList();
    StudyRecord* key = NewRecord("STUDY");
    check(key != NULL && SetRecordField(key, 0, "DOE*") == 1, "key record");
    check(AppendRecord(list, key) == 1, "key appended");
    const int32_t status = FindSCUStatus("127.0.0.1", port, "ABI", "PEER", "STUDY", list);
    pthread_join(thread, NULL);
    close(listener);

    check(status == QUERY_SUCCESS, "final status success");
    check(RecordCount(list) == 1, "one result, the key record gone");
    const StudyRecord* result = RecordAt(list, 0);
    check(result != NULL && strcmp(RecordKind(result), "STUDY") == 0, "a study record");
    check(result != NULL && strcmp(result->PatientName, "DOE^JOHN") == 0, "patient name");
    check(result != NULL && strcmp(result->StudyInstanceUID, "1.2.3.4") == 0, "study UID");
    check(result != NULL && strcmp(result->StudyDate, "") == 0, "absent field empty");
    char words[64];
    OutcomeText(OUTCOME_MOVE, 0xA801, NULL, words, sizeof words);
    check(strcmp(words, "status 0xA801 (refused: move destination unknown)") == 0, "status words");
    check(ClearQuery(list, "STUDY") == 1 && RecordCount(list) == 0, "cleared");
    DeleteRecordList(list);

    if (failures == 0) printf("C interface query: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
