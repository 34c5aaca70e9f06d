// Child roles: a test program re-runs itself as `PROGRAM --child=ROLE args`
// to get a second process (a second lock holder, a writer to be killed).
#pragma once

#include "support/process.h"

#include <string>
#include <vector>

using ChildRoleFn = int (*)(int argc, char **argv); // argv: the arguments after the role

struct ChildRole {
    ChildRole(const char *name, ChildRoleFn fn);
};

// Defines a role that a test starts with startChild(NAME, {...}).
#define KV_CHILD_ROLE(NAME)                                                                        \
    static int childRole_##NAME(int argc, char **argv);                                            \
    static ChildRole childRoleReg_##NAME(#NAME, childRole_##NAME);                                 \
    static int childRole_##NAME([[maybe_unused]] int argc, [[maybe_unused]] char **argv)

// Starts this test program as a child running the role; null on failure.
PlatProcess startChild(const char *role, const std::vector<std::string> &args = {});
