// Why: the native USB backend decides everything above libusb (which device
// is which number, what an open and a close send, how reads span packets,
// which status a failure becomes); these tests play a scripted bus under it
// and check every request that reaches the transport.
#include "stage/usb/native_usb.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/core/scripted_usb.h"

namespace stage::usb {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using test::Bytes;
using test::Controller;
using test::InPacket;
using test::ScriptedBus;
using test::ScriptedTransport;
using test::Utf16;

// Names a table row after its case.
template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& row) {
  return row.param.name;
}

class NativeUsbTest : public testing::Test {
 protected:
  NativeUsb& Library(std::vector<UsbId> ids = {}) {
    library_ = std::make_unique<NativeUsb>(std::make_unique<ScriptedTransport>(bus_), std::move(ids),
                                           [this](const std::string& line) { diagnostics_.push_back(line); });
    // No access rule on this machine unless a test installs one.
    library_->SetFileExists([this](const char* path) { return installed_files_.count(path) != 0; });
    return *library_;
  }

  // One controller "A", counted and opened; the log starts after the open.
  Handle OpenOne() {
    bus_.devices = {Controller(1, {2}, u"A")};
    std::uint32_t count = 0;
    EXPECT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
    Handle handle = 0;
    EXPECT_EQ(library_->Open(0, handle), SI_SUCCESS);
    bus_.log.clear();
    return handle;
  }

  std::string ProductString(std::uint32_t device, std::uint32_t option = 0) {
    std::array<std::uint8_t, kProductStringBufferSize> buffer{};
    EXPECT_EQ(library_->GetProductString(device, buffer, option), SI_SUCCESS);
    return reinterpret_cast<const char*>(buffer.data());
  }

  ScriptedBus bus_;
  std::vector<std::string> diagnostics_;
  std::set<std::string> installed_files_;
  std::unique_ptr<NativeUsb> library_;
};

TEST_F(NativeUsbTest, NumbersControllersByBusThenPortPathWhateverTheBusOrder) {
  bus_.devices = {Controller(2, {1}, u"B2-1"), Controller(1, {10}, u"B1-10"), Controller(1, {2, 1}, u"B1-2.1"),
                  Controller(1, {2}, u"B1-2"), Controller(1, {3}, u"B1-3")};
  std::uint32_t count = 0;
  ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
  ASSERT_EQ(count, 5u);
  std::vector<std::string> order;
  for (std::uint32_t i = 0; i < count; ++i) order.push_back(ProductString(i));
  EXPECT_THAT(order, ElementsAre("B1-2", "B1-2.1", "B1-3", "B1-10", "B2-1"));
  EXPECT_EQ(PortPathText(library_->Devices()[1]), "1-2.1");
}

TEST_F(NativeUsbTest, ListsOnlyTheGivenUsbIds) {
  bus_.devices = {Controller(1, {1}, u"default"), Controller(1, {2}, u"custom")};
  bus_.devices[1].id = UsbId{0x1234, 0xABCD};
  std::uint32_t count = 0;
  ASSERT_EQ(Library({UsbId{0x1234, 0xABCD}}).GetNumDevices(count), SI_SUCCESS);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(ProductString(0), "custom");
  ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);  // no ID given: the controllers' own
  EXPECT_EQ(ProductString(0), "default");
}

TEST_F(NativeUsbTest, NoControllerOrAFailedListIsAFailedCount) {
  std::uint32_t count = 7;
  EXPECT_EQ(Library().GetNumDevices(count), SI_DEVICE_NOT_FOUND);
  EXPECT_EQ(count, 0u);
  bus_.devices = {Controller(1, {1}, u"A")};
  bus_.list_error = kTransportNoMem;
  EXPECT_EQ(library_->GetNumDevices(count), SI_DEVICE_NOT_FOUND);
  EXPECT_EQ(count, 0u);
  EXPECT_THAT(diagnostics_, ElementsAre(HasSubstr("LIBUSB_ERROR_NO_MEM")));
}

TEST_F(NativeUsbTest, DeviceNumbersReferToTheLastCount) {
  bus_.devices = {Controller(1, {1}, u"A"), Controller(1, {2}, u"B")};
  std::uint32_t count = 0;
  ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
  bus_.devices.pop_back();  // unplugged before the next count
  ASSERT_EQ(library_->GetNumDevices(count), SI_SUCCESS);
  ASSERT_EQ(count, 1u);
  Handle handle = 0;
  EXPECT_EQ(library_->Open(1, handle), SI_DEVICE_NOT_FOUND);
  EXPECT_EQ(handle, 0u);
  std::array<std::uint8_t, kProductStringBufferSize> buffer{};
  buffer[0] = 'x';
  EXPECT_EQ(library_->GetProductString(1, buffer, 0), SI_DEVICE_NOT_FOUND);
  EXPECT_EQ(buffer[0], 'x');  // an unknown device leaves the buffer alone
}

struct StringCase {
  const char* name;
  std::vector<std::uint8_t> descriptor;
  std::string text;
};

class StringDescriptorTest : public testing::TestWithParam<StringCase> {};

