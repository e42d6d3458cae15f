/* Connection options through the C interface: the provider started with them, an echo to it,
 * options too small or missing, and a peer that never answers the association request, whose
 * wait is told by LastTimeout. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zedavura.h"

static ConnectionOptions Options(const char* port) {
    ConnectionOptions o;
    memset(&o, 0, sizeof o);
    o.structSize = sizeof o;
    o.host = "127.0.0.1";
    o.port = port;
    o.calledAeTitle = "STORESCP";
    return o;
}

/* A listener that takes connections into its backlog and never answers; its port in port. */
static int SilentListener(char* port, size_t size) {
    const int handle = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (handle < 0 || bind(handle, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(handle, 4) != 0 || getsockname(handle, (struct sockaddr*)&address, &length) != 0)
        return -1;
    snprintf(port, size, "%u", (unsigned)ntohs(address.sin_port));
    return handle;
}

int main(void) {
    char port[16] = "";
    int listening = 0;
    int failures = 0;
    for (int i = 0; i < 20 && !listening; ++i) {
        snprintf(port, sizeof port, "%d", 20000 + (int)((getpid() * 11 + i * 137) % 40000));
        ConnectionOptions listener = Options(port);
        listener.maxPduLength = 4096;
        listener.idleTimeoutMs = 5000;
        StartStoreSCPWith(".", &listener, 0);
        listening = StoreSCPListening(port) == 1;
    }
    if (!listening) {
        fprintf(stderr, "FAILED: no port to listen on\n");
        return 1;
    }
    ConnectionOptions peer = Options(port);
    peer.maxPduLength = 131072;
    peer.dimseTimeoutMs = 5000;
    if (EchoSCUWith(&peer) != 1 || LastTimeout(NULL, NULL, 0) != WAIT_NONE) {
        fprintf(stderr, "FAILED: echo to the provider with options\n");
        ++failures;
    }
    /* A caller that knows fewer fields than the first version, or none. */
    ConnectionOptions small = Options(port);
    small.structSize = (uint32_t)offsetof(ConnectionOptions, connectTimeoutMs);
    if (EchoSCUWith(&small) != 0 || EchoSCUWith(NULL) != 0 ||
        StoreSCUWith(&small, "x.dcm", NULL, 1) != STORE_NO_CONNECTION ||
        FindSCUWith(NULL, "STUDY", NULL) != QUERY_REFUSED) {
        fprintf(stderr, "FAILED: options too small or missing\n");
        ++failures;
    }
    StopStoreSCP();

    char silentPort[16] = "";
    const int silent = SilentListener(silentPort, sizeof silentPort);
    ConnectionOptions waiting = Options(silentPort);
    waiting.acseTimeoutMs = 1000;
    uint32_t milliseconds = 0;
    char awaited[64] = "";
    if (silent < 0 || EchoSCUWith(&waiting) != 0 ||
        LastTimeout(&milliseconds, awaited, sizeof awaited) != WAIT_ACSE || milliseconds != 1000 ||
        strcmp(awaited, "no answer to the association request") != 0) {
        fprintf(stderr, "FAILED: the unanswered association request (%u ms, \"%s\")\n",
                milliseconds, awaited);
        ++failures;
    }
    if (silent >= 0) close(silent);
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
