/* ofagentd's TLS set-up: the host makes the wolfSSL objects; the library only uses them. */
#ifndef AGENT_TLS_H
#define AGENT_TLS_H

struct WOLFSSL;

/* 1 when this build has TLS (OFAGENT_TLS), else 0. */
int agent_tls_available(void);
/* The TLS line of --version. */
void agent_tls_print_version(void);
/* wolfSSL_Init and one client context with the CA, certificate and key; 0 on success, else
 * the reason is on stderr. */
int agent_tls_init(const char *cert, const char *key, const char *ca);
/* A new connection object for one connect, or null. */
struct WOLFSSL *agent_tls_new(void);
/* Sends close_notify on an established session (without waiting for the peer's). */
void agent_tls_close_notify(struct WOLFSSL *ssl);
void agent_tls_free(struct WOLFSSL *ssl);
void agent_tls_cleanup(void);

#endif /* AGENT_TLS_H */
