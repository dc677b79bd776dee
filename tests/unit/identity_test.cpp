#include <gtest/gtest.h>

#include <string>
#include <utility>

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

// An interface of a composite device, with the instance ID of the USB device above it.
TEST(InstanceId, CompositeInterfaceTakesItsParentsSerialNumber) {
    const char kInterface[] = "USB\\VID_2341&PID_8036&MI_02\\6&3A7B2C5&0&0002";
    for (const auto& [parent, serial] : {std::pair{"USB\\VID_2341&PID_8036\\85734323231351E0B1C2", "85734323231351E0B1C2"},
                                         {"USB\\VID_2341&PID_8036\\5&2A2B3C&0&2", ""}, {"", ""}}) {
        platform::PortIdentity identity;
        ASSERT_TRUE(platform::readInstanceId(kInterface, identity));
        platform::takeParentSerialNumber(parent, identity);
        EXPECT_STREQ(identity.serialNumber, serial) << parent;
        EXPECT_EQ(identity.interfaceNumber, 2) << parent;
    }
}

}  // namespace