TEST_P(StringDescriptorTest, ReadsAs8BitText) { EXPECT_EQ(StringDescriptorText(GetParam().descriptor), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, StringDescriptorTest,
    testing::Values(StringCase{"Ascii", Utf16(u"KVT001X"), "KVT001X"},
                    StringCase{"Latin1KeepsItsByte", Utf16(u"\u00E9t\u00E9"), "\xE9t\xE9"},
                    StringCase{"Beyond8BitIsAQuestionMark", Utf16(u"A\u20ACB"), "A?B"},
                    StringCase{"ZeroUnitEndsTheText", Utf16(std::u16string(u"AB\0CD", 5)), "AB"},
                    StringCase{"OddTrailingByteIgnored", {'A', 0, 'B'}, "A"},
                    StringCase{"Empty", {}, ""},
                    StringCase{"CutAt256Bytes", Utf16(std::u16string(300, u'W')), std::string(256, 'W')}),
    CaseName<StringCase>);

TEST_F(NativeUsbTest, OptionZeroIsTheSerialNumberOptionOneTheProduct) {
  bus_.devices = {Controller(1, {1}, u"SER123")};
  std::uint32_t count = 0;
  ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
  EXPECT_EQ(ProductString(0, 0), "SER123");
  EXPECT_EQ(ProductString(0, 1), "USB servo controller");
  std::array<std::uint8_t, kProductStringBufferSize> buffer{};
  EXPECT_EQ(library_->GetProductString(0, buffer, 2), SI_INVALID_PARAMETER);
}

TEST_F(NativeUsbTest, OpenClaimsThenEnablesAndCloseDisablesThenReleases) {
  bus_.devices = {Controller(1, {1}, u"A"), Controller(1, {2}, u"B")};
  std::uint32_t count = 0;
  ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
  Handle a = 0;
  Handle b = 0;
  ASSERT_EQ(library_->Open(0, a), SI_SUCCESS);
  ASSERT_EQ(library_->Open(1, b), SI_SUCCESS);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(library_->Close(a), SI_SUCCESS);
  EXPECT_EQ(library_->Close(b), SI_SUCCESS);
  EXPECT_THAT(bus_.log, ElementsAre("A open", "A claim 0", "A control 40 02 0002 0000",  //
                                    "B open", "B claim 0", "B control 40 02 0002 0000",  //
                                    "A control 40 02 0004 0000", "A release 0", "A close",
                                    "B control 40 02 0004 0000", "B release 0", "B close"));
  EXPECT_EQ(library_->Close(a), SI_INVALID_HANDLE);  // a closed handle is not reused
}

TEST_F(NativeUsbTest, TheBackendGivesBackWhatIsStillOpenWhenItEnds) {
  OpenOne();
  library_.reset();
  EXPECT_THAT(bus_.log, ElementsAre("A control 40 02 0004 0000", "A release 0", "A close"));
  EXPECT_EQ(bus_.open_connections, 0);
}

struct OpenFailureCase {
  const char* name;
  const char* failing_request;
  int error;
  int status;
  std::vector<std::string> log;
  const char* advice;  // in the line the box gets on the cause and the fix; "" for none
};

class OpenFailureTest : public NativeUsbTest, public testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, ReportsTheCauseAndLeavesNothingOpen) {
  const OpenFailureCase& c = GetParam();
  bus_.devices = {Controller(1, {4}, u"A")};
  bus_.errors[c.failing_request] = c.error;
  std::uint32_t count = 0;
  ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
  Handle handle = 0;
  EXPECT_EQ(library_->Open(0, handle), c.status);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(bus_.log, c.log);
  EXPECT_EQ(bus_.open_connections, 0);
  ASSERT_EQ(diagnostics_.size(), 1u);
  EXPECT_THAT(diagnostics_[0], HasSubstr(TransportErrorName(c.error)));
  EXPECT_THAT(diagnostics_[0], HasSubstr("(serial \"A\", port 1-4)"));
  if (*c.advice != 0) {
    EXPECT_THAT(library_->FailureAdvice(), HasSubstr(c.advice));
  } else {
    EXPECT_THAT(library_->FailureAdvice(), IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFailureTest,
    testing::Values(
        OpenFailureCase{"NoAccessRights", "open", kTransportAccess, SI_DEVICE_IO_FAILED, {"A open"}, "70-stage-console.rules"},
        OpenFailureCase{"Unplugged", "open", kTransportNoDevice, SI_DEVICE_NOT_FOUND, {"A open"}, ""},
        OpenFailureCase{"ClaimedElsewhere", "claim", kTransportBusy, SI_DEVICE_IO_FAILED,
                        {"A open", "A claim 0", "A close"}, "Another program holds"},
        OpenFailureCase{"EnableRefused", "enable", kTransportPipe, SI_DEVICE_IO_FAILED,
                        {"A open", "A claim 0", "A control 40 02 0002 0000", "A release 0", "A close"}, ""}),
    CaseName<OpenFailureCase>);

// With the access rule installed, advising it again sends the operator in a
// circle: the advice names what else refuses access and how to check.
TEST_F(NativeUsbTest, AccessDeniedDespiteTheInstalledRuleNamesTheOtherCauses) {
  for (const char* rule : kAccessRulePaths) {
    SCOPED_TRACE(rule);
    installed_files_ = {rule};
    bus_.devices = {Controller(1, {4}, u"")};
    bus_.errors["open"] = kTransportAccess;
    std::uint32_t count = 0;
    ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
    Handle handle = 0;
    ASSERT_EQ(library_->Open(0, handle), SI_DEVICE_IO_FAILED);
    const std::string advice = library_->FailureAdvice();
    EXPECT_THAT(advice, HasSubstr("70-stage-console.rules is installed"));
    EXPECT_THAT(advice, testing::Not(HasSubstr("install the access rule")));
    EXPECT_THAT(advice, HasSubstr("SSH"));
    EXPECT_THAT(advice, HasSubstr("remote desktop"));
    EXPECT_THAT(advice, HasSubstr("groups"));
    EXPECT_THAT(advice, HasSubstr("stage-console --list-devices"));
  }
  EXPECT_EQ(library_->DevicePort(0), "1-4");
  EXPECT_EQ(library_->DevicePort(1), "");
}

TEST_F(NativeUsbTest, ASuccessfulOpenClearsTheLastAdvice) {
  bus_.devices = {Controller(1, {1}, u"A")};
  bus_.errors["open"] = kTransportAccess;
  std::uint32_t count = 0;
  ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
  Handle handle = 0;
  ASSERT_NE(library_->Open(0, handle), SI_SUCCESS);
  ASSERT_FALSE(library_->FailureAdvice().empty());
  bus_.errors.clear();
  ASSERT_EQ(library_->Open(0, handle), SI_SUCCESS);
  EXPECT_THAT(library_->FailureAdvice(), IsEmpty());
}

TEST_F(NativeUsbTest, AControllerWithoutBulkEndpointsIsNotOpened) {
  bus_.devices = {Controller(1, {1}, u"A")};
  bus_.devices[0].endpoint_in = 0;
  std::uint32_t count = 0;
  ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
  Handle handle = 0;
  EXPECT_EQ(library_->Open(0, handle), SI_DEVICE_IO_FAILED);
  EXPECT_THAT(bus_.log, IsEmpty());
}

TEST_F(NativeUsbTest, WritesAreOneBulkOutOnTheDiscoveredEndpoint) {
  const Handle handle = OpenOne();
  ASSERT_EQ(library_->SetTimeouts(700, 300), SI_SUCCESS);
  const std::vector<std::uint8_t> packet = Bytes(1, 12);
  std::uint32_t written = 0;
  EXPECT_EQ(library_->Write(handle, packet.data(), 12, written), SI_SUCCESS);
  EXPECT_EQ(written, 12u);
  EXPECT_THAT(bus_.log, ElementsAre("A out 1 12 bytes, 300 ms"));
}

// What one read may get from a controller that answers one 12-byte reply
// per command over 64-byte packets, and how the read ends: read alone, and
// as the exchange with every axis. Whatever it was, the next read gets the
// controller's next reply, never a stale or shifted one.
struct ReplyCase {
  const char* name;
  std::vector<InPacket> packets;
  int status;
  std::uint32_t read;
  const char* diagnostic;  // "" for none
};

const std::vector<std::uint8_t> kReply = Bytes(0x40, 12);

std::vector<std::uint8_t> Join(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
std::vector<std::uint8_t> Part(const std::vector<std::uint8_t>& bytes, std::size_t begin, std::size_t end) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(begin), bytes.begin() + static_cast<std::ptrdiff_t>(end)};
}

class ReplyRuleTest : public NativeUsbTest, public testing::WithParamInterface<std::tuple<ReplyCase, bool>> {
 protected:
  // One read of 12 bytes, alone or as the exchange with every axis.
  int ReadOnce(Handle handle, std::array<std::uint8_t, 12>& reply, std::uint32_t& read) {
    reply.fill(0xEE);
    if (!std::get<1>(GetParam())) return library_->Read(handle, reply.data(), 12, read);
    const std::vector<std::uint8_t> command = Bytes(1, 12);
    std::array<AxisTransfer, 1> transfers{};
    transfers[0].handle = handle;
    transfers[0].command = command.data();
    transfers[0].reply = reply.data();
    EXPECT_EQ(library_->ExchangeAll(transfers, 12), 1u);
    EXPECT_EQ(transfers[0].write_status, SI_SUCCESS);
    EXPECT_TRUE(transfers[0].read_done);
    read = transfers[0].read;
    return transfers[0].read_status;
  }
};

TEST_P(ReplyRuleTest, EndsAsTheRuleSaysAndTheNextReadGetsTheNextReply) {
  const ReplyCase& c = std::get<0>(GetParam());
  const Handle handle = OpenOne();
  ASSERT_EQ(library_->SetTimeouts(50, 50), SI_SUCCESS);
  bus_.in_packets.assign(c.packets.begin(), c.packets.end());
  std::array<std::uint8_t, 12> reply{};
  std::uint32_t read = 0;
  EXPECT_EQ(ReadOnce(handle, reply, read), c.status);
  EXPECT_EQ(read, c.read);
  if (c.status == SI_SUCCESS) {
    EXPECT_EQ(std::vector<std::uint8_t>(reply.begin(), reply.end()), kReply);
  }
  if (*c.diagnostic != 0) {
    EXPECT_THAT(diagnostics_, ElementsAre(c.diagnostic));
  } else {
    EXPECT_THAT(diagnostics_, IsEmpty());
  }

  const std::vector<std::uint8_t> next = Bytes(0x80, 12);
  bus_.in_packets = {{next}};
  EXPECT_EQ(ReadOnce(handle, reply, read), SI_SUCCESS);
  EXPECT_EQ(read, 12u);
  EXPECT_EQ(std::vector<std::uint8_t>(reply.begin(), reply.end()), next);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyRuleTest,
    testing::Combine(
        testing::Values(
            ReplyCase{"OnePacket", {{kReply}}, SI_SUCCESS, 12, ""},
            ReplyCase{"SplitOverShortPackets", {{Part(kReply, 0, 5)}, {{}}, {Part(kReply, 5, 12)}}, SI_SUCCESS, 12, ""},
            ReplyCase{"HalfAReply", {{Part(kReply, 0, 5)}}, SI_READ_TIMED_OUT, 5, ""},
            ReplyCase{"TwiceInOnePacket", {{Join(kReply, kReply)}}, SI_READ_ERROR, 24,
                      "reading on USB: 24 bytes came for a reply of 12"},
            ReplyCase{"PaddedToAFullPacket", {{Join(kReply, std::vector<std::uint8_t>(52, 0))}}, SI_READ_ERROR, 64,
                      "reading on USB: 64 bytes came for a reply of 12"},
            ReplyCase{"ReplyAndPartOfAnother", {{Part(kReply, 0, 5)}, {Join(Part(kReply, 5, 12), Part(kReply, 0, 5))}},
                      SI_READ_ERROR, 17, "reading on USB: 17 bytes came for a reply of 12"},
            // A 100-byte packet: the host keeps 64 bytes and reports an overflow.
            ReplyCase{"Overflow", {{Join(Join(kReply, kReply), Bytes(0, 40)), kTransportOverflow}}, SI_READ_ERROR, 64,
                      "reading on USB: LIBUSB_ERROR_OVERFLOW"},
            ReplyCase{"OverflowWithAWholeReply", {{kReply, kTransportOverflow}}, SI_READ_ERROR, 12,
                      "reading on USB: LIBUSB_ERROR_OVERFLOW"}),
        testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<ReplyCase, bool>>& row) {
      return std::string(std::get<0>(row.param).name) + (std::get<1>(row.param) ? "Overlapped" : "Alone");
    });

TEST_F(NativeUsbTest, AReadCollectsShortPacketsUntilTheCountHasArrived) {
  const Handle handle = OpenOne();
  bus_.in_packets = {{Bytes(0, 5)}, {{}}, {Bytes(5, 7)}};  // the empty one is a zero-length packet
  std::array<std::uint8_t, 12> reply{};
  std::uint32_t read = 0;
  ASSERT_EQ(library_->Read(handle, reply.data(), 12, read), SI_SUCCESS);
  EXPECT_EQ(read, 12u);
  EXPECT_EQ(reply[11], 11);
  EXPECT_EQ(bus_.log.size(), 3u);
}

TEST_F(NativeUsbTest, TheReadTimeoutSpansAllPacketsOfOneRead) {
  const Handle handle = OpenOne();
  ASSERT_EQ(library_->SetTimeouts(1000, 1000), SI_SUCCESS);
  bus_.in_packets = {{Bytes(0, 5), kTransportOk, 400}};
  std::array<std::uint8_t, 12> reply{};
  std::uint32_t read = 0;
  EXPECT_EQ(library_->Read(handle, reply.data(), 12, read), SI_READ_TIMED_OUT);
  EXPECT_EQ(read, 5u);  // what arrived is reported
  EXPECT_THAT(bus_.log, ElementsAre("A in 130 64 bytes, 1000 ms", "A in 130 64 bytes, 600 ms"));
  EXPECT_EQ(bus_.now_ms, 1000u);
}

struct TimeoutCase {
  const char* name;
  std::uint32_t timeout_ms;
  std::uint32_t passed_to_libusb_ms;
};

class TimeoutTest : public NativeUsbTest, public testing::WithParamInterface<TimeoutCase> {};

TEST_P(TimeoutTest, ReachesLibusbInItsOwnTerms) {
  const Handle handle = OpenOne();
  ASSERT_EQ(library_->SetTimeouts(GetParam().timeout_ms, GetParam().timeout_ms), SI_SUCCESS);
  bus_.in_packets = {{Bytes(0, 12)}};
  std::array<std::uint8_t, 12> packet{};
  std::uint32_t count = 0;
  ASSERT_EQ(library_->Write(handle, packet.data(), 12, count), SI_SUCCESS);
  ASSERT_EQ(library_->Read(handle, packet.data(), 12, count), SI_SUCCESS);
  const std::string ms = std::to_string(GetParam().passed_to_libusb_ms) + " ms";
  EXPECT_THAT(bus_.log, ElementsAre("A out 1 12 bytes, " + ms, "A in 130 64 bytes, " + ms));
}

INSTANTIATE_TEST_SUITE_P(Cases, TimeoutTest,
                         testing::Values(TimeoutCase{"TheConsoles10Seconds", 10000, 10000},
                                         TimeoutCase{"ForeverIsLibusbsZero", kWaitForever, 0},
                                         TimeoutCase{"ZeroIsTheShortestWait", 0, 1},
                                         TimeoutCase{"DefaultBeforeSetTimeouts", kDefaultTimeoutMs,
                                                     kDefaultTimeoutMs}),
                         CaseName<TimeoutCase>);

TEST_F(NativeUsbTest, ASilentControllerWaitedForEverWaitsPastAnyDeadline) {
  const Handle handle = OpenOne();
  ASSERT_EQ(library_->SetTimeouts(kWaitForever, kWaitForever), SI_SUCCESS);
  bus_.in_packets = {{Bytes(0, 4), kTransportOk, 5'000'000}, {Bytes(4, 8), kTransportOk, 5'000'000}};
  std::array<std::uint8_t, 12> reply{};
  std::uint32_t read = 0;
  EXPECT_EQ(library_->Read(handle, reply.data(), 12, read), SI_SUCCESS);
  EXPECT_EQ(read, 12u);
}

struct ErrorCase {
  const char* name;
  bool write;
  int error;
  int status;
};

class ErrorMappingTest : public NativeUsbTest, public testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorMappingTest, BecomesTheStatusTheConsoleHandles) {
  const ErrorCase& c = GetParam();
  const Handle handle = OpenOne();
  std::array<std::uint8_t, 12> packet{};
  std::uint32_t count = 0;
  if (c.write) {
    bus_.errors["out"] = c.error;
    EXPECT_EQ(library_->Write(handle, packet.data(), 12, count), c.status);
  } else {
    bus_.in_packets = {{{}, c.error}};
    EXPECT_EQ(library_->Read(handle, packet.data(), 12, count), c.status);
  }
  EXPECT_EQ(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorMappingTest,
    testing::Values(ErrorCase{"WriteTimeout", true, kTransportTimeout, SI_WRITE_TIMED_OUT},
                    ErrorCase{"ReadTimeout", false, kTransportTimeout, SI_READ_TIMED_OUT},
                    ErrorCase{"WriteDeviceGone", true, kTransportNoDevice, SI_DEVICE_IO_FAILED},
                    ErrorCase{"ReadDeviceGone", false, kTransportNoDevice, SI_DEVICE_IO_FAILED},
                    ErrorCase{"WriteIoError", true, kTransportIo, SI_DEVICE_IO_FAILED},
                    ErrorCase{"ReadIoError", false, kTransportIo, SI_DEVICE_IO_FAILED},
                    ErrorCase{"WriteStall", true, kTransportPipe, SI_WRITE_ERROR},
                    ErrorCase{"ReadStall", false, kTransportPipe, SI_READ_ERROR},
                    ErrorCase{"ReadOverflow", false, kTransportOverflow, SI_READ_ERROR}),
    CaseName<ErrorCase>);

TEST_F(NativeUsbTest, UnknownHandlesAreInvalid) {
  const Handle handle = OpenOne();
  ASSERT_EQ(library_->Close(handle), SI_SUCCESS);
  std::array<std::uint8_t, 12> packet{};
  for (const Handle unknown : {Handle{0}, handle, Handle{99}}) {
    std::uint32_t count = 0;
    EXPECT_EQ(library_->Write(unknown, packet.data(), 12, count), SI_INVALID_HANDLE) << unknown;
    EXPECT_EQ(library_->Read(unknown, packet.data(), 12, count), SI_INVALID_HANDLE) << unknown;
    EXPECT_EQ(library_->Close(unknown), SI_INVALID_HANDLE) << unknown;
  }
}

TEST_F(NativeUsbTest, AnUnpluggedControllerIsGivenBackAtOnceAndFailsFromThenOn) {
  const Handle handle = OpenOne();
  bus_.in_packets = {{{}, kTransportNoDevice}};
  std::array<std::uint8_t, 12> packet{};
  std::uint32_t count = 0;
  ASSERT_EQ(library_->Read(handle, packet.data(), 12, count), SI_DEVICE_IO_FAILED);
  EXPECT_EQ(bus_.open_connections, 0);
  EXPECT_THAT(diagnostics_, ElementsAre(HasSubstr("LIBUSB_ERROR_NO_DEVICE")));
  bus_.log.clear();
  EXPECT_EQ(library_->Write(handle, packet.data(), 12, count), SI_DEVICE_IO_FAILED);
  EXPECT_EQ(library_->Read(handle, packet.data(), 12, count), SI_DEVICE_IO_FAILED);
  EXPECT_EQ(library_->Close(handle), SI_SUCCESS);
  EXPECT_THAT(bus_.log, IsEmpty());  // nothing more reaches the bus
  EXPECT_EQ(library_->Close(handle), SI_INVALID_HANDLE);
}

// The exchange with every axis on three controllers A, B and C: every write
// and read goes on the bus before the backend waits, and each entry comes
// back as Write then Read would have filled it.
class ExchangeAllTest : public NativeUsbTest {
 protected:
  static constexpr std::size_t kAxes = 3;

