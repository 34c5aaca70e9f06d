// Test program entry: runs a child role when asked to, else GoogleTest.
#include "support/child.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {
struct RoleEntry {
    const char *name;
    ChildRoleFn fn;
};
RoleEntry roles[32];
int roleCount = 0;
constexpr char CHILD_FLAG[] = "--child=";
} // namespace

ChildRole::ChildRole(const char *name, ChildRoleFn fn) {
    if (roleCount < 32) roles[roleCount++] = {name, fn};
}

PlatProcess startChild(const char *role, const std::vector<std::string> &args) {
    std::string flag = std::string(CHILD_FLAG) + role;
    std::vector<const char *> argv;
    argv.push_back(flag.c_str());
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return platSpawn(platSelfPath(), argv.data());
}

int main(int argc, char **argv) {
    if (argc >= 2 && std::strncmp(argv[1], CHILD_FLAG, sizeof CHILD_FLAG - 1) == 0) {
        const char *name = argv[1] + sizeof CHILD_FLAG - 1;
        for (int i = 0; i < roleCount; ++i)
            if (std::strcmp(roles[i].name, name) == 0) return roles[i].fn(argc - 2, argv + 2);
        return 99;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
