#include "tests/umockdev/emulated_bus.h"

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <span>
#include <stdexcept>

#include "stage/usb/packet_codec.h"

namespace stage::test {

namespace {

constexpr std::uint8_t kEndpointOut = 0x01;
constexpr std::uint8_t kEndpointIn = 0x82;
constexpr std::uint8_t kMaxPacket = 64;
constexpr std::size_t kSetupSize = 8;
// Reaped transfers stay referenced a little longer: umockdev may sync them
// back to the client after the handler has returned.
constexpr std::size_t kRetiredKept = 64;

std::vector<std::uint8_t> Descriptors(const EmulatedController& c) {
  const auto lo = [](unsigned v) { return static_cast<std::uint8_t>(v & 0xFFU); };
  const auto hi = [](unsigned v) { return static_cast<std::uint8_t>(v >> 8U); };
  return {
      // device: USB 2.0, vendor-specific at interface level, 64-byte EP0, strings 1-3
      18, 1, 0x00, 0x02, 0, 0, 0, kMaxPacket, lo(c.vendor_id), hi(c.vendor_id), lo(c.product_id), hi(c.product_id),
      0x00, 0x01, 1, 2, 3, 1,
      // configuration 1, 32 bytes in all, one interface, bus powered 100 mA
      9, 2, 32, 0, 1, 1, 0, 0x80, 50,
      // interface 0: vendor-specific class, two endpoints
      9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
      // bulk OUT and bulk IN, 64-byte packets
      7, 5, kEndpointOut, 2, kMaxPacket, 0, 0,  //
      7, 5, kEndpointIn, 2, kMaxPacket, 0, 0};
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> descriptor{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
  for (const char c : text) {
    descriptor.push_back(static_cast<std::uint8_t>(c));
    descriptor.push_back(0);
  }
  return descriptor;
}

std::runtime_error Failure(std::string what, const std::string& reason) {
  what += ": ";
  what += reason;
  return std::runtime_error(what);
}

std::string SysfsName(const EmulatedController& c) {
  std::string name = std::to_string(c.bus);
  for (std::size_t i = 0; i < c.port_path.size(); ++i) name += (i == 0 ? "-" : ".") + std::to_string(c.port_path[i]);
  return name;
}

using Clock = std::chrono::steady_clock;

// An IN packet and when the controller has it ready.
struct InPacket {
  std::vector<std::uint8_t> bytes;
  Clock::time_point ready;
};

struct Urb {
  UMockdevIoctlData* urb = nullptr;     // owned reference
  UMockdevIoctlData* buffer = nullptr;  // owned reference, may be null

  usbdevfs_urb& Fields() const { return *reinterpret_cast<usbdevfs_urb*>(urb->data); }
  std::span<std::uint8_t> Bytes() const {
    return buffer == nullptr ? std::span<std::uint8_t>{}
                             : std::span<std::uint8_t>(buffer->data, static_cast<std::size_t>(buffer->data_len));
  }
  void Release() {
    if (buffer != nullptr) g_object_unref(buffer);
    if (urb != nullptr) g_object_unref(urb);
    buffer = urb = nullptr;
  }
};

}  // namespace

struct EmulatedBus::Model {
  EmulatedController spec;
  std::string syspath;
  std::string devnode;
  EmulatedBus::State* bus = nullptr;
  UMockdevIoctlBase* handler = nullptr;

  // Guarded by State::mutex.
  bool gone = false;
  bool driver_bound = true;
  bool enabled = false;
  bool auto_reply = true;
  EmulatedBus::ReplyForm reply_form = EmulatedBus::ReplyForm::kOnce;
  std::uint32_t replies = 0;
  std::chrono::microseconds latency{0};
  std::deque<InPacket> in_packets;
  std::deque<Urb> waiting_in;  // bulk IN transfers without data yet
  std::deque<Urb> completed;   // for the client to reap
  std::deque<Urb> retired;
  std::vector<std::string> events;
  bool claimed = false;  // interface 0, by the client
};

struct EmulatedBus::State {
  mutable std::mutex mutex;
  UMockdevTestbed* testbed = nullptr;
  std::vector<std::unique_ptr<Model>> models;
  std::FILE* log = nullptr;
  bool log_times = false;

