// The error collector: up to 15 distinct composed texts (the first 14
// recorded and the most recent one) and the highest severity seen.
//
// A text is "<severity word>(<prefix><code as %04d>): <message>", for example
// "Error   (OXB0011): Error : Check the calling parameters".
#pragma once

#include "diag/messages.h"

#include <cstddef>
#include <cstdint>

constexpr int32_t ERR_SEVERITY_MESSAGE = 0;
constexpr int32_t ERR_SEVERITY_WARNING = 1;
constexpr int32_t ERR_SEVERITY_ERROR = 2;
constexpr int32_t ERR_SEVERITY_FATAL = 3;

constexpr int32_t ERR_COLLECTOR_SLOTS = 15;
constexpr size_t ERR_TEXT_MAX = 4181;                 // characters of one composed text
constexpr size_t ERR_COMPOSE_SIZE = ERR_TEXT_MAX + 1; // 4182

struct ErrCollector {
    // Slots 0..count-1 are in use, in recording order; a slot in use is null
    // only when the copy of its text could not be allocated.  Owned.
    char *messages[ERR_COLLECTOR_SLOTS];
    int32_t highestSeverity;
    int32_t count;
};

// Empties every slot (without freeing) and zeroes severity and count.
// Returns 0, or -2 for a null collector.
int32_t errCollectorReset(ErrCollector *collector);

// Composes a text from the catalogue's template for `code`, formatted with
// the arguments that follow, and records it unless an equal text is already
// held (then nothing changes at all).  A null collector: nothing.  A null
// catalogue, or a code whose message number has no template: the message is
// "Error encountered.".  The text is cut at ERR_TEXT_MAX characters.  When
// the copy cannot be allocated the slot counts but stays null and the
// highest severity becomes 3 (and QDMalloc raises the memory-failure flag).
// The templates are the only format texts: pass outside text as an argument.
void errCollectorAdd(ErrCollector *collector, MessageCatalogue catalogue, int32_t code,
                     int32_t severity, ...);

// Writes the severity word and the header "(%s%04d): " (or "(ERR%04d): "
// without a catalogue) into buffer, zero-filled first; never more than
// size-1 characters.  A null buffer: nothing.
void errFormatHeader(MessageCatalogue catalogue, int32_t code, int32_t severity, char *buffer,
                     size_t size);

// Frees the texts from the last slot down to the first, then the collector.
void errCollectorFree(ErrCollector *collector);

// Read access for the owner: the text of slot i (null when empty or out of
// range), and the number of slots in use.
inline const char *errCollectorText(const ErrCollector *c, int32_t i) {
    return c != nullptr && i >= 0 && i < c->count && i < ERR_COLLECTOR_SLOTS ? c->messages[i]
                                                                             : nullptr;
}
