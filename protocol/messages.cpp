#include "protocol/messages.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <algorithm>
#include <charconv>

Json portsReport(const std::vector<PortEntry>& ports) {
    boost::json::array list;
    list.reserve(ports.size());
    for (const auto& p : ports) list.push_back(boost::json::object{{"name", p.name}, {"uid", p.uid}});
    return boost::json::object{{"ports", std::move(list)}};
}

Json sendReply(std::int64_t id, const std::string* error) {
    boost::json::object reply{{"id", id}, {"ok", error == nullptr}};
    if (error) reply["error"] = *error;
    return reply;
}

Json failureLine(std::int32_t status) {
    return boost::json::object{{"error", "MIDI unavailable (" + std::to_string(status) + ")"}};
}

OkLine okLine(std::int64_t id) {
    OkLine ok;
    constexpr std::string_view head = "{\"id\":", tail = ",\"ok\":true}\n";
    char* p = std::copy(head.begin(), head.end(), ok.text);
    p = std::to_chars(p, ok.text + sizeof ok.text, id).ptr;
    p = std::copy(tail.begin(), tail.end(), p);
    ok.size = static_cast<std::size_t>(p - ok.text);
    return ok;
}
