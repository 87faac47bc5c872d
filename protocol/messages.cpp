#include "protocol/messages.h"

#include <limits>

Json portsReport(const std::vector<Destination>& directory) {
    Json ports = Json::array();
    for (const auto& d : directory) ports.push_back({{"name", d.name}, {"uid", d.uid}});
    return {{"ports", std::move(ports)}};
}

Json sendReply(std::int64_t id, const std::string* error) {
    Json reply = {{"id", id}, {"ok", error == nullptr}};
    if (error) reply["error"] = *error;
    return reply;
}

Json failureLine(std::int32_t status) {
    return {{"error", "MIDI unavailable (" + std::to_string(status) + ")"}};
}

std::optional<std::int64_t> integerOf(const Json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    // Non-negative numbers arrive unsigned; above the signed range they do not count.
    if (value.is_number_unsigned()) {
        auto u = value.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(u);
    }
    return std::nullopt;
}

static const Json* member(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::int64_t> integerAt(const Json& object, const char* key) {
    const Json* v = member(object, key);
    return v ? integerOf(*v) : std::nullopt;
}

const std::string* textAt(const Json& object, const char* key) {
    const Json* v = member(object, key);
    return v && v->is_string() ? v->get_ptr<const std::string*>() : nullptr;
}

const Json::array_t* integersAt(const Json& object, const char* key) {
    const Json* v = member(object, key);
    if (!v || !v->is_array()) return nullptr;
    for (const auto& e : *v)
        if (!integerOf(e)) return nullptr;
    return v->get_ptr<const Json::array_t*>();
}

bool isPortsCommand(const Json& object) {
    const std::string* cmd = textAt(object, "cmd");
    return cmd && *cmd == "ports";
}
