#include "devices.h"

#include <algorithm>
#include <functional>

namespace stage::tango_bridge {

namespace {

using Clock = std::chrono::steady_clock;

const char* ReasonOf(int code) {
  switch (code) {
    case rpc_code::kTravelLimit: return "StageConsole_TravelLimit";
    case rpc_code::kNoControl: return "StageConsole_NoControl";
    case rpc_code::kRemoteMovesRefused: return "StageConsole_RemoteMovesRefused";
    case rpc_code::kControllerRefused: return "StageConsole_ControllerRefused";
    case rpc_code::kAxisUnknown: return "StageConsole_AxisUnknown";
    case rpc_code::kConsoleEnding:
    case rpc_code::kNotConnected:
    case rpc_code::kTimedOut: return "StageConsole_Unavailable";
    default: return "StageConsole_Refused";
  }
}

// Runs `body` with the bridge's refusals turned into Tango exceptions.
template <typename Body>
void Commanded(const char* origin, Body body) {
  try {
    body();
  } catch (const CommandRefused& refused) {
    ThrowRefused(refused, origin);
  }
}

// A scalar read-only attribute of an axis, its value taken from the
// snapshot; none (an absent limit) reads as INVALID quality.
using AxisValue = std::function<std::optional<double>(const AxisInfo&, const AxisReading&)>;

class AxisDouble : public Tango::Attr {
 public:
  AxisDouble(const char* attribute, AxisValue value) : Tango::Attr(attribute, Tango::DEV_DOUBLE, Tango::READ), value_(std::move(value)) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
    auto* axis = static_cast<StageAxis*>(device);
    const Snapshot snapshot = axis->bridge().Current();
    const std::size_t index = axis->RequireAxis(snapshot, "StageAxis::read");
    const auto value = value_(*snapshot.Info(index), *snapshot.Reading(index));
    if (!value) {
      attribute.set_quality(Tango::ATTR_INVALID);
      return;
    }
    axis->ReadDouble(attribute, *value);
  }

 private:
  AxisValue value_;
};

using AxisTextValue = std::function<std::string(const AxisInfo&)>;

class AxisText : public Tango::Attr {
 public:
  AxisText(const char* attribute, AxisTextValue value) : Tango::Attr(attribute, Tango::DEV_STRING, Tango::READ), value_(std::move(value)) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
    auto* axis = static_cast<StageAxis*>(device);
    const Snapshot snapshot = axis->bridge().Current();
    const std::size_t index = axis->RequireAxis(snapshot, "StageAxis::read");
    axis->ReadText(attribute, value_(*snapshot.Info(index)));
  }

 private:
  AxisTextValue value_;
};

class PositionAttr : public Tango::Attr {
 public:
  PositionAttr() : Tango::Attr("Position", Tango::DEV_DOUBLE, Tango::READ_WRITE) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
    auto* axis = static_cast<StageAxis*>(device);
    const Snapshot snapshot = axis->bridge().Current();
    const std::size_t index = axis->RequireAxis(snapshot, "StageAxis::read_Position");
    axis->ReadDouble(attribute, snapshot.Reading(index)->position);
    // Motor tools read CHANGING as "still on its way".
    if (snapshot.Reading(index)->busy || snapshot.MovePending(index, Clock::now()))
      attribute.set_quality(Tango::ATTR_CHANGING);
  }
  void write(Tango::DeviceImpl* device, Tango::WAttribute& attribute) override {
    Tango::DevDouble position = 0.0;
    attribute.get_write_value(position);
    static_cast<StageAxis*>(device)->WritePosition(position);
  }
};

class AxisCommand : public Tango::Command {
 public:
  explicit AxisCommand(const char* command) : Tango::Command(command, Tango::DEV_VOID, Tango::DEV_VOID) {}
  CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any&) override {
    static_cast<StageAxis*>(device)->StopAxis();
    return new CORBA::Any();
  }
};

class StopAllCommand : public Tango::Command {
 public:
  StopAllCommand() : Tango::Command("StopAll", Tango::DEV_VOID, Tango::DEV_VOID) {}
  CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any&) override {
    Commanded("StageConsole::StopAll", [&] { static_cast<StageConsole*>(device)->bridge().StopAll(); });
    return new CORBA::Any();
  }
};

