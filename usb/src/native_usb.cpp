#include "stage/usb/native_usb.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace stage::usb {
namespace {

// The product-string call returns at most this many bytes of text.
constexpr std::size_t kMaxStringBytes = kProductStringBufferSize - 1;

// libusb waits for ever on a time-out of 0; ours says so with 0xFFFFFFFF. A
// time-out of 0 asks for the shortest wait libusb can do.
std::uint32_t LibusbTimeout(std::uint32_t timeout_ms) {
  if (timeout_ms == kWaitForever) return 0;
  return std::max<std::uint32_t>(timeout_ms, 1);
}

// A controller that cannot be opened is either gone or unusable.
int OpenStatus(int error) {
  return error == kTransportNoDevice || error == kTransportNotFound ? SI_DEVICE_NOT_FOUND
                                                                   : SI_DEVICE_IO_FAILED;
}

std::string DeviceName(std::uint32_t device, const UsbDeviceEntry& entry) {
  const std::string serial = StringDescriptorText(entry.serial_utf16);
  return "USB controller " + std::to_string(device) + " (serial " +
         (serial.empty() ? "unknown" : "\"" + PrintableText(serial) + "\"") + ", port " + PortPathText(entry) +
         ")";
}

// Adds one IN packet to a reply of `length` bytes collected in `reply`: what
// fits is stored, everything is counted.
void Collect(std::uint8_t* reply, std::uint32_t length, std::uint32_t& arrived, const std::uint8_t* packet,
             std::uint32_t got) {
  if (arrived < length) std::memcpy(reply + arrived, packet, std::min(got, length - arrived));
  arrived += got;
}

}  // namespace

const char* TransportErrorName(int error) {
  switch (error) {
    case kTransportOk: return "LIBUSB_SUCCESS";
    case kTransportIo: return "LIBUSB_ERROR_IO";
    case kTransportInvalidParam: return "LIBUSB_ERROR_INVALID_PARAM";
    case kTransportAccess: return "LIBUSB_ERROR_ACCESS";
    case kTransportNoDevice: return "LIBUSB_ERROR_NO_DEVICE";
    case kTransportNotFound: return "LIBUSB_ERROR_NOT_FOUND";
    case kTransportBusy: return "LIBUSB_ERROR_BUSY";
    case kTransportTimeout: return "LIBUSB_ERROR_TIMEOUT";
    case kTransportOverflow: return "LIBUSB_ERROR_OVERFLOW";
    case kTransportPipe: return "LIBUSB_ERROR_PIPE";
    case kTransportInterrupted: return "LIBUSB_ERROR_INTERRUPTED";
    case kTransportNoMem: return "LIBUSB_ERROR_NO_MEM";
    case kTransportNotSupported: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
  }
}

std::string StringDescriptorText(std::span<const std::uint8_t> utf16le) {
  std::string text;
  for (std::size_t i = 0; i + 1 < utf16le.size() && text.size() < kMaxStringBytes; i += 2) {
    const unsigned unit = utf16le[i] | (unsigned{utf16le[i + 1]} << 8U);
    if (unit == 0) break;
    text.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
  }
  return text;
}

std::string PortPathText(const UsbDeviceEntry& device) {
  std::string text = std::to_string(device.bus);
  if (device.port_path.empty()) return "usb" + text;
  for (std::size_t i = 0; i < device.port_path.size(); ++i) {
    text += (i == 0 ? '-' : '.');
    text += std::to_string(device.port_path[i]);
  }
  return text;
}

bool FileExistsOnDisk(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0;
}

bool AccessRuleInstalled(const FileExists& exists) {
  return std::any_of(kAccessRulePaths.begin(), kAccessRulePaths.end(),
                     [&exists](const char* path) { return exists(path); });
}

std::string AccessAdvice(int error, bool access_rule_installed) {
  if (error == kTransportAccess && !access_rule_installed) {
    return "This user may not open the controller: install the access rule 70-stage-console.rules "
           "(see the README), then unplug and replug the controller.";
  }
  if (error == kTransportAccess) {
    return "This user may not open the controller, though the access rule 70-stage-console.rules is "
           "installed: the rule lets in only the desktop session at this computer's seat, so a session over SSH "
           "or a remote desktop is refused, and so is a user whose groups do not give access to the device file. "
           "Check with stage-console --list-devices in the desktop session at the computer; a controller plugged "
           "in before the rule was installed needs unplugging and replugging.";
  }
  if (error == kTransportBusy) {
    return "Another program holds the controller: end it, or unplug and replug the controller.";
  }
  return {};
}

