// The JSON writer, fuzzed: input bytes, split at NUL, become a port's name,
// device and identity texts (a leading byte picks its bus and interface),
// and every document written must parse as strict, plain-ASCII JSON.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/json_writer.h"

namespace {

void check(bool holds) {
    if (!holds) {
        __builtin_trap();
    }
}

// A strict reader: RFC 8259 grammar, nothing but ASCII, surrogates only in
// pairs.
class Reader {
public:
    Reader(const char* text, std::size_t size) : at_(text), end_(text + size) {}
    bool document() { return value(0) && (space(), at_ == end_); }

private:
    bool value(int depth) {
        space();
        if (at_ == end_ || depth > 8) return false;
        switch (*at_) {
            case '{': return container('}', depth, true);
            case '[': return container(']', depth, false);
            case '"': return string();
            case 't': return word("true");
            case 'f': return word("false");
            case 'n': return word("null");
            default: return number();
        }
    }
    bool container(char close, int depth, bool object) {
        ++at_;
        space();
        if (take(close)) return true;
        do {
            space();
            if (object && !(string() && (space(), take(':')))) return false;
            if (!value(depth + 1)) return false;
            space();
        } while (take(','));
        return take(close);
    }
    bool string() {
        if (!take('"')) return false;
        bool highSurrogate = false;
        while (at_ != end_ && *at_ != '"') {
            const auto c = static_cast<unsigned char>(*at_++);
            if (c < 0x20 || c >= 0x80) return false;
            if (c != '\\') {
                if (highSurrogate) return false;
                continue;
            }
            if (at_ == end_) return false;
            const char escape = *at_++;
            if (escape != 'u') {
                if (highSurrogate || !std::strchr("\"\\/bfnrt", escape)) return false;
                continue;
            }
            if (end_ - at_ < 4 || std::strspn(std::string(at_, 4).c_str(), "0123456789abcdefABCDEF") != 4) return false;
            const long unit = std::strtol(std::string(at_, 4).c_str(), nullptr, 16);
            at_ += 4;
            const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
            if (low != highSurrogate) return false;
            highSurrogate = unit >= 0xD800 && unit <= 0xDBFF;
        }
        return !highSurrogate && take('"');
    }
    bool number() {
        take('-');
        const char* digits = at_;
        while (at_ != end_ && *at_ >= '0' && *at_ <= '9') ++at_;
        return at_ > digits && (at_ - digits == 1 || *digits != '0');
    }
    bool word(const char* text) {
        const std::size_t length = std::strlen(text);
        if (static_cast<std::size_t>(end_ - at_) < length || std::strncmp(at_, text, length) != 0) return false;
        at_ += length;
        return true;
    }
    bool take(char c) { return at_ != end_ && *at_ == c && (++at_, true); }
    void space() {
        while (at_ != end_ && std::strchr(" \t\r\n", *at_) && *at_ != '\0') ++at_;
    }

    const char* at_;
    const char* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::PortIdentity identity;
    const std::uint8_t control = size > 0 ? data[0] : 0;
    identity.bus = static_cast<platform::PortBus>(control % 5);
    identity.interfaceNumber = control >= 0x80 ? -1 : control / 5;
    const std::string input(reinterpret_cast<const char*>(data) + (size > 0), size - (size > 0));
    char name[64] = {};
    char device[256] = {};
    char* const texts[] = {name, device, identity.vendorId, identity.productId, identity.serialNumber,
                           identity.manufacturer, identity.product, identity.description, identity.location,
                           identity.stablePath};
    const std::size_t sizes[] = {sizeof name, sizeof device, sizeof identity.vendorId, sizeof identity.productId,
                                 sizeof identity.serialNumber, sizeof identity.manufacturer, sizeof identity.product,
                                 sizeof identity.description, sizeof identity.location, sizeof identity.stablePath};
    std::size_t start = 0;
    for (std::size_t field = 0; field < 10 && start <= input.size(); ++field) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        std::snprintf(texts[field], sizes[field], "%s", input.substr(start, end - start).c_str());
        start = end + 1;
    }
    char* document = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&document, &length);
    check(out != nullptr);
    writeJsonPort(out, {static_cast<std::int32_t>(size), name, device, control % 2 == 0, &identity});
    std::fputc('\n', out);
    writeJsonError(out, input.c_str());
    std::fclose(out);
    // Two documents, each whole: the port, then the error on its line.
    const char* split = static_cast<const char*>(std::memchr(document, '\n', length));
    check(split != nullptr);
    check(Reader(document, static_cast<std::size_t>(split - document)).document());
    check(Reader(split + 1, length - static_cast<std::size_t>(split + 1 - document)).document());
    std::free(document);
    return 0;
}