class AxesAttr : public Tango::SpectrumAttr {
 public:
  AxesAttr() : Tango::SpectrumAttr("Axes", Tango::DEV_STRING, Tango::READ, static_cast<long>(kMaxAxes)) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
    auto* console = static_cast<StageConsole*>(device);
    const Snapshot snapshot = console->bridge().Current();
    if (!snapshot.link.connected)
      Tango::Except::throw_exception("StageConsole_Unavailable", "No console: " + snapshot.link.why_not, "StageConsole::read_Axes");
    console->axis_names.clear();
    for (const AxisInfo& info : snapshot.axes) console->axis_names.push_back(info.name);
    console->axis_pointers.clear();
    for (std::string& axis_name : console->axis_names) console->axis_pointers.push_back(axis_name.data());
    attribute.set_value(console->axis_pointers.data(), static_cast<long>(console->axis_pointers.size()));
  }
};

class ConsoleFlag : public Tango::Attr {
 public:
  ConsoleFlag(const char* attribute, std::function<bool(const Snapshot&)> value)
      : Tango::Attr(attribute, Tango::DEV_BOOLEAN, Tango::READ), value_(std::move(value)) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
    auto* console = static_cast<StageConsole*>(device);
    console->flag = value_(console->bridge().Current());
    attribute.set_value(&console->flag);
  }

 private:
  std::function<bool(const Snapshot&)> value_;
};

class SocketAttr : public Tango::Attr {
 public:
  SocketAttr() : Tango::Attr("ControlSocket", Tango::DEV_STRING, Tango::READ) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
    auto* console = static_cast<StageConsole*>(device);
    console->text = console->bridge().options().socket_path;
    console->text_pointer = console->text.data();
    attribute.set_value(&console->text_pointer);
  }
};

std::string LastField(const std::string& device_name) {
  const auto slash = device_name.rfind('/');
  return slash == std::string::npos ? device_name : device_name.substr(slash + 1);
}

}  // namespace

Tango::DevState TangoState(AxisState state) {
  switch (state) {
    case AxisState::kOn: return Tango::ON;
    case AxisState::kMoving: return Tango::MOVING;
    case AxisState::kAlarm: return Tango::ALARM;
    case AxisState::kFault: return Tango::FAULT;
    case AxisState::kDisable: return Tango::DISABLE;
    case AxisState::kUnknown: return Tango::UNKNOWN;
  }
  return Tango::UNKNOWN;
}

void ThrowRefused(const CommandRefused& refused, const char* origin) {
  Tango::Except::throw_exception(ReasonOf(refused.code), refused.message, origin);
}

// ---- StageAxis

StageAxis::StageAxis(Tango::DeviceClass* owner, const std::string& name, Bridge& bridge)
    : Tango::Device_4Impl(owner, name.c_str()), bridge_(bridge) {
  // This class's own set-up: no class derives from it.
  StageAxis::init_device();
  DevicePublisher::Instance().Add(this);
}

StageAxis::~StageAxis() { DevicePublisher::Instance().Remove(this); }

void StageAxis::init_device() {
  axis_key_ = LastField(get_name());
  if (Tango::Util::_UseDb) {
    Tango::DbData data;
    data.push_back(Tango::DbDatum("Axis"));
    get_db_device()->get_property(data);
    if (!data[0].is_empty()) data[0] >> axis_key_;
  }
  set_change_event("Position", true, false);
  set_change_event("State", true, false);
}

std::optional<std::size_t> StageAxis::AxisOf(const Snapshot& snapshot) const {
  return FindAxis(snapshot.axes, axis_key_);
}

std::size_t StageAxis::RequireAxis(const Snapshot& snapshot, const char* origin) const {
  if (!snapshot.link.connected)
    Tango::Except::throw_exception("StageConsole_Unavailable", "No console: " + snapshot.link.why_not, origin);
  const auto index = AxisOf(snapshot);
  if (!index)
    Tango::Except::throw_exception("StageConsole_AxisUnknown", "The console has no axis " + axis_key_, origin);
  return *index;
}

Tango::DevState StageAxis::dev_state() {
  const Snapshot snapshot = bridge_.Current();
  const auto index = AxisOf(snapshot);
  const AxisReading* reading = index ? snapshot.Reading(*index) : nullptr;
  const bool pending = index && snapshot.MovePending(*index, Clock::now());
  const Tango::DevState state =
      TangoState(StateOf(snapshot.link, reading, snapshot.reading.remote_moves_allowed, pending));
  set_state(state);
  return state;
}

