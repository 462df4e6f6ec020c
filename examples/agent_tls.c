/*
 * ofagentd's TLS context. Built only with OFAGENT_TLS (the big-endian embedded build has no
 * wolfSSL); without it --tls is refused.
 */
#include "agent_tls.h"

#include <stdio.h>

#ifdef OFAGENT_TLS
#include <wolfssl/options.h>
#include <wolfssl/ssl.h>

static WOLFSSL_CTX *ctx;

int agent_tls_init(const char *cert, const char *key, const char *ca) {
    if (wolfSSL_Init() != WOLFSSL_SUCCESS) return -1;
    ctx = wolfSSL_CTX_new(wolfTLS_client_method());
    if (!ctx) goto fail;
    /* The controller must prove itself with a certificate from our CA, and so must we. */
    if (wolfSSL_CTX_load_verify_locations(ctx, ca, NULL) != WOLFSSL_SUCCESS) {
        fprintf(stderr, "cannot load CA certificate %s\n", ca);
        goto fail;
    }
    if (wolfSSL_CTX_use_certificate_file(ctx, cert, WOLFSSL_FILETYPE_PEM) != WOLFSSL_SUCCESS) {
        fprintf(stderr, "cannot load certificate %s\n", cert);
        goto fail;
    }
    if (wolfSSL_CTX_use_PrivateKey_file(ctx, key, WOLFSSL_FILETYPE_PEM) != WOLFSSL_SUCCESS) {
        fprintf(stderr, "cannot load private key %s\n", key);
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

void agent_tls_free(struct WOLFSSL *ssl) {
    if (ssl) wolfSSL_free(ssl);
}

void agent_tls_cleanup(void) {
    if (ctx) wolfSSL_CTX_free(ctx);
    ctx = NULL;
    wolfSSL_Cleanup();
}

#else

int agent_tls_init(const char *cert, const char *key, const char *ca) {
    (void)cert;
    (void)key;
    (void)ca;
    fprintf(stderr, "this build has no TLS support (OFAGENT_TLS off)\n");
    return -1;
}

struct WOLFSSL *agent_tls_new(void) {
    return NULL;
}

void agent_tls_free(struct WOLFSSL *ssl) {
    (void)ssl;
}

void agent_tls_cleanup(void) {}

#endif
