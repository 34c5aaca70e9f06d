#include "json.h"

#include "text.h"

#include <nlohmann/json.hpp>

using nlohmann::ordered_json;

namespace {
std::string finish(const ordered_json &object) { return escapeJsonControls(object.dump(2)) + "\n"; }
} // namespace

std::string jsonSections(const std::string &file, uint32_t endedAtLine,
                         const std::vector<SectionView> &sections) {
    ordered_json list = ordered_json::array();
    for (const SectionView &s : sections) {
        ordered_json keys = ordered_json::array();
        for (const auto &[name, value] : s.keys)
            keys.push_back({{"name", toUtf8(name)}, {"value", toUtf8(value)}});
        list.push_back({{"name", toUtf8(s.name)},
                        {"version", toUtf8(s.version)},
                        {"key_count", s.keyCount},
                        {"checksum", s.checksum},
                        {"stored_checksum", s.storedChecksum},
                        {"damaged", s.damaged},
                        {"keys", std::move(keys)}});
    }
    ordered_json endedAt = nullptr;
    if (endedAtLine != 0) endedAt = endedAtLine;
    return finish({{"file", toUtf8(file)},
                   {"load_ended_at_line", std::move(endedAt)},
                   {"sections", std::move(list)}});
}

std::string jsonSectionInfo(const ProfileSectionInfo &info) {
    return finish({{"name", toUtf8(info.name)},
                   {"version", toUtf8(info.version)},
                   {"checksum", info.checksum},
                   {"damaged", info.damaged != 0},
                   {"stored_checksum", info.storedChecksum},
                   {"key_count", info.keyCount}});
}

std::string jsonKey(const ProfileSectionInfo &info, const std::string &key,
                    const std::string &value) {
    return finish({{"name", toUtf8(info.name)},
                   {"version", toUtf8(info.version)},
                   {"key", toUtf8(key)},
                   {"value", toUtf8(value)},
                   {"damaged", info.damaged != 0}});
}

std::string jsonDone() { return finish({{"status", 0}}); }

std::string jsonFailure(const Failure &failure) {
    ordered_json messages = ordered_json::array();
    for (const std::string &m : failure.messages) messages.push_back(toUtf8(m));
    return finish({{"status", failure.status}, {"messages", std::move(messages)}});
}
