/*
 * The echo baseline: the least an OpenFlow 1.3 echo responder can do on this kernel. Plain C,
 * blocking sockets, one connection at a time. Per message it reads the 8-byte header, then
 * exactly the rest of the message (as the library does: never past the message), and answers
 * an echo request with one write of the same bytes as an echo reply. It greets each peer with
 * a HELLO and ignores every other message. The accepted socket gets the options the library's
 * server gives its connections (8192-byte buffers, TCP_NODELAY, linger off).
 *
 * With --epoll it waits as an event loop does instead: a non-blocking socket, a level-triggered
 * epoll wait before each message, then the same two reads. That is the floor of any daemon
 * driven by a descriptor dispatcher: one system call per message more than the blocking server.
 *
 * usage: echo_server IP PORT [--epoll]    (prints "listening" once the socket listens)
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

enum { HDR_LEN = 8, MAX_LEN = 65535, OFPT_HELLO = 0, OFPT_ECHO_REQUEST = 2, OFPT_ECHO_REPLY = 3 };

static int g_ep = -1; /* the epoll instance with --epoll */

/* Blocks until readable: in read itself, or with --epoll in the wait (a readiness per read that
 * finds the socket empty, and one before each message). */
static int wait_readable(void) {
    struct epoll_event ev;
    for (;;) {
        int n = epoll_wait(g_ep, &ev, 1, -1);
        if (n == 1) return 0;
        if (n < 0 && errno != EINTR) return -1;
    }
}

static int read_full(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN && g_ep >= 0) {
            if (wait_readable() != 0) return -1;
            continue;
        }
        if (r <= 0) return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static int write_full(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) { /* a full socket: a reply is small, wait a little */
            usleep(100);
            continue;
        }
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static void tune(int fd) {
    int one = 1, size = 8192;
    struct linger lg = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

static void serve(int fd) {
    static uint8_t buf[MAX_LEN];
    const uint8_t hello[HDR_LEN] = {4, OFPT_HELLO, 0, HDR_LEN, 0, 0, 0, 1};
    if (write_full(fd, hello, sizeof hello) != 0) return;
    for (;;) {
        size_t len;
        if (g_ep >= 0 && wait_readable() != 0) return;
        if (read_full(fd, buf, HDR_LEN) != 0) return;
        len = (size_t)buf[2] << 8 | buf[3];
        if (len < HDR_LEN) return;
        if (len > HDR_LEN && read_full(fd, buf + HDR_LEN, len - HDR_LEN) != 0) return;
        if (buf[1] == OFPT_ECHO_REQUEST) {
            buf[1] = OFPT_ECHO_REPLY;
            if (write_full(fd, buf, len) != 0) return;
        }
    }
}

int main(int argc, char **argv) {
    struct sockaddr_in a;
    int lfd, one = 1;
    if (argc != 3 && !(argc == 4 && !strcmp(argv[3], "--epoll"))) {
        fprintf(stderr, "usage: %s IP PORT [--epoll]\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &a.sin_addr) != 1) {
        fprintf(stderr, "echo_server: not an IPv4 address: %s\n", argv[1]);
        return 2;
    }
    lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (lfd < 0 || bind(lfd, (struct sockaddr *)&a, sizeof a) != 0 || listen(lfd, 16) != 0) {
        perror("echo_server: listen");
        return 1;
    }
    printf("listening\n");
    fflush(stdout);
    for (;;) {
        int fd = accept(lfd, NULL, NULL);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            perror("echo_server: accept");
            return 1;
        }
        tune(fd);
        if (argc == 4) {
            struct epoll_event ev;
            memset(&ev, 0, sizeof ev);
            ev.events = EPOLLIN | EPOLLRDHUP;
            g_ep = epoll_create1(EPOLL_CLOEXEC);
            if (g_ep < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0 ||
                epoll_ctl(g_ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
                perror("echo_server: epoll");
                return 1;
            }
        }
        serve(fd);
        if (g_ep >= 0) close(g_ep);
        g_ep = -1;
        close(fd);
    }
}
