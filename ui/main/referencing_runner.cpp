#include "ui/main/referencing_runner.h"

#include <QLabel>
#include <QMessageBox>
#include <QStringList>
#include <ranges>
#include <string>
#include <utility>

#include "ui/common/accessible_names.h"
#include "ui/common/profile_session.h"

namespace stage::ui {

using referencing::Outcome;
using referencing::Plan;
using referencing::Toward;

ReferencingRunner::ReferencingRunner(QWidget& window, QLabel& line, ConsoleContext context, CommandLatches& latches,
                                     std::function<void(AxisIndex)> end_move)
    : window_(window),
      line_(line),
      context_(context),
      core_(context.tables, latches),
      end_move_(std::move(end_move)) {
  settings_ = [profiles = context.profiles](AxisIndex axis) -> std::optional<profile::Referencing> {
    if (profiles == nullptr || !profiles->Enabled()) return std::nullopt;
    const profile::ControllerProfile* saved = profiles->Profile(axis);
    if (saved == nullptr) return std::nullopt;
    return saved->referencing;
  };
}

void ReferencingRunner::Allocate() {
  core_.Allocate();
  shown_changes_.assign(context_.tables.GoBit.size(), 0);
  queue_.reserve(context_.tables.GoBit.size());
}

std::optional<Plan> ReferencingRunner::PlanFor(AxisIndex axis) const {
  if (!settings_) return std::nullopt;
  const std::optional<profile::Referencing> settings = settings_(axis);
  if (!settings || !settings->enabled) return std::nullopt;
  Plan plan;
  plan.toward = settings->direction == profile::ReferenceDirection::kUpper ? Toward::kUpper : Toward::kLower;
  plan.speed = settings->speed;
  plan.back_off_counts = settings->back_off_counts;
  plan.max_seek_counts = settings->max_seek_counts;
  return plan;
}

referencing::AxisWords ReferencingRunner::Words(AxisIndex axis, std::string& label) const {
  const auto k = static_cast<std::size_t>(axis);
  label = AxisLabel(context_.tables, axis).toStdString();
  return {label, context_.tables.CountsPerMicron.at(k), context_.tables.UnitSuffix.at(k)};
}

void ReferencingRunner::Say(const QString& text) {
  if (line_.text() != text) line_.setText(text);
}

QMessageBox* ReferencingRunner::OpenQuestion(const QString& text, std::function<void()> on_yes) {
  // Plain text: it quotes the axis name, which comes from the controller.
  auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Referencing"), text,
                              QMessageBox::Yes | QMessageBox::No, &window_);
  box->setObjectName(QStringLiteral("referencingQuestion"));
  box->setTextFormat(Qt::PlainText);
  box->setDefaultButton(QMessageBox::No);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, this, [this, box, on_yes = std::move(on_yes)](int) {
    // The box is deleted later; the next question must not find it.
    question_ = nullptr;
    if (box->clickedButton() == box->button(QMessageBox::Yes)) on_yes();
  });
  question_ = box;
  // Window-modal, and the polling goes on while it is up.
  box->open();
  return box;
}

void ReferencingRunner::Ask(AxisIndex axis) {
  if (axis < 0 || axis > context_.tables.AxisCount || context_.exit.Ended()) return;
  std::string label;
  const referencing::AxisWords words = Words(axis, label);
  const QString name = QString::fromStdString(label);
  if (core_.AnyRunning() || !queue_.empty()) {
    Say(QStringLiteral("Referencing is running: axis %1 waits until it has ended (STOP or Esc ends it).").arg(name));
    return;
  }
  if (question_ != nullptr) {
    question_->raise();
    question_->activateWindow();
    return;
  }
  const std::optional<Plan> plan = PlanFor(axis);
  if (!plan) {
    Say(QStringLiteral("Axis %1 has no referencing set up: it is enabled in the axis's profile.").arg(name));
    return;
  }
  OpenQuestion(QString::fromStdString(referencing::Question(*plan, words)), [this, axis] { Begin(axis); });
}

void ReferencingRunner::OfferAtStartUp() {
  if (offered_at_start_up_ || context_.exit.Ended()) return;
  offered_at_start_up_ = true;
  std::vector<AxisIndex> axes;
  QStringList lines;
  for (AxisIndex axis = 0; axis <= context_.tables.AxisCount; ++axis) {
    const std::optional<profile::Referencing> settings = settings_ ? settings_(axis) : std::nullopt;
    const std::optional<Plan> plan = PlanFor(axis);
    if (!plan || !settings->at_start_up) continue;
    std::string label;
    axes.push_back(axis);
    lines.append(QString::fromStdString(referencing::Question(*plan, Words(axis, label))));
  }
  if (axes.empty()) return;
  const QString text = QStringLiteral("Reference these axes now, one after the other?\n\n") +
                       lines.join(QStringLiteral("\n\n"));
  OpenQuestion(text, [this, axes] {
    if (core_.AnyRunning() || !queue_.empty()) return;
    queue_.assign(axes.rbegin(), axes.rend());  // the next to run is at the back
    const AxisIndex first = queue_.back();
    queue_.pop_back();
    Begin(first);
  });
}

void ReferencingRunner::Begin(AxisIndex axis) {
  if (context_.exit.Ended() || core_.AnyRunning()) return;
  // The settings as they are now, not as they were when the question came.
  const std::optional<Plan> plan = PlanFor(axis);
  if (!plan || !core_.Start(axis, *plan)) {
    queue_.clear();
    return;
  }
  // Where the controller counts a Rel from is its own business from here.
  if (end_move_) end_move_(axis);
  Refresh();
}

void ReferencingRunner::Stopped(AxisIndex axis, CommandHolder holder) {
  if (!core_.Running(axis)) return;
  core_.End(axis, holder == CommandHolder::kEscape ? Outcome::kEscape : Outcome::kStopped);
  Refresh();
}

void ReferencingRunner::OperatorCommand(AxisIndex axis) {
  if (!core_.Running(axis)) return;
  core_.End(axis, Outcome::kInterrupted);
  Refresh();
}

void ReferencingRunner::Refresh() {
  // Texts are built on a change only: a tick without one compares a counter
  // per axis and nothing else.
  for (std::size_t k = 0; k < shown_changes_.size(); ++k) {
    const referencing::RunState& state = core_.State(static_cast<AxisIndex>(k));
    if (state.changes == shown_changes_[k]) continue;
    shown_changes_[k] = state.changes;
    const auto axis = static_cast<AxisIndex>(k);
    std::string label;
    QString text = QString::fromStdString(referencing::Describe(state, Words(axis, label)));
    if (state.phase != referencing::Phase::kIdle) {
      Say(text);
      continue;
    }
    if (state.outcome == Outcome::kDone && !queue_.empty()) {
      Say(text);
      const AxisIndex next = queue_.back();
      queue_.pop_back();
      Begin(next);
      return;
    }
    if (!queue_.empty()) {
      QStringList rest;
      for (const AxisIndex left : std::ranges::reverse_view(queue_)) rest.append(AxisLabel(context_.tables, left));
      text += QStringLiteral(" Not referenced: %1.").arg(rest.join(QStringLiteral(", ")));
      queue_.clear();
    }
    Say(text);
  }
}

}  // namespace stage::ui