std::string DescribeDevice(std::uint32_t number, const UsbDeviceEntry& device, bool access_rule_installed) {
  const auto quoted = [](const std::vector<std::uint8_t>& utf16) {
    return "\"" + PrintableText(StringDescriptorText(utf16)) + "\"";
  };
  char id[16];
  std::snprintf(id, sizeof id, "%04X:%04X", device.id.vendor_id, device.id.product_id);
  std::string line = std::to_string(number) + "  serial " + quoted(device.serial_utf16) + "  product " +
                     quoted(device.product_utf16) + "  USB " + id + "  bus " + std::to_string(device.bus) +
                     " port " + PortPathText(device) + "  ";
  if (device.open_error == kTransportOk) return line + "may be opened";
  line += std::string("cannot be opened: ") + TransportErrorName(device.open_error);
  const std::string advice = AccessAdvice(device.open_error, access_rule_installed);
  return advice.empty() ? line : line + ". " + advice;
}

void SortByBusAndPort(std::vector<UsbDeviceEntry>& devices) {
  std::stable_sort(devices.begin(), devices.end(), [](const UsbDeviceEntry& a, const UsbDeviceEntry& b) {
    if (a.bus != b.bus) return a.bus < b.bus;
    return a.port_path < b.port_path;
  });
}

NativeUsb::NativeUsb(std::unique_ptr<UsbTransport> transport, std::vector<UsbId> ids,
                     Diagnostics diagnostics)
    : transport_(std::move(transport)), ids_(std::move(ids)), diagnostics_(std::move(diagnostics)) {
  if (ids_.empty()) ids_.push_back(kControllerUsbId);
}

// Whatever the program left open is given back: the data path switched off,
// the interface released.
NativeUsb::~NativeUsb() {
  for (std::size_t i = 0; i < controllers_.size(); ++i) {
    if (controllers_[i].connection) Close(static_cast<Handle>(i + 1));
  }
}

void NativeUsb::Report(const std::string& message) const {
  if (diagnostics_) diagnostics_(message);
}

int NativeUsb::GetNumDevices(std::uint32_t& count) {
  list_error_ = transport_->ListDevices(ids_, devices_);
  if (list_error_ != kTransportOk) {
    devices_.clear();
    Report(std::string("listing the USB devices: ") + TransportErrorName(list_error_));
  }
  SortByBusAndPort(devices_);
  count = static_cast<std::uint32_t>(devices_.size());
  // The console counts on a failure status when no controller is attached.
  return devices_.empty() ? SI_DEVICE_NOT_FOUND : SI_SUCCESS;
}

int NativeUsb::GetProductString(std::uint32_t device, std::span<std::uint8_t, kProductStringBufferSize> buffer,
                                std::uint32_t option) {
  if (device >= devices_.size()) return SI_DEVICE_NOT_FOUND;
  const UsbDeviceEntry& entry = devices_[device];
  if (option > 1) return SI_INVALID_PARAMETER;
  const std::string text = StringDescriptorText(option == 0 ? entry.serial_utf16 : entry.product_utf16);
  std::memcpy(buffer.data(), text.data(), text.size());
  buffer[text.size()] = 0;
  return SI_SUCCESS;
}

std::string NativeUsb::DevicePort(std::uint32_t device) const {
  return device < devices_.size() ? PortPathText(devices_[device]) : std::string();
}

int NativeUsb::SetTimeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms) {
  read_timeout_ms_ = read_timeout_ms;
  write_timeout_ms_ = write_timeout_ms;
  return SI_SUCCESS;
}