  void Event(Model& model, const std::string& event, std::span<const std::uint8_t> bytes = {}) {
    model.events.push_back(event);
    if (log == nullptr) return;
    if (log_times) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      std::fprintf(log, "%lld ", static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000);
    }
    std::fprintf(log, "%s %s", model.spec.serial.c_str(), event.c_str());
    if (log_times && !bytes.empty()) {
      std::fputc(' ', log);
      for (const std::uint8_t byte : bytes) std::fprintf(log, "%02X", byte);
    }
    std::fputc('\n', log);
    std::fflush(log);
  }
};

namespace {

using Model = EmulatedBus::Model;

void Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

UMockdevIoctlData* Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (resolved == nullptr) {
    std::fprintf(stderr, "emulated bus: cannot resolve ioctl data: %s\n", error != nullptr ? error->message : "?");
    g_clear_error(&error);
  }
  return resolved;
}

// Hands every waiting IN transfer the packets that are ready.
void DeliverInPackets(Model& model) {
  const Clock::time_point now = Clock::now();
  while (!model.waiting_in.empty() && !model.in_packets.empty() && model.in_packets.front().ready <= now) {
    Urb urb = model.waiting_in.front();
    model.waiting_in.pop_front();
    const std::vector<std::uint8_t> packet = std::move(model.in_packets.front().bytes);
    model.in_packets.pop_front();
    const std::span<std::uint8_t> bytes = urb.Bytes();
    const std::size_t length = std::min(bytes.size(), packet.size());
    std::copy_n(packet.begin(), length, bytes.begin());
    urb.Fields().actual_length = static_cast<int>(length);
    urb.Fields().status = packet.size() > bytes.size() ? -EOVERFLOW : 0;
    model.completed.push_back(urb);
  }
}

void ControlTransfer(EmulatedBus::State& bus, Model& model, Urb& urb) {
  const std::span<std::uint8_t> bytes = urb.Bytes();
  usbdevfs_urb& fields = urb.Fields();
  fields.status = 0;
  fields.actual_length = 0;
  if (bytes.size() < kSetupSize) {
    fields.status = -EINVAL;
    return;
  }
  const std::uint8_t request_type = bytes[0];
  const std::uint8_t request = bytes[1];
  const unsigned value = bytes[2] | (bytes[3] << 8U);
  const std::size_t length = bytes[6] | (bytes[7] << 8U);
  if (request_type == (USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE) && request == USB_REQ_GET_DESCRIPTOR &&
      (value >> 8U) == USB_DT_STRING) {
    const unsigned index = value & 0xFFU;
    std::vector<std::uint8_t> descriptor;
    if (index == 0) descriptor = {4, USB_DT_STRING, 0x09, 0x04};  // US English
    if (index == 1) descriptor = StringDescriptor("Silicon Labs");
    if (index == 2) descriptor = StringDescriptor("USB servo controller");
    if (index == 3) descriptor = StringDescriptor(model.spec.serial);
    if (descriptor.empty()) {
      fields.status = -EPIPE;  // a stall, as for any string the device lacks
      return;
    }
    if (index != 0) bus.Event(model, "string " + std::to_string(index));
    const std::size_t copied = std::min({descriptor.size(), length, bytes.size() - kSetupSize});
    std::copy_n(descriptor.begin(), copied, bytes.begin() + kSetupSize);
    fields.actual_length = static_cast<int>(copied);
    return;
  }
  char event[32];
  std::snprintf(event, sizeof event, "control %02X %02X %04X", request_type, request, value);
  bus.Event(model, event);
  if (request_type == 0x40 && request == 0x02) {
    if (value == 0x0002) model.enabled = true;
    if (value == 0x0004) model.enabled = false;
    return;
  }
  fields.status = -EPIPE;
}

void BulkOut(EmulatedBus::State& bus, Model& model, Urb& urb) {
  const std::span<std::uint8_t> bytes = urb.Bytes();
  urb.Fields().status = 0;
  urb.Fields().actual_length = static_cast<int>(bytes.size());
  bus.Event(model, "out " + std::to_string(bytes.size()), bytes);
  // A controller whose data path is off takes the bytes and says nothing.
  if (!model.enabled || !model.auto_reply || bytes.size() != usb::kPacketSize) return;
  ++model.replies;
  usb::StatusReading reading;
  reading.position = static_cast<std::int32_t>(model.replies);
  reading.ideal_position = static_cast<std::int32_t>(model.replies);
  const usb::Packet reply = usb::EncodeStatus(reading);
  std::vector<std::uint8_t> packet(reply.begin(), reply.end());
  switch (model.reply_form) {
    case EmulatedBus::ReplyForm::kOnce:
      break;
    case EmulatedBus::ReplyForm::kTwice:
      packet.insert(packet.end(), reply.begin(), reply.end());
      break;
    case EmulatedBus::ReplyForm::kPaddedTo64:
      packet.resize(kMaxPacket, 0);
      break;
    case EmulatedBus::ReplyForm::kOverflow:
      while (packet.size() < 100) packet.push_back(reply[packet.size() % reply.size()]);
      break;
  }
  model.in_packets.push_back({std::move(packet), Clock::now() + model.latency});
}

void SubmitUrb(EmulatedBus::State& bus, Model& model, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  Urb urb;
  urb.urb = Resolve(arg, 0, sizeof(usbdevfs_urb));
  if (urb.urb == nullptr) return Complete(client, -1, EFAULT);
  const usbdevfs_urb& fields = urb.Fields();
  if (fields.buffer_length > 0) {
    urb.buffer = Resolve(urb.urb, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(fields.buffer_length));
  }
  if (fields.type == USBDEVFS_URB_TYPE_CONTROL) {
    ControlTransfer(bus, model, urb);
    model.completed.push_back(urb);
  } else if (fields.type == USBDEVFS_URB_TYPE_BULK && fields.endpoint == kEndpointOut) {
    BulkOut(bus, model, urb);
    model.completed.push_back(urb);
  } else if (fields.type == USBDEVFS_URB_TYPE_BULK && fields.endpoint == kEndpointIn) {
    bus.Event(model, "in");
    model.waiting_in.push_back(urb);
  } else {
    urb.Release();
    return Complete(client, -1, EINVAL);
  }
  DeliverInPackets(model);
  Complete(client, 0, 0);
}

void ReapUrb(Model& model, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  DeliverInPackets(model);  // a reply whose latency has passed
  if (model.completed.empty()) return Complete(client, -1, model.gone ? ENODEV : EAGAIN);
  // The argument points at the client's URB pointer; it gets the reaped
  // URB, whose fields and buffer then travel back with the reply.
  UMockdevIoctlData* slot = Resolve(arg, 0, sizeof(void*));
  if (slot == nullptr) return Complete(client, -1, EFAULT);
  Urb urb = model.completed.front();
  model.completed.pop_front();
  umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
  Complete(client, 0, 0);
  g_object_unref(slot);
  model.retired.push_back(urb);
  while (model.retired.size() > kRetiredKept) {
    model.retired.front().Release();
    model.retired.pop_front();
  }
}

// libusb cancels a transfer whose time-out has passed; the kernel then
// completes it with -ENOENT, and so must we, or libusb waits for ever.
void DiscardUrb(EmulatedBus::State& bus, Model& model, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  gulong address = 0;
  std::memcpy(&address, arg->data, std::min(sizeof address, static_cast<std::size_t>(arg->data_len)));
  const auto found = std::find_if(model.waiting_in.begin(), model.waiting_in.end(),
                                  [&](const Urb& urb) { return urb.urb->client_addr == address; });
  if (found == model.waiting_in.end()) return Complete(client, -1, EINVAL);
  bus.Event(model, "discard");
  found->Fields().status = -ENOENT;
  found->Fields().actual_length = 0;
  model.completed.push_back(*found);
  model.waiting_in.erase(found);
  Complete(client, 0, 0);
}

template <typename Struct>
Struct* ResolveStruct(UMockdevIoctlData* arg, UMockdevIoctlData*& holder) {
  holder = Resolve(arg, 0, sizeof(Struct));
  return holder == nullptr ? nullptr : reinterpret_cast<Struct*>(holder->data);
}

gboolean HandleIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client, gpointer user_data) {
  auto& model = *static_cast<Model*>(user_data);
  EmulatedBus::State& bus = *model.bus;
  const std::lock_guard lock(bus.mutex);
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);

  if (request == USBDEVFS_REAPURBNDELAY) {
    ReapUrb(model, client, arg);
    return TRUE;
  }
  if (model.gone) {
    // The kernel forgets a vanished device's claims; the attempt to give
    // one back is still worth seeing.
    if (request == USBDEVFS_RELEASEINTERFACE) bus.Event(model, "release 0");
    model.claimed = false;
    Complete(client, -1, ENODEV);
    return TRUE;
  }
  UMockdevIoctlData* holder = nullptr;
  switch (request) {
    case USBDEVFS_SUBMITURB:
      SubmitUrb(bus, model, client, arg);
      return TRUE;
    case USBDEVFS_DISCARDURB:
      DiscardUrb(bus, model, client, arg);
      return TRUE;
    case USBDEVFS_GET_CAPABILITIES:
      if (auto* caps = ResolveStruct<std::uint32_t>(arg, holder)) {
        *caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET;
      }
      Complete(client, 0, 0);
      break;
    case USBDEVFS_CLAIMINTERFACE:
      if (model.spec.busy) {
        bus.Event(model, "claim refused");
        Complete(client, -1, EBUSY);
        break;
      }
      [[fallthrough]];
    case USBDEVFS_RELEASEINTERFACE:
      if (auto* interface = ResolveStruct<unsigned>(arg, holder)) {
        bus.Event(model, std::string(request == USBDEVFS_CLAIMINTERFACE ? "claim " : "release ") +
                             std::to_string(*interface));
        model.claimed = request == USBDEVFS_CLAIMINTERFACE;
      }
      Complete(client, 0, 0);
      break;
    case USBDEVFS_GETDRIVER:
      if (auto* driver = ResolveStruct<usbdevfs_getdriver>(arg, holder)) {
        bus.Event(model, "getdriver");
        if (model.driver_bound) {
          std::snprintf(driver->driver, sizeof driver->driver, "cp210x");
          Complete(client, 0, 0);
        } else {
          Complete(client, -1, ENODATA);
        }
      }
      break;
    case USBDEVFS_IOCTL:
      if (auto* command = ResolveStruct<usbdevfs_ioctl>(arg, holder)) {
        const bool detach = static_cast<unsigned long>(command->ioctl_code) == USBDEVFS_DISCONNECT;
        bus.Event(model, (detach ? "detach " : "attach ") + std::to_string(command->ifno));
        model.driver_bound = !detach;
      }
      Complete(client, 0, 0);
      break;
    case USBDEVFS_DISCONNECT_CLAIM:
      if (auto* claim = ResolveStruct<usbdevfs_disconnect_claim>(arg, holder)) {
        bus.Event(model, "detach " + std::to_string(claim->interface));
        bus.Event(model, "claim " + std::to_string(claim->interface));
        model.driver_bound = false;
        model.claimed = true;
      }
      Complete(client, 0, 0);
      break;
    case USBDEVFS_GET_SPEED:
      Complete(client, USB_SPEED_FULL, 0);
      break;
    default:
      if (_IOC_TYPE(request) == 'U' && _IOC_NR(request) == _IOC_NR(USBDEVFS_CONNINFO_EX(0))) {
        holder = Resolve(arg, 0, _IOC_SIZE(request));
        if (holder != nullptr) {
          usbdevfs_conninfo_ex info{};
          info.size = sizeof info;
          info.busnum = model.spec.bus;
          info.devnum = 0;
          info.speed = USB_SPEED_FULL;
          info.num_ports = static_cast<std::uint8_t>(model.spec.port_path.size());
          std::copy(model.spec.port_path.begin(), model.spec.port_path.end(), info.ports);
          std::memcpy(holder->data, &info, std::min(sizeof info, static_cast<std::size_t>(holder->data_len)));
        }
        Complete(client, 0, 0);
        break;
      }
      char event[32];
      std::snprintf(event, sizeof event, "ioctl %lX unanswered", request);
      bus.Event(model, event);
      Complete(client, -1, ENOTTY);
      break;
  }
  if (holder != nullptr) g_object_unref(holder);
  return TRUE;
}

}  // namespace

