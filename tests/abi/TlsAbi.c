/* TLS through the C interface: certificates made with the openssl command, our provider started
 * with TLS options and echoed with and without our certificate, options with a file that cannot
 * be read, and an echo to DCMTK's storescp +tls. Exits 77 (skipped) without openssl. */
#define _DEFAULT_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zedavura.h"

static char gDir[64] = "/tmp/tessaly-abi-tls-XXXXXX";

static const char* In(const char* name) {
    static char paths[8][160];
    static int next = 0;
    char* path = paths[next++ % 8];
    snprintf(path, sizeof paths[0], "%s/%s", gDir, name);
    return path;
}

static int Run(const char* command) {
    char line[1024];
    snprintf(line, sizeof line, "cd %s && %s >/dev/null 2>&1", gDir, command);
    return system(line) == 0;
}

/* A CA and, signed by it, an RSA server and an EC client certificate. */
static int MakeCertificates(void) {
    return Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "
               "ca.key -out ca.pem -days 2 -subj /CN=abi-ca") &&
           Run("openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "
               "/CN=abi-server") &&
           Run("openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
               "-out server.pem") &&
           Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout client.key "
               "-out client.csr -subj /CN=abi-client") &&
           Run("openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
               "-out client.pem");
}

static unsigned FreePort(void) {
    const int handle = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned port = 0;
    if (handle >= 0 && bind(handle, (struct sockaddr*)&address, sizeof address) == 0 &&
        getsockname(handle, (struct sockaddr*)&address, &length) == 0)
        port = ntohs(address.sin_port);
    if (handle >= 0) close(handle);
    return port;
}

static ConnectionOptions Options(const char* port, const TlsOptions* tls) {
    ConnectionOptions o;
    memset(&o, 0, sizeof o);
    o.structSize = sizeof o;
    o.host = "127.0.0.1";
    o.port = port;
    o.calledAeTitle = "STORESCP";
    o.dimseTimeoutMs = 10000;
    o.tls = tls;
    return o;
}

static TlsOptions Tls(const char* name, const char* const* trusted) {
    TlsOptions t;
    memset(&t, 0, sizeof t);
    t.structSize = sizeof t;
    if (name != NULL) {
        char pem[32], key[32];
        snprintf(pem, sizeof pem, "%s.pem", name);
        snprintf(key, sizeof key, "%s.key", name);
        t.certificateFile = In(pem);
        t.keyFile = In(key);
    }
    t.trusted = trusted;
    t.trustedCount = 1;
    return t;
}

/* Echoes until the listener has come up: at most 50 tries. */
static uint8_t EchoOnceListening(const ConnectionOptions* peer) {
    for (int i = 0; i < 50; ++i) {
        if (EchoSCUWith(peer) == 1) return 1;
        usleep(100000);
    }
    return 0;
}

int main(void) {
    if (mkdtemp(gDir) == NULL || system("openssl version >/dev/null 2>&1") != 0) {
        fprintf(stderr, "SKIPPED: no openssl\n");
        return 77;
    }
    if (!MakeCertificates()) {
        fprintf(stderr, "FAILED: openssl did not make the certificates\n");
        return 1;
    }
    int failures = 0;
    const char* trusted[] = {In("ca.pem")};
    const TlsOptions serverTls = Tls("server", trusted);
    const TlsOptions clientTls = Tls("client", trusted);
    const TlsOptions anonymousTls = Tls(NULL, trusted);

    char why[256] = "";
    TlsOptions missing = clientTls;
    missing.certificateFile = In("nonexistent.pem");
    if (CheckTlsOptions(&clientTls, why, sizeof why) != 1 ||
        CheckTlsOptions(&missing, why, sizeof why) != 0 || strstr(why, "nonexistent") == NULL) {
        fprintf(stderr, "FAILED: CheckTlsOptions (\"%s\")\n", why);
        ++failures;
    }

    /* Our provider over TLS: a CA given, so the sender's certificate is required. */
    char port[16];
    snprintf(port, sizeof port, "%u", FreePort());
    const ConnectionOptions listener = Options(port, &serverTls);
    StartStoreSCPWith(gDir, &listener, 0);
    const ConnectionOptions withCert = Options(port, &clientTls);
    const ConnectionOptions withoutCert = Options(port, &anonymousTls);
    const ConnectionOptions plain = Options(port, NULL);
    if (StoreSCPListening(port) != 1 || EchoSCUWith(&withCert) != 1) {
        fprintf(stderr, "FAILED: echo over TLS to our provider\n");
        ++failures;
    }
    if (EchoSCUWith(&withoutCert) != 0 || EchoSCUWith(&plain) != 0) {
        fprintf(stderr, "FAILED: our provider took an echo without a certificate or TLS\n");
        ++failures;
    }
    const ConnectionOptions broken = Options(port, &missing);
    if (EchoSCUWith(&broken) != 0 || LastFailureText(why, sizeof why) <= 0 ||
        strstr(why, "nonexistent") == NULL) {
        fprintf(stderr, "FAILED: options whose file is missing (\"%s\")\n", why);
        ++failures;
    }
    StopStoreSCP();

    if (system("command -v storescp >/dev/null 2>&1") == 0) {
        snprintf(port, sizeof port, "%u", FreePort());
        const pid_t pid = fork();
        if (pid == 0) {
            execlp("storescp", "storescp", "+tls", In("server.key"), In("server.pem"), "+cf",
                   In("ca.pem"), "-rc", "-od", gDir, port, (char*)NULL);
            _exit(127);
        }
        const ConnectionOptions storescp = Options(port, &clientTls);
        if (EchoOnceListening(&storescp) != 1) {
            fprintf(stderr, "FAILED: echo over TLS to storescp\n");
            ++failures;
        }
        kill(pid, SIGTERM);
        waitpid(pid, NULL, 0);
    }
    char cleanup[128];
    snprintf(cleanup, sizeof cleanup, "rm -rf %s", gDir);
    if (system(cleanup) != 0) fprintf(stderr, "could not remove %s\n", gDir);
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