int NativeUsb::Open(std::uint32_t device, Handle& handle) {
  handle = 0;
  failure_advice_.clear();
  if (device >= devices_.size()) return SI_DEVICE_NOT_FOUND;
  const UsbDeviceEntry& entry = devices_[device];
  const auto fail = [&](const char* step, int error) {
    Report(DeviceName(device, entry) + ": " + step + ": " + TransportErrorName(error));
    failure_advice_ = AccessAdvice(error, error == kTransportAccess && AccessRuleInstalled(file_exists_));
    return OpenStatus(error);
  };
  if (entry.endpoint_in == 0 || entry.endpoint_out == 0) {
    Report(DeviceName(device, entry) + ": interface 0 has no bulk IN and OUT endpoint pair");
    return SI_DEVICE_IO_FAILED;
  }

  std::unique_ptr<UsbConnection> connection;
  if (const int error = transport_->Open(entry, connection); error != kTransportOk) return fail("opening", error);
  if (const int error = connection->ClaimInterface(kControllerInterface); error != kTransportOk) {
    return fail("claiming interface 0", error);
  }
  // The controller stays silent until its data path is enabled.
  if (const int error = connection->ControlOut(kVendorRequestType, kDataPathRequest, kDataPathEnable, 0,
                                               kControlTimeoutMs);
      error != kTransportOk) {
    connection->ReleaseInterface(kControllerInterface);
    return fail("enabling the data path", error);
  }

  Controller& controller = controllers_.emplace_back();
  controller.connection = std::move(connection);
  controller.endpoint_out = entry.endpoint_out;
  controller.endpoint_in = entry.endpoint_in;
  controller.out_transfer = controller.connection->NewBulkTransfer(entry.endpoint_out);
  controller.in_transfer = controller.connection->NewBulkTransfer(entry.endpoint_in);
  handle = static_cast<Handle>(controllers_.size());
  return SI_SUCCESS;
}

void NativeUsb::ForgetTransfers(Controller& controller) {
  controller.out_transfer.reset();
  controller.in_transfer.reset();
}

NativeUsb::Controller* NativeUsb::Find(Handle handle) {
  if (handle == 0 || handle > controllers_.size()) return nullptr;
  Controller& controller = controllers_[handle - 1];
  return controller.connection || controller.gone ? &controller : nullptr;
}

int NativeUsb::Close(Handle handle) {
  Controller* controller = Find(handle);
  if (controller == nullptr) return SI_INVALID_HANDLE;
  controller->gone = false;  // the slot is closed for good either way
  if (!controller->connection) return SI_SUCCESS;  // unplugged: already given back
  const int disabled = controller->connection->ControlOut(kVendorRequestType, kDataPathRequest,
                                                          kDataPathDisable, 0, kControlTimeoutMs);
  const int released = controller->connection->ReleaseInterface(kControllerInterface);
  ForgetTransfers(*controller);
  controller->connection.reset();
  return disabled == kTransportOk && released == kTransportOk ? SI_SUCCESS : SI_DEVICE_IO_FAILED;
}

int NativeUsb::TransferFailed(Controller& controller, const char* what, int error, int other_status) {
  Report(std::string(what) + " on USB: " + TransportErrorName(error));
  if (error == kTransportNoDevice) {
    // Unplugged: give the interface and the device file back now, so nothing
    // stays claimed whatever the program does next.
    controller.connection->ReleaseInterface(kControllerInterface);
    ForgetTransfers(controller);
    controller.connection.reset();
    controller.gone = true;
  }
  return error == kTransportNoDevice || error == kTransportIo ? SI_DEVICE_IO_FAILED : other_status;
}

int NativeUsb::Write(Handle handle, const std::uint8_t* buffer, std::uint32_t to_write, std::uint32_t& written) {
  written = 0;
  Controller* controller = Find(handle);
  if (controller == nullptr) return SI_INVALID_HANDLE;
  if (buffer == nullptr && to_write > 0) return SI_INVALID_PARAMETER;
  if (controller->gone) return SI_DEVICE_IO_FAILED;
  const int error = controller->connection->BulkOut(controller->endpoint_out, buffer, to_write, written,
                                                    LibusbTimeout(write_timeout_ms_));
  if (error == kTransportOk) return SI_SUCCESS;
  if (error == kTransportTimeout) return SI_WRITE_TIMED_OUT;
  return TransferFailed(*controller, "writing", error, SI_WRITE_ERROR);
}

int NativeUsb::ReadEnded(Controller& controller, int error, std::uint32_t arrived, std::uint32_t length) {
  if (error != kTransportOk && error != kTransportTimeout) {
    return TransferFailed(controller, "reading", error, SI_READ_ERROR);
  }
  if (arrived > length) {
    // One command has one reply of `length` bytes: more is the controller's
    // or the link's fault, and no byte of it can be trusted to belong to
    // this reply or the next.
    Report("reading on USB: " + std::to_string(arrived) + " bytes came for a reply of " + std::to_string(length));
    return SI_READ_ERROR;
  }
  return arrived == length ? SI_SUCCESS : SI_READ_TIMED_OUT;
}

