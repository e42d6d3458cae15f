/* Starts the storage provider through the C interface, echoes to it and probes it with the
 * library's own requestor, and stops it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zedavura.h"

static unsigned sectionsTold = 0;

static void Told(void* context, const ProbeSectionRecord* section) {
    (void)context;
    if (section != NULL && section->name != NULL) ++sectionsTold;
}

/* The provider takes verification, its storage classes and the Study Root models, but answers
 * no query: the report says so in its records. */
static int ProbeProvider(const char* port) {
    ProbeOptions options;
    memset(&options, 0, sizeof options);
    options.structSize = sizeof options;
    options.host = "127.0.0.1";
    options.port = port;
    options.calledAeTitle = "STORESCP";
    ProbeReport* report = RunProbe(&options, Told, NULL);
    if (report == NULL || ProbeSectionCount(report) != 9 || sectionsTold != 9) {
        fprintf(stderr, "FAILED: the probe's nine sections\n");
        DeleteProbeReport(report);
        return 1;
    }
    const ProbeSectionRecord* storage = ProbeSectionAt(report, 2);
    const ProbeSectionRecord* query = ProbeSectionAt(report, 3);
    int failures = 0;
    if (ProbeSectionAt(report, 0)->verdict != PROBE_WORKS ||
        ProbeSectionAt(report, 1)->verdict != PROBE_WORKS || storage->rowCount == 0 ||
        storage->rows[0].verdict != PROBE_WORKS || storage->rows[0].syntaxCount == 0 ||
        strcmp(storage->rows[0].syntaxes[0].transferSyntax, "1.2.840.10008.1.2") != 0 ||
        storage->rows[0].syntaxes[0].result != 0) {
        fprintf(stderr, "FAILED: connection, verification or storage of the provider\n");
        ++failures;
    }
    if (strcmp(query->name, "Query/retrieve") != 0 || query->verdict != PROBE_FAILED ||
        query->rowCount != 7 || query->rows[6].verdict != PROBE_FAILED ||
        query->rows[6].reason[0] == '\0') {
        fprintf(stderr, "FAILED: the query the provider does not answer\n");
        ++failures;
    }
    /* A plain provider: the TLS the probe tried as well was refused; the workflow comes last. */
    const ProbeSectionRecord* security = ProbeSectionAt(report, 7);
    if (strcmp(security->name, "Security") != 0 || security->verdict != PROBE_NOT_OFFERED ||
        strcmp(ProbeSectionAt(report, 8)->name, "Workflow") != 0 ||
        ProbeSectionAt(report, 9) != NULL || ProbeAssociationCount(report) < 8) {
        fprintf(stderr, "FAILED: the report's end\n");
        ++failures;
    }
    DeleteProbeReport(report);
    return failures;
}

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
    failures += ProbeProvider(port);
    StopStoreSCP();
    if (StoreSCPListening(port) != 0 || EchoSCU("127.0.0.1", port, "ABI", "STORESCP") != 0) {
        fprintf(stderr, "FAILED: still answering after StopStoreSCP\n");
        ++failures;
    }
    SetShortDateFormat("ddmmyyyy");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