EmulatedBus::EmulatedBus(std::vector<EmulatedController> controllers) : state_(std::make_unique<State>()) {
  state_->testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(state_->testbed);
  std::uint8_t devnum = 2;
  for (EmulatedController& spec : controllers) {
    auto model = std::make_unique<Model>();
    model->bus = state_.get();
    model->driver_bound = spec.kernel_driver_bound;
    model->reply_form = static_cast<ReplyForm>(spec.reply_form);
    char devnode[64];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", spec.bus, devnum);
    model->devnode = devnode;
    // A device description as umockdev-record writes it: sysfs attributes
    // (with the trailing newline libusb expects), the binary descriptors,
    // udev properties and the device node.
    const std::string name = SysfsName(spec);
    char ids[96];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", spec.vendor_id, spec.product_id);
    std::string hex;
    for (const std::uint8_t byte : Descriptors(spec)) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02X", byte);
      hex += digits;
    }
    std::string description = "P: /devices/usb" + std::to_string(spec.bus) + "/" + name + "\n";
    description += "N: " + std::string(devnode + 5) + "\n";
    description += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + std::string(devnode) + "\n";
    description += "A: busnum=" + std::to_string(spec.bus) + "\\n\n";
    description += "A: devnum=" + std::to_string(devnum) + "\\n\n";
    description += "A: speed=12\\n\nA: bConfigurationValue=1\\n\n";
    description += ids;
    description += "H: descriptors=" + hex + "\n";
    GError* add_error = nullptr;
    if (!umockdev_testbed_add_from_string(state_->testbed, description.c_str(), &add_error)) {
      const std::string reason = add_error != nullptr ? add_error->message : "?";
      g_clear_error(&add_error);
      throw Failure("umockdev cannot add " + name, reason);
    }
    model->syspath = "/sys/devices/usb" + std::to_string(spec.bus) + "/" + name;

    model->handler = umockdev_ioctl_base_new();
    g_signal_connect(model->handler, "handle-ioctl", G_CALLBACK(HandleIoctl), model.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(state_->testbed, devnode, model->handler, &error)) {
      const std::string reason = error != nullptr ? error->message : "?";
      g_clear_error(&error);
      throw Failure("umockdev cannot emulate " + model->devnode, reason);
    }
    if (spec.locked) chmod((std::string(root) + devnode).c_str(), 0);
    model->spec = std::move(spec);
    state_->models.push_back(std::move(model));
    ++devnum;
  }
  g_free(root);
}