  // Opens A, B and C; on a bus without asynchronous transfers the backend
  // exchanges one after another.
  void OpenThree(bool asynchronous = true) {
    bus_.asynchronous = asynchronous;
    bus_.devices = {Controller(1, {1}, u"A"), Controller(1, {2}, u"B"), Controller(1, {3}, u"C")};
    std::uint32_t count = 0;
    ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
    ASSERT_EQ(library_->SetTimeouts(50, 50), SI_SUCCESS);
    for (std::size_t i = 0; i < kAxes; ++i) {
      ASSERT_EQ(library_->Open(static_cast<std::uint32_t>(i), transfers_[i].handle), SI_SUCCESS);
      commands_[i] = Bytes(static_cast<std::uint8_t>(0x10 * (i + 1)), 12);
    }
    bus_.log.clear();
  }
  // Each controller's reply: 12 bytes starting at 0x40, 0x50, 0x60.
  void EveryoneAnswers() {
    for (const char* name : {"A", "B", "C"}) {
      bus_.in_packets_of[name].push_back({Bytes(static_cast<std::uint8_t>(0x40 + 0x10 * (name[0] - 'A')), 12)});
    }
  }
  std::size_t ExchangeAll() {
    for (std::size_t i = 0; i < kAxes; ++i) {
      transfers_[i].command = commands_[i].data();
      replies_[i].fill(0xEE);
      transfers_[i].reply = replies_[i].data();
    }
    return library_->ExchangeAll(transfers_, 12);
  }