int NativeUsb::Read(Handle handle, std::uint8_t* buffer, std::uint32_t to_read, std::uint32_t& read) {
  read = 0;
  Controller* controller = Find(handle);
  if (controller == nullptr) return SI_INVALID_HANDLE;
  if (buffer == nullptr && to_read > 0) return SI_INVALID_PARAMETER;
  if (to_read == 0) return SI_SUCCESS;
  if (controller->gone) return SI_DEVICE_IO_FAILED;

  const bool forever = read_timeout_ms_ == kWaitForever;
  const std::uint64_t deadline = forever ? 0 : transport_->NowMs() + read_timeout_ms_;
  std::uint32_t timeout_ms = LibusbTimeout(read_timeout_ms_);
  for (;;) {
    std::array<std::uint8_t, kBulkPacketSize> packet;
    std::uint32_t got = 0;
    const int error = controller->connection->BulkIn(controller->endpoint_in, packet.data(), kBulkPacketSize,
                                                     got, timeout_ms);
    Collect(buffer, to_read, read, packet.data(), std::min(got, kBulkPacketSize));
    if (error != kTransportOk || read >= to_read) return ReadEnded(*controller, error, read, to_read);
    if (!forever) {
      const std::uint64_t now = transport_->NowMs();
      if (now >= deadline) return SI_READ_TIMED_OUT;
      timeout_ms = static_cast<std::uint32_t>(deadline - now);
    }
  }
}

std::size_t NativeUsb::ExchangeAll(std::span<AxisTransfer> transfers, std::uint32_t length, ReplyCheck accept) {
  if (length == 0 || length > kBulkPacketSize || !StartExchanges(transfers, length)) {
    return DeviceLibrary::ExchangeAll(transfers, length, accept);
  }
  WaitForExchanges(transfers, length);
  for (AxisTransfer& t : transfers) {
    Controller* controller = Find(t.handle);
    if (controller != nullptr && controller->entry == static_cast<std::size_t>(&t - transfers.data())) {
      FinishExchange(t, *controller, length);
    }
  }
  return transfers.size();
}

bool NativeUsb::StartExchanges(std::span<AxisTransfer> transfers, std::uint32_t length) {
  // Every controller that will hear anything, once each, or nothing starts.
  bool overlap = true;
  for (std::size_t i = 0; i < transfers.size() && overlap; ++i) {
    Controller* controller = Find(transfers[i].handle);
    if (controller == nullptr || controller->gone || transfers[i].command == nullptr) continue;
    overlap = controller->out_transfer && controller->in_transfer && controller->entry == kNoEntry;
    if (overlap) controller->entry = i;
  }
  if (!overlap) {
    for (const AxisTransfer& t : transfers) {
      if (Controller* controller = Find(t.handle)) controller->entry = kNoEntry;
    }
    return false;
  }

  for (std::size_t i = 0; i < transfers.size(); ++i) {
    AxisTransfer& t = transfers[i];
    t.write_status = SI_SUCCESS;
    t.written = 0;
    t.read_done = false;
    t.read_status = SI_SUCCESS;
    t.read = 0;
    Controller* controller = Find(t.handle);
    if (controller == nullptr) {
      t.write_status = SI_INVALID_HANDLE;
      continue;
    }
    if (controller->entry != i) {  // no command, or unplugged before
      t.write_status = t.command == nullptr ? SI_INVALID_PARAMETER : SI_DEVICE_IO_FAILED;
      continue;
    }
    Controller& c = *controller;
    c.out_cancelled = false;
    c.in_cancelled = false;
    c.out_count = 0;
    c.in_error = kTransportOk;
    c.arrived = 0;
    std::memcpy(c.out_packet.data(), t.command, length);
    c.out_error = c.out_transfer->Submit(c.out_packet.data(), length);
    c.out_waiting = c.out_error == kTransportOk;
    c.in_waiting = false;
    if (c.out_waiting) {
      c.in_error = c.in_transfer->Submit(c.in_packet.data(), kBulkPacketSize);
      c.in_waiting = c.in_error == kTransportOk;
    }
  }
  return true;
}

