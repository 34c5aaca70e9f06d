#include "diag/fopen_utf8.h"

#include "platform/file.h"

FILE *QDMfopenUtf8(const char *path, const char *mode) { return platOpenUtf8(path, mode); }

FILE *QDMopenErrorFile(const char *path) { return platOpenAppendNoWait(path); }