  std::array<AxisTransfer, kAxes> transfers_{};
  std::array<std::vector<std::uint8_t>, kAxes> commands_;
  std::array<std::array<std::uint8_t, 12>, kAxes> replies_{};
};

TEST_F(ExchangeAllTest, EveryWriteAndReadIsOnTheBusBeforeTheWait) {
  OpenThree();
  EveryoneAnswers();
  ASSERT_EQ(ExchangeAll(), kAxes);
  ASSERT_GE(bus_.log.size(), 7u);
  EXPECT_THAT(std::vector<std::string>(bus_.log.begin(), bus_.log.begin() + 7),
              ElementsAre("A submit out 1 12 bytes", "A submit in 130 64 bytes", "B submit out 1 12 bytes",
                          "B submit in 130 64 bytes", "C submit out 1 12 bytes", "C submit in 130 64 bytes", "wait"));
  for (std::size_t i = 0; i < kAxes; ++i) {
    EXPECT_EQ(transfers_[i].write_status, SI_SUCCESS) << i;
    EXPECT_EQ(transfers_[i].written, 12u) << i;
    EXPECT_TRUE(transfers_[i].read_done) << i;
    EXPECT_EQ(transfers_[i].read_status, SI_SUCCESS) << i;
    EXPECT_EQ(transfers_[i].read, 12u) << i;
    EXPECT_EQ(replies_[i][0], 0x40 + 0x10 * i) << "each reply in its own axis's entry";
  }
}

// One fault on controller B. Whatever it is, every entry up to B's comes back
// as the backend's one-after-another exchange fills it; C's may differ (it
// was exchanged, but the caller never judges it).
struct ExchangeFaultCase {
  const char* name;
  void (*fault)(ScriptedBus& bus);
  int write_status;
  bool read_done;
  int read_status;
  std::uint32_t read;
};

class ExchangeFaultTest : public ExchangeAllTest, public testing::WithParamInterface<ExchangeFaultCase> {
 protected:
  struct Outcome {
    std::array<AxisTransfer, kAxes> transfers;
    std::array<std::array<std::uint8_t, 12>, kAxes> replies;
    std::vector<std::string> diagnostics;
    int open_connections;
  };
  Outcome Run(bool asynchronous) {
    library_.reset();
    bus_ = ScriptedBus{};
    diagnostics_.clear();
    OpenThree(asynchronous);
    EveryoneAnswers();
    GetParam().fault(bus_);
    ExchangeAll();
    return {transfers_, replies_, diagnostics_, bus_.open_connections};
  }
};

TEST_P(ExchangeFaultTest, EndsUpAsOneExchangeAfterAnother) {
  const ExchangeFaultCase& c = GetParam();
  const Outcome want = Run(false);
  const Outcome got = Run(true);
  const AxisTransfer& b = got.transfers[1];
  EXPECT_EQ(b.write_status, c.write_status);
  EXPECT_EQ(b.read_done, c.read_done);
  EXPECT_EQ(b.read_status, c.read_status);
  EXPECT_EQ(b.read, c.read);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(got.transfers[i].write_status, want.transfers[i].write_status) << i;
    EXPECT_EQ(got.transfers[i].written, want.transfers[i].written) << i;
    EXPECT_EQ(got.transfers[i].read_done, want.transfers[i].read_done) << i;
    EXPECT_EQ(got.transfers[i].read_status, want.transfers[i].read_status) << i;
    EXPECT_EQ(got.transfers[i].read, want.transfers[i].read) << i;
    if (got.transfers[i].read_done) {
      EXPECT_EQ(got.replies[i], want.replies[i]) << i;
    }
  }
  EXPECT_EQ(got.diagnostics, want.diagnostics);
  EXPECT_EQ(got.open_connections, want.open_connections);
  EXPECT_EQ(bus_.now_ms, c.read_status == SI_READ_TIMED_OUT ? 50u : 0u) << "one time-out covers the whole wait";
}

