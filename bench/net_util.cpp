#include "net_util.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace bench {

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double coarse_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long voluntary_switches() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw;
}

double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

size_t rss_bytes() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long size = 0, resident = 0;
    const int n = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return n == 2 ? resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

size_t raise_nofile(size_t want) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur < want) {
        rl.rlim_cur = rl.rlim_max < want ? rl.rlim_max : want;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return rl.rlim_cur;
}

void tune_socket(int fd) {
    const int one = 1, size = 8192;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    const struct linger lg = {1, 0};  // no TIME_WAIT left behind by thousands of connections
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

int connect_loopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0) {
        if (errno == EINTR) continue;
        close(fd);
        return -1;
    }
    tune_socket(fd);  // after the handshake, as the library does
    return fd;
}

uint16_t local_port(int fd) {
    struct sockaddr_in sin = {};
    socklen_t len = sizeof sin;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&sin), &len) != 0) return 0;
    return ntohs(sin.sin_port);
}

int listen_loopback(int backlog, uint16_t *port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0 ||
        listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    *port = local_port(fd);
    return fd;
}

bool write_all(int fd, const void *p, size_t n) {
    const char *c = static_cast<const char *>(p);
    while (n > 0) {
        const ssize_t w = write(fd, c, n);  // SIGPIPE is ignored by the drivers
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool read_all(int fd, void *p, size_t n) {
    char *c = static_cast<char *>(p);
    while (n > 0) {
        const ssize_t r = read(fd, c, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

Child::Child(std::function<int(uint32_t, int)> body) {
    int go[2], rep[2];
    if (pipe2(go, O_CLOEXEC) != 0 || pipe2(rep, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid_ == 0) {
        close(go[1]);
        close(rep[0]);
        uint32_t word = 0;
        if (!read_all(go[0], &word, sizeof word)) _exit(2);
        const int rc = body(word, rep[1]);
        std::fflush(nullptr);
        _exit(rc);
    }
    close(go[0]);
    close(rep[1]);
    go_fd_ = go[1];
    report_fd_ = rep[0];
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait();
    }
    if (go_fd_ >= 0) close(go_fd_);
    if (report_fd_ >= 0) close(report_fd_);
}

void Child::go(uint32_t word) {
    write_all(go_fd_, &word, sizeof word);
}

bool Child::read_report(uint32_t *word) {
    return read_all(report_fd_, word, sizeof *word);
}

void Child::report(int fd, uint32_t word) {
    write_all(fd, &word, sizeof word);
}

int Child::wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            pid_ = -1;
            return -1;
        }
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace bench
