#include "json.h"

#include "text.h"

#include <nlohmann/json.hpp>

using nlohmann::ordered_json;

namespace {
std::string finish(const ordered_json &object) { return escapeJsonControls(object.dump(2)) + "\n"; }
} // namespace

void appendJsonSectionsHead(std::string &out, const std::string &file, std::string_view state,
                            uint32_t endedAtLine) {
    out += "{\n  \"file\": ";
    appendJsonText(out, file);
    out += ",\n  \"state\": ";
    appendJsonText(out, state);
    out += ",\n  \"load_ended_at_line\": ";
    if (endedAtLine != 0)
        appendDecimal(out, endedAtLine);
    else
        out += "null";
    out += ",\n  \"sections\": [";
}

void appendJsonSection(std::string &out, const SectionView &section, std::string_view state,
                       bool first) {
    out += first ? "\n    {\n      \"name\": " : ",\n    {\n      \"name\": ";
    appendJsonText(out, section.name);
    out += ",\n      \"version\": ";
    appendJsonText(out, section.version);
    out += ",\n      \"key_count\": ";
    appendDecimal(out, section.keyCount);
    out += ",\n      \"checksum\": ";
    appendDecimal(out, section.checksum);
    out += ",\n      \"stored_checksum\": ";
    appendDecimal(out, section.storedChecksum);
    out += section.damaged ? ",\n      \"damaged\": true" : ",\n      \"damaged\": false";
    out += ",\n      \"state\": ";
    appendJsonText(out, state);
    out += ",\n      \"keys_after_checksum\": ";
    appendDecimal(out, section.keysAfterChecksum);
    out += ",\n      \"keys\": [";
}

void appendJsonKey(std::string &out, const char *name, const char *value, bool first) {
    out += first ? "\n        {\n          \"name\": " : ",\n        {\n          \"name\": ";
    appendJsonText(out, name);
    out += ",\n          \"value\": ";
    appendJsonText(out, value);
    out += "\n        }";
}

void appendJsonSectionEnd(std::string &out, bool hadKeys) {
    out += hadKeys ? "\n      ]\n    }" : "]\n    }";
}

void appendJsonSectionsEnd(std::string &out, bool hadSections) {
    appendJsonListEnd(out, hadSections);
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
    ordered_json detail = nullptr, line = nullptr;
    if (!failure.detail.empty()) detail = toUtf8(failure.detail);
    if (failure.line != 0) line = failure.line;
    return finish({{"status", failure.status},
                   {"messages", std::move(messages)},
                   {"detail", std::move(detail)},
                   {"line", std::move(line)}});
}

void appendJsonNamesHead(std::string &out, const std::string &file) {
    out += "{\n  \"file\": ";
    appendJsonText(out, file);
    out += ",\n  \"sections\": [";
}

void appendJsonName(std::string &out, const SectionView &section, bool first) {
    out += first ? "\n    {\n      \"name\": " : ",\n    {\n      \"name\": ";
    appendJsonText(out, section.name);
    out += ",\n      \"version\": ";
    appendJsonText(out, section.version);
    out += "\n    }";
}

void appendJsonKeysHead(std::string &out, const std::string &file, const SectionView &section) {
    out += "{\n  \"file\": ";
    appendJsonText(out, file);
    out += ",\n  \"section\": ";
    appendJsonText(out, section.name);
    out += ",\n  \"version\": ";
    appendJsonText(out, section.version);
    out += ",\n  \"keys\": [";
}

void appendJsonKeyName(std::string &out, const char *name, bool first) {
    out += first ? "\n    " : ",\n    ";
    appendJsonText(out, name);
}

void appendJsonListEnd(std::string &out, bool hadItems) {
    out += hadItems ? "\n  ]\n}\n" : "]\n}\n";
}