INSTANTIATE_TEST_SUITE_P(
    OnB, ExchangeFaultTest,
    testing::Values(
        ExchangeFaultCase{"Silent", [](ScriptedBus& bus) { bus.in_packets_of["B"].clear(); }, SI_SUCCESS, true,
                          SI_READ_TIMED_OUT, 0},
        ExchangeFaultCase{"HalfAReply",
                          [](ScriptedBus& bus) { bus.in_packets_of["B"] = {{Bytes(0x50, 5)}}; },
                          SI_SUCCESS, true, SI_READ_TIMED_OUT, 5},
        ExchangeFaultCase{"ReplyInTwoPackets",
                          [](ScriptedBus& bus) { bus.in_packets_of["B"] = {{Bytes(0x50, 5)}, {Bytes(0x55, 7)}}; },
                          SI_SUCCESS, true, SI_SUCCESS, 12},
        ExchangeFaultCase{"WriteStalls", [](ScriptedBus& bus) { bus.errors["out B"] = kTransportPipe; },
                          SI_WRITE_ERROR, false, SI_SUCCESS, 0},
        ExchangeFaultCase{"ShortWrite", [](ScriptedBus& bus) { bus.out_counts["B"] = 11; }, SI_SUCCESS, false,
                          SI_SUCCESS, 0},
        ExchangeFaultCase{"ReadStalls", [](ScriptedBus& bus) { bus.in_packets_of["B"] = {{{}, kTransportPipe}}; },
                          SI_SUCCESS, true, SI_READ_ERROR, 0},
        ExchangeFaultCase{"UnpluggedBeforeTheWrite",
                          [](ScriptedBus& bus) {
                            bus.errors["out B"] = kTransportNoDevice;
                            bus.errors["in B"] = kTransportNoDevice;
                          },
                          SI_DEVICE_IO_FAILED, false, SI_SUCCESS, 0},
        ExchangeFaultCase{"UnpluggedBeforeTheReply",
                          [](ScriptedBus& bus) { bus.in_packets_of["B"] = {{{}, kTransportNoDevice}}; },
                          SI_SUCCESS, true, SI_DEVICE_IO_FAILED, 0},
        ExchangeFaultCase{"ReplyTwiceInOnePacket",
                          [](ScriptedBus& bus) { bus.in_packets_of["B"] = {{Join(Bytes(0x50, 12), Bytes(0x50, 12))}}; },
                          SI_SUCCESS, true, SI_READ_ERROR, 24},
        ExchangeFaultCase{"ReplyPaddedToAFullPacket",
                          [](ScriptedBus& bus) {
                            bus.in_packets_of["B"] = {{Join(Bytes(0x50, 12), std::vector<std::uint8_t>(52, 0))}};
                          },
                          SI_SUCCESS, true, SI_READ_ERROR, 64},
        ExchangeFaultCase{"Overflow",
                          [](ScriptedBus& bus) { bus.in_packets_of["B"] = {{Bytes(0x50, 64), kTransportOverflow}}; },
                          SI_SUCCESS, true, SI_READ_ERROR, 64}),
    CaseName<ExchangeFaultCase>);

