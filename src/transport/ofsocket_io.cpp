// Connection input and output: receive framing (header, then exactly the announced length),
// the send queue with requeue on partial writes, and the event machine. The layer knows the
// manager that owns a connection only through that connection type's row of ofconn_owners.
//
// The host's callbacks run nested inside this layer and may call back into it: a connection can
// go down while its owner's receive callback runs (the host's reply meets EPIPE, or the host
// disconnects or stops the server from inside the callback), and the host can ask again for the
// end of a connection whose teardown is telling it of that end. A frame marks each connection
// whose owner is being called: while a message is handed over, a teardown closes the socket and
// drops the send queue at once and leaves the rest (buffer, record, the owner's down event) until
// the callback has returned; while the owner hears of the end, a second teardown does nothing. So
// every connection ends exactly once. The receive engine does not run for a connection whose
// message is being handed over (the host may run the event loop inside its callback, to wait
// for something): reading on would hand the same message over again and clear its buffer under
// the callback. The read interest is held back until the callback returns instead, so that a
// level-triggered dispatcher does not wake the nested loop again and again for it.
#include "ofconn.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cstddef>

#include "../support/oflog_internal.hpp"
#include "ofconn_internal.hpp"

#ifdef OFAGENT_TLS
#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#endif

namespace {

// A connection whose owner is being called: its message is being handed over, or its teardown
// is telling the owner. Frames nest as the calls do (a callback may run the event loop itself).
struct Frame {
    Frame *outer;
    ofconn *conn;
    bool down;       // the connection is going down: its socket is closed already
    bool read_held;  // a nested readiness removed the read interest until the frame ends
};

Frame *g_frames = nullptr;

// The owner's row, or null for a type without one.
const ofagent::ConnOwner *owner_of(const ofconn *conn) {
    using ofagent::ofconn_owners;
    bool known = conn->type <= OFCONN_TYPE_SERVER && ofconn_owners[conn->type].connection_down;
    return known ? &ofconn_owners[conn->type] : nullptr;
}

Frame *frame_of(const ofconn *conn) {
    for (Frame *f = g_frames; f; f = f->outer)
        if (f->conn == conn) return f;
    return nullptr;
}

bool closing(const ofconn *conn) {
    const Frame *frame = frame_of(conn);
    return frame != nullptr && frame->down;
}

const char *ofconn_peer_name(const ofconn *conn) {
    return conn->sock ? ofsocket_print_addr(conn->sock->addr) : "null";
}

const char *ofconn_event_to_string(uint32_t event) {
    switch (event) {
        case OFCONN_CONNECTION_UP:
            return "OFCONN_CONNECTION_UP";
        case OFCONN_CONNECTION_DOWN:
            return "OFCONN_CONNECTION_DOWN";
        case OFCONN_BLOCKED_ON_WRITE:
            return "OFCONN_BLOCKED_ON_WRITE";
        case OFCONN_CONNECTION_DESTROY:
            return "OFCONN_CONNECTION_DESTROY";
        default:
            return "unknown";
    }
}

// ---- Buffers -------------------------------------------------------------------------------

ofbuf *ofbuf_alloc(uint32_t n) {
    ofbuf *b = static_cast<ofbuf *>(calloc(1, offsetof(ofbuf, data) + n));
    if (b != nullptr) b->size = n;
    return b;
}

ofbuf *ofbuf_create_tx(const uint8_t *bytes, uint32_t n) {
    ofbuf *b = ofbuf_alloc(n);
    if (b == nullptr) return nullptr;
    b->rem_write_size = n;
    if (n) memcpy(b->data, bytes, n);
    b->write_ptr = b->data;
    embq_init(&b->link);
    return b;
}

// Between messages the buffer is all zero, and only its first read_size bytes have been
// written since, so only they are cleared (a new buffer comes zero-filled from calloc).
void ofbuf_read_reset(ofbuf *b) {
    memset(b->data, 0, b->read_size);
    b->read_size = 0;
    b->reading_hdr = 1;
    b->read_ptr = b->data;
}

void ofbuf_write_pull(ofbuf *obuf, uint32_t size) {
    assert(obuf->rem_write_size >= size);
    obuf->rem_write_size -= size;
    obuf->write_ptr += size;
}

void ofbuf_free(ofbuf *b) {
    free(b);
}

// The link is the first member, so the queue element's address is the buffer's.
ofbuf *as_buf(embq *e) {
    return reinterpret_cast<ofbuf *>(e);
}

void ofconn_txq_enqueue(ofconn *conn, ofbuf *b) {
    conn->tx_queue_len++;
    embq_enqueue(&conn->tx_queue, &b->link);
}

ofbuf *ofconn_txq_dequeue(ofconn *conn) {
    ofbuf *b = as_buf(embq_dqueue(&conn->tx_queue));
    conn->tx_queue_len--;
    return b;
}

void ofconn_txq_requeue(ofconn *conn, ofbuf *b) {
    conn->tx_queue_len++;
    embq_requeue(&conn->tx_queue, &b->link);
}

void drop_tx_queue(ofconn *conn) {
    while (!embq_is_empty(&conn->tx_queue))
        ofbuf_free(ofconn_txq_dequeue(conn));
}

// ---- The stream, TLS or plain --------------------------------------------------------------

// The three stream failures whose line differs between TLS and plain connections: a TLS line
// adds wolfSSL's error and is always ERRS.
struct StreamFault {
    const char *what;
    const char *plain_err;  // a plain line's text between what and the Linux error
    int plain_level;
};

constexpr StreamFault kWriteFailed{"write to socket failed", " - err : ", OFLOG_ERRS};
constexpr StreamFault kPeerClosed{"****** Remote peer closed the socket", ", err:", OFLOG_INFO};
constexpr StreamFault kReadFailed{"socket read failed", ", err:", OFLOG_ERRS};

// Logs the fault as a line of the calling function (through LOG_STREAM_FAULT): the peer, the
// TLS error when there is one, and errno err.
void log_stream_fault(const char *func, int line, ofconn *conn, const StreamFault &fault, int err) {
#ifdef OFAGENT_TLS
    if (conn->ssl) {
        int code = wolfSSL_get_error(conn->ssl, 0);
        char text[WOLFSSL_MAX_ERROR_SZ > 80 ? WOLFSSL_MAX_ERROR_SZ : 80];
        wolfSSL_ERR_error_string(static_cast<unsigned long>(code), text);
        OFLOG_AT(func, line, OFLOG_ERRS, "<%s> %s - SSL error %s(%d), Linux error %s(%d)",
                 ofconn_peer_name(conn), fault.what, text, code, strerror(err), err);
        return;
    }
#endif
    OFLOG_AT(func, line, fault.plain_level, "<%s> %s%s%s(%d)", ofconn_peer_name(conn), fault.what,
             fault.plain_err, strerror(err), err);
}

#define LOG_STREAM_FAULT(conn, fault, err) log_stream_fault(__func__, __LINE__, conn, fault, err)

bool tls_pending(ofconn *conn) {
#ifdef OFAGENT_TLS
    return conn->ssl != nullptr && wolfSSL_pending(conn->ssl) > 0;
#else
    (void)conn;
    return false;
#endif
}

long stream_write(ofconn *conn, const uint8_t *p, uint32_t n) {
#ifdef OFAGENT_TLS
    if (conn->ssl) return wolfSSL_write(conn->ssl, p, static_cast<int>(n));
#endif
    // send with MSG_NOSIGNAL: a vanished peer gives EPIPE instead of killing the host.
    return send(conn->sock->socket_fd, p, n, MSG_NOSIGNAL);
}

long stream_read(ofconn *conn, uint8_t *p, uint32_t n) {
#ifdef OFAGENT_TLS
    if (conn->ssl) return wolfSSL_read(conn->ssl, p, static_cast<int>(n));
#endif
    return read(conn->sock->socket_fd, p, n);
}

// ---- Event machine -----------------------------------------------------------------------

// Without memory for the receive buffer the connection cannot work: its owner sees rx_buf null
// and ends it.
void ofconn_handle_connection_up(ofconn *conn) {
    conn->rx_buf = ofbuf_alloc(conn->cfg.rx_buf_size);
    if (conn->rx_buf != nullptr)
        ofbuf_read_reset(conn->rx_buf);
    else
        OFLOG(OFLOG_ERRS, "<%s> no memory for a receive buffer of %u bytes", ofconn_peer_name(conn),
              conn->cfg.rx_buf_size);
    embq_init(&conn->tx_queue);
}

void close_stream(ofconn *conn) {
    drop_tx_queue(conn);
    if (conn->sock && conn->sock->socket_fd != -1) ofsocket_close(conn->sock);
}

void ofconn_handle_connection_down(ofconn *conn) {
    if (Frame *frame = frame_of(conn)) {
        // Its message is being handed over (the teardown finishes once that returns), or the
        // owner is hearing of its end already.
        if (!frame->down) close_stream(conn);
        frame->down = true;
        return;
    }
    ofbuf_free(conn->rx_buf);
    conn->rx_buf = nullptr;
    close_stream(conn);
    Frame frame{g_frames, conn, true, false};
    g_frames = &frame;
    if (const ofagent::ConnOwner *owner = owner_of(conn))
        owner->connection_down(conn);
    else
        assert(0);
    g_frames = frame.outer;  // the record is freed by now
}

// Hands the complete message to the owner. False when the connection went down meanwhile
// (it is freed then).
bool ofconn_dispatch_rx_msg(ofconn *conn) {
    Frame frame{g_frames, conn, false, false};
    g_frames = &frame;
    const uint8_t *data = conn->rx_buf->data;
    int32_t len = static_cast<int32_t>(conn->rx_buf->read_size);
    if (const ofagent::ConnOwner *owner = owner_of(conn)) owner->dispatch_rx(conn, data, len);
    g_frames = frame.outer;
    if (frame.down) {
        ofconn_handle_connection_down(conn);
        return false;
    }
    if (frame.read_held) ofsocket_reenable_receive(conn->sock);
    ofbuf_read_reset(conn->rx_buf);
    return true;
}

// ---- Engines -------------------------------------------------------------------------------

void log_no_send_buffer(const char *func, int line, ofconn *conn, uint32_t length) {
    OFLOG_AT(func, line, OFLOG_ERRS, "<%s> no memory for a send buffer of %u bytes",
             ofconn_peer_name(conn), static_cast<unsigned>(length));
}

// Writes the queue out, or, with direct set (the queue is empty then), the caller's message
// straight from its bytes: the copy a queued message needs is made only if the socket does not
// take the message at once.
int ofconn_tx(ofconn *conn, const uint8_t *direct = nullptr, uint32_t direct_len = 0) {
    while (direct != nullptr || !embq_is_empty(&conn->tx_queue)) {
        ofbuf *b = direct ? nullptr : ofconn_txq_dequeue(conn);
        const uint32_t rem = b ? b->rem_write_size : direct_len;
        long n = stream_write(conn, b ? b->write_ptr : direct, rem);
        int err = errno;
        if (n == static_cast<long>(rem)) {
            ofbuf_free(b);
            direct = nullptr;
            continue;
        }
        if (b == nullptr && (n >= 0 || err == EAGAIN || err == EINTR)) {
            b = ofbuf_create_tx(direct, direct_len);  // the rest waits in the queue
            if (b == nullptr) {
                log_no_send_buffer(__func__, __LINE__, conn, direct_len);
                // Part of the message is on the wire and the rest cannot follow.
                if (n > 0) ofconn_event_handler(conn, OFCONN_CONNECTION_DOWN);
                return 0;
            }
        }
        if (n >= 0) {
            ofconn_txq_requeue(conn, b);
            ofbuf_write_pull(b, static_cast<uint32_t>(n));
            OFLOG(OFLOG_DBUG, "<%s> write blocked, requested:%zu, sent:%zu", ofconn_peer_name(conn),
                  static_cast<size_t>(b->rem_write_size), static_cast<size_t>(n));
            ofconn_event_handler(conn, OFCONN_BLOCKED_ON_WRITE);
            return 0;
        }
        if (err == EAGAIN || err == EINTR) {
            OFLOG(OFLOG_DBUG, "<%s> write failed, error = %d(%s) - try again later",
                  ofconn_peer_name(conn), err, strerror(err));
            ofconn_txq_requeue(conn, b);
            ofconn_event_handler(conn, OFCONN_BLOCKED_ON_WRITE);
            return 0;
        }
        if (err == EPIPE) {
            OFLOG(OFLOG_INFO, "<%s> Remote peer closed the socket, err:%d", ofconn_peer_name(conn),
                  err);
            ofbuf_free(b);
            ofconn_event_handler(conn, OFCONN_CONNECTION_DOWN);
            return 0;
        }
        LOG_STREAM_FAULT(conn, kWriteFailed, err);
        ofbuf_free(b);
        return 0;
    }
    return 1;
}

// Reads until it has to wait; finishes at most one message with a body (more under TLS while
// decrypted bytes wait inside wolfSSL, which the socket's readiness would not announce) and
// any number of header-only messages. Never reads past the current message.
void ofconn_rx(ofconn *conn) {
    if (Frame *frame = frame_of(conn)) {  // called from inside the owner's callback
        if (!frame->down && conn->sock->read_input != 0) {
            ofsocket_disable_receive(conn->sock);
            frame->read_held = true;
        }
        return;
    }
    ofbuf *b = conn->rx_buf;
    if (b == nullptr) {  // the receive buffer could not be allocated: unusable
        ofconn_event_handler(conn, OFCONN_CONNECTION_DOWN);
        return;
    }
    for (;;) {
        uint32_t wanted;
        if (b->reading_hdr) {
            wanted = conn->cfg.hdr_len - b->read_size;
        } else {
            int32_t total = conn->cfg.msg_len(b->data);
            if (total == -1) {
                ofconn_event_handler(conn, OFCONN_CONNECTION_DOWN);
                return;
            }
            wanted = static_cast<uint32_t>(total) - b->read_size;
            if (wanted == 0) {
                if (!ofconn_dispatch_rx_msg(conn)) return;
                continue;
            }
        }
        if (b->size - b->read_size < wanted) {
            OFLOG(OFLOG_ERRS, "<%s> invalid length: %d", ofconn_peer_name(conn),
                  static_cast<int32_t>(wanted));
            ofconn_event_handler(conn, OFCONN_CONNECTION_DOWN);
            return;
        }
        long n = stream_read(conn, b->read_ptr, wanted);
        int err = errno;
        if (n == 0 || (n < 0 && err != EAGAIN)) {
            LOG_STREAM_FAULT(conn, kPeerClosed, err);
            ofconn_event_handler(conn, OFCONN_CONNECTION_DOWN);
            return;
        }
        if (n < 0) {  // EAGAIN: nothing to read now
            LOG_STREAM_FAULT(conn, kReadFailed, err);
            return;
        }
        b->read_size += static_cast<uint32_t>(n);
        b->read_ptr = b->data + b->read_size;
        if (static_cast<uint32_t>(n) < wanted) {
            OFLOG(OFLOG_DBUG, "<%s> socket read blocked, wanted:%zu, read:%zu",
                  ofconn_peer_name(conn), static_cast<size_t>(wanted), static_cast<size_t>(n));
            if (tls_pending(conn)) continue;
            return;
        }
        if (b->reading_hdr) {
            b->reading_hdr = 0;
            continue;
        }
        if (!ofconn_dispatch_rx_msg(conn)) return;
        if (!tls_pending(conn)) return;
    }
}

}  // namespace