EmulatedBus::~EmulatedBus() {
  {
    const std::lock_guard lock(state_->mutex);
    if (state_->log != nullptr) std::fclose(state_->log);
    state_->log = nullptr;
  }
  // The testbed goes first: its worker thread answers no more ioctls.
  g_object_unref(state_->testbed);
  for (auto& model : state_->models) {
    for (auto* queue : {&model->waiting_in, &model->completed, &model->retired}) {
      for (Urb& urb : *queue) urb.Release();
    }
    g_object_unref(model->handler);
  }
}

std::vector<std::string> EmulatedBus::Events(std::size_t index) const {
  const std::lock_guard lock(state_->mutex);
  return state_->models.at(index)->events;
}

void EmulatedBus::ClearEvents(std::size_t index) {
  const std::lock_guard lock(state_->mutex);
  state_->models.at(index)->events.clear();
}

void EmulatedBus::LogTo(const std::string& path, bool times) {
  const std::lock_guard lock(state_->mutex);
  if (state_->log != nullptr) std::fclose(state_->log);
  state_->log = std::fopen(path.c_str(), "w");
  if (state_->log == nullptr) throw std::runtime_error("cannot write " + path);
  state_->log_times = times;
}

void EmulatedBus::SetReplyLatency(std::size_t index, std::chrono::microseconds latency) {
  const std::lock_guard lock(state_->mutex);
  state_->models.at(index)->latency = latency;
}