TEST_F(ExchangeAllTest, AWriteThatFailsCancelsItsRead) {
  OpenThree();
  EveryoneAnswers();
  bus_.in_packets_of["B"].clear();  // B would stay silent: only the cancel ends its read
  bus_.errors["out B"] = kTransportPipe;
  ExchangeAll();
  EXPECT_THAT(bus_.log, testing::Contains("B cancel in"));
  EXPECT_EQ(bus_.now_ms, 0u) << "nobody waited for B's read time-out";
}

TEST_F(ExchangeAllTest, AnUnpluggedControllerIsGivenBackAndNeverSubmittedAgain) {
  OpenThree();
  EveryoneAnswers();
  bus_.errors["out B"] = kTransportNoDevice;
  bus_.errors["in B"] = kTransportNoDevice;
  ExchangeAll();
  EXPECT_EQ(bus_.open_connections, 2);
  EXPECT_THAT(bus_.log, testing::IsSupersetOf({"B release 0", "B close"}));
  EXPECT_THAT(diagnostics_, ElementsAre("writing on USB: LIBUSB_ERROR_NO_DEVICE"));
  bus_.log.clear();
  EveryoneAnswers();
  ExchangeAll();
  EXPECT_EQ(transfers_[1].write_status, SI_DEVICE_IO_FAILED);
  for (const std::string& line : bus_.log) EXPECT_THAT(line, testing::Not(testing::StartsWith("B "))) << line;
  EXPECT_EQ(transfers_[2].read_status, SI_SUCCESS);
}