Tango::ConstDevString StageAxis::dev_status() {
  const Snapshot snapshot = bridge_.Current();
  const auto index = AxisOf(snapshot);
  const bool pending = index && snapshot.MovePending(*index, Clock::now());
  if (snapshot.link.connected && !index) {
    status_ = "The console has no axis " + axis_key_ + ".";
  } else {
    status_ = StatusOf(snapshot.link, index ? snapshot.Info(*index) : nullptr,
                       index ? snapshot.Reading(*index) : nullptr, snapshot.reading.remote_moves_allowed, pending);
    if (!snapshot.control_note.empty()) status_ += " " + snapshot.control_note;
  }
  return status_.c_str();
}

void StageAxis::ReadDouble(Tango::Attribute& attribute, double value) {
  value_ = value;
  attribute.set_value(&value_);
}

void StageAxis::ReadText(Tango::Attribute& attribute, const std::string& text) {
  text_ = text;
  text_pointer_ = text_.data();
  attribute.set_value(&text_pointer_);
}

void StageAxis::WritePosition(double position) {
  const Snapshot snapshot = bridge_.Current();
  const std::size_t index = RequireAxis(snapshot, "StageAxis::write_Position");
  Commanded("StageAxis::write_Position", [&] { bridge_.MoveAbsolute(index, position); });
}

void StageAxis::StopAxis() {
  const Snapshot snapshot = bridge_.Current();
  const std::size_t index = RequireAxis(snapshot, "StageAxis::Stop");
  Commanded("StageAxis::Stop", [&] { bridge_.StopAxis(index); });
}

void StageAxis::Publish(const Snapshot& snapshot) {
  const auto index = AxisOf(snapshot);
  const AxisReading* reading = index ? snapshot.Reading(*index) : nullptr;
  const bool pending = index && snapshot.MovePending(*index, Clock::now());
  const AxisState state = StateOf(snapshot.link, reading, snapshot.reading.remote_moves_allowed, pending);
  const auto decision =
      throttle_.Offer(state, reading ? std::optional<double>(reading->position) : std::nullopt, Clock::now());
  if (decision.push_state) {
    set_state(TangoState(state));
    push_change_event("State");
  }
  if (decision.push_position) {
    event_position_ = reading->position;
    push_change_event("Position", &event_position_);
  }
}

// ---- StageConsole

StageConsole::StageConsole(Tango::DeviceClass* owner, const std::string& name, Bridge& bridge)
    : Tango::Device_4Impl(owner, name.c_str()), bridge_(bridge) {
  // This class's own set-up: no class derives from it.
  StageConsole::init_device();
  DevicePublisher::Instance().Add(this);
}

StageConsole::~StageConsole() { DevicePublisher::Instance().Remove(this); }

void StageConsole::init_device() { set_change_event("State", true, false); }

namespace {
Tango::DevState ConsoleStateOf(const Snapshot& snapshot) {
  if (!snapshot.link.connected) return Tango::UNKNOWN;
  if (std::any_of(snapshot.reading.axes.begin(), snapshot.reading.axes.end(), [](const AxisReading& r) { return r.busy; }))
    return Tango::MOVING;
  if (!snapshot.reading.remote_moves_allowed) return Tango::DISABLE;
  return Tango::ON;
}
}  // namespace

Tango::DevState StageConsole::dev_state() {
  const Tango::DevState state = ConsoleStateOf(bridge_.Current());
  set_state(state);
  return state;
}

Tango::ConstDevString StageConsole::dev_status() {
  const Snapshot snapshot = bridge_.Current();
  if (!snapshot.link.connected) {
    status_ = "No console: " + snapshot.link.why_not + ".";
  } else {
    status_ = "Connected to the console on " + bridge_.options().socket_path + ", " +
              std::to_string(snapshot.axes.size()) + " axes.";
    if (!snapshot.reading.remote_moves_allowed) status_ += " Remote moves are refused by the operator.";
    if (snapshot.reading.control_mine) status_ += " The bridge holds control.";
    else if (snapshot.reading.control_held) status_ += " Another client holds control.";
    if (!snapshot.control_note.empty()) status_ += " " + snapshot.control_note;
  }
  return status_.c_str();
}

void StageConsole::Publish(const Snapshot& snapshot) {
  const Tango::DevState state = ConsoleStateOf(snapshot);
  if (last_state_ == state) return;
  last_state_ = state;
  set_state(state);
  push_change_event("State");
}

// ---- the classes

StageAxisClass* StageAxisClass::Create(Bridge& bridge) {
  std::string class_name = "StageAxis";
  return new StageAxisClass(class_name, bridge);
}

