#include "profile/context.h"

#include "frame/alloc.h"
#include "profile/linecodec.h"
#include "profile/lineio.h"
#include "profile/list_walk.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

ProfileLibContext profileContexts[PROFILE_CONTEXT_COUNT];

namespace {

bool slotIsFree(const ProfileLibContext &slot) {
    return slot.index == 0 && slot.collector == nullptr && slot.transform == 0 &&
           slot.ioMode == 0 && slot.encodeLine == nullptr && slot.decodeLine == nullptr &&
           slot.readLine == nullptr && slot.writeLine == nullptr;
}

} // namespace

int32_t profileFindFreeContext() {
    for (int32_t i = 0; i < PROFILE_CONTEXT_COUNT; ++i) {
        if (slotIsFree(profileContexts[i])) return i;
    }
    return -1;
}

uint32_t profileOpenLib(int32_t *index, uint32_t transform, uint32_t ioMode,
                        ProfileEncodeLineFn encodeLine, ProfileDecodeLineFn decodeLine,
                        ProfileReadLineFn readLine, ProfileWriteLineFn writeLine) {
    if (index == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    *index = -1;
    auto *collector = static_cast<ErrCollector *>(QDMalloc(sizeof(ErrCollector)));
    if (collector == nullptr) return PROFILE_STATUS_NO_RESOURCES;
    errCollectorReset(collector);
    bool modeValid = ioMode == PROFILE_IO_STREAM ||
                     (ioMode == PROFILE_IO_CALLER && readLine != nullptr && writeLine != nullptr);
    if (!modeValid) {
        errCollectorFree(collector);
        return PROFILE_STATUS_BAD_PARAMS;
    }
    int32_t free = profileFindFreeContext();
    if (free < 0) {
        errCollectorFree(collector);
        return PROFILE_STATUS_NO_LIB_HANDLE;
    }
    ProfileLibContext &slot = profileContexts[free];
    slot.ioMode = ioMode;
    slot.collector = collector;
    slot.readLine = ioMode == PROFILE_IO_CALLER ? readLine : defaultReadLine;
    slot.writeLine = ioMode == PROFILE_IO_CALLER ? writeLine : defaultWriteLine;
    slot.encodeLine = encodeLine != nullptr ? encodeLine : defaultEncodeLine;
    slot.decodeLine = decodeLine != nullptr ? decodeLine : defaultDecodeLine;
    // A caller's transform parameter belongs with a caller's decoding; an
    // encodeLine alone does not bring it in.
    slot.transform = decodeLine != nullptr ? transform : PROFILE_DEFAULT_TRANSFORM;
    slot.index = free;
    *index = free;
    return 0;
}

uint32_t profileCloseLib(const uint32_t *index) {
    if (index == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    if (*index >= static_cast<uint32_t>(PROFILE_CONTEXT_COUNT)) return PROFILE_STATUS_BAD_LIB;
    ProfileLibContext &slot = profileContexts[*index];
    slot.index = 0;
    if (slot.collector != nullptr) {
        errCollectorFree(slot.collector);
        slot.collector = nullptr;
    }
    slot.transform = 0;
    slot.ioMode = 0;
    slot.encodeLine = nullptr;
    slot.decodeLine = nullptr;
    slot.readLine = nullptr;
    slot.writeLine = nullptr;
    slot.detail[0] = '\0';
    return 0;
}

ErrCollector *profileContextCollector(int32_t index) {
    if (index < 0 || index >= PROFILE_CONTEXT_COUNT) return nullptr;
    return profileContexts[index].collector;
}

void profileSetDetail(int32_t index, const char *format, ...) {
    if (profileContextCollector(index) == nullptr) return;
    char *detail = profileContexts[index].detail;
    detail[0] = '\0';
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    (void)std::vsnprintf(detail, PROFILE_DETAIL_SIZE, format, args);
    va_end(args);
}

const char *profileContextDetail(int32_t index) {
    return profileContextCollector(index) == nullptr ? nullptr : profileContexts[index].detail;
}

ProfileLibContext *profileFileContext(const ProfileFile *file) {
    if (file == nullptr || profileContextCollector(file->contextIndex) == nullptr) return nullptr;
    return &profileContexts[file->contextIndex];
}

uint32_t profileNewFile(ErrCollector *collector, ProfileFile **out) {
    if (out == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    *out = nullptr;
    auto *file = static_cast<ProfileFile *>(QDMalloc(sizeof(ProfileFile)));
    if (file == nullptr) return profileFail(collector, PROFILE_STATUS_NO_RESOURCES);
    std::memset(file, 0, sizeof *file);
    profileBlockReaderInit(&file->reader, file->streamBuffer, sizeof file->streamBuffer);
    if (cursorListCreate(collector, &file->sections) != 0) {
        std::free(file);
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    // No release callback: the sections, with their list nodes, are freed
    // with the file's arena by profileFreeFile, never by the list.
    *out = file;
    return 0;
}

uint32_t profileAddSection(ErrCollector *collector, ProfileFile *file, ProfileSection *section) {
    if (file == nullptr || section == nullptr ||
        cursorListAppendInElement(collector, file->sections, &section->node, section) != 0) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    if (std::strcmp(profileSectionName(section), PROFILE_RESERVED_SECTION) != 0)
        ++file->sectionCount;
    return 0;
}

uint32_t profileRemoveSection(ErrCollector *collector, ProfileFile *file,
                              const ProfileSection *section) {
    if (file == nullptr || file->sections == nullptr || section == nullptr ||
        (file->sections->count > 0 && file->sections->nodesInElements == 0))
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    // Every section goes round once, from the head to the tail, but the one
    // removed: nothing is allocated, so nothing fails half-way.
    CursorList *list = file->sections;
    bool removed = false;
    for (int32_t i = 0, count = list->count; i < count; ++i) {
        void *element = nullptr;
        cursorListRewind(collector, list);
        cursorListCurrent(collector, list, &element);
        cursorListRemoveHead(collector, list);
        auto *next = static_cast<ProfileSection *>(element);
        if (next == section && !removed) {
            removed = true;
            if (std::strcmp(profileSectionName(next), PROFILE_RESERVED_SECTION) != 0)
                --file->sectionCount;
            continue;
        }
        cursorListAppendInElement(collector, list, &next->node, next);
    }
    return removed ? 0 : profileFail(collector, PROFILE_STATUS_NO_SECTION);
}

uint32_t profileFreeFile(ErrCollector *collector, ProfileFile *file) {
    if (file == nullptr || file->sections == nullptr)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    // The list (its nodes are in the sections), then every section and key
    // with the arena, then the record.
    uint32_t status = 0;
    if (cursorListDestroy(collector, &file->sections) != 0)
        status = profileFail(collector, PROFILE_STATUS_NO_SECTION);
    profileArenaFree(&file->arena);
    std::free(file);
    return status;
}