TEST_F(ExchangeAllTest, BytesBeyondAReplyFailTheReadAndNeverServeALaterOne) {
  // A's first packet holds 26 bytes: two whole replies and 2 bytes of a
  // third. Its next exchange gets its next reply, in either backend.
  const auto run = [this](bool asynchronous) {
    library_.reset();
    bus_ = ScriptedBus{};
    OpenThree(asynchronous);
    bus_.in_packets_of["A"] = {{Bytes(0, 26)}, {Bytes(100, 12)}};
    std::vector<std::pair<int, std::uint32_t>> a_reads;
    std::vector<std::array<std::uint8_t, 12>> a_replies;
    for (int tick = 0; tick < 2; ++tick) {
      EveryoneAnswers();
      bus_.in_packets_of["A"].pop_back();  // A answers from its own script only
      ExchangeAll();
      a_reads.emplace_back(transfers_[0].read_status, transfers_[0].read);
      a_replies.push_back(replies_[0]);
    }
    return std::pair(a_reads, a_replies);
  };
  const auto want = run(false);
  const auto got = run(true);
  EXPECT_EQ(got, want);
  EXPECT_THAT(got.first, ElementsAre(std::pair(int{SI_READ_ERROR}, 26u), std::pair(int{SI_SUCCESS}, 12u)));
  EXPECT_EQ(std::vector<std::uint8_t>(got.second[1].begin(), got.second[1].end()), Bytes(100, 12));
}

// At the read deadline the backend cancels the reads still under way; a
// cancelled read that ends with part of a reply (the bytes came as the
// cancel was asked for) is a time-out with those bytes, never a read error.
struct LateCase {
  const char* name;
  InPacket late;
  int status;
  std::uint32_t read;
};

class ReadDeadlineTest : public ExchangeAllTest, public testing::WithParamInterface<LateCase> {};

