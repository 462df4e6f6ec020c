// Signals as events of the loop: a handler only writes the signal number into a pipe that the
// dispatcher watches, so the host's callback runs on the loop's thread between other
// callbacks, where it may call anything (the library, ofhost_loop_stop, timers).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "ofhost.h"

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2};

int g_pipe[2] = {-1, -1};
ofhost_signal_cb g_cb = nullptr;

void on_signal(int signo) {
    const int saved = errno;
    const auto b = static_cast<unsigned char>(signo);
    // A full pipe already holds a wake-up; losing this byte loses nothing that matters.
    if (write(g_pipe[1], &b, 1) < 0) {
    }
    errno = saved;
}

void on_pipe(void *, int fd) {
    unsigned char buf[16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; i++) {
            g_cb(buf[i]);
            if (g_pipe[0] < 0) return;  // the callback removed the helper
        }
    }
}

void set_handlers(void (*handler)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : kSignals)
        sigaction(s, &sa, nullptr);
}

}  // namespace

extern "C" {

OFHOST_API int ofhost_signals_install(ofhost_signal_cb cb) {
    if (cb == nullptr || g_pipe[0] >= 0) return -1;
    if (pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    if (DispAddInput(0, g_pipe[0], INPUT_READ, on_pipe, nullptr) == 0) {
        close(g_pipe[0]);
        close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
        return -1;
    }
    g_cb = cb;
    set_handlers(on_signal);
    struct sigaction ign;
    memset(&ign, 0, sizeof ign);
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, nullptr);
    return 0;
}

OFHOST_API void ofhost_signals_remove(void) {
    if (g_pipe[0] < 0) return;
    set_handlers(SIG_DFL);
    DispRemoveInput(0, g_pipe[0], INPUT_READ);
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
    g_cb = nullptr;
}

}  // extern "C"
