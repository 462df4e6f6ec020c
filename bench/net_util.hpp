// Helpers of the transport drivers: process measurements, loopback sockets and a child
// process that runs the other end of a bench.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace bench {

double now_seconds();       // CLOCK_MONOTONIC
double coarse_seconds();    // CLOCK_MONOTONIC_COARSE: cheap, a few ms of resolution
double cpu_seconds();       // user + system time of this process
long voluntary_switches();  // of this process: the times it slept waiting
size_t rss_bytes();         // resident set size of this process
// Raises the descriptor limit to at least want (up to the hard limit); the limit reached.
size_t raise_nofile(size_t want);

// Blocking IPv4 TCP connection to 127.0.0.1:port with the options the library gives its
// connections (TCP_NODELAY, 8192-byte buffers) and an abortive close; -1 on failure.
int connect_loopback(uint16_t port);
// Same options on an accepted or connected descriptor.
void tune_socket(int fd);
// A listening socket on 127.0.0.1 with an ephemeral port (backlog as given); -1 on failure.
int listen_loopback(int backlog, uint16_t *port);
uint16_t local_port(int fd);

bool write_all(int fd, const void *p, size_t n);
bool read_all(int fd, void *p, size_t n);

// A forked child that waits for a go word (the server's port) before running; its exit
// status is collected by wait().
class Child {
   public:
    explicit Child(std::function<int(uint32_t word, int report_fd)> body);
    ~Child();
    void go(uint32_t word);
    // Reads one word the child reported with report(); false when the child closed the pipe.
    bool read_report(uint32_t *word);
    int wait();  // exit status, or -1
    static void report(int fd, uint32_t word);

   private:
    pid_t pid_ = -1;
    int go_fd_ = -1;
    int report_fd_ = -1;
};

}  // namespace bench
