#include "driver/port_map.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "driver_fixture.h"

namespace tkrdr {

void PrintTo(const PortMapping& m, std::ostream* os) {
  *os << m.port << "=" << (m.backend.kind == BackendSpec::Kind::Pcsc ? "pcsc:" : "vtoken:")
      << m.backend.target;
}

namespace {

using Kind = BackendSpec::Kind;

struct MapCase {
  std::string name;
  std::string text;
  std::vector<PortMapping> expected;
};

class PortMapParse : public ::testing::TestWithParam<MapCase> {};

TEST_P(PortMapParse, KeepsTheWellFormedEntries) {
  EXPECT_EQ(parsePortMap(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PortMapParse,
    ::testing::Values(
        MapCase{"Empty", "", {}},
        MapCase{"TwoPairs",
                "USB1=vtoken:/tmp/t.vtoken;USB2=pcsc:Virtual PCD 00 00",
                {{"USB1", {Kind::Vtoken, "/tmp/t.vtoken"}},
                 {"USB2", {Kind::Pcsc, "Virtual PCD 00 00"}}}},
        MapCase{"InMemoryToken", "USB1=vtoken:", {{"USB1", {Kind::Vtoken, ""}}}},
        MapCase{"PathWithEquals", "USB1=vtoken:/tmp/a=b", {{"USB1", {Kind::Vtoken, "/tmp/a=b"}}}},
        MapCase{"EmptyEntriesSkipped", ";;USB1=vtoken:;", {{"USB1", {Kind::Vtoken, ""}}}},
        MapCase{"NoEquals", "USB1vtoken:;USB2=vtoken:", {{"USB2", {Kind::Vtoken, ""}}}},
        MapCase{"EmptyPort", "=vtoken:/x;USB2=vtoken:", {{"USB2", {Kind::Vtoken, ""}}}},
        MapCase{"UnknownKind", "USB1=file:/x;USB2=vtoken:", {{"USB2", {Kind::Vtoken, ""}}}},
        MapCase{"PcscWithoutName", "USB1=pcsc:;USB2=pcsc:R", {{"USB2", {Kind::Pcsc, "R"}}}},
        MapCase{"SpaceBeforeBackendIsUnknownKind", "USB1= vtoken:", {}},
        MapCase{"SpacesKeptInPortName", " USB1=vtoken:", {{" USB1", {Kind::Vtoken, ""}}}},
        MapCase{"FirstEntryOfAPortWins",
                "USB1=vtoken:/a;USB1=vtoken:/b;USB1=bad",
                {{"USB1", {Kind::Vtoken, "/a"}}}},
        MapCase{"MalformedFirstDoesNotHideLater",
                "USB1=nothing;USB1=vtoken:/b",
                {{"USB1", {Kind::Vtoken, "/b"}}}}),
    [](const auto& info) { return info.param.name; });

TEST(UsbPortNumber, AcceptsOnlyUsbFollowedByAPositiveNumber) {
  EXPECT_EQ(usbPortNumber("USB1"), 1u);
  EXPECT_EQ(usbPortNumber("USB12"), 12u);
  for (const char* bad : {"USB", "USB0", "USB01", "usb1", "USB1a", "USB-1", "COM1", "USB99999"}) {
    EXPECT_EQ(usbPortNumber(bad), std::nullopt) << bad;
  }
}

TEST(ReaderForPort, CountsReadersInNameOrder) {
  const std::vector<std::string> readers = {"Zeta 00 00", "Alpha 00 01", "Alpha 00 00"};
  EXPECT_EQ(readerForPort("USB1", readers), "Alpha 00 00");
  EXPECT_EQ(readerForPort("USB2", readers), "Alpha 00 01");
  EXPECT_EQ(readerForPort("USB3", readers), "Zeta 00 00");
  EXPECT_EQ(readerForPort("USB4", readers), std::nullopt);
  EXPECT_EQ(readerForPort("COM1", readers), std::nullopt);
  EXPECT_EQ(readerForPort("USB1", {}), std::nullopt);
}

class PortResolution : public drivertest::DriverTest {};

TEST_F(PortResolution, SetMapNamesTheOnlyPortsThatExist) {
  mapReaders("USB2=vtoken:" + file("t.vtoken"));
  EXPECT_EQ(resolvePort("USB2"), (BackendSpec{Kind::Vtoken, file("t.vtoken")}));
  EXPECT_EQ(resolvePort("USB1"), std::nullopt);
  EXPECT_EQ(resolvePort("usb2"), std::nullopt);
}

TEST_F(PortResolution, EmptyMapHasNoPorts) {
  mapReaders("");
  EXPECT_EQ(resolvePort("USB1"), std::nullopt);
  EXPECT_EQ(CT_open("USB1", 1, 0), -1);
}

TEST_F(PortResolution, UnsetMapAsksPcscWhichIsNotThere) {
  unsetenv("PELU7_READERS");
  EXPECT_EQ(resolvePort("USB1"), std::nullopt);
  EXPECT_EQ(CT_open("USB1", 1, 0), -1);
}

TEST_F(PortResolution, MapIsReadAgainAtEveryOpen) {
  mapReaders("");
  EXPECT_EQ(CT_open("USB1", 1, 0), -1);
  mapReaders("USB1=vtoken:");
  handles_.push_back(openOrFail("USB1"));
}

// A map of 100,000 ports (as a generated configuration may hold): every port
// keeps its first entry, and the last one still resolves.
TEST_F(PortResolution, LongMapResolvesItsLastPortAndKeepsFirstEntries) {
  constexpr int kPorts = 100000;
  std::string map;
  for (int i = 0; i < kPorts; ++i) map += "P" + std::to_string(i) + "=vtoken:/t" + std::to_string(i) + ";";
  map += "P0=pcsc:Later Reader;P" + std::to_string(kPorts - 1) + "=pcsc:Later Reader";
  mapReaders(map);
  EXPECT_EQ(resolvePort("P" + std::to_string(kPorts - 1)),
            (BackendSpec{Kind::Vtoken, "/t" + std::to_string(kPorts - 1)}));
  EXPECT_EQ(resolvePort("P0"), (BackendSpec{Kind::Vtoken, "/t0"}));
  EXPECT_EQ(resolvePort("P" + std::to_string(kPorts)), std::nullopt);
  EXPECT_EQ(parsePortMap(map).size(), static_cast<std::size_t>(kPorts));
}

}  // namespace
}  // namespace tkrdr
