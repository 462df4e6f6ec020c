// The reference host platform: the dispatcher's contract (level-triggered, independent
// interests, safe removal inside callbacks), timers, the queue service and the list walk.
#include "harness.hpp"

namespace {

struct Pair {
    int a = -1, b = -1;  // a is watched, b is the peer end
    Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) a = sv[0], b = sv[1];
    }
    ~Pair() {
        close(a);
        close(b);
    }
};

void count_cb(void *data, int) {
    (*static_cast<int *>(data))++;
}

TEST(Dispatcher, ReadyInterestsAreReportedAgainUntilRemovedOrDrainedEachOnItsOwn) {
    Pair p;
    int reads = 0, writes = 0;
    char c;
    uint32_t before = ofhost_disp_count();
    uint32_t hw = DispAddInput(0, p.a, INPUT_WRITE, count_cb, &writes);
    uint32_t hr = DispAddInput(0, p.a, INPUT_READ, count_cb, &reads);
    EXPECT_TRUE(hw != 0 && hr != 0 && hw != hr);
    EXPECT_EQ(ofhost_disp_count(), before + 1);  // one registration per descriptor
    ofhost_disp_wait(50);
    EXPECT_TRUE(writes == 1 && reads == 0);
    ASSERT_EQ(write(p.b, "x", 1), 1);
    EXPECT_EQ(DispRemoveInput(0, p.a, INPUT_WRITE), 1);
    ofhost_disp_wait(50);
    ofhost_disp_wait(50);
    EXPECT_TRUE(writes == 1 && reads == 2);  // level-triggered: still readable
    ASSERT_EQ(read(p.a, &c, 1), 1);
    ofhost_disp_wait(20);
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(DispRemoveInput(0, p.a, INPUT_READ), 1);
    EXPECT_EQ(DispRemoveInput(0, p.a, INPUT_READ), 0);
    EXPECT_EQ(ofhost_disp_count(), before);
    EXPECT_EQ(DispAddInput(0, -1, INPUT_READ, count_cb, &reads), 0u);
    EXPECT_EQ(DispAddInput(0, 0, 3, count_cb, &reads), 0u);
    EXPECT_EQ(DispAddInput(0, 0, INPUT_READ, nullptr, &reads), 0u);
    EXPECT_EQ(DispRemoveInput(0, 100000, INPUT_READ), 0);
}

// Two ready descriptors in one batch; whichever callback runs first removes both interests,
// closes both descriptors and frees both records, then registers fresh, unreadable descriptors
// under the same numbers. The other's stale event must reach nobody.
Pair *g_pairs[2], *g_fresh = nullptr;
int g_fresh_calls = 0;
void killer_cb(void *data, int fd) {
    EXPECT_EQ(fd, static_cast<Pair *>(data)->a);
    for (Pair *&p : g_pairs) {
        EXPECT_EQ(DispRemoveInput(0, p->a, INPUT_READ), 1);
        delete p;
        p = nullptr;
    }
    g_fresh = new Pair[2];  // descriptors take the lowest free numbers: the four just closed
    for (int i = 0; i < 2; i++)
        DispAddInput(
            0, g_fresh[i].a, INPUT_READ, [](void *, int) { g_fresh_calls++; }, nullptr);
}

TEST(Dispatcher, CallbackMayRemoveCloseAndFreeWhileOthersWaitInTheBatch) {
    for (Pair *&p : g_pairs) {
        p = new Pair();
        ASSERT_EQ(write(p->b, "x", 1), 1);
        ASSERT_NE(DispAddInput(0, p->a, INPUT_READ, killer_cb, p), 0u);
    }
    EXPECT_EQ(ofhost_disp_wait(200), 2);  // both were ready in the same batch
    ofhost_disp_wait(20);
    EXPECT_EQ(g_fresh_calls, 0);
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(DispRemoveInput(0, g_fresh[i].a, INPUT_READ), 1);
    delete[] g_fresh;
}

int g_ticks = 0;
uint32_t g_self_id = 0;
void tick(void *) {
    g_ticks++;
}

TEST(Loop, TimersFireOnceOrPeriodicallyAndCancelInsideTheirCallback) {
    ASSERT_NE(ofhost_timer_add(10, 0, tick, nullptr), 0u);
    th::run_for(80);
    EXPECT_EQ(g_ticks, 1);
    g_ticks = 0;
    uint32_t id = ofhost_timer_add(10, 1, tick, nullptr);
    th::run_for(120);
    EXPECT_GE(g_ticks, 3);
    EXPECT_EQ(ofhost_timer_cancel(id), 1);
    int seen = g_ticks;
    th::run_for(40);
    EXPECT_EQ(g_ticks, seen);
    EXPECT_EQ(ofhost_timer_cancel(id), 0);
    g_ticks = 0;
    g_self_id = ofhost_timer_add(
        5, 1,
        [](void *) {
            g_ticks++;
            EXPECT_EQ(ofhost_timer_cancel(g_self_id), 1);
        },
        nullptr);
    th::run_for(60);
    EXPECT_EQ(g_ticks, 1);
}

TEST(Queue, ZeroHeadIsEmptyAndRequeuePutsInFront) {
    embq q = {}, e[3];
    EXPECT_EQ(embq_is_empty(&q), 1);
    EXPECT_EQ(embq_dqueue(&q), nullptr);
    for (auto &x : e)
        embq_init(&x);
    embq_enqueue(&q, &e[0]);  // works on a zero head too
    embq_enqueue(&q, &e[1]);
    EXPECT_EQ(embq_is_empty(&q), 0);
    EXPECT_EQ(embq_dqueue(&q), &e[0]);
    embq_requeue(&q, &e[2]);
    EXPECT_EQ(embq_dqueue(&q), &e[2]);
    EXPECT_EQ(embq_dqueue(&q), &e[1]);
    EXPECT_EQ(embq_is_empty(&q), 1);
}

TEST(List, WalkVisitsEachOnceAndSurvivesRemovingWhatItReturns) {
    oflist *l = ListCreate();
    int items[5];
    for (int &i : items)
        ASSERT_EQ(ListInsert(l, &i), 1);
    EXPECT_EQ(ListGet(l, LIST_GET_FIRST), &items[0]);
    int seen = 0;
    while (void *p = ListGet(l, LIST_GET_NEXT))
        EXPECT_EQ(p, &items[seen++]);
    EXPECT_EQ(seen, 5);
    // The teardown walk: FIRST unused, then NEXT while removing each item returned.
    ListGet(l, LIST_GET_FIRST);
    for (seen = 0; void *p = ListGet(l, LIST_GET_NEXT); seen++)
        EXPECT_EQ(ListRemove(l, p), 1);
    EXPECT_EQ(seen, 5);
    EXPECT_EQ(ListEntries(l), 0u);
    EXPECT_EQ(ListRemove(l, &items[0]), 0);
    EXPECT_EQ(ListGet(l, LIST_GET_FIRST), nullptr);
    free(l);  // the reference list has no destroy call; its record is a plain heap block
}

}  // namespace
