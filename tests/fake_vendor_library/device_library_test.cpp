// Proves the shared-library backend reaches a real .so through the vendor's
// Linux ABI: every argument arrives, every status and count comes back, and a
// library that cannot be used is reported by name instead of crashing.
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_siusbxp.h"
#include "stage/usb/device_library.h"
#include "stage/usb/packet_codec.h"
#include "stage/usb/shared_library.h"

namespace stage::usb {
namespace {

using testing::HasSubstr;

// A handle whose upper 32 bits are set, so any narrowing on the way shows.
// NOLINTNEXTLINE(performance-no-int-to-ptr): an opaque made-up handle, never dereferenced
void* const kVendorHandle = reinterpret_cast<void*>(std::uintptr_t{0x7F00DEADBEE0});

class SharedLibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    fake_reset();
    fake_set_open_handle(kVendorHandle);
    SharedLibraryLoad load = SharedLibrary::Load(FAKE_SIUSBXP_PATH);
    ASSERT_NE(load.library, nullptr) << load.error;
    EXPECT_EQ(load.error, "");
    library_ = std::move(load.library);
  }

  Handle OpenDevice(std::uint32_t device) {
    Handle handle = 0;
    EXPECT_EQ(library_->Open(device, handle), SI_SUCCESS);
    return handle;
  }

  std::unique_ptr<SharedLibrary> library_;
};

TEST_F(SharedLibraryTest, CountsTheDevices) {
  fake_set_devices(3);
  std::uint32_t count = 0;
  EXPECT_EQ(library_->GetNumDevices(count), SI_SUCCESS);
  EXPECT_EQ(count, 3u);
  EXPECT_STREQ(fake_last_call()->function, "SI_GetNumDevices");
  EXPECT_EQ(fake_last_call()->count_pointer, &count);
}

TEST_F(SharedLibraryTest, HandsTheWhole257ByteBufferToTheProductString) {
  std::vector<std::uint8_t> product(kProductStringBufferSize, 'A');
  product.back() = 0;  // 256 characters and the terminating zero
  fake_set_product_string(product.data(), static_cast<unsigned>(product.size()));
  std::array<std::uint8_t, kProductStringBufferSize> buffer;
  buffer.fill(0x55);

  EXPECT_EQ(library_->GetProductString(2, buffer, 0), SI_SUCCESS);
  EXPECT_EQ(fake_last_call()->device, 2u);
  EXPECT_EQ(fake_last_call()->length, 0u);  // the option
  EXPECT_EQ(fake_last_call()->buffer, buffer.data());
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.end()), product);
}

TEST_F(SharedLibraryTest, PassesBothTimeoutsInOrder) {
  EXPECT_EQ(library_->SetTimeouts(10000, 2500), SI_SUCCESS);
  EXPECT_STREQ(fake_last_call()->function, "SI_SetTimeouts");
  EXPECT_EQ(fake_last_call()->read_timeout_ms, 10000u);
  EXPECT_EQ(fake_last_call()->write_timeout_ms, 2500u);
}

TEST_F(SharedLibraryTest, HandleRoundTripsThroughTheVendorPointer) {
  const Handle handle = OpenDevice(1);
  EXPECT_EQ(fake_last_call()->device, 1u);
  EXPECT_EQ(handle, reinterpret_cast<Handle>(kVendorHandle));

  EXPECT_EQ(library_->Close(handle), SI_SUCCESS);
  EXPECT_STREQ(fake_last_call()->function, "SI_Close");
  EXPECT_EQ(fake_last_call()->handle, kVendorHandle);
}

TEST_F(SharedLibraryTest, NullHandleReportedAsSuccessIsRefused) {
  fake_set_open_handle(nullptr);
  Handle handle = 1234;
  EXPECT_EQ(library_->Open(0, handle), SI_INVALID_HANDLE);
  EXPECT_EQ(handle, 0u);
}

TEST_F(SharedLibraryTest, WritesTheBytesSynchronouslyAndReportsTheCount) {
  const Handle handle = OpenDevice(0);
  const Packet command = {0x50, 0x0F, 0x05, 0x88, 0xFF, 0x7F, 0x05, 0x90, 0x00, 0x00, 0x00, 0x40};
  std::uint32_t written = 0;

  EXPECT_EQ(library_->Write(handle, command.data(), kPacketSize, written), SI_SUCCESS);
  EXPECT_EQ(written, kPacketSize);
  const FakeCall& call = *fake_last_call();
  EXPECT_STREQ(call.function, "SI_Write");
  EXPECT_EQ(call.handle, kVendorHandle);
  EXPECT_EQ(call.length, kPacketSize);
  EXPECT_EQ(call.count_pointer, &written);
  EXPECT_EQ(call.overlapped, nullptr);
  unsigned int kept = 0;
  const unsigned char* received = fake_written_bytes(&kept);
  ASSERT_EQ(kept, kPacketSize);
  EXPECT_TRUE(std::equal(command.begin(), command.end(), received));
}

TEST_F(SharedLibraryTest, LibraryThatScribblesOnTheWriteBufferLeavesOurBytesAlone) {
  fake_set_write_scribbles(1);
  const Handle handle = OpenDevice(0);
  for (const std::size_t size : {std::size_t{12}, std::size_t{300}}) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<std::uint8_t>(k);
    const std::vector<std::uint8_t> before = bytes;
    std::uint32_t written = 0;
    EXPECT_EQ(library_->Write(handle, bytes.data(), static_cast<std::uint32_t>(size), written),
              SI_SUCCESS);
    EXPECT_EQ(written, size);
    EXPECT_EQ(bytes, before) << size << " bytes";
    unsigned int kept = 0;
    const unsigned char* received = fake_written_bytes(&kept);
    EXPECT_TRUE(std::equal(received, received + kept, before.begin())) << size << " bytes";
  }
}

