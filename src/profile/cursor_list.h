// CursorList: the ordered container of sections and of keys, a singly
// linked list with a cursor.  Every operation goes forward only (append at
// the tail, walk from the head, remove the head), so a node carries just
// the link to the next one: a file of a million short lines holds a million
// of them.  Each operation takes the collector first and
// returns 0 on success; 194 for no list; -1 and -2 as each operation says;
// 121 (recorded, severity 2, general catalogue) when a node or the list
// cannot be allocated.
#pragma once

#include "diag/collector.h"

#include <cstdint>

constexpr int32_t CURSOR_LIST_NO_LIST = 194;
constexpr int32_t CURSOR_LIST_NO_MEMORY = 121;
constexpr int32_t CURSOR_LIST_AT_END = -1; // advance from the tail, or on an empty list
constexpr int32_t CURSOR_LIST_EMPTY = -2;

// A node inside its element's allocation (cursorListAppendInElement) is
// just this; a node that the list allocates (cursorListAppend) carries the
// element's address behind it.  cursorNodeElement finds the element of
// either.
struct CursorNode {
    CursorNode *next;
};

// Called with the element of every node that is removed, before the node
// is freed.
using CursorReleaseFn = void (*)(ErrCollector *collector, void *element);

struct CursorList {
    CursorNode *head;
    CursorNode *tail;
    CursorNode *cursor;
    int32_t count;
    CursorReleaseFn release;
    // Set by cursorListAppendInElement: the nodes live inside their
    // elements' allocations, nodeOffset bytes from the element's start, and
    // the release callback frees them with the element.  A list holds nodes
    // of one kind only, all at the same place in their elements.
    int32_t nodesInElements;
    uint32_t nodeOffset;
};

// The element of a node of the list.
void *cursorNodeElement(const CursorList *list, const CursorNode *node);

// *out receives a new empty list (no callback), or null on failure.
int32_t cursorListCreate(ErrCollector *collector, CursorList **out);
// As cursorListCreate, but the list is made in `memory` (sizeof(CursorList)
// bytes, aligned), which its owner frees; such a list is never destroyed.
// Null memory (its allocation failed) gives 121, recorded, as
// cursorListCreate does.
int32_t cursorListCreateIn(ErrCollector *collector, void *memory, CursorList **out);
int32_t cursorListSetRelease(ErrCollector *collector, CursorList *list, CursorReleaseFn release);
// Links a new node after the tail; the cursor moves to it.
int32_t cursorListAppend(ErrCollector *collector, CursorList *list, void *element);
// Links `node`, which lives inside the element's own allocation, after the
// tail, as cursorListAppend does but without allocating: the list never
// frees such a node itself, its release callback frees it with the element.
// Every element of a list keeps its node at the same offset.  Cannot fail
// but for no list or no node (194).
int32_t cursorListAppendInElement(ErrCollector *collector, CursorList *list, CursorNode *node,
                                  void *element);
// Puts the cursor on the head.
int32_t cursorListRewind(ErrCollector *collector, CursorList *list);
// *element receives the element under the cursor; -2 when the list is empty.
int32_t cursorListCurrent(ErrCollector *collector, CursorList *list, void **element);
// Moves the cursor to the next node; -1 on the tail (it stays) or when empty.
int32_t cursorListAdvance(ErrCollector *collector, CursorList *list);
// Releases and frees the head; the next node becomes head and cursor.
// -2 when the list is empty.
int32_t cursorListRemoveHead(ErrCollector *collector, CursorList *list);
int32_t cursorListRemoveAll(ErrCollector *collector, CursorList *list);
// Removes every node, frees the list and clears *list.
int32_t cursorListDestroy(ErrCollector *collector, CursorList **list);
