// The Tango side of the bridge: one StageAxis device per axis and one
// StageConsole device. The devices hold nothing about the stage: every read
// takes the bridge's latest snapshot, and the state is computed from it.
#pragma once

#include <tango.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "stage/tango_bridge/bridge.h"
#include "stage/tango_bridge/event_throttle.h"

namespace stage::tango_bridge {

Tango::DevState TangoState(AxisState state);
// Throws the Tango exception for a command the console refused.
[[noreturn]] void ThrowRefused(const CommandRefused& refused, const char* origin);

class StageAxis : public Tango::Device_4Impl {
 public:
  StageAxis(Tango::DeviceClass* owner, const std::string& name, Bridge& bridge);
  ~StageAxis() override;
  void init_device() override;
  void delete_device() override {}
  Tango::DevState dev_state() override;
  Tango::ConstDevString dev_status() override;

  // The axis this device stands for in `snapshot`, if the console has it.
  std::optional<std::size_t> AxisOf(const Snapshot& snapshot) const;
  // Pushes the change events that `snapshot` calls for. Holds the device's
  // lock.
  void Publish(const Snapshot& snapshot);

  void ReadDouble(Tango::Attribute& attribute, double value);
  void ReadText(Tango::Attribute& attribute, const std::string& text);
  void WritePosition(double position);
  void StopAxis();

  Bridge& bridge() { return bridge_; }
  std::size_t RequireAxis(const Snapshot& snapshot, const char* origin) const;

 private:
  Bridge& bridge_;
  std::string axis_key_;  // the device name's last field, or its Axis property
  std::string status_;
  double value_ = 0.0;    // what a read hands Tango
  double event_position_ = 0.0;
  std::string text_;
  char* text_pointer_ = nullptr;
  EventThrottle throttle_;
};

class StageConsole : public Tango::Device_4Impl {
 public:
  StageConsole(Tango::DeviceClass* owner, const std::string& name, Bridge& bridge);
  ~StageConsole() override;
  void init_device() override;
  void delete_device() override {}
  Tango::DevState dev_state() override;
  Tango::ConstDevString dev_status() override;
  void Publish(const Snapshot& snapshot);

  Bridge& bridge() { return bridge_; }
  std::vector<std::string> axis_names;
  std::vector<char*> axis_pointers;
  Tango::DevBoolean flag = false;
  std::string text;
  char* text_pointer = nullptr;

 private:
  Bridge& bridge_;
  std::string status_;
  std::optional<Tango::DevState> last_state_;
};

class StageAxisClass : public Tango::DeviceClass {
 public:
  static StageAxisClass* Create(Bridge& bridge);
  void attribute_factory(std::vector<Tango::Attr*>& attributes) override;
  void command_factory() override;
  void device_factory(const Tango::DevVarStringArray* names) override;

 private:
  StageAxisClass(std::string& class_name, Bridge& bridge) : Tango::DeviceClass(class_name), bridge_(bridge) {}
  Bridge& bridge_;
};

class StageConsoleClass : public Tango::DeviceClass {
 public:
  static StageConsoleClass* Create(Bridge& bridge);
  void attribute_factory(std::vector<Tango::Attr*>& attributes) override;
  void command_factory() override;
  void device_factory(const Tango::DevVarStringArray* names) override;

 private:
  StageConsoleClass(std::string& class_name, Bridge& bridge) : Tango::DeviceClass(class_name), bridge_(bridge) {}
  Bridge& bridge_;
};

// Hands the bridge's snapshots to every device, each under its own lock.
class DevicePublisher : public BridgeListener {
 public:
  static DevicePublisher& Instance();
  void Add(StageAxis* axis);
  void Add(StageConsole* console);
  void Remove(Tango::DeviceImpl* device);
  void OnSnapshot(const Snapshot& snapshot) override;

 private:
  std::mutex mutex_;
  std::vector<StageAxis*> axes_;
  std::vector<StageConsole*> consoles_;
};

}  // namespace stage::tango_bridge
