#include "protocol/request.h"

#include <cstring>

#include "protocol/messages.h"

Request::Request(Kind kind, std::int64_t id, std::string_view dest, const Json::array_t* bytes)
    : kind_(kind), id_(id) {
    if (kind != Kind::send) return;
    destSize_ = dest.size();
    byteCount_ = static_cast<std::uint16_t>(bytes->size());
    std::size_t size = destSize_ + byteCount_;
    char* out = local_;
    if (size > sizeof local_) {
        spill_ = std::make_unique_for_overwrite<char[]>(size);
        out = spill_.get();
    }
    std::memcpy(out, dest.data(), dest.size());
    auto* b = reinterpret_cast<std::uint8_t*>(out + destSize_);
    for (const auto& e : *bytes) *b++ = static_cast<std::uint8_t>(*integerOf(e));
}

Request sendRequestOf(const Json& object) {
    std::int64_t id = integerAt(object, "id").value_or(0);
    const std::string* dest = textAt(object, "dest");
    const Json::array_t* bytes = dest ? integersAt(object, "bytes") : nullptr;
    if (!bytes || bytes->empty() || bytes->size() > 256) return {Request::Kind::bad, id, {}, nullptr};
    return {Request::Kind::send, id, *dest, bytes};
}

Request requestOf(const Json& object) {
    return isPortsCommand(object) ? Request() : sendRequestOf(object);
}
