/*
 * The reference host platform's own API: an epoll event loop with timers and signals for host
 * programs.
 * The dispatcher, queue and list contracts the library relies on are in ofplatform.h.
 * Single-threaded: call everything from the loop's thread.
 */
#ifndef OFHOST_H
#define OFHOST_H

#include <stdint.h>

#include "ofplatform.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define OFHOST_API __attribute__((visibility("default")))
#else
#define OFHOST_API
#endif

typedef void (*ofhost_timer_cb)(void *arg);

/* Waits up to timeout_ms (-1: without limit) for ready descriptors and calls their
 * callbacks. Returns the number of callbacks run, or -1 when the wait failed. The dispatcher
 * has one instance per process: the disp_id of DispAddInput/DispRemoveInput is ignored. */
OFHOST_API int ofhost_disp_wait(int timeout_ms);
/* Number of descriptors with at least one registered interest. */
OFHOST_API uint32_t ofhost_disp_count(void);

/* One round: waits for descriptors up to timeout_ms or until the next timer is due, whichever
 * comes first, then runs due timers. Returns the number of callbacks run, -1 on failure. */
OFHOST_API int ofhost_loop_run_once(int timeout_ms);
/* Runs rounds until ofhost_loop_stop is called (from a callback). */
OFHOST_API void ofhost_loop_run(void);
OFHOST_API void ofhost_loop_stop(void);

/* A timer on CLOCK_MONOTONIC, first due after ms milliseconds, then every ms milliseconds if
 * periodic. Returns a non-zero id, 0 when memory is exhausted. */
OFHOST_API uint32_t ofhost_timer_add(uint32_t ms, int periodic, ofhost_timer_cb cb, void *arg);
/* 1 when the timer existed; safe from inside any callback, the timer's own included. */
OFHOST_API int ofhost_timer_cancel(uint32_t id);

/* Signals as loop events. SIGINT, SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 are caught and written
 * to a self-pipe that the dispatcher watches, so cb(signo) runs on the loop's thread between
 * other callbacks (never inside a library call) and may call anything; SIGPIPE is ignored, so
 * a write to a closed socket fails with EPIPE instead of ending the process. One helper per
 * process: 0 on success, -1 when it is installed already or the pipe cannot be made. */
typedef void (*ofhost_signal_cb)(int signo);
OFHOST_API int ofhost_signals_install(ofhost_signal_cb cb);
/* Restores the default actions (SIGPIPE stays ignored) and closes the pipe; safe from inside
 * the callback. */
OFHOST_API void ofhost_signals_remove(void);

#ifdef __cplusplus
}
#endif

#endif /* OFHOST_H */
