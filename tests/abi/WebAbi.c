/* A DICOMweb search through the C interface against an HTTP server written here in plain C: it
 * reads one request and answers with one study; then the refusals of the three operations. */
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

static const char ANSWER[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/dicom+json\r\nContent-Length: 59\r\n"
    "Connection: close\r\n\r\n"
    "[{\"00100010\":{\"vr\":\"PN\",\"Value\":[{\"Alphabetic\":\"DOE^J\"}]}}]";

static char request[4096];

static void* Serve(void* listener) {
    const int fd = accept(*(int*)listener, NULL, NULL);
    if (fd < 0) return NULL;
    size_t got = 0;
    while (got < sizeof request - 1 && strstr(request, "\r\n\r\n") == NULL) {
        const ssize_t n = recv(fd, request + got, sizeof request - 1 - got, 0);
        if (n <= 0) break;
        got += (size_t)n;
    }
    send(fd, ANSWER, sizeof ANSWER - 1, 0);
    shutdown(fd, SHUT_WR);
    while (recv(fd, request + got, 1, 0) > 0 && got < sizeof request - 2) {
    }
    close(fd);
    return NULL;
}

int main(void) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, (struct sockaddr*)&address, length) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr*)&address, &length) != 0) {
        fprintf(stderr, "cannot listen\n");
        return 1;
    }
    pthread_t server;
    pthread_create(&server, NULL, Serve, &listener);
    char url[64];
    snprintf(url, sizeof url, "http://127.0.0.1:%u/dicom-web/", (unsigned)ntohs(address.sin_port));

    RecordList* list = NewRecordList();
    void* key = NewRecord("STUDY");
    SetRecordField(key, 1, "ID7");
    AppendRecord(list, key);
    const WebSettings settings = {NULL, NULL, NULL, 0, NULL, NULL, NULL};
    check(QidoSearch(url, &settings, "STUDY", list, 0, 0) == WEB_SUCCESS, "search succeeds");
    pthread_join(server, NULL);
    check(strstr(request, "GET /dicom-web/studies?includefield=") == request, "request line");
    check(strstr(request, "&00100020=ID7 HTTP/1.1\r\n") != NULL, "the key goes as a parameter");
    check(RecordCount(list) == 1, "one record, the key gone");
    const char* name = RecordText(RecordAt(list, 0), 0);
    check(name != NULL && strcmp(name, "DOE^J ") == 0, "the patient's name");
    DeleteRecordList(list);

    /* Refused before anything is sent, with words for each outcome. */
    check(StowFiles(url, NULL, NULL, 0, NULL, 0, NULL, NULL) == WEB_REFUSED, "stow without files");
    check(WadoRetrieve(url, NULL, "1.2", NULL, "1.2.3", "out", NULL, NULL) == WEB_REFUSED,
          "an instance without its series");
    check(WadoMetadata(url, NULL, "../etc", NULL, NULL, NULL, NULL) == WEB_REFUSED, "no UID");
    char text[256];
    check(LastFailureText(text, sizeof text) > 0, "why");
    check(OutcomeText(OUTCOME_WEB, 404, NULL, text, sizeof text) > 0 &&
              strcmp(text, "HTTP 404 (not found)") == 0,
          "HTTP status words");
    close(listener);
    if (failures == 0) printf("web ABI: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
