// Level-triggered epoll dispatcher. One epoll registration per descriptor carries the union of
// its read and write interests. Every interest gets a fresh, process-unique handle; a ready
// event is delivered only if the handle it was collected for is still the registered one, so
// a callback may remove interests, close descriptors and free records (its own or others')
// without a stale event of the same batch reaching them, even if a descriptor number is
// reused within the batch.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "ofhost.h"
#include "ofplatform.h"

#pragma GCC visibility push(default)

namespace {

struct Interest {
    uint32_t handle;  // 0: not registered
    disp_input_cb cb;
    void *data;
};

struct Slot {
    Interest rd;
    Interest wr;
};

struct Ready {
    int fd;
    uint32_t events;
    uint32_t rd_handle;
    uint32_t wr_handle;
};

constexpr int kBatch = 64;

int g_epfd = -1;
Slot *g_slots = nullptr;
size_t g_nslots = 0;
uint32_t g_next_handle = 0;
uint32_t g_registered = 0;

bool ensure_epoll() {
    if (g_epfd >= 0) return true;
    g_epfd = epoll_create1(EPOLL_CLOEXEC);
    return g_epfd >= 0;
}

Slot *slot_for(int fd, bool grow) {
    if (fd < 0) return nullptr;
    size_t idx = static_cast<size_t>(fd);
    if (idx < g_nslots) return &g_slots[idx];
    if (!grow) return nullptr;
    size_t n = g_nslots ? g_nslots : 64;
    while (n <= idx)
        n *= 2;
    void *p = realloc(g_slots, n * sizeof(Slot));
    if (p == nullptr) return nullptr;
    g_slots = static_cast<Slot *>(p);
    memset(g_slots + g_nslots, 0, (n - g_nslots) * sizeof(Slot));
    g_nslots = n;
    return &g_slots[idx];
}

uint32_t mask_of(const Slot &s) {
    uint32_t m = 0;
    if (s.rd.handle) m |= EPOLLIN | EPOLLRDHUP;
    if (s.wr.handle) m |= EPOLLOUT;
    return m;
}

uint32_t new_handle() {
    if (++g_next_handle == 0) g_next_handle = 1;  // 0 means "not registered"
    return g_next_handle;
}

// Brings the kernel registration of fd in line with the slot; op chosen from before/after.
bool sync_epoll(int fd, uint32_t before, uint32_t after) {
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = after;
    ev.data.fd = fd;
    if (before == 0 && after == 0) return true;
    if (before == 0) return epoll_ctl(g_epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
    if (after == 0) {
        // The descriptor may already be closed, which removed it from the set.
        return epoll_ctl(g_epfd, EPOLL_CTL_DEL, fd, &ev) == 0 || errno == EBADF || errno == ENOENT;
    }
    return epoll_ctl(g_epfd, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void deliver(const Ready &r) {
    Slot *s = slot_for(r.fd, false);
    const uint32_t rd_ev = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
    const uint32_t wr_ev = EPOLLOUT | EPOLLHUP | EPOLLERR;
    if (s && r.rd_handle && (r.events & rd_ev) && s->rd.handle == r.rd_handle)
        s->rd.cb(s->rd.data, r.fd);
    // The read callback may have grown (moved) the table.
    s = slot_for(r.fd, false);
    if (s && r.wr_handle && (r.events & wr_ev) && s->wr.handle == r.wr_handle)
        s->wr.cb(s->wr.data, r.fd);
}

}  // namespace

extern "C" {

uint32_t DispAddInput(uint32_t disp_id, int fd, uint32_t interest, disp_input_cb callback,
                      void *data) {
    (void)disp_id;  // one dispatcher per process
    if (callback == nullptr || (interest != INPUT_READ && interest != INPUT_WRITE)) return 0;
    if (!ensure_epoll()) return 0;
    Slot *s = slot_for(fd, true);
    if (s == nullptr) return 0;
    Interest &in = interest == INPUT_READ ? s->rd : s->wr;
    uint32_t before = mask_of(*s);
    Interest saved = in;
    in.handle = new_handle();
    in.cb = callback;
    in.data = data;
    if (!sync_epoll(fd, before, mask_of(*s))) {
        in = saved;
        return 0;
    }
    if (before == 0) g_registered++;
    return in.handle;
}

int DispRemoveInput(uint32_t disp_id, int fd, uint32_t interest) {
    (void)disp_id;
    Slot *s = slot_for(fd, false);
    if (s == nullptr || (interest != INPUT_READ && interest != INPUT_WRITE)) return 0;
    Interest &in = interest == INPUT_READ ? s->rd : s->wr;
    if (in.handle == 0) return 0;
    uint32_t before = mask_of(*s);
    in.handle = 0;
    in.cb = nullptr;
    in.data = nullptr;
    uint32_t after = mask_of(*s);
    sync_epoll(fd, before, after);  // the table is the truth; a failed MOD only over-reports
    if (after == 0) g_registered--;
    return 1;
}

int ofhost_disp_wait(int timeout_ms) {
    if (!ensure_epoll()) return -1;
    struct epoll_event evs[kBatch];
    int n = epoll_wait(g_epfd, evs, kBatch, timeout_ms);
    if (n < 0) return errno == EINTR ? 0 : -1;
    // Collect the handles first: callbacks may change the table while the batch runs.
    Ready ready[kBatch];
    for (int i = 0; i < n; i++) {
        Slot *s = slot_for(evs[i].data.fd, false);
        ready[i].fd = evs[i].data.fd;
        ready[i].events = evs[i].events;
        ready[i].rd_handle = s ? s->rd.handle : 0;
        ready[i].wr_handle = s ? s->wr.handle : 0;
    }
    for (int i = 0; i < n; i++)
        deliver(ready[i]);
    return n;
}

uint32_t ofhost_disp_count(void) {
    return g_registered;
}

}  // extern "C"

#pragma GCC visibility pop
