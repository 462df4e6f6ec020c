// Queue service: an intrusive circular doubly linked list whose head is an element too. A
// zero-filled head (never initialised) reads as empty.
#include "ofplatform.h"

#pragma GCC visibility push(default)

extern "C" {

void embq_init(embq *q) {
    q->next = q;
    q->prev = q;
}

uint8_t embq_is_empty(embq *q) {
    return (q->next == nullptr || q->next == q) ? 1 : 0;
}

void embq_enqueue(embq *q, embq *elem) {
    if (q->next == nullptr) embq_init(q);
    elem->prev = q->prev;
    elem->next = q;
    q->prev->next = elem;
    q->prev = elem;
}

void embq_requeue(embq *q, embq *elem) {
    if (q->next == nullptr) embq_init(q);
    elem->next = q->next;
    elem->prev = q;
    q->next->prev = elem;
    q->next = elem;
}

embq *embq_dqueue(embq *q) {
    if (embq_is_empty(q)) return nullptr;
    embq *e = q->next;
    q->next = e->next;
    e->next->prev = q;
    e->next = e;
    e->prev = e;
    return e;
}

}  // extern "C"

#pragma GCC visibility pop
