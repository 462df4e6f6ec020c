/* ofagentd's TLS set-up: the host makes the wolfSSL objects; the library only uses them. */
#ifndef AGENT_TLS_H
#define AGENT_TLS_H

struct WOLFSSL;

/* wolfSSL_Init and one client context with the CA, certificate and key; 0 on success. */
int agent_tls_init(const char *cert, const char *key, const char *ca);
/* A new connection object for one connect, or null. */
struct WOLFSSL *agent_tls_new(void);
void agent_tls_free(struct WOLFSSL *ssl);
void agent_tls_cleanup(void);

#endif /* AGENT_TLS_H */
