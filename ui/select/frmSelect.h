// The start-up window "Motor Settings": counts and names the controllers,
// allocates the axis tables, shows one settings column per axis (mechanics
// and wiring options), and on OK opens every controller and hands over to
// the main window.
#pragma once

#include <QPointer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "stage/usb/device_library.h"
#include "ui/common/console_context.h"
#include "ui/common/control_family.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMessageBox;

namespace stage::ui {

class CommandButton;
class WindowFit;

// NOLINTNEXTLINE(readability-identifier-naming): the window's established name
class frmSelect : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmSelect)

 public:
  // Makes the main window on the first pass of OK. The program uses the real
  // main window; tests may hand in a stand-in.
  using MainWindowFactory = std::function<std::unique_ptr<QWidget>(ConsoleContext)>;

  // Builds the designed window and runs the load step: counts the
  // controllers, allocates the axis tables, builds and fills the columns.
  // When the count fails the load step ends the program through
  // `context.exit` (the window is never shown); check context.exit.Ended()
  // before showing the window.
  explicit frmSelect(ConsoleContext context, QWidget* parent = nullptr);
  frmSelect(ConsoleContext context, MainWindowFactory make_main_window, QWidget* parent = nullptr);
  ~frmSelect() override;

  // The main window once OK has made it, else nullptr.
  QWidget* MainWindow() const { return main_.get(); }

  // Ends the program for a request from outside the windows (a termination
  // signal, a window destroyed by the window system): with a fatal message
  // up, the fatal end; once OK has opened the controllers, Exit's end (every
  // controller closed in order); before that, Cancel's end.
  void EndProgram();

  // What the count-failure message says to try next, under its designed
  // sentence.
  static constexpr const char* kNoControllerAdvice =
      "Check that the controllers are plugged in and switched on. stage-console --list-devices lists the "
      "controllers this computer finds and whether this user may open them; controllers with another USB ID "
      "are found with --usb-id VID:PID. To try the console without controllers: stage-console --simulate 3.";

  // Horizontal distance between two axis columns, in twips.
  static constexpr std::int32_t ColumnPitch = 2000;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildDesignedControls();
  void SetOuterWidth(double width_twips);
  void Load();
  bool EnumerateDevices();
  void AllocateAxisTables(std::int32_t n);
  void ArrangeAxisColumns(std::int32_t n);
  void SetTabOrder();
  void InitialiseColumn(std::int32_t k);
  void NameColumn(std::int32_t k);
  void AcceptField(QLineEdit* field);
  // The first mechanics field of axis k whose number is not understood (a
  // comma that may separate thousands), or nullptr.
  QLineEdit* NotUnderstoodField(std::int32_t k) const;
  // Recomputes axis k; false, changing nothing, when one of its fields is
  // not understood.
  bool RecomputeAxis(std::int32_t k);
  // Says which number of which field is not understood, in a message box
  // over the window; the field has the focus again once the box is closed.
  // Does nothing while such a box is up.
  void RefuseField(QLineEdit* field);
  void FieldLosesFocus(QLineEdit* field, Qt::FocusReason reason);
  void OnOkMouseDown();
  void OnOkClick();
  void OnCancelClick();
  // The controllers' profiles (frmSelect_profiles.cpp): read at load, the
  // tuning sliders and the travel limits set when the main window exists,
  // saved at OK.
  void LoadProfiles();
  void ApplyTuningProfiles();
  void ConfirmProfiles();

  ConsoleContext context_;
  MainWindowFactory make_main_window_;
  std::unique_ptr<QWidget> main_;

  std::array<std::uint8_t, usb::kProductStringBufferSize> ProductStringBuffer{};

  ControlFamily<QCheckBox> Check1, Check2, Check3, Check4;
  ControlFamily<QLabel> Label1, Label2, Label3, Label4, Label5, Label6;
  ControlFamily<QLineEdit> Text1, Text2, Text3, Text4;
  WindowFit* fit_ = nullptr;
  CommandButton* cmdOK = nullptr;
  CommandButton* cmdCancel = nullptr;
  QComboBox* cmbDevice = nullptr;
  // The refusal of a field, from its opening until the field has the focus
  // back.
  QPointer<QMessageBox> refusal_;
};

}  // namespace stage::ui
