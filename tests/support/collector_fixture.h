// A heap collector for tests of the profile component, freed on scope exit.
#pragma once

#include "diag/collector.h"

#include <cstdlib>
#include <cstring>

struct TestCollector {
    ErrCollector *c;
    TestCollector() : c(static_cast<ErrCollector *>(std::malloc(sizeof(ErrCollector)))) {
        errCollectorReset(c);
    }
    ~TestCollector() { errCollectorFree(c); }
    TestCollector(const TestCollector &) = delete;
    TestCollector &operator=(const TestCollector &) = delete;
    operator ErrCollector *() const { return c; }

    // True when some recorded text contains fragment, e.g. "(OXB0008)".
    bool holds(const char *fragment) const {
        for (int32_t i = 0; i < c->count; ++i) {
            const char *text = errCollectorText(c, i);
            if (text != nullptr && std::strstr(text, fragment) != nullptr) return true;
        }
        return false;
    }
};
