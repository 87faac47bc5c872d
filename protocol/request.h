#pragma once
// An accepted input object cut down to what the bridge acts on: small, and
// free of heap blocks for real requests, so that a backlog of them costs
// little and one moves, is run and dies without touching the allocator.

#include <cstdint>
#include <memory>
#include <string_view>

#include "protocol/emit.h"

class Request {
public:
    enum class Kind : std::uint8_t { ports, send, bad };

    Request() = default;  // the ports command
    Request(Kind kind, std::int64_t id, std::string_view dest, const Json::array_t* bytes);

    Kind kind() const { return kind_; }
    std::int64_t id() const { return id_; }
    // For a send: the destination's name and the bytes, each as its low 8 bits.
    std::string_view dest() const { return {data(), destSize_}; }
    const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(data()) + destSize_; }
    std::size_t byteCount() const { return byteCount_; }

private:
    const char* data() const { return spill_ ? spill_.get() : local_; }

    Kind kind_ = Kind::ports;
    std::uint16_t byteCount_ = 0;
    std::size_t destSize_ = 0;
    std::int64_t id_ = 0;
    std::unique_ptr<char[]> spill_;  // dest and bytes when local_ is too small
    char local_[32];
};

// The ports command, or else the object read as a send request.
Request requestOf(const Json& object);
// The object read as a send request, whatever its "cmd".
Request sendRequestOf(const Json& object);
