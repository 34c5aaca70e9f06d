// The cursor list that holds sections and keys.
#include "frame/alloc.h"
#include "profile/cursor_list.h"
#include "support/collector_fixture.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <vector>

namespace {

int items[5] = {10, 11, 12, 13, 14};

// The walk every user of the list does: rewind, then current and advance
// until advance reports -1.
std::vector<int> walk(CursorList *list) {
    std::vector<int> seen;
    EXPECT_EQ(cursorListRewind(nullptr, list), 0);
    do {
        void *element = nullptr;
        if (cursorListCurrent(nullptr, list, &element) == 0)
            seen.push_back(*static_cast<int *>(element));
    } while (cursorListAdvance(nullptr, list) == 0);
    return seen;
}

int current(CursorList *list) {
    void *element = nullptr;
    EXPECT_EQ(cursorListCurrent(nullptr, list, &element), 0);
    return element != nullptr ? *static_cast<int *>(element) : -1;
}

std::vector<int> released;
ErrCollector *releasedWith = nullptr;
void recordRelease(ErrCollector *collector, void *element) {
    released.push_back(*static_cast<int *>(element));
    releasedWith = collector;
}

struct CursorListTest : testing::Test {
    TestCollector collector;
    CursorList *list = nullptr;
    void SetUp() override {
        released.clear();
        ASSERT_EQ(cursorListCreate(collector, &list), 0);
    }
    void TearDown() override {
        qdmAllocFailReset();
        if (list != nullptr) cursorListDestroy(collector, &list);
    }
    void append(int n) {
        for (int i = 0; i < n; ++i) ASSERT_EQ(cursorListAppend(collector, list, &items[i]), 0);
    }
};

TEST_F(CursorListTest, EmptyList) {
    EXPECT_EQ(list->count, 0);
    void *element = &items[0];
    EXPECT_EQ(cursorListCurrent(collector, list, &element), CURSOR_LIST_EMPTY);
    EXPECT_EQ(element, nullptr);
    EXPECT_EQ(cursorListAdvance(collector, list), CURSOR_LIST_AT_END);
    EXPECT_EQ(cursorListRemoveHead(collector, list), CURSOR_LIST_EMPTY);
    EXPECT_EQ(cursorListRemoveAll(collector, list), 0);
    EXPECT_TRUE(walk(list).empty());
}

TEST_F(CursorListTest, AppendMovesTheCursorAndAdvanceStopsOnTheTail) {
    append(1);
    EXPECT_EQ(current(list), 10); // head, tail and cursor
    EXPECT_EQ(list->head, list->tail);
    append(3);
    EXPECT_EQ(list->count, 4);
    EXPECT_EQ(current(list), 12); // the last appended
    EXPECT_EQ(cursorListAdvance(collector, list), CURSOR_LIST_AT_END);
    EXPECT_EQ(current(list), 12); // stays on the tail
    EXPECT_EQ(walk(list), (std::vector<int>{10, 10, 11, 12}));
    EXPECT_EQ(cursorListRewind(collector, list), 0);
    EXPECT_EQ(current(list), 10);
    EXPECT_EQ(cursorListAdvance(collector, list), 0);
    EXPECT_EQ(current(list), 10);
    EXPECT_EQ(cursorListAdvance(collector, list), 0);
    EXPECT_EQ(current(list), 11);
}

TEST_F(CursorListTest, RemoveHeadReleasesItAndPutsTheCursorOnTheNext) {
    ASSERT_EQ(cursorListSetRelease(collector, list, recordRelease), 0);
    append(3); // cursor on the tail
    ASSERT_EQ(cursorListRemoveHead(collector, list), 0);
    EXPECT_EQ(released, std::vector<int>{10});
    EXPECT_EQ(releasedWith, collector.c);
    EXPECT_EQ(list->count, 2);
    EXPECT_EQ(current(list), 11); // the new head, wherever the cursor was
    EXPECT_EQ(walk(list), (std::vector<int>{11, 12}));

    ASSERT_EQ(cursorListRemoveHead(collector, list), 0);
    ASSERT_EQ(cursorListRemoveHead(collector, list), 0);
    EXPECT_EQ(released, (std::vector<int>{10, 11, 12}));
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->tail, nullptr);
    EXPECT_EQ(cursorListRemoveHead(collector, list), CURSOR_LIST_EMPTY);
    void *element = nullptr;
    EXPECT_EQ(cursorListCurrent(collector, list, &element), CURSOR_LIST_EMPTY);