bool NativeUsb::TakeEnded(Controller& c, std::uint32_t length) {
  UsbBulkTransfer& out = *c.out_transfer;
  UsbBulkTransfer& in = *c.in_transfer;
  if (c.out_waiting && !out.UnderWay()) {
    c.out_waiting = false;
    c.out_error = c.out_cancelled && out.Error() == kTransportInterrupted ? kTransportTimeout : out.Error();
    c.out_count = out.Transferred();
  }
  const bool write_failed = !c.out_waiting && (c.out_error != kTransportOk || c.out_count != length);
  if (c.in_waiting && !in.UnderWay()) {
    c.in_waiting = false;
    Collect(c.reply.data(), length, c.arrived, c.in_packet.data(), std::min(in.Transferred(), kBulkPacketSize));
    // A transfer cancelled at the read deadline ends as a time-out, whether
    // it ends cancelled or with part of the reply that came meanwhile.
    c.in_error = c.in_cancelled && in.Error() == kTransportInterrupted ? kTransportTimeout : in.Error();
    // A reply may come in more than one packet.
    if (c.in_error == kTransportOk && !c.in_cancelled && !write_failed && c.arrived < length) {
      c.in_error = in.Submit(c.in_packet.data(), kBulkPacketSize);
      c.in_waiting = c.in_error == kTransportOk;
    }
  }
  if (write_failed && c.in_waiting && !c.in_cancelled) {
    // A command that did not go out gets no reply: the read would only wait.
    c.in_cancelled = true;
    in.Cancel();
  }
  return c.out_waiting || c.in_waiting;
}

void NativeUsb::CancelUnderWay(std::span<AxisTransfer> transfers, bool out) {
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    Controller* controller = Find(transfers[i].handle);
    if (controller == nullptr || controller->entry != i) continue;
    bool& cancelled = out ? controller->out_cancelled : controller->in_cancelled;
    if (!(out ? controller->out_waiting : controller->in_waiting) || cancelled) continue;
    cancelled = true;
    (out ? controller->out_transfer : controller->in_transfer)->Cancel();
  }
}

void NativeUsb::WaitForExchanges(std::span<AxisTransfer> transfers, std::uint32_t length) {
  // Cancelled transfers end within an event round or two; a wait for them,
  // or for ever, is made of waits this long.
  constexpr std::uint32_t kLongestWaitMs = 100;
  const bool write_forever = write_timeout_ms_ == kWaitForever;
  const bool read_forever = read_timeout_ms_ == kWaitForever;
  const std::uint64_t start = transport_->NowMs();
  const std::uint64_t write_deadline = start + (write_forever ? 0 : write_timeout_ms_);
  const std::uint64_t read_deadline = start + (read_forever ? 0 : read_timeout_ms_);
  bool writes_due = !write_forever;
  bool reads_due = !read_forever;
  for (;;) {
    bool under_way = false;
    for (std::size_t i = 0; i < transfers.size(); ++i) {
      Controller* controller = Find(transfers[i].handle);
      if (controller != nullptr && controller->entry == i && TakeEnded(*controller, length)) under_way = true;
    }
    if (!under_way) return;
    const std::uint64_t now = transport_->NowMs();
    std::uint64_t wait_ms = kLongestWaitMs;
    if (writes_due && now >= write_deadline) {
      writes_due = false;
      CancelUnderWay(transfers, true);
    }
    if (reads_due && now >= read_deadline) {
      reads_due = false;
      CancelUnderWay(transfers, false);
    }
    if (writes_due) wait_ms = std::min(wait_ms, write_deadline - now);
    if (reads_due) wait_ms = std::min(wait_ms, read_deadline - now);
    transport_->WaitForTransfers(static_cast<std::uint32_t>(wait_ms));
  }
}

void NativeUsb::FinishExchange(AxisTransfer& t, Controller& c, std::uint32_t length) {
  c.entry = kNoEntry;
  t.written = c.out_count;
  if (c.out_error == kTransportTimeout) {
    t.write_status = SI_WRITE_TIMED_OUT;
  } else if (c.out_error != kTransportOk) {
    t.write_status = TransferFailed(c, "writing", c.out_error, SI_WRITE_ERROR);
  }
  if (t.write_status != SI_SUCCESS || t.written != length) return;

  t.read_done = true;
  if (t.reply == nullptr) {
    t.read_status = SI_INVALID_PARAMETER;
    return;
  }
  std::memcpy(t.reply, c.reply.data(), std::min(c.arrived, length));
  t.read = c.arrived;
  t.read_status = ReadEnded(c, c.in_error, c.arrived, length);
}

}  // namespace stage::usb
