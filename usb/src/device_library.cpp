#include "stage/usb/device_library.h"

namespace stage::usb {

std::size_t DeviceLibrary::ExchangeAll(std::span<AxisTransfer> transfers, std::uint32_t length,
                                       ReplyCheck accept) {
  std::size_t done = 0;
  for (AxisTransfer& t : transfers) {
    ++done;
    t.read_done = false;
    t.read = 0;
    t.written = 0;
    t.write_status = Write(t.handle, t.command, length, t.written);
    if (t.write_status != 0 || t.written != length) break;
    t.read_done = true;
    t.read_status = Read(t.handle, t.reply, length, t.read);
    if (t.read_status != 0 || t.read != length) break;
    if (accept != nullptr && !accept(t.reply, length)) break;
  }
  return done;
}

}  // namespace stage::usb
