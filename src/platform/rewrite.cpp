// The rewrite's one policy (platform/replace.h), over the primitives of
// each platform (platform/rewrite_parts.h): atomic where the file stays
// what it is, else in place; nothing written through a name that leads
// elsewhere; no temporary file left but what a failed in-place write needs.
#include "platform/fault.h"
#include "platform/replace.h"
#include "platform/rewrite_parts.h"

namespace {

// One leftover of the sweep: finished when it is a redo copy, then removed.
bool sweepOne(const PlatUpdateFile *file, const char *name, void *context) {
    if (platFinishInterrupted(file, name) != 0) {
        *static_cast<int *>(context) = -1;
        return false;
    }
    platRemoveLeftover(file, name);
    return true;
}

PlatRewrite end(PlatUpdateFile *file, FILE *out, PlatRewrite result) {
    platEndRewrite(file, out);
    return result;
}

} // namespace

int platRewriteBegin(PlatUpdateFile *file, FILE **out) {
    if (out != nullptr) *out = nullptr;
    if (file == nullptr || out == nullptr || platRewriteStream(file) != nullptr ||
        !platCanRewrite(file))
        return -1;
    if (platFaultHit(PLAT_FAULT_FILE_TEMP)) return -1;
    // Beside the stored file when the folder takes a new file of a longer
    // name; else in a scratch file, for an in-place write.
    FILE *stream = platCreateBeside(file);
    if (stream == nullptr) stream = platCreateScratch();
    if (stream == nullptr) return -1;
    platSetRewriteStream(file, stream);
    *out = stream;
    return 0;
}

void platRewriteAbandon(PlatUpdateFile *file, FILE *out) {
    if (file == nullptr) {
        if (out != nullptr) std::fclose(out);
        return;
    }
    platEndRewrite(file, out);
}

PlatRewrite platRewriteFinish(PlatUpdateFile *file, FILE *out) {
    if (file == nullptr || out == nullptr || out != platRewriteStream(file)) {
        platRewriteAbandon(file, out);
        return PLAT_REWRITE_REFUSED;
    }
    if (std::fflush(out) != 0 || platFaultHit(PLAT_FAULT_FILE_SYNC) || !platSyncToDisk(out))
        return end(file, out, PLAT_REWRITE_FAILED);
    // Write nothing through a name that leads elsewhere now.
    if (!platStillNamesFile(file)) return end(file, out, PLAT_REWRITE_MOVED);
    const bool beside = platHasBeside(file);
    if (beside && platKeepIdentity(file, out)) {
        if (platFaultHit(PLAT_FAULT_FILE_RENAME)) return end(file, out, PLAT_REWRITE_REFUSED);
        switch (platReplaceName(file)) {
        case PLAT_SWAP_DONE:
            return end(file, out, PLAT_REWRITE_REPLACED);
        case PLAT_SWAP_MOVED:
            return end(file, out, PLAT_REWRITE_MOVED);
        case PLAT_SWAP_REFUSED:
            return end(file, out, PLAT_REWRITE_REFUSED);
        case PLAT_SWAP_IN_PLACE:
            break;
        }
    }
    PlatRewrite result = platWriteInPlace(file, &out, beside);
    return end(file, out, result);
}

int platSweepBeside(const PlatUpdateFile *file) {
    if (platFinishInterrupted(file, nullptr) != 0) return -1;
    int result = 0;
    platEachLeftover(file, sweepOne, &result);
    return result;
}
