// List utility: a growable array of item pointers, in insertion order. ListGet(FIRST) rewinds
// the walk and returns the first item without consuming it; each ListGet(NEXT) then returns
// the item at the cursor and advances. A walk is FIRST followed by NEXTs, and NEXT alone
// visits every item once. Removing an item before the cursor moves the cursor back with it,
// so the walk neither skips nor repeats items while the caller removes what it is given.
#include <stdlib.h>
#include <string.h>

#include "ofplatform.h"

struct oflist {
    void **items;
    uint32_t count;
    uint32_t cap;
    uint32_t cursor;  // index of the next item a NEXT returns
};

#pragma GCC visibility push(default)

extern "C" {

oflist *ListCreate(void) {
    return static_cast<oflist *>(calloc(1, sizeof(oflist)));
}

int ListInsert(oflist *list, void *item) {
    if (list == nullptr) return 0;
    if (list->count == list->cap) {
        uint32_t cap = list->cap ? list->cap * 2 : 16;
        void *p = realloc(list->items, cap * sizeof(void *));
        if (p == nullptr) return 0;
        list->items = static_cast<void **>(p);
        list->cap = cap;
    }
    list->items[list->count++] = item;
    return 1;
}

int ListRemove(oflist *list, void *item) {
    if (list == nullptr) return 0;
    for (uint32_t i = 0; i < list->count; i++) {
        if (list->items[i] != item) continue;
        memmove(&list->items[i], &list->items[i + 1], (list->count - i - 1) * sizeof(void *));
        list->count--;
        if (i < list->cursor) list->cursor--;
        if (list->count == 0) {  // an empty list holds no storage: free(list) releases it all
            free(list->items);
            list->items = nullptr;
            list->cap = 0;
        }
        return 1;
    }
    return 0;
}

void *ListGet(oflist *list, int op) {
    if (list == nullptr) return nullptr;
    if (op == LIST_GET_FIRST) {
        list->cursor = 0;
        return list->count ? list->items[0] : nullptr;
    }
    if (op != LIST_GET_NEXT || list->cursor >= list->count) return nullptr;
    return list->items[list->cursor++];
}

uint32_t ListEntries(oflist *list) {
    return list ? list->count : 0;
}

}  // extern "C"

#pragma GCC visibility pop
