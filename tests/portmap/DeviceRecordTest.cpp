// Reading a gateway's device description into the device record.
#include <gtest/gtest.h>

#include <string>

#include "portmap/DeviceRecord.h"
#include "tests/support/TestDirs.h"

namespace {

using portmap::DeviceRecord;
using portmap::ParseDeviceDescription;

TEST(DeviceRecord, DescriptionServedByMiniupnpd) {
    // As miniupnpd serves it (IGD v2): the root device, one WANDevice child
    // holding a WANConnectionDevice, and root properties after the children.
    const std::string xml = lftest::ReadFile(
        std::string(LF_SOURCE_DIR) + "/fuzz/portmap/corpus/device_description/rootdesc_igd_v2.xml");
    ASSERT_FALSE(xml.empty());
    DeviceRecord r;
    ASSERT_TRUE(ParseDeviceDescription(xml.data(), xml.size(), &r));
    EXPECT_EQ(r.children, "Yes: One child");
    EXPECT_EQ(r.hasChildren, "Yes");
    EXPECT_EQ(r.friendlyName, "Lanternfish Test Router");
    EXPECT_EQ(r.description, "Debian router");
    EXPECT_EQ(r.type, "urn:schemas-upnp-org:device:InternetGatewayDevice:2");
    EXPECT_EQ(r.udn, "uuid:3a1d2c3b-0000-4000-8000-00000000a001");
    EXPECT_EQ(r.upc, "");  // only the children have one
    EXPECT_EQ(r.services, "Yes: 2 services");
    EXPECT_EQ(r.presentationUrl, "http://10.233.0.1/");
    EXPECT_EQ(r.rootDevice, "This is a topmost device");
    EXPECT_EQ(r.parentDevice, "This is a topmost device");
}

const char kHandWritten[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<!-- <root><device><friendlyName>comment</friendlyName></device></root> -->\n"
    "<u:root xmlns:u=\"urn:schemas-upnp-org:device-1-0\">\n"
    " <u:device>\n"
    "  <u:friendlyName>  Home &amp; Office &lt;R1&gt; </u:friendlyName>\n"
    "  <manufacturer>ACME</manufacturer>\n"
    "  <serviceList><service><serviceType>x</serviceType></service></serviceList>\n"
    "  <iconList>\n"
    "   <icon><mimetype>image/png</mimetype><width>32</width><height>32</height>"
    "<depth>8</depth><url>/a.png</url></icon>\n"
    "   <icon><mimetype>image/gif</mimetype><width>48</width><height>48</height>"
    "<depth>8</depth><url>/b.gif</url></icon>\n"
    "   <icon><mimetype>image/gif</mimetype><width>32</width><height>32</height>"
    "<depth>8</depth><url>/c.gif</url></icon>\n"
    "  </iconList>\n"
    "  <deviceList>\n"
    "   <device><friendlyName>child one</friendlyName><deviceList><device/></deviceList></device>\n"
    "   <device><friendlyName>child two</friendlyName></device>\n"
    "   <device/>\n"
    "  </deviceList>\n"
    "  <empty/>\n"
    " </u:device>\n"
    "</u:root>\n";

TEST(DeviceRecord, RootPropertiesOnlyWithCountsIconAndEntities) {
    const std::string xml(kHandWritten);
    DeviceRecord r;
    ASSERT_TRUE(ParseDeviceDescription(xml.data(), xml.size(), &r));
    EXPECT_EQ(r.friendlyName, "Home & Office <R1>");
    EXPECT_EQ(r.manufacturer, "ACME");
    // Grandchildren are not children of the root device.
    EXPECT_EQ(r.children, "Yes: 3 children");
    EXPECT_EQ(r.services, "Yes: One service");
    EXPECT_EQ(r.iconUrl, "/c.gif");
}

TEST(DeviceRecord, CountTexts) {
    const struct {
        const char* xml;
        const char* children;
        const char* hasChildren;
        const char* services;
    } cases[] = {
        {"<root><device></device></root>", "No: Zero children", "No", "No: Zero services"},
        {"<root><device><deviceList><device/></deviceList><serviceList><service/><service/>"
         "</serviceList></device></root>",
         "Yes: One child", "Yes", "Yes: 2 services"},
        {"<root><device><deviceList><device/><device/></deviceList></device></root>",
         "Yes: 2 children", "Yes", "No: Zero services"},
    };
    for (const auto& c : cases) {
        DeviceRecord r;
        ASSERT_TRUE(ParseDeviceDescription(c.xml, std::string(c.xml).size(), &r)) << c.xml;
        EXPECT_EQ(r.children, c.children) << c.xml;
        EXPECT_EQ(r.hasChildren, c.hasChildren) << c.xml;
        EXPECT_EQ(r.services, c.services) << c.xml;
    }
}

TEST(DeviceRecord, NoRootDeviceLeavesTheFirstTextEmpty) {
    const char* const cases[] = {
        "",
        "<html><body>404</body></html>",
        "<root><specVersion/></root>",
        "<device><friendlyName>not under root</friendlyName></device>",
        "<root",
    };
    for (const char* xml : cases) {
        DeviceRecord r;
        EXPECT_FALSE(ParseDeviceDescription(xml, std::string(xml).size(), &r)) << xml;
        EXPECT_EQ(r.children, "") << xml;
    }
}

TEST(DeviceRecord, EveryTruncationIsReadSafelyAndTheWholeAgrees) {
    const std::string xml(kHandWritten);
    DeviceRecord whole;
    ASSERT_TRUE(ParseDeviceDescription(xml.data(), xml.size(), &whole));
    for (size_t n = 0; n <= xml.size(); ++n) {
        // Copy, so that a read past the prefix is caught by the sanitizers.
        const std::string prefix = xml.substr(0, n);
        DeviceRecord r;
        const bool ok = ParseDeviceDescription(prefix.data(), prefix.size(), &r);
        if (ok) {
            EXPECT_EQ(r.children.empty(), false);
        } else {
            EXPECT_EQ(r.children, "");
        }
    }
}

}  // namespace
