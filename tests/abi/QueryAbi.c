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

typedef struct Peer {
    int listener;
    unsigned char request[4096]; /* the P-DATA-TF PDUs of the command and the identifier */
    size_t requestSize;
} Peer;

static int contains(const unsigned char* bytes, size_t size, const char* text) {
    const size_t n = strlen(text);
    for (size_t i = 0; i + n <= size; ++i)
        if (memcmp(bytes + i, text, n) == 0) return 1;
    return 0;
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

static size_t put(unsigned char* at, const void* bytes, size_t count) {
    memcpy(at, bytes, count);
    return count;
}

/* An implicit VR little endian element. */
static size_t element(unsigned char* at, unsigned group, unsigned number, const void* value,
                      unsigned length) {
    const unsigned char header[8] = {group & 0xFF,
                                     group >> 8,
                                     number & 0xFF,
                                     number >> 8,
                                     length & 0xFF,
                                     (length >> 8) & 0xFF,
                                     0,
                                     0};
    return put(at, header, 8) + put(at + 8, value, length);
}

static size_t us(unsigned char* at, unsigned number, unsigned value) {
    const unsigned char v[2] = {value & 0xFF, value >> 8};
    return element(at, 0x0000, number, v, 2);
}

/* A C-FIND-RSP command set with its group length. */
static size_t response(unsigned char* at, unsigned status, unsigned dataSetType) {
    size_t n = 12;
    n += element(at + n, 0x0000, 0x0002, "1.2.840.10008.5.1.4.1.2.2.1", 28);
    n += us(at + n, 0x0100, 0x8020);
    n += us(at + n, 0x0120, 3);
    n += us(at + n, 0x0800, dataSetType);
    n += us(at + n, 0x0900, status);
    const unsigned rest = (unsigned)(n - 12);
    const unsigned char length[4] = {rest & 0xFF, (rest >> 8) & 0xFF, 0, 0};
    element(at, 0x0000, 0x0000, length, 4);
    return n;
}

/* One P-DATA-TF PDU with one PDV on context 1. */
static size_t pdata(unsigned char* at, unsigned char control, const unsigned char* data,
                    size_t count) {
    const size_t pdv = count + 2, pdu = pdv + 4;
    const unsigned char header[12] = {
        0x04,       0,         pdu >> 24,          (pdu >> 16) & 0xFF, (pdu >> 8) & 0xFF,
        pdu & 0xFF, pdv >> 24, (pdv >> 16) & 0xFF, (pdv >> 8) & 0xFF,  pdv & 0xFF,
        1,          control};
    return put(at, header, 12) + put(at + 12, data, count);
}

static void* serve(void* context) {
    Peer* peer = (Peer*)context;
    unsigned char in[8192], out[1024], message[512];
    const int fd = accept(peer->listener, NULL, NULL);
    if (fd < 0) return NULL;
    size_t n = 0;
    if (readPdu(fd, in, sizeof in) != 0) {
        static const unsigned char ac[] =
            {
                0x02, 0,   0,    0,   0,   122, 0,   1,   0,    0, /* A-ASSOCIATE-AC, version 1 */
                'P',  'E', 'E',  'R', 0,   0,   0,   0,   0,    0,   0,   0,   0,   0,   0,
                0, /* called
                    */
                'A',  'B', 'I',  0,   0,   0,   0,   0,   0,    0,   0,   0,   0,   0,   0,
                0, /* calling
                    */
                0,    0,   0,    0,   0,   0,   0,   0,   0,    0,   0,   0,   0,   0,   0,
                0,    0,   0,    0,   0,   0,   0,   0,   0,    0,   0,   0,   0,   0,   0,
                0,    0,   0x10, 0,   0,   21,  '1', '.', '2',  '.', '8', '4', '0', '.', '1',
                '0',  '0', '0',  '8', '.', '3', '.', '1', '.',  '1', '.', '1', /* application
                                                                                  context */
                0x21, 0,   0,    25,  1,   0,   0,   0,   0x40, 0,   0,   17,  '1', '.', '2',
                '.',  '8', '4',  '0', '.', '1', '0', '0', '0',  '8', '.', '1', '.', '2' /* context 1
                                                                                           accepted,
                                                                                           implicit
                                                                                           VR LE */
            };
        send(fd, ac, sizeof ac, MSG_NOSIGNAL);
        for (int part = 0; part < 2; ++part) {
            const size_t got = readPdu(fd, in, sizeof in);
            if (got == 0 || peer->requestSize + got > sizeof peer->request) break;
            memcpy(peer->request + peer->requestSize, in, got);
            peer->requestSize += got;
        }
        size_t m = response(message, 0xFF00, 0x0001);
        n += pdata(out + n, 0x03, message, m);
        m = element(message, 0x0010, 0x0010, "DOE^JOHN", 8);
        m += element(message + m, 0x0020, 0x000D, "1.2.3.4\0", 8);
        n += pdata(out + n, 0x02, message, m);
        m = response(message, 0x0000, 0x0101);
        n += pdata(out + n, 0x03, message, m);
        send(fd, out, n, MSG_NOSIGNAL);
        if (readPdu(fd, in, sizeof in) == 10 && in[0] == 0x05) {
            static const unsigned char rp[] = {0x06, 0, 0, 0, 0, 4, 0, 0, 0, 0};
            send(fd, rp, sizeof rp, MSG_NOSIGNAL);
        }
    }
    close(fd);
    return NULL;
}

int main(void) {
    Peer peer = {socket(AF_INET, SOCK_STREAM, 0), {0}, 0};
    struct sockaddr_in address;
    socklen_t size = sizeof address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(peer.listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(peer.listener, 1) != 0 ||
        getsockname(peer.listener, (struct sockaddr*)&address, &size) != 0) {
        fprintf(stderr, "FAILED: no port to listen on\n");
        return 1;
    }
    char port[8];
    snprintf(port, sizeof port, "%u", ntohs(address.sin_port));
    pthread_t thread;
    pthread_create(&thread, NULL, serve, &peer);

    RecordList* list = NewRecordList();
    StudyRecord* key = NewRecord("STUDY");
    check(key != NULL && SetRecordField(key, 0, "DOE*") == 1, "key record");
    check(AppendRecord(list, key) == 1, "key appended");
    const int32_t status = FindSCUStatus("127.0.0.1", port, "ABI", "PEER", "STUDY", list);
    pthread_join(thread, NULL);
    close(peer.listener);

    check(status == 0, "final status success");
    check(contains(peer.request, peer.requestSize, "DOE*"), "the key went out");
    check(RecordCount(list) == 1, "one result, the key record gone");
    const StudyRecord* result = RecordAt(list, 0);
    check(result != NULL && strcmp(RecordKind(result), "STUDY") == 0, "a study record");
    check(result != NULL && strcmp(result->PatientName, "DOE^JOHN") == 0, "patient name");
    check(result != NULL && strcmp(result->StudyInstanceUID, "1.2.3.4") == 0, "study UID");
    check(result != NULL && strcmp(result->StudyDate, "") == 0, "absent field empty");
    check(strcmp(StatusMeaning(0x8021, 0xA801), "refused: move destination unknown") == 0,
          "status words");
    check(ClearQuery(list, "STUDY") == 1 && RecordCount(list) == 0, "cleared");
    DeleteRecordList(list);

    if (failures == 0) printf("C interface query: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