TEST_F(SharedLibraryTest, ReadsTheReplyIntoOurBufferAndReportsTheCount) {
  const Handle handle = OpenDevice(0);
  const Packet reply = {0x10, 0x27, 0x00, 0x40, 0x10, 0x00, 0x00, 0x00, 0x10, 0x27, 0x00, 0x40};
  fake_set_reply(reply.data(), kPacketSize);
  Packet buffer{};
  std::uint32_t read = 0;

  EXPECT_EQ(library_->Read(handle, buffer.data(), kPacketSize, read), SI_SUCCESS);
  EXPECT_EQ(read, kPacketSize);
  EXPECT_EQ(buffer, reply);
  const FakeCall& call = *fake_last_call();
  EXPECT_STREQ(call.function, "SI_Read");
  EXPECT_EQ(call.handle, kVendorHandle);
  EXPECT_EQ(call.buffer, buffer.data());
  EXPECT_EQ(call.length, kPacketSize);
  EXPECT_EQ(call.count_pointer, &read);
  EXPECT_EQ(call.overlapped, nullptr);
}

TEST_F(SharedLibraryTest, ShortReadReportsTheLibrarysCount) {
  const Handle handle = OpenDevice(0);
  const std::array<std::uint8_t, 5> reply = {1, 2, 3, 4, 5};
  fake_set_reply(reply.data(), static_cast<unsigned>(reply.size()));
  Packet buffer{};
  std::uint32_t read = 99;
  EXPECT_EQ(library_->Read(handle, buffer.data(), kPacketSize, read), SI_SUCCESS);
  EXPECT_EQ(read, 5u);
}

// Every status, success or not, comes back unchanged from every call.
struct StatusCase {
  const char* function;
  std::function<int(DeviceLibrary&)> call;
};

class StatusPassThroughTest : public SharedLibraryTest,
                              public testing::WithParamInterface<StatusCase> {};

TEST_P(StatusPassThroughTest, ReturnsTheLibrarysStatus) {
  const StatusCase& c = GetParam();
  for (const int status : {int{SI_DEVICE_NOT_FOUND}, int{SI_READ_TIMED_OUT}, 0x1234}) {
    fake_set_status(c.function, status);
    EXPECT_EQ(c.call(*library_), status) << UsbStatusName(status);
    EXPECT_STREQ(fake_last_call()->function, c.function);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, StatusPassThroughTest,
    testing::Values(
        StatusCase{"SI_GetNumDevices",
                   [](DeviceLibrary& library) {
                     std::uint32_t count = 0;
                     return library.GetNumDevices(count);
                   }},
        StatusCase{"SI_GetProductString",
                   [](DeviceLibrary& library) {
                     std::array<std::uint8_t, kProductStringBufferSize> buffer{};
                     return library.GetProductString(0, buffer, 0);
                   }},
        StatusCase{"SI_SetTimeouts",
                   [](DeviceLibrary& library) { return library.SetTimeouts(10000, 10000); }},
        StatusCase{"SI_Open",
                   [](DeviceLibrary& library) {
                     Handle handle = 0;
                     return library.Open(0, handle);
                   }},
        StatusCase{"SI_Close",
                   [](DeviceLibrary& library) {
                     return library.Close(reinterpret_cast<Handle>(kVendorHandle));
                   }},
        StatusCase{"SI_Write",
                   [](DeviceLibrary& library) {
                     const Packet packet{};
                     std::uint32_t written = 0;
                     return library.Write(reinterpret_cast<Handle>(kVendorHandle), packet.data(),
                                          kPacketSize, written);
                   }},
        StatusCase{"SI_Read",
                   [](DeviceLibrary& library) {
                     Packet packet{};
                     std::uint32_t read = 0;
                     return library.Read(reinterpret_cast<Handle>(kVendorHandle), packet.data(),
                                         kPacketSize, read);
                   }}),
    [](const testing::TestParamInfo<StatusCase>& case_info) {
      return std::string(case_info.param.function);
    });

// --- Libraries that cannot be used ---------------------------------------

TEST(SharedLibraryLoad, MissingFileIsAnErrorNamingThePath) {
  const std::string path = "/nonexistent-stage-console-dir/libSiUSBXp.so";
  const SharedLibraryLoad load = SharedLibrary::Load(path);
  EXPECT_EQ(load.library, nullptr);
  EXPECT_THAT(load.error, HasSubstr(path));
}

TEST(SharedLibraryLoad, FileThatIsNoLibraryIsAnErrorNamingThePath) {
  const std::string path = __FILE__;  // exists, but is source text
  const SharedLibraryLoad load = SharedLibrary::Load(path);
  EXPECT_EQ(load.library, nullptr);
  EXPECT_THAT(load.error, HasSubstr(path));
}

TEST(SharedLibraryLoad, MissingFunctionIsAnErrorNamingTheFunctionAndTheFile) {
  const SharedLibraryLoad load = SharedLibrary::Load(FAKE_SIUSBXP_MISSING_PATH);
  EXPECT_EQ(load.library, nullptr);
  EXPECT_THAT(load.error, HasSubstr("SI_Read"));
  EXPECT_THAT(load.error, HasSubstr(FAKE_SIUSBXP_MISSING_PATH));
  EXPECT_THAT(load.error, testing::Not(HasSubstr("SI_Write")));
}

}  // namespace
}  // namespace stage::usb
