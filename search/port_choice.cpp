#include "search/port_choice.h"

#include "cli/run_settings.h"

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalText(const char* wanted, const char* have, bool ignoreCase) {
    for (; *wanted != '\0' && *have != '\0'; ++wanted, ++have) {
        if (ignoreCase ? lowerAscii(*wanted) != lowerAscii(*have) : *wanted != *have) {
            return false;
        }
    }
    return *wanted == '\0' && *have == '\0';
}

}  // namespace

bool choosingByIdentity() {
    const PortChoice& choice = runSettings.choice;
    return choice.serialNumber != nullptr || choice.vendorId[0] != '\0' || choice.location != nullptr;
}

const char* identityMismatch(const platform::PortIdentity& identity) {
    struct Field {
        const char* name;
        const char* wanted;
        const char* have;
        // Windows keeps serial numbers in upper case in its instance IDs,
        // Linux as the device tells them: the same word finds the same
        // device on both.
        bool ignoreCase;
    };
    const PortChoice& choice = runSettings.choice;
    const Field fields[] = {
        {"USB vendor ID", choice.vendorId, identity.vendorId, false},
        {"USB product ID", choice.productId, identity.productId, false},
        {"serial number", choice.serialNumber, identity.serialNumber, true},
        {"location", choice.location, identity.location, false},
    };
    int given = 0;
    int matched = 0;
    const char* first = nullptr;
    for (const Field& field : fields) {
        if (field.wanted == nullptr || field.wanted[0] == '\0') {
            continue;
        }
        ++given;
        if (equalText(field.wanted, field.have, field.ignoreCase)) {
            ++matched;
        } else if (first == nullptr) {
            first = field.name;
        }
    }
    return matched == given ? nullptr : first;
}

bool chosenByIdentity(std::int32_t comNumber) {
    if (!choosingByIdentity()) {
        return true;
    }
    platform::PortIdentity identity;
    platform::portIdentity(comNumber, identity);
    const char* mismatch = identityMismatch(identity);
    if (mismatch != nullptr) {
        verboseLog("(COM%d): Skipped, its %s does not match\n", static_cast<int>(comNumber), mismatch);
    }
    return mismatch == nullptr;
}