void EmulatedBus::SetAutoReply(std::size_t index, bool on) {
  const std::lock_guard lock(state_->mutex);
  state_->models.at(index)->auto_reply = on;
}

void EmulatedBus::SetReplyForm(std::size_t index, ReplyForm form) {
  const std::lock_guard lock(state_->mutex);
  state_->models.at(index)->reply_form = form;
}

void EmulatedBus::QueueInPacket(std::size_t index, std::vector<std::uint8_t> bytes) {
  const std::lock_guard lock(state_->mutex);
  Model& model = *state_->models.at(index);
  model.in_packets.push_back({std::move(bytes), Clock::now()});
  DeliverInPackets(model);
}

void EmulatedBus::Unplug(std::size_t index) {
  Model& model = *state_->models.at(index);
  {
    const std::lock_guard lock(state_->mutex);
    if (model.gone) return;
    model.gone = true;
    // The kernel ends every pending transfer of a vanished device with -ESHUTDOWN.
    for (Urb& urb : model.waiting_in) {
      urb.Fields().status = -ESHUTDOWN;
      urb.Fields().actual_length = 0;
      model.completed.push_back(urb);
    }
    model.waiting_in.clear();
    state_->Event(model, "unplugged");
  }
  // remove_device alone sends no uevent.
  umockdev_testbed_uevent(state_->testbed, model.syspath.c_str(), "remove");
  umockdev_testbed_remove_device(state_->testbed, model.syspath.c_str());
}

bool EmulatedBus::Claimed(std::size_t index) const {
  const std::lock_guard lock(state_->mutex);
  return state_->models.at(index)->claimed;
}

std::size_t EmulatedBus::Size() const { return state_->models.size(); }

const EmulatedController& EmulatedBus::Controller(std::size_t index) const { return state_->models.at(index)->spec; }

}  // namespace stage::test
