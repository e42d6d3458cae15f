/* Starts the storage provider through the C interface, echoes to it with the library's own
 * requestor, and stops it. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "zedavura.h"

int main(void) {
    char port[16] = "";
    int listening = 0;
    /* A port of its own: a few tries from one that depends on the process. */
    SetStoreSCPMaxAssociations(4);
    for (int i = 0; i < 20 && !listening; ++i) {
        snprintf(port, sizeof port, "%d", 20000 + (int)((getpid() * 7 + i * 131) % 40000));
        StartStoreSCP(".", port);
        listening = StoreSCPListening(port) == 1;
    }
    if (!listening) {
        fprintf(stderr, "FAILED: no port to listen on\n");
        return 1;
    }
    int failures = 0;
    if (EchoSCU("127.0.0.1", port, "ABI", "STORESCP") != 1) {
        fprintf(stderr, "FAILED: echo to the provider\n");
        ++failures;
    }
    StopStoreSCP();
    if (StoreSCPListening(port) != 0 || EchoSCU("127.0.0.1", port, "ABI", "STORESCP") != 0) {
        fprintf(stderr, "FAILED: still answering after StopStoreSCP\n");
        ++failures;
    }
    SetShortDateFormat("ddmmyyyy");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