void StageAxisClass::attribute_factory(std::vector<Tango::Attr*>& attributes) {
  attributes.push_back(new PositionAttr());
  attributes.push_back(new AxisDouble("IdealPosition", [](const AxisInfo&, const AxisReading& r) {
    return std::optional<double>(r.ideal_position);
  }));
  attributes.push_back(new AxisDouble("FollowingError", [](const AxisInfo&, const AxisReading& r) {
    return std::optional<double>(r.position - r.ideal_position);
  }));
  attributes.push_back(new AxisDouble("LowerLimit", [](const AxisInfo& i, const AxisReading&) { return i.lower_limit; }));
  attributes.push_back(new AxisDouble("UpperLimit", [](const AxisInfo& i, const AxisReading&) { return i.upper_limit; }));
  attributes.push_back(new AxisText("Units", [](const AxisInfo& i) { return i.units; }));
  attributes.push_back(new AxisText("Serial", [](const AxisInfo& i) { return i.serial; }));
  attributes.push_back(new AxisText("AxisName", [](const AxisInfo& i) { return i.name; }));
}

void StageAxisClass::command_factory() {
  command_list.push_back(new AxisCommand("Stop"));
  // The console has one way of stopping an axis, at once: Abort is Stop
  // under the name motor tools call in an emergency.
  command_list.push_back(new AxisCommand("Abort"));
}

void StageAxisClass::device_factory(const Tango::DevVarStringArray* names) {
  for (CORBA::ULong i = 0; i < names->length(); ++i) {
    auto* device = new StageAxis(this, std::string((*names)[i]), bridge_);
    device_list.push_back(device);
    if (Tango::Util::_UseDb)
      export_device(device);
    else
      export_device(device, device->get_name().c_str());
  }
}

StageConsoleClass* StageConsoleClass::Create(Bridge& bridge) {
  std::string class_name = "StageConsole";
  return new StageConsoleClass(class_name, bridge);
}

void StageConsoleClass::attribute_factory(std::vector<Tango::Attr*>& attributes) {
  attributes.push_back(new AxesAttr());
  attributes.push_back(new ConsoleFlag("Connected", [](const Snapshot& s) { return s.link.connected; }));
  attributes.push_back(new ConsoleFlag("RemoteMovesAllowed", [](const Snapshot& s) {
    return s.link.connected && s.reading.remote_moves_allowed;
  }));
  attributes.push_back(new ConsoleFlag("ControlHeld", [](const Snapshot& s) { return s.reading.control_mine; }));
  attributes.push_back(new SocketAttr());
}

void StageConsoleClass::command_factory() { command_list.push_back(new StopAllCommand()); }

void StageConsoleClass::device_factory(const Tango::DevVarStringArray* names) {
  for (CORBA::ULong i = 0; i < names->length(); ++i) {
    auto* device = new StageConsole(this, std::string((*names)[i]), bridge_);
    device_list.push_back(device);
    if (Tango::Util::_UseDb)
      export_device(device);
    else
      export_device(device, device->get_name().c_str());
  }
}

// ---- the publisher

DevicePublisher& DevicePublisher::Instance() {
  static DevicePublisher publisher;
  return publisher;
}

void DevicePublisher::Add(StageAxis* axis) {
  std::lock_guard lock(mutex_);
  axes_.push_back(axis);
}

void DevicePublisher::Add(StageConsole* console) {
  std::lock_guard lock(mutex_);
  consoles_.push_back(console);
}

void DevicePublisher::Remove(Tango::DeviceImpl* device) {
  std::lock_guard lock(mutex_);
  std::erase(axes_, device);
  std::erase(consoles_, device);
}

// GCC sees a path through Tango's AutoTangoMonitor (its header) where the
// monitor is used before it is set; there is none.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
void DevicePublisher::OnSnapshot(const Snapshot& snapshot) {
  // Tango's device locks need an omniORB thread.
  thread_local omni_thread::ensure_self self;
  std::lock_guard lock(mutex_);
  for (StageAxis* axis : axes_) {
    try {
      Tango::AutoTangoMonitor sync(axis);
      axis->Publish(snapshot);
    } catch (const Tango::DevFailed&) {
      // An event that cannot go out is not the bridge's end.
    }
  }
  for (StageConsole* console : consoles_) {
    try {
      Tango::AutoTangoMonitor sync(console);
      console->Publish(snapshot);
    } catch (const Tango::DevFailed&) {
    }
  }
}
#pragma GCC diagnostic pop

}  // namespace stage::tango_bridge
