#include "stage/usb/libusb_transport.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <chrono>

namespace stage::usb {
namespace {

static_assert(kTransportIo == int{LIBUSB_ERROR_IO} && kTransportAccess == int{LIBUSB_ERROR_ACCESS} &&
              kTransportNoDevice == int{LIBUSB_ERROR_NO_DEVICE} && kTransportNotFound == int{LIBUSB_ERROR_NOT_FOUND} &&
              kTransportBusy == int{LIBUSB_ERROR_BUSY} && kTransportTimeout == int{LIBUSB_ERROR_TIMEOUT} &&
              kTransportOverflow == int{LIBUSB_ERROR_OVERFLOW} && kTransportPipe == int{LIBUSB_ERROR_PIPE} &&
              kTransportNotSupported == int{LIBUSB_ERROR_NOT_SUPPORTED} && kTransportOther == int{LIBUSB_ERROR_OTHER},
              "our error values are libusb's");

// USB allows at most 7 tiers of hubs below the root.
constexpr int kMaxPortDepth = 7;
// A string descriptor is at most 255 bytes; its text starts after 2 header bytes.
constexpr int kStringDescriptorSize = 255;
constexpr int kStringHeaderSize = 2;
constexpr unsigned kStringTimeoutMs = 1000;

std::vector<std::uint8_t> ReadString(libusb_device_handle* handle, std::uint8_t index, std::uint16_t language) {
  if (index == 0) return {};
  std::array<unsigned char, kStringDescriptorSize> descriptor{};
  const int length = libusb_get_string_descriptor(handle, index, language, descriptor.data(),
                                                  static_cast<int>(descriptor.size()));
  if (length < kStringHeaderSize || descriptor[1] != LIBUSB_DT_STRING) return {};
  const int end = std::min<int>(length, descriptor[0]);
  if (end <= kStringHeaderSize) return {};
  return std::vector<std::uint8_t>(descriptor.begin() + kStringHeaderSize, descriptor.begin() + end);
}

// The first language the device offers, US English when it offers none.
std::uint16_t FirstLanguage(libusb_device_handle* handle) {
  std::array<unsigned char, 4> languages{};
  const int length = libusb_get_string_descriptor(handle, 0, 0, languages.data(), static_cast<int>(languages.size()));
  if (length < 4) return 0x0409;
  return static_cast<std::uint16_t>(languages[2] | (languages[3] << 8U));
}

void FindBulkEndpoints(libusb_device* device, UsbDeviceEntry& entry) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return;
  }
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    if (interface.num_altsetting < 1 || interface.altsetting[0].bInterfaceNumber != 0) continue;
    const libusb_interface_descriptor& setting = interface.altsetting[0];
    for (int e = 0; e < setting.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
      if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
      if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
        if (entry.endpoint_in == 0) entry.endpoint_in = endpoint.bEndpointAddress;
      } else if (entry.endpoint_out == 0) {
        entry.endpoint_out = endpoint.bEndpointAddress;
      }
    }
  }
  libusb_free_config_descriptor(config);
}

// libusb's end of a transfer as one of its error values, as the
// synchronous calls give it.
int TransferError(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_INTERRUPTED;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    default: return LIBUSB_ERROR_IO;
  }
}

// One libusb transfer, allocated once and filled again at every submit.
class LibusbBulkTransfer final : public UsbBulkTransfer {
 public:
  LibusbBulkTransfer(libusb_device_handle* handle, std::uint8_t endpoint)
      : handle_(handle), endpoint_(endpoint), transfer_(libusb_alloc_transfer(0)) {}
  ~LibusbBulkTransfer() override { libusb_free_transfer(transfer_); }
  LibusbBulkTransfer(const LibusbBulkTransfer&) = delete;
  LibusbBulkTransfer& operator=(const LibusbBulkTransfer&) = delete;

  bool Made() const { return transfer_ != nullptr; }

  int Submit(std::uint8_t* data, std::uint32_t length) override {
    // No time-out of libusb's own: the caller cancels at its deadline.
    libusb_fill_bulk_transfer(transfer_, handle_, endpoint_, data, static_cast<int>(length), &LibusbBulkTransfer::Done,
                              this, 0);
    Started();
    const int error = libusb_submit_transfer(transfer_);
    if (error != LIBUSB_SUCCESS) Ended(error, 0);
    return error;
  }

  void Cancel() override {
    if (UnderWay()) libusb_cancel_transfer(transfer_);
  }

 private:
  static void LIBUSB_CALL Done(libusb_transfer* transfer) {
    auto* self = static_cast<LibusbBulkTransfer*>(transfer->user_data);
    self->Ended(TransferError(transfer->status), static_cast<std::uint32_t>(std::max(transfer->actual_length, 0)));
  }

  libusb_device_handle* handle_;
  std::uint8_t endpoint_;
  libusb_transfer* transfer_;
};

class LibusbConnection final : public UsbConnection {
 public:
  explicit LibusbConnection(libusb_device_handle* handle) : handle_(handle) {}
  ~LibusbConnection() override { libusb_close(handle_); }
  LibusbConnection(const LibusbConnection&) = delete;
  LibusbConnection& operator=(const LibusbConnection&) = delete;