bool ofagent::ofconn_closing(const ofconn *conn) {
    return closing(conn);
}

void ofagent::ofconn_teardown(ofconn *conn) {
    ofconn_handle_connection_down(conn);
}

ofagent::ConnOwner ofagent::ofconn_owners[OFCONN_TYPE_SERVER + 1];

extern "C" {

void ofconn_init(ofconn *conn, uint32_t type, const ofconn_cfg *cfg, ofsocket *sock,
                 struct WOLFSSL *ssl) {
    conn->cfg = *cfg;
    conn->type = type;
    conn->sock = sock;
    conn->ssl = ssl;
    ofsocket_set_data(sock, conn);
}

void ofconn_event_handler(ofconn *conn, uint32_t event) {
    OFLOG(OFLOG_DBUG, "<%s>: Rcvd event:%s ", ofconn_peer_name(conn),
          ofconn_event_to_string(event));
    switch (event) {
        case OFCONN_CONNECTION_UP:
            ofconn_handle_connection_up(conn);
            break;
        case OFCONN_BLOCKED_ON_WRITE:
            ofsocket_set_write(conn->sock, ofconn_send_wakeup);
            ofsocket_reenable_write(conn->sock);
            break;
        case OFCONN_CONNECTION_DOWN:
        case OFCONN_CONNECTION_DESTROY:
            ofconn_handle_connection_down(conn);
            break;
        default:
            assert(0);
    }
}

int ofconn_send(ofconn *conn, const uint8_t *bytes, uint32_t length) {
    if (closing(conn)) return 0;  // its socket is closed already
    if (embq_is_empty(&conn->tx_queue)) return ofconn_tx(conn, bytes, length);
    ofbuf *b = ofbuf_create_tx(bytes, length);
    if (b == nullptr) {
        log_no_send_buffer(__func__, __LINE__, conn, length);
        return 0;
    }
    ofconn_txq_enqueue(conn, b);
    return ofconn_tx(conn);
}

int ofconn_send_wakeup(ofsocket *sock) {
    ofconn *conn = static_cast<ofconn *>(ofsocket_get_data(sock));
    ofsocket_disable_write(sock);
    return ofconn_tx(conn);
}

int ofconn_recv(ofsocket *sock) {
    ofconn_rx(static_cast<ofconn *>(ofsocket_get_data(sock)));
    return 0;
}

}  // extern "C"
