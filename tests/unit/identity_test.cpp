#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/json_writer.h"
#include "platform/instance_id.h"

namespace {

struct InstanceIdCase {
    const char* id;
    platform::PortBus bus;
    std::string vendor, product, serial;
    int interfaceNumber;
    bool serialOnParent;
};

TEST(InstanceId, BusIdsInterfaceAndSerialNumber) {
    using platform::PortBus;
    const InstanceIdCase cases[] = {
        {"USB\\VID_2341&PID_0043\\75735323434351E0A1C1", PortBus::Usb, "2341", "0043", "75735323434351E0A1C1", -1, false},
        {"USB\\VID_2341&PID_8036&MI_02\\6&3A7B2C5&0&0002", PortBus::Usb, "2341", "8036", "", 2, true},
        {"usb\\vid_1A86&pid_7523\\5&2A2B3C&0&2", PortBus::Usb, "1a86", "7523", "", -1, false},
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", PortBus::Usb, "0403", "6001", "A50285BI", 0, false},
        {"FTDIBUS\\VID_0403+PID_6010+FT4ABCDB\\0000", PortBus::Usb, "0403", "6010", "FT4ABCD", 1, false},
        {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1A2B3C&0&001122334455_C00000000",
         PortBus::Bluetooth, "", "", "", -1, false},
        {"ACPI\\PNP0501\\1", PortBus::Builtin, "", "", "", -1, false},
        {"PCI\\VEN_8086&DEV_A13D&SUBSYS_00000000&REV_31\\3&11583659&0&B3", PortBus::Builtin, "", "", "", -1, false},
        {"ROOT\\PORTS\\0000", PortBus::Virtual, "", "", "", -1, false},
        {"USB\\VID_23410&PID_43&MI_0G\\A\\B", PortBus::Usb, "", "", "A\\B", -1, false},
        {"USBX\\VID_2341&PID_0043\\1", PortBus::Unknown, "", "", "", -1, false},
        {"COM0COM\\PORT\\CNCA0", PortBus::Unknown, "", "", "", -1, false},
        {"USB", PortBus::Unknown, "", "", "", -1, false},
        {"", PortBus::Unknown, "", "", "", -1, false},
    };
    for (const InstanceIdCase& row : cases) {
        platform::PortIdentity identity;
        EXPECT_EQ(platform::readInstanceId(row.id, identity), row.serialOnParent) << row.id;
        EXPECT_EQ(identity.bus, row.bus) << row.id;
        EXPECT_EQ(identity.vendorId, row.vendor) << row.id;
        EXPECT_EQ(identity.productId, row.product) << row.id;
        EXPECT_EQ(identity.serialNumber, row.serial) << row.id;
        EXPECT_EQ(identity.interfaceNumber, row.interfaceNumber) << row.id;
    }
}

template <typename Write>
std::string written(Write write) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    write(file);
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    EXPECT_EQ(std::fread(&text[0], 1, text.size(), file), text.size());
    std::fclose(file);
    return text;
}

TEST(JsonWriter, EscapesEverythingButPrintableAscii) {
    const std::pair<const char*, std::string> cases[] = {
        {nullptr, "null"},
        {"", "null"},
        {"Arduino Uno", "\"Arduino Uno\""},
        {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
        {"\n\t\x01\x1f\x7f", "\"\\u000a\\u0009\\u0001\\u001f\\u007f\""},
        {"Ger\xc3\xa4t \xe2\x82\xac \xf0\x9f\x98\x80", "\"Ger\\u00e4t \\u20ac \\ud83d\\ude00\""},
        // A lone, cut, overlong or surrogate sequence, and one past U+10FFFF.
        {"\xff|\xc3|\xe2\x82|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80",
         "\"\\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\\ufffd\""},
    };
    for (const auto& [text, json] : cases) {
        EXPECT_EQ(written([&](std::FILE* out) { writeJsonString(out, text); }), json) << json;
    }
    EXPECT_EQ(written([](std::FILE* out) { writeJsonError(out, "Invalid usage (com=\"). ex. COM=5\n"); }),
              "{\"error\":\"Invalid usage (com=\\\"). ex. COM=5\"}\n");
}

TEST(JsonWriter, PortWithEveryFieldInItsPlace) {
    platform::PortIdentity identity;
    identity.bus = platform::PortBus::Usb;
    platform::copyText(identity.vendorId, "2341", 4);
    platform::copyText(identity.productId, "0043", 4);
    identity.interfaceNumber = 0;
    platform::copyText(identity.serialNumber, "S1", 2);
    platform::copyText(identity.product, "Uno", 3);
    platform::copyText(identity.stablePath, "/dev/serial/by-id/x", 19);
    const PortReport port{4, "COM4", "/dev/ttyACM0", true, &identity};
    EXPECT_EQ(written([&](std::FILE* out) { writeJsonPort(out, port); }),
              "{\"com\":4,\"name\":\"COM4\",\"device\":\"/dev/ttyACM0\",\"answered\":true,\"bus\":\"usb\","
              "\"vendor_id\":\"2341\",\"product_id\":\"0043\",\"interface\":0,\"serial_number\":\"S1\","
              "\"manufacturer\":null,\"product\":\"Uno\",\"description\":null,\"location\":null,"
              "\"stable_path\":\"/dev/serial/by-id/x\"}");
}

}  // namespace
