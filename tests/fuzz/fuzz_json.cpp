// The JSON writer, fuzzed: input bytes, split at NUL, become a port's name,
// device and identity texts (the first byte picks bus and interface); the
// port and an error with the whole input must each parse as strict JSON,
// in plain ASCII, with surrogates only in pairs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "cli/json_writer.h"

namespace {

const char* at;
const char* end;

void check(bool holds) {
    if (!holds) __builtin_trap();
}
void space() {
    while (at < end && std::strchr(" \r\n", *at) != nullptr && *at != '\0') ++at;
}
bool take(char c) { return at < end && *at == c && (++at, true); }
bool word(const char* text) {
    const std::size_t length = std::strlen(text);
    return static_cast<std::size_t>(end - at) >= length && std::strncmp(at, text, length) == 0 && (at += length, true);
}

bool string() {
    bool high = false;  // the last escape was a high surrogate
    for (check(take('"')); !take('"');) {
        check(at < end && *at >= 0x20 && *at < 0x7F);
        if (!take('\\')) {
            check(!high && ++at);
        } else if (!take('u')) {
            check(!high && at < end && *at != '\0' && std::strchr("\"\\/bfnrt", *at++) != nullptr);
        } else {
            check(end - at >= 4 && std::strspn(std::string(at, 4).c_str(), "0123456789abcdef") == 4);
            const long unit = std::strtol(std::string(at, 4).c_str(), nullptr, 16);
            at += 4;
            check((unit >= 0xDC00 && unit <= 0xDFFF) == high);
            high = unit >= 0xD800 && unit <= 0xDBFF;
        }
    }
    return !high;
}

bool value() {
    space();
    check(at < end);
    if (*at == '"') return string();
    if (take('{') || take('[')) {
        const char close = at[-1] == '{' ? '}' : ']';
        const bool object = close == '}';
        if (space(), take(close)) return true;
        do {
            space();
            check(!object || (string() && (space(), take(':'))));
            check(value());
            space();
        } while (take(','));
        return take(close);
    }
    if (word("true") || word("false") || word("null")) return true;
    const char* digits = at + (*at == '-');
    for (at = digits; at < end && *at >= '0' && *at <= '9';) ++at;
    return at > digits && (at - digits == 1 || *digits != '0');
}

void parses(const char* text, std::size_t size) {
    at = text;
    end = text + size;
    check(value());
    space();
    check(at == end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::PortIdentity identity;
    const std::uint8_t control = size > 0 ? data[0] : 0;
    identity.bus = static_cast<platform::PortBus>(control % 5);
    identity.interfaceNumber = control >= 0x80 ? -1 : control / 5;
    const std::string input(reinterpret_cast<const char*>(data) + (size > 0), size - (size > 0));
    char name[64] = {};
    char device[256] = {};
    const std::pair<char*, std::size_t> texts[] = {
        {name, sizeof name}, {device, sizeof device}, {identity.vendorId, sizeof identity.vendorId},
        {identity.productId, sizeof identity.productId}, {identity.serialNumber, sizeof identity.serialNumber},
        {identity.manufacturer, sizeof identity.manufacturer}, {identity.product, sizeof identity.product},
        {identity.description, sizeof identity.description}, {identity.location, sizeof identity.location},
        {identity.stablePath, sizeof identity.stablePath}};
    std::size_t start = 0;
    for (const auto& [text, room] : texts) {
        std::snprintf(text, room, "%s", start < input.size() ? input.c_str() + start : "");
        start += std::strlen(input.c_str() + std::min(start, input.size())) + 1;
    }
    char* document = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&document, &length);
    check(out != nullptr);
    writeJsonPort(out, {static_cast<std::int32_t>(size), name, device, control % 2 == 0, &identity});
    const long portLength = std::ftell(out);
    writeJsonError(out, input.c_str());
    std::fclose(out);
    parses(document, static_cast<std::size_t>(portLength));
    parses(document + portLength, length - static_cast<std::size_t>(portLength));
    std::free(document);
    return 0;
}
