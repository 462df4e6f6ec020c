// Socket wrapper: one descriptor bound to the host's dispatcher, four callbacks routed by two
// flags, the logged socket calls, the option table and the printable IPv4 address.
#include "ofsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cassert>

#include "../support/oflog_internal.hpp"
#include "ofplatform.h"

namespace {

char ofsocket_addr_text[OFSOCKET_ADDR_TEXT_SIZE];

// F_GETFL then F_SETFL with O_NONBLOCK added or removed, each retried on EINTR. A failing
// F_GETFL ends the operation: writing back flags we could not read would clobber them.
int set_nonblock(int fd, bool on) {
    int fl;
    do {
        fl = fcntl(fd, F_GETFL);
    } while (fl < 0 && errno == EINTR);
    if (fl < 0) return -1;
    fl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    int r;
    do {
        r = fcntl(fd, F_SETFL, fl);
    } while (r < 0 && errno == EINTR);
    return r;
}

int apply_option(int fd, int code, va_list args) {
    static const int kLevel[] = {SOL_SOCKET, SOL_SOCKET,  SOL_SOCKET, SOL_SOCKET,
                                 0,          IPPROTO_TCP, SOL_SOCKET, 0};
    static const int kName[] = {SO_RCVBUF, SO_SNDBUF,   SO_REUSEADDR, SO_KEEPALIVE,
                                0,         TCP_NODELAY, SO_LINGER,    0};
    if (code < 0 || code > OFSOCKET_OPT_BLOCK) {
        errno = EINVAL;
        return -1;
    }
    if (code == OFSOCKET_OPT_NONBLOCK || code == OFSOCKET_OPT_BLOCK) {
        (void)va_arg(args, int);  // taken and ignored
        return set_nonblock(fd, code == OFSOCKET_OPT_NONBLOCK);
    }
    if (code == OFSOCKET_OPT_LINGER) {
        struct linger lg;
        lg.l_onoff = va_arg(args, int);
        lg.l_linger = va_arg(args, int);
        return setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    int value = va_arg(args, int);
    return setsockopt(fd, kLevel[code], kName[code], &value, sizeof value);
}

}  // namespace

extern "C" {

uint32_t g_disp_id = 0;

void ofsocket_set_dispatcher_id(uint32_t id) {
    g_disp_id = id;
}

void ofsocket_rdispatch_cb(void *data, int fd) {
    ofsocket *sock = static_cast<ofsocket *>(data);
    assert(fd == sock->socket_fd);
    (void)fd;
    if (sock->flags & OFSOCKET_FLAG_LISTEN) {
        sock->accept_cb(sock);
    } else {
        sock->recv_cb(sock);
    }
}

void ofsocket_wdispatch_cb(void *data, int fd) {
    ofsocket *sock = static_cast<ofsocket *>(data);
    assert(fd == sock->socket_fd);
    (void)fd;
    if (sock->flags & OFSOCKET_FLAG_CONNECTING) {
        sock->connect_cb(sock);
    } else {
        sock->write_cb(sock);
    }
}

void ofsocket_enable_read_internal(ofsocket *sock) {
    if (sock->read_input == 0)
        sock->read_input =
            DispAddInput(sock->disp_id, sock->socket_fd, INPUT_READ, ofsocket_rdispatch_cb, sock);
}

void ofsocket_enable_write_internal(ofsocket *sock) {
    if (sock->write_input == 0)
        sock->write_input =
            DispAddInput(sock->disp_id, sock->socket_fd, INPUT_WRITE, ofsocket_wdispatch_cb, sock);
}

void ofsocket_disable_read_internal(ofsocket *sock) {
    if (sock->read_input == 0) return;
    int removed = DispRemoveInput(sock->disp_id, sock->socket_fd, INPUT_READ);
    assert(removed && "DispRemoveInput(sock->disp_id, sock->socket_fd, INPUT_READ)");
    (void)removed;
    sock->read_input = 0;
}

void ofsocket_disable_write_internal(ofsocket *sock) {
    if (sock->write_input == 0) return;
    int removed = DispRemoveInput(sock->disp_id, sock->socket_fd, INPUT_WRITE);
    assert(removed && "DispRemoveInput(sock->disp_id, sock->socket_fd, INPUT_WRITE)");
    (void)removed;
    sock->write_input = 0;
}

void ofsocket_set_socket(ofsocket *sock, int s) {
    assert(sock->socket_fd == -1 || sock->socket_fd == s);
    sock->socket_fd = s;
    if (sock->recv_cb || sock->accept_cb) {
        ofsocket_enable_read_internal(sock);
    } else {
        ofsocket_disable_read_internal(sock);
    }
    if (sock->write_cb || sock->connect_cb) {
        ofsocket_enable_write_internal(sock);
    } else {
        ofsocket_disable_write_internal(sock);
    }
}

void ofsocket_reset_socket(ofsocket *sock) {
    if (sock->socket_fd < 0) return;
    if (sock->recv_cb || sock->accept_cb) ofsocket_disable_read_internal(sock);
    if (sock->write_cb || sock->connect_cb) ofsocket_disable_write_internal(sock);
    sock->socket_fd = -1;
    sock->flags &= ~(OFSOCKET_FLAG_LISTEN | OFSOCKET_FLAG_CONNECTING);
    sock->recv_cb = nullptr;
    sock->accept_cb = nullptr;
    sock->write_cb = nullptr;
    sock->connect_cb = nullptr;
}

void ofsocket_disable_receive(ofsocket *sock) {
    ofsocket_disable_read_internal(sock);
}

void ofsocket_disable_write(ofsocket *sock) {
    ofsocket_disable_write_internal(sock);
}

void ofsocket_reenable_receive(ofsocket *sock) {
    if ((sock->recv_cb || sock->accept_cb) && sock->socket_fd != -1)
        ofsocket_enable_read_internal(sock);
}

void ofsocket_reenable_write(ofsocket *sock) {
    if ((sock->write_cb || sock->connect_cb) && sock->socket_fd != -1)
        ofsocket_enable_write_internal(sock);
}

int ofsocket_open_socket(int domain, int type, int protocol) {
    int fd = socket(domain, type, protocol);
    if (fd < 0) {
        int err = errno;
        OFLOG(OFLOG_ERRS, "Socket open failed, err: %d", err);
        errno = err;
        return -1;
    }
    OFLOG(OFLOG_INFO, "Socket opened, fd: %d", fd);
    return fd;
}

int ofsocket_bind(ofsocket *sock) {
    int r = bind(sock->socket_fd, sock->addr, sock->addr_len);
    if (r != 0) {
        int err = errno;
        OFLOG(OFLOG_ERRS, "bind failed: addr:%s, fd:%d, err:%d(%s)",
              ofsocket_print_addr(sock->addr), sock->socket_fd, err, strerror(err));
        errno = err;
    } else {
        OFLOG(OFLOG_INFO, "bind succedded: addr:%s, fd:%d", ofsocket_print_addr(sock->addr),
              sock->socket_fd);
    }
    return r;
}

int ofsocket_connect(ofsocket *sock) {
    int r = connect(sock->socket_fd, sock->addr, sock->addr_len);
    int err = errno;
    if (r == 0) {
        OFLOG(OFLOG_INFO, "connect succedded: addr:%s, fd:%d", ofsocket_print_addr(sock->addr),
              sock->socket_fd);
    } else if (err == EINPROGRESS) {
        OFLOG(OFLOG_INFO, "connect in progress: addr:%s, fd:%d", ofsocket_print_addr(sock->addr),
              sock->socket_fd);
    } else {
        OFLOG(OFLOG_ERRS, "connect failed: addr:%s, fd:%d,  err:%d(%s)",
              ofsocket_print_addr(sock->addr), sock->socket_fd, err, strerror(err));
    }
    errno = err;  // callers tell "in progress" from failure by errno
    return r;
}

int ofsocket_listen(ofsocket *sock, int backlog) {
    int r = listen(sock->socket_fd, backlog);
    int err = errno;
    if (r != 0) {
        OFLOG(OFLOG_ERRS, "listen failed: addr:%s, fd:%d, err:%d(%s)",
              ofsocket_print_addr(sock->addr), sock->socket_fd, err, strerror(err));
    } else {
        OFLOG(OFLOG_INFO, "listen succedded: addr:%s, fd:%d", ofsocket_print_addr(sock->addr),
              sock->socket_fd);
    }
    errno = err;
    return r;
}

int ofsocket_accept(ofsocket *sock, struct sockaddr **addr_out, socklen_t *len_out) {
    const socklen_t kAddrBuf = 128;
    struct sockaddr *buf = static_cast<struct sockaddr *>(calloc(1, kAddrBuf));
    if (buf == nullptr) {
        errno = ENOMEM;
        OFLOG(OFLOG_ERRS, "accept failed: fd:%d, err:%d(%s)", sock->socket_fd, errno,
              strerror(errno));
        return -1;
    }
    socklen_t len = kAddrBuf;
    int fd = accept(sock->socket_fd, buf, &len);
    if (fd < 0) {
        int err = errno;
        OFLOG(OFLOG_ERRS, "accept failed: fd:%d, err:%d(%s)", sock->socket_fd, err, strerror(err));
        free(buf);
        errno = err;
        return -1;
    }
    OFLOG(OFLOG_INFO, "accept succedded: new addr:%s, new fd:%d", ofsocket_print_addr(buf), fd);
    *addr_out = buf;
    *len_out = len;
    return fd;
}

void ofsocket_close(ofsocket *sock) {
    int fd = sock->socket_fd;
    ofsocket_reset_socket(sock);
    int r;
    do {
        r = close(fd);
    } while (r < 0 && errno == EINTR);
    if (r < 0) OFLOG(OFLOG_ERRS, "Socket close failed, fd: %d", fd);
}

int ofsocket_set_option_internal(ofsocket *sock, int code, va_list args) {
    if (sock == nullptr || sock->socket_fd == -1) return -1;
    int r = apply_option(sock->socket_fd, code, args);
    if (r < 0) {
        int err = errno;
        OFLOG(OFLOG_ERRS, "setsockopt failed: fd:%d, err:%d(%s)", sock->socket_fd, err,
              strerror(err));
        errno = err;
    } else {
        OFLOG(OFLOG_INFO, "setsockopt succedded: fd:%d", sock->socket_fd);
    }
    return r;
}

int ofsocket_set_option(ofsocket *sock, int code, ...) {
    va_list args;
    va_start(args, code);
    int r = ofsocket_set_option_internal(sock, code, args);
    va_end(args);
    return r;
}

int ofsocket_get_option(ofsocket *sock, int optname, void *optval, socklen_t *optlen) {
    int r = getsockopt(sock->socket_fd, SOL_SOCKET, optname, optval, optlen);
    if (r < 0) {
        int err = errno;
        OFLOG(OFLOG_ERRS, "getsockopt failed: fd:%d, err:%d(%s)", sock->socket_fd, err,
              strerror(err));
        errno = err;
    } else {
        OFLOG(OFLOG_INFO, "getsockopt succedded: fd:%d", sock->socket_fd);
    }
    return r;
}

void ofsocket_set_tcp_keep_alive(ofsocket *sock) {
    // A silent peer is dropped about 30 + 5 * 10 seconds after the last traffic.
    static const int kTiming[][2] = {{TCP_KEEPIDLE, 30}, {TCP_KEEPINTVL, 10}, {TCP_KEEPCNT, 5}};
    ofsocket_set_option(sock, OFSOCKET_OPT_KEEPALIVE, 1);
    for (const auto &t : kTiming) {
        int value = t[1];
        if (setsockopt(sock->socket_fd, IPPROTO_TCP, t[0], &value, sizeof value) < 0) {
            OFLOG(OFLOG_ERRS, "setsockopt failed: fd:%d, err:(%s)", sock->socket_fd,
                  strerror(errno));
        } else {
            OFLOG(OFLOG_INFO, "setsockopt succeded: fd:%d", sock->socket_fd);
        }
    }
}

ofsocket *ofsocket_alloc(void) {
    ofsocket *sock = static_cast<ofsocket *>(calloc(1, sizeof(ofsocket)));
    if (sock == nullptr) return nullptr;
    sock->socket_fd = -1;
    sock->disp_id = g_disp_id;
    return sock;
}

void ofsocket_free(ofsocket *sock) {
    if (sock == nullptr) return;
    if (sock->socket_fd != -1) ofsocket_close(sock);
    free(sock->addr);
    free(sock);
}

void ofsocket_set_recv(ofsocket *sock, ofsocket_cb cb) {
    sock->recv_cb = cb;
}
void ofsocket_set_accept(ofsocket *sock, ofsocket_cb cb) {
    sock->accept_cb = cb;
}
void ofsocket_set_write(ofsocket *sock, ofsocket_cb cb) {
    sock->write_cb = cb;
}
void ofsocket_set_connect(ofsocket *sock, ofsocket_cb cb) {
    sock->connect_cb = cb;
}
void ofsocket_set_flag(ofsocket *sock, uint32_t bits) {
    sock->flags |= bits;
}
void ofsocket_reset_flag(ofsocket *sock, uint32_t bits) {
    sock->flags &= ~bits;
}
int ofsocket_get_socket_fd(ofsocket *sock) {
    return sock->socket_fd;
}
void ofsocket_set_addr(ofsocket *sock, struct sockaddr *addr) {
    sock->addr = addr;
}
struct sockaddr *ofsocket_get_addr(ofsocket *sock) {
    return sock->addr;
}
void ofsocket_set_data(ofsocket *sock, void *data) {
    sock->data = data;
}
void *ofsocket_get_data(ofsocket *sock) {
    return sock->data;
}

struct sockaddr_in *ofsocket_create_sockaddr_in(ofsocket *sock, uint16_t port, uint32_t ip) {
    struct sockaddr_in *sin = static_cast<struct sockaddr_in *>(calloc(1, sizeof *sin));
    if (sin == nullptr) return nullptr;
    sin->sin_family = AF_INET;
    sin->sin_port = port;
    sin->sin_addr.s_addr = ip;
    sock->addr = reinterpret_cast<struct sockaddr *>(sin);
    sock->addr_len = sizeof *sin;
    return sin;
}

char *ofsocket_print_addr(const struct sockaddr *addr) {
    memset(ofsocket_addr_text, 0, sizeof ofsocket_addr_text);
    if (addr == nullptr || addr->sa_family != AF_INET) {
        strcpy(ofsocket_addr_text, "null");
        return ofsocket_addr_text;
    }
    struct sockaddr_in sin;
    memcpy(&sin, addr, sizeof sin);
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sin.sin_addr, ip, sizeof ip);
    snprintf(ofsocket_addr_text, sizeof ofsocket_addr_text, "%s:%d", ip, ntohs(sin.sin_port));
    return ofsocket_addr_text;
}

}  // extern "C"