    append(2); // an emptied list takes new nodes
    EXPECT_EQ(walk(list), (std::vector<int>{10, 11}));
}

TEST_F(CursorListTest, RemoveAllAndDestroyReleaseEveryNodeInOrder) {
    ASSERT_EQ(cursorListSetRelease(collector, list, recordRelease), 0);
    append(5);
    ASSERT_EQ(cursorListRemoveAll(collector, list), 0);
    EXPECT_EQ(released, (std::vector<int>{10, 11, 12, 13, 14}));
    EXPECT_EQ(list->count, 0);
    append(2);
    ASSERT_EQ(cursorListDestroy(collector, &list), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(released, (std::vector<int>{10, 11, 12, 13, 14, 10, 11}));
    EXPECT_EQ(cursorListDestroy(collector, &list), CURSOR_LIST_NO_LIST);
}

TEST_F(CursorListTest, NoListIs194) {
    void *element = &items[0];
    EXPECT_EQ(cursorListSetRelease(collector, nullptr, recordRelease), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(cursorListAppend(collector, nullptr, &items[0]), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(cursorListRewind(collector, nullptr), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(cursorListCurrent(collector, nullptr, &element), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(element, nullptr);
    EXPECT_EQ(cursorListAdvance(collector, nullptr), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(cursorListRemoveHead(collector, nullptr), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(cursorListRemoveAll(collector, nullptr), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(cursorListDestroy(collector, nullptr), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(collector.c->count, 0); // nothing recorded
}

TEST_F(CursorListTest, AllocationFailuresAre121RecordedUnderTheGeneralCatalogue) {
    append(2);
    qdmAllocFailAt(1);
    EXPECT_EQ(cursorListAppend(collector, list, &items[2]), CURSOR_LIST_NO_MEMORY);
    EXPECT_EQ(list->count, 2); // unchanged
    EXPECT_EQ(walk(list), (std::vector<int>{10, 11}));
    EXPECT_EQ(collector.c->count, 1);
    EXPECT_STREQ(errCollectorText(collector, 0), "Error   (KTR0121): Out of heap memory.");
    EXPECT_EQ(collector.c->highestSeverity, ERR_SEVERITY_ERROR);

    CursorList *other = list;
    qdmAllocFailAt(1);
    EXPECT_EQ(cursorListCreate(collector, &other), CURSOR_LIST_NO_MEMORY);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(collector.c->count, 1); // the same text again is not kept twice
}

} // namespace

namespace {

// An element that carries its own list node, freed with it by the release.
struct Carrier {
    int value; // first, so that walk() reads it through the element pointer
    CursorNode node;
};
void freeCarrier(ErrCollector *, void *element) {
    released.push_back(static_cast<Carrier *>(element)->value);
    std::free(element);
}

TEST_F(CursorListTest, NodesInsideTheirElementsGoWithThemAndAllocateNothing) {
    ASSERT_EQ(cursorListSetRelease(collector, list, freeCarrier), 0);
    qdmAllocFailAt(1, true); // linking must not allocate
    for (int v : {20, 21, 22}) {
        auto *carrier = static_cast<Carrier *>(std::malloc(sizeof(Carrier)));
        carrier->value = v;
        ASSERT_EQ(cursorListAppendInElement(collector, list, &carrier->node, carrier), 0);
    }
    EXPECT_FALSE(qdmAllocFailFired());
    qdmAllocFailReset();
    EXPECT_EQ(walk(list), (std::vector<int>{20, 21, 22}));
    ASSERT_EQ(cursorListRemoveHead(collector, list), 0); // no use after the release
    EXPECT_EQ(current(list), 21);
    EXPECT_EQ(cursorListAppendInElement(collector, list, nullptr, nullptr), CURSOR_LIST_NO_LIST);
    EXPECT_EQ(cursorListAppendInElement(collector, nullptr, nullptr, nullptr), CURSOR_LIST_NO_LIST);
    ASSERT_EQ(cursorListDestroy(collector, &list), 0); // AddressSanitizer: nothing leaks
    EXPECT_EQ(released, (std::vector<int>{20, 21, 22}));
}

} // namespace