  int ClaimInterface(std::uint8_t interface_number) override {
    const int active = libusb_kernel_driver_active(handle_, interface_number);
    if (active == LIBUSB_ERROR_NO_DEVICE) return active;
    if (active == 1) {
      const int detached = libusb_detach_kernel_driver(handle_, interface_number);
      if (detached != LIBUSB_SUCCESS && detached != LIBUSB_ERROR_NOT_FOUND) return detached;
      detached_ = detached == LIBUSB_SUCCESS;
    }
    return libusb_claim_interface(handle_, interface_number);
  }

  int ReleaseInterface(std::uint8_t interface_number) override {
    const int released = libusb_release_interface(handle_, interface_number);
    if (detached_) {
      detached_ = false;
      libusb_attach_kernel_driver(handle_, interface_number);
    }
    return released;
  }

  int ControlOut(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 std::uint32_t timeout_ms) override {
    const int result = libusb_control_transfer(handle_, request_type, request, value, index, nullptr, 0, timeout_ms);
    return result < 0 ? result : LIBUSB_SUCCESS;
  }

  int BulkOut(std::uint8_t endpoint, const std::uint8_t* data, std::uint32_t length, std::uint32_t& transferred,
              std::uint32_t timeout_ms) override {
    int moved = 0;
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    const int result = libusb_bulk_transfer(handle_, endpoint, const_cast<std::uint8_t*>(data),
                                            static_cast<int>(length), &moved, timeout_ms);
    transferred = static_cast<std::uint32_t>(moved);
    return result;
  }

  int BulkIn(std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length, std::uint32_t& transferred,
             std::uint32_t timeout_ms) override {
    int moved = 0;
    const int result =
        libusb_bulk_transfer(handle_, endpoint, data, static_cast<int>(length), &moved, timeout_ms);
    transferred = static_cast<std::uint32_t>(moved);
    return result;
  }

  std::unique_ptr<UsbBulkTransfer> NewBulkTransfer(std::uint8_t endpoint) override {
    auto transfer = std::make_unique<LibusbBulkTransfer>(handle_, endpoint);
    if (!transfer->Made()) return nullptr;
    return transfer;
  }

 private:
  libusb_device_handle* handle_;
  bool detached_ = false;
};

}  // namespace

LibusbTransport::~LibusbTransport() {
  ForgetListed();
  if (context_ != nullptr) libusb_exit(context_);
}

void LibusbTransport::ForgetListed() {
  for (libusb_device* device : listed_) libusb_unref_device(device);
  listed_.clear();
}

int LibusbTransport::ListDevices(std::span<const UsbId> ids, std::vector<UsbDeviceEntry>& devices) {
  devices.clear();
  ForgetListed();
  if (context_ == nullptr) {
    if (const int error = libusb_init(&context_); error != LIBUSB_SUCCESS) {
      context_ = nullptr;
      return error;
    }
  }
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) return static_cast<int>(count);

  for (ssize_t i = 0; i < count; ++i) {
    libusb_device* device = list[i];
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) continue;
    const UsbId id{descriptor.idVendor, descriptor.idProduct};
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) continue;

    UsbDeviceEntry& entry = devices.emplace_back();
    entry.key = listed_.size();
    listed_.push_back(libusb_ref_device(device));
    entry.id = id;
    entry.bus = libusb_get_bus_number(device);
    std::array<std::uint8_t, kMaxPortDepth> ports{};
    const int depth = libusb_get_port_numbers(device, ports.data(), kMaxPortDepth);
    if (depth > 0) entry.port_path.assign(ports.begin(), ports.begin() + depth);
    FindBulkEndpoints(device, entry);

    libusb_device_handle* handle = nullptr;
    entry.open_error = libusb_open(device, &handle);
    if (entry.open_error != LIBUSB_SUCCESS) continue;
    const std::uint16_t language = FirstLanguage(handle);
    entry.serial_utf16 = ReadString(handle, descriptor.iSerialNumber, language);
    entry.product_utf16 = ReadString(handle, descriptor.iProduct, language);
    libusb_close(handle);
  }
  libusb_free_device_list(list, 1);
  return LIBUSB_SUCCESS;
}

int LibusbTransport::Open(const UsbDeviceEntry& device, std::unique_ptr<UsbConnection>& connection) {
  if (device.key >= listed_.size()) return LIBUSB_ERROR_NOT_FOUND;
  libusb_device_handle* handle = nullptr;
  if (const int error = libusb_open(listed_[device.key], &handle); error != LIBUSB_SUCCESS) return error;
  connection = std::make_unique<LibusbConnection>(handle);
  return LIBUSB_SUCCESS;
}

int LibusbTransport::WaitForTransfers(std::uint32_t timeout_ms) {
  if (context_ == nullptr) return LIBUSB_ERROR_NOT_FOUND;
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  return libusb_handle_events_timeout_completed(context_, &timeout, nullptr);
}

std::uint64_t LibusbTransport::NowMs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace stage::usb
