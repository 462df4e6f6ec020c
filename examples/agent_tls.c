/*
 * ofagentd's TLS context. Built only with OFAGENT_TLS (the big-endian embedded build has no
 * wolfSSL); without it --tls is refused.
 */
#include "agent_tls.h"

#include <stdio.h>

#include "hostutil.h"

#ifdef OFAGENT_TLS
#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#include <wolfssl/version.h>

static WOLFSSL_CTX *ctx;

int agent_tls_available(void) {
    return 1;
}

void agent_tls_print_version(void) {
    printf("TLS: wolfSSL %s\n", LIBWOLFSSL_VERSION_STRING);
}

/* Says which file wolfSSL refused and why (no PEM in it, a key that does not match...). */
static void refused(const char *what, const char *path, int rc) {
    char text[WOLFSSL_MAX_ERROR_SZ];
    unsigned long e = wolfSSL_ERR_get_error();
    /* wolfSSL queues no error for some refusals (an empty file): the result code then. */
    if (!e && rc < 0) e = (unsigned long)-rc;
    fprintf(stderr, "%s: cannot load %s %s: %s\n", host_prog, what, path,
            e ? wolfSSL_ERR_error_string(e, text) : "not a usable PEM file");
}

int agent_tls_init(const char *cert, const char *key, const char *ca) {
    int rc;
    if (wolfSSL_Init() != WOLFSSL_SUCCESS) return -1;
    ctx = wolfSSL_CTX_new(wolfTLS_client_method());
    if (!ctx) goto fail;
    /* The controller must prove itself with a certificate from our CA, and so must we. */
    if ((rc = wolfSSL_CTX_load_verify_locations(ctx, ca, NULL)) != WOLFSSL_SUCCESS) {
        refused("the TLS CA certificate", ca, rc);
        goto fail;
    }
    if ((rc = wolfSSL_CTX_use_certificate_file(ctx, cert, WOLFSSL_FILETYPE_PEM)) !=
        WOLFSSL_SUCCESS) {
        refused("the TLS certificate", cert, rc);
        goto fail;
    }
    if ((rc = wolfSSL_CTX_use_PrivateKey_file(ctx, key, WOLFSSL_FILETYPE_PEM)) != WOLFSSL_SUCCESS) {
        refused("the TLS private key", key, rc);
        goto fail;
    }
    wolfSSL_CTX_set_verify(ctx, WOLFSSL_VERIFY_PEER, NULL);
    return 0;
fail:
    agent_tls_cleanup();
    return -1;
}

struct WOLFSSL *agent_tls_new(void) {
    return ctx ? wolfSSL_new(ctx) : NULL;
}

void agent_tls_close_notify(struct WOLFSSL *ssl) {
    /* On the non-blocking socket this sends the alert and returns: the descriptor is closed
     * next, so the peer's answer is not awaited. */
    if (ssl) wolfSSL_shutdown(ssl);
}

void agent_tls_free(struct WOLFSSL *ssl) {
    if (ssl) wolfSSL_free(ssl);
}

void agent_tls_cleanup(void) {
    if (ctx) wolfSSL_CTX_free(ctx);
    ctx = NULL;
    wolfSSL_Cleanup();
}

#else

int agent_tls_available(void) {
    return 0;
}

void agent_tls_print_version(void) {
    printf("TLS: not in this build\n");
}

int agent_tls_init(const char *cert, const char *key, const char *ca) {
    (void)cert;
    (void)key;
    (void)ca;
    return -1;
}

struct WOLFSSL *agent_tls_new(void) {
    return NULL;
}

void agent_tls_close_notify(struct WOLFSSL *ssl) {
    (void)ssl;
}

void agent_tls_free(struct WOLFSSL *ssl) {
    (void)ssl;
}

void agent_tls_cleanup(void) {}

#endif
