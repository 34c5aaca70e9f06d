#include "profile/cursor_list.h"

#include "frame/alloc.h"

#include <cstdlib>

namespace {

// A node that the list allocates, with the element's address.
struct OwnNode {
    CursorNode node;
    void *element;
};

// The one failure a list records: it could not get memory for itself or a node.
int32_t noMemory(ErrCollector *collector) {
    errCollectorAdd(collector, generalMessages, CURSOR_LIST_NO_MEMORY, ERR_SEVERITY_ERROR);
    return CURSOR_LIST_NO_MEMORY;
}

} // namespace

int32_t cursorListCreate(ErrCollector *collector, CursorList **out) {
    if (out == nullptr) return CURSOR_LIST_NO_LIST;
    *out = nullptr;
    auto *list = static_cast<CursorList *>(QDMalloc(sizeof(CursorList)));
    if (list == nullptr) return noMemory(collector);
    *list = CursorList{nullptr, nullptr, nullptr, 0, nullptr, 0, 0};
    *out = list;
    return 0;
}

int32_t cursorListCreateIn(ErrCollector *collector, void *memory, CursorList **out) {
    if (out == nullptr) return CURSOR_LIST_NO_LIST;
    *out = nullptr;
    if (memory == nullptr) return noMemory(collector);
    auto *list = static_cast<CursorList *>(memory);
    *list = CursorList{nullptr, nullptr, nullptr, 0, nullptr, 0, 0};
    *out = list;
    return 0;
}

int32_t cursorListSetRelease(ErrCollector *, CursorList *list, CursorReleaseFn release) {
    if (list == nullptr) return CURSOR_LIST_NO_LIST;
    list->release = release;
    return 0;
}

namespace {

void linkAtTail(CursorList *list, CursorNode *node) {
    node->next = nullptr;
    if (list->tail != nullptr) {
        list->tail->next = node;
    } else {
        list->head = node;
    }
    list->tail = node;
    list->cursor = node;
    ++list->count;
}

} // namespace

int32_t cursorListAppend(ErrCollector *collector, CursorList *list, void *element) {
    if (list == nullptr) return CURSOR_LIST_NO_LIST;
    auto *node = static_cast<OwnNode *>(QDMalloc(sizeof(OwnNode)));
    if (node == nullptr) return noMemory(collector);
    node->element = element;
    linkAtTail(list, &node->node);
    return 0;
}

int32_t cursorListAppendInElement(ErrCollector *, CursorList *list, CursorNode *node,
                                  void *element) {
    if (list == nullptr || node == nullptr) return CURSOR_LIST_NO_LIST;
    list->nodesInElements = 1;
    list->nodeOffset =
        static_cast<uint32_t>(reinterpret_cast<char *>(node) - static_cast<char *>(element));
    linkAtTail(list, node);
    return 0;
}

void *cursorNodeElement(const CursorList *list, const CursorNode *node) {
    if (list->nodesInElements != 0)
        return const_cast<char *>(reinterpret_cast<const char *>(node)) - list->nodeOffset;
    return reinterpret_cast<const OwnNode *>(node)->element;
}

int32_t cursorListRewind(ErrCollector *, CursorList *list) {
    if (list == nullptr) return CURSOR_LIST_NO_LIST;
    // Not written when it is already there: a list that stays empty (a
    // section's shared empty key list) is then only ever read.
    if (list->cursor != list->head) list->cursor = list->head;
    return 0;
}

int32_t cursorListCurrent(ErrCollector *, CursorList *list, void **element) {
    if (element != nullptr) *element = nullptr;
    if (list == nullptr || element == nullptr) return CURSOR_LIST_NO_LIST;
    if (list->cursor == nullptr) return CURSOR_LIST_EMPTY;
    *element = cursorNodeElement(list, list->cursor);
    return 0;
}

int32_t cursorListAdvance(ErrCollector *, CursorList *list) {
    if (list == nullptr) return CURSOR_LIST_NO_LIST;
    if (list->cursor == nullptr || list->cursor->next == nullptr) return CURSOR_LIST_AT_END;
    list->cursor = list->cursor->next;
    return 0;
}

int32_t cursorListRemoveHead(ErrCollector *collector, CursorList *list) {
    if (list == nullptr) return CURSOR_LIST_NO_LIST;
    CursorNode *head = list->head;
    if (head == nullptr) return CURSOR_LIST_EMPTY;
    // The release may free the node with its element: read it first.
    CursorNode *next = head->next;
    if (list->release != nullptr) list->release(collector, cursorNodeElement(list, head));
    if (list->nodesInElements == 0) std::free(head);
    --list->count;
    list->head = next;
    list->cursor = next;
    if (next == nullptr) list->tail = nullptr;
    return 0;
}

int32_t cursorListRemoveAll(ErrCollector *collector, CursorList *list) {
    if (list == nullptr) return CURSOR_LIST_NO_LIST;
    while (cursorListRemoveHead(collector, list) == 0) {
    }
    return 0;
}

int32_t cursorListDestroy(ErrCollector *collector, CursorList **list) {
    if (list == nullptr || *list == nullptr) return CURSOR_LIST_NO_LIST;
    cursorListRemoveAll(collector, *list);
    std::free(*list);
    *list = nullptr;
    return 0;
}
