// Event loop for host programs: dispatcher rounds plus one-shot and periodic timers on
// CLOCK_MONOTONIC. Timers live in a singly linked list; a cancelled timer is only marked and
// unlinked between rounds, so cancelling from inside any callback is safe. Reading the clock
// costs about as much as a small system call on some virtual machines, so a round reads it once
// (after the wait; the next wait starts from that reading unless a timer ran meanwhile), and
// not at all while no timer is pending.
#include <stdlib.h>
#include <time.h>

#include "ofhost.h"

namespace {

struct Timer {
    Timer *next;
    uint32_t id;
    uint32_t period_ms;  // 0 for a one-shot timer
    uint64_t due_ms;
    ofhost_timer_cb cb;
    void *arg;
    bool dead;
};

Timer *g_timers = nullptr;
uint32_t g_live = 0;  // timers neither cancelled nor fired once and for all
uint32_t g_next_id = 0;
bool g_stop = false;
int g_depth = 0;  // nested run_due passes: reap only in the outermost

uint64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void reap() {
    Timer **pp = &g_timers;
    while (*pp) {
        Timer *t = *pp;
        if (t->dead) {
            *pp = t->next;
            free(t);
        } else {
            pp = &t->next;
        }
    }
}

// Milliseconds from now until the next live timer, capped by limit (-1: no limit).
int wait_limit(int limit, uint64_t now) {
    int best = limit;
    for (Timer *t = g_timers; t; t = t->next) {
        if (t->dead) continue;
        uint64_t d = t->due_ms > now ? t->due_ms - now : 0;
        if (d > 0x7fffffff) d = 0x7fffffff;
        if (best < 0 || static_cast<int>(d) < best) best = static_cast<int>(d);
    }
    return best;
}

int run_due(uint64_t now) {
    int ran = 0;
    g_depth++;
    // Timers added by a callback are put at the head and so are not reached in this pass.
    for (Timer *t = g_timers; t; t = t->next) {
        if (t->dead || t->due_ms > now) continue;
        if (t->period_ms) {
            t->due_ms = now + t->period_ms;
        } else {
            t->dead = true;
            g_live--;
        }
        t->cb(t->arg);
        ran++;
    }
    if (--g_depth == 0) reap();
    return ran;
}

// One round: the wait, its callbacks, the timers due. *now is the clock read at the end of the
// round before when nothing has run since, else 0; on return the same for the next round.
int loop_round(int timeout_ms, uint64_t *now) {
    int limit = timeout_ms;
    if (g_live) limit = wait_limit(timeout_ms, *now ? *now : now_ms());
    int n = ofhost_disp_wait(limit);
    *now = 0;
    if (n < 0) return -1;
    if (g_live == 0) {
        if (g_timers && g_depth == 0) reap();
        return n;
    }
    uint64_t t = now_ms();
    int ran = run_due(t);
    if (ran == 0) *now = t;
    return n + ran;
}

}  // namespace

extern "C" {

OFHOST_API uint32_t ofhost_timer_add(uint32_t ms, int periodic, ofhost_timer_cb cb, void *arg) {
    if (cb == nullptr) return 0;
    Timer *t = static_cast<Timer *>(calloc(1, sizeof(Timer)));
    if (t == nullptr) return 0;
    if (++g_next_id == 0) g_next_id = 1;
    t->id = g_next_id;
    t->period_ms = periodic ? (ms ? ms : 1) : 0;
    t->due_ms = now_ms() + ms;
    t->cb = cb;
    t->arg = arg;
    t->next = g_timers;
    g_timers = t;
    g_live++;
    return t->id;
}

OFHOST_API int ofhost_timer_cancel(uint32_t id) {
    for (Timer *t = g_timers; t; t = t->next) {
        if (t->id == id && !t->dead) {
            t->dead = true;
            g_live--;
            return 1;
        }
    }
    return 0;
}

OFHOST_API int ofhost_loop_run_once(int timeout_ms) {
    uint64_t now = 0;  // the caller may have run for a while since the last round
    return loop_round(timeout_ms, &now);
}

OFHOST_API void ofhost_loop_run(void) {
    g_stop = false;
    uint64_t now = 0;
    while (!g_stop) {
        if (loop_round(-1, &now) < 0) break;
    }
}

OFHOST_API void ofhost_loop_stop(void) {
    g_stop = true;
}

}  // extern "C"
