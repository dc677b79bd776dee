#include "cli/json_writer.h"

#include <cstring>
#include <utility>

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

// The code point of the UTF-8 sequence at text (of available bytes), and
// its length in bytes; kReplacement and 1 for a byte that starts no valid
// sequence (overlong forms, surrogates and values past U+10FFFF included).
std::uint32_t decode(const unsigned char* text, std::size_t available, std::size_t& length) {
    const unsigned char lead = text[0];
    length = 1;
    if (lead < 0x80) {
        return lead;
    }
    std::size_t extra = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return kReplacement;
    }
    if (extra >= available) {
        return kReplacement;
    }
    std::uint32_t point = lead & (0x3FU >> extra);
    for (std::size_t index = 1; index <= extra; ++index) {
        const unsigned char next = text[index];
        if (next < (index == 1 ? low : 0x80) || next > (index == 1 ? high : 0xBF)) {
            return kReplacement;
        }
        point = point << 6 | (next & 0x3FU);
    }
    length = extra + 1;
    return point;
}

void writeEscape(std::FILE* out, std::uint32_t unit) { std::fprintf(out, "\\u%04x", static_cast<unsigned>(unit)); }

void writeKey(std::FILE* out, const char* key) { std::fprintf(out, ",\"%s\":", key); }

void writeString(std::FILE* out, const char* text, std::size_t size) {
    std::fputc('"', out);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t at = 0, length = 0; at < size; at += length) {
        const std::uint32_t point = decode(bytes + at, size - at, length);
        if (point == '"' || point == '\\') {
            std::fputc('\\', out);
            std::fputc(static_cast<int>(point), out);
        } else if (point >= 0x20 && point < 0x7F) {
            std::fputc(static_cast<int>(point), out);
        } else if (point < 0x10000) {
            writeEscape(out, point);
        } else {
            writeEscape(out, 0xD800 + ((point - 0x10000) >> 10));
            writeEscape(out, 0xDC00 + ((point - 0x10000) & 0x3FF));
        }
    }
    std::fputc('"', out);
}

const char* busName(platform::PortBus bus) {
    switch (bus) {
        case platform::PortBus::Usb: return "usb";
        case platform::PortBus::Bluetooth: return "bluetooth";
        case platform::PortBus::Builtin: return "builtin";
        case platform::PortBus::Virtual: return "virtual";
        case platform::PortBus::Unknown: break;
    }
    return "unknown";
}

}  // namespace

void writeJsonString(std::FILE* out, const char* text) {
    if (text == nullptr || *text == '\0') {
        std::fputs("null", out);
        return;
    }
    writeString(out, text, std::strlen(text));
}

void writeJsonPort(std::FILE* out, const PortReport& port) {
    const platform::PortIdentity& identity = *port.identity;
    std::fprintf(out, "{\"com\":%d", static_cast<int>(port.comNumber));
    writeKey(out, "name");
    writeJsonString(out, port.name);
    writeKey(out, "device");
    writeJsonString(out, port.device);
    std::fprintf(out, ",\"answered\":%s,\"bus\":\"%s\"", port.answered ? "true" : "false", busName(identity.bus));
    writeKey(out, "vendor_id");
    writeJsonString(out, identity.vendorId);
    writeKey(out, "product_id");
    writeJsonString(out, identity.productId);
    writeKey(out, "interface");
    if (identity.interfaceNumber >= 0) {
        std::fprintf(out, "%d", static_cast<int>(identity.interfaceNumber));
    } else {
        std::fputs("null", out);
    }
    const std::pair<const char*, const char*> texts[] = {
        {"serial_number", identity.serialNumber}, {"manufacturer", identity.manufacturer},
        {"product", identity.product},            {"description", identity.description},
        {"location", identity.location},          {"stable_path", identity.stablePath}};
    for (const auto& [key, text] : texts) {
        writeKey(out, key);
        writeJsonString(out, text);
    }
    std::fputc('}', out);
}

void writeJsonError(std::FILE* out, const char* message) {
    std::size_t length = std::strlen(message);
    if (length > 0 && message[length - 1] == '\n') {
        --length;
    }
    std::fputs("{\"error\":", out);
    writeString(out, message, length);
    std::fputs("}\n", out);
}