TEST_P(ReadDeadlineTest, ACancelledReadEndsAsATimeOutWithTheBytesThatCame) {
  OpenThree();
  EveryoneAnswers();
  InPacket late = GetParam().late;
  late.at_cancel = true;
  bus_.in_packets_of["B"] = {late};
  ExchangeAll();
  EXPECT_THAT(bus_.log, testing::Contains("B cancel in"));
  EXPECT_EQ(transfers_[1].read_status, GetParam().status);
  EXPECT_EQ(transfers_[1].read, GetParam().read);
  EXPECT_EQ(replies_[1][0], 0x50);
  EXPECT_THAT(diagnostics_, IsEmpty());
  EXPECT_EQ(bus_.now_ms, 50u);
  EXPECT_EQ(transfers_[2].read_status, SI_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadDeadlineTest,
    testing::Values(LateCase{"PartOfAReplyThenCancelled", {Bytes(0x50, 5), kTransportInterrupted}, SI_READ_TIMED_OUT, 5},
                    LateCase{"PartOfAReplyCompleted", {Bytes(0x50, 5), kTransportOk}, SI_READ_TIMED_OUT, 5},
                    LateCase{"TheWholeReplyJustInTime", {Bytes(0x50, 12), kTransportOk}, SI_SUCCESS, 12}),
    CaseName<LateCase>);

TEST_F(ExchangeAllTest, AHandleTwiceIsExchangedOneAfterAnother) {
  OpenThree();
  EveryoneAnswers();
  bus_.in_packets_of["A"].push_back({Bytes(0x70, 12)});
  transfers_[2].handle = transfers_[0].handle;
  ASSERT_EQ(ExchangeAll(), kAxes);
  for (const std::string& line : bus_.log) EXPECT_THAT(line, testing::Not(HasSubstr("submit"))) << line;
  EXPECT_EQ(replies_[2][0], 0x70);
}

TEST(DeviceListTest, SaysWhichDeviceIsWhereAndWhetherThisUserMayOpenIt) {
  UsbDeviceEntry device = Controller(3, {1, 4}, u"K\"1\n");
  EXPECT_EQ(DescribeDevice(2, device, false),
            "2  serial \"K\\x221\\x0A\"  product \"USB servo controller\"  USB 10C4:EA61  bus 3 port 3-1.4  "
            "may be opened");
  device.serial_utf16.clear();
  device.product_utf16.clear();
  device.open_error = kTransportAccess;
  EXPECT_THAT(DescribeDevice(0, device, true), HasSubstr("rule 70-stage-console.rules is installed"));
  EXPECT_THAT(DescribeDevice(0, device, false),
              testing::StartsWith("0  serial \"\"  product \"\"  USB 10C4:EA61  bus 3 port 3-1.4  cannot be opened: "
                                  "LIBUSB_ERROR_ACCESS. This user may not open the controller: install the access "
                                  "rule 70-stage-console.rules"));
}

TEST(DeviceTextTest, EveryByteButPrintableAsciiIsEscaped) {
  for (int value = 0; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    const std::string escaped = PrintableText(std::string{'a', byte, 'b'});
    const bool plain = value >= 0x20 && value < 0x7F && byte != '"' && byte != '\\';
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02X", value);
    const std::string want = plain ? std::string{'a', byte, 'b'} : "a" + std::string(code) + "b";
    EXPECT_EQ(escaped, want) << value;
  }
  EXPECT_EQ(PrintableText("K\x1B[2J\r\b\a-1"), "K\\x1B[2J\\x0D\\x08\\x07-1");
}

// Only printable ASCII: nothing in it can move a terminal's cursor, clear its
// screen, ring its bell or start an escape sequence.
bool Printable(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// The hostile device campaign on the native backend: controllers whose serial
// numbers and product strings hold every control character (and DEL, 8-bit
// bytes, quotes, backslashes, units beyond 8 bits) fail every way an open
// can. Every line the backend gives the console to print, and every line of
// the device list, is printable, and names the serial as it was sent.
TEST_F(NativeUsbTest, DeviceTextIsEscapedInEveryLineWhateverTheDeviceSends) {
  std::u16string every_control;
  for (char16_t unit = 1; unit < 0x20; ++unit) every_control += unit;
  every_control += u"\u007F";
  for (char16_t unit = 0x80; unit < 0xA0; ++unit) every_control += unit;
  const std::vector<std::u16string> fixed = {every_control, u"K\u001B[2J\r\b\u0007-1", u"\"\\x1B\"",
                                             u"\u009B31m\u00FF\u20AC"};
  const std::vector<const char*> failures = {"open", "claim", "enable", "endpoints", ""};
  std::mt19937 random(18);
  int lines_checked = 0;
  for (int round = 0; round < 200; ++round) {
    const auto random_text = [&] {
      if (round < static_cast<int>(fixed.size())) return fixed[static_cast<std::size_t>(round)];
      std::u16string text(std::uniform_int_distribution<std::size_t>(0, 40)(random), u'A');
      for (char16_t& unit : text) unit = static_cast<char16_t>(std::uniform_int_distribution<int>(1, 0x17F)(random));
      return text;
    };
    const std::u16string serial = random_text();
    library_.reset();
    bus_ = ScriptedBus{};
    diagnostics_.clear();
    bus_.devices = {Controller(1, {2}, serial)};
    bus_.devices[0].product_utf16 = Utf16(random_text());
    const std::string failure = failures[static_cast<std::size_t>(round) % failures.size()];
    if (failure == "endpoints") {
      bus_.devices[0].endpoint_out = 0;
    } else if (!failure.empty()) {
      bus_.errors[failure] = failure == "open" ? kTransportAccess : kTransportBusy;
    }
    std::uint32_t count = 0;
    ASSERT_EQ(Library().GetNumDevices(count), SI_SUCCESS);
    Handle handle = 0;
    library_->Open(0, handle);
    if (handle != 0) {  // opened: then pulled out while polling
      bus_.in_packets = {{{}, kTransportNoDevice}};
      std::array<std::uint8_t, 12> reply{};
      std::uint32_t read = 0;
      library_->Read(handle, reply.data(), 12, read);
    }
    std::vector<std::string> lines = diagnostics_;
    lines.push_back(DescribeDevice(0, library_->Devices()[0], false));
    const std::string escaped = PrintableText(StringDescriptorText(Utf16(serial)));
    for (const std::string& line : lines) {
      EXPECT_TRUE(Printable(line)) << "round " << round << ": " << line;
      ++lines_checked;
    }
    if (!failure.empty()) {
      ASSERT_FALSE(diagnostics_.empty()) << round;
      EXPECT_THAT(diagnostics_[0], HasSubstr(escaped.empty() ? "(serial unknown, port 1-2)"
                                                              : "(serial \"" + escaped + "\", port 1-2)"))
          << round;
    }
    EXPECT_THAT(lines.back(), HasSubstr("serial \"" + escaped + "\""));
  }
  EXPECT_GE(lines_checked, 400);
}

TEST(AccessAdviceTest, NamesTheRuleOnlyForAccessRights) {
  EXPECT_THAT(AccessAdvice(kTransportAccess, false), HasSubstr("install the access rule 70-stage-console.rules"));
  EXPECT_THAT(AccessAdvice(kTransportIo, false), IsEmpty());
  EXPECT_THAT(AccessAdvice(kTransportIo, true), IsEmpty());
  EXPECT_STREQ(TransportErrorName(kTransportAccess), "LIBUSB_ERROR_ACCESS");
}

TEST(AccessAdviceTest, TheRuleIsLookedForInEveryFolderUdevReads) {
  std::vector<std::string> asked;
  EXPECT_FALSE(AccessRuleInstalled([&asked](const char* path) {
    asked.emplace_back(path);
    return false;
  }));
  EXPECT_THAT(asked, ElementsAre("/usr/lib/udev/rules.d/70-stage-console.rules",
                                 "/usr/local/lib/udev/rules.d/70-stage-console.rules",
                                 "/etc/udev/rules.d/70-stage-console.rules"));
  EXPECT_TRUE(AccessRuleInstalled(
      [](const char* path) { return std::string(path) == "/etc/udev/rules.d/70-stage-console.rules"; }));
}

}  // namespace
}  // namespace stage::usb
