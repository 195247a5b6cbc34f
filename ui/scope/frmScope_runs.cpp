// The Scope's runs: saved to a file, loaded back beside the live traces, and
// the figures table exported as CSV. Files are written and read on the
// export thread, never on the thread that polls.
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QTableWidget>
#include <QTextStream>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <qcustomplot.h>

#include "ui/scope/frmScope.h"
#include "ui/scope/background_thread.h"

namespace stage::ui {
namespace {

using scope::PhaseError;
using scope::StepFigures;

// One row of the figures CSV: a move of a live or a loaded axis.
struct FiguresRow {
  QString source;  // "live", or the run's file name
  std::int64_t axis = 0;
  QString name;
  QString unit;
  double per_unit = 1;
  std::optional<usb::TuningValues> gains;
  StepFigures figures;
};

QString Quoted(QString text) {
  text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + text + QLatin1Char('"');
}

bool WriteFiguresCsv(const std::vector<FiguresRow>& rows, const QString& path, QString* error) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
    if (error != nullptr) *error = file.errorString();
    return false;
  }
  QTextStream out(&file);
  out << "source,axis,name,unit,move,start_s,end_s,step,rise_time_ms,overshoot_percent,overshoot,settling_time_ms,"
         "steady_state_error,peak_following_error,in_position_ms,accelerating_peak_error,accelerating_rms_error,"
         "cruising_peak_error,cruising_rms_error,braking_peak_error,braking_rms_error,band,end,"
         "p,i,d,acc,max_speed,torque,f_error\n";
  auto number = [](double value) { return QString::number(value, 'g', 10); };
  for (const FiguresRow& r : rows) {
    const StepFigures& f = r.figures;
    auto units = [&](double counts) { return number(counts / r.per_unit); };
    auto ms = [&](const auto& us) { return us ? number(static_cast<double>(*us) / 1000) : QString(); };
    auto phase = [&](const std::optional<PhaseError>& e) {
      return e ? units(e->peak_counts) + QLatin1Char(',') + units(e->rms_counts) : QStringLiteral(",");
    };
    out << Quoted(r.source) << ',' << r.axis << ',' << Quoted(r.name) << ',' << Quoted(r.unit) << ','
        << (f.relative ? "Rel" : "GO") << ',' << number(static_cast<double>(f.start_us) / 1e6) << ','
        << number(static_cast<double>(f.end_us) / 1e6) << ','
        << units(static_cast<double>(f.target_counts) - f.start_counts) << ',' << ms(f.rise_time_us) << ','
        << (f.overshoot_percent ? number(*f.overshoot_percent) : QString()) << ',' << units(f.overshoot_counts) << ','
        << ms(f.settling_time_us) << ','
        << (f.steady_state_error_counts ? units(*f.steady_state_error_counts) : QString()) << ','
        << units(f.peak_following_error_counts) << ',' << ms(f.loop.in_position_us) << ','
        << phase(f.loop.accelerating) << ',' << phase(f.loop.cruising) << ',' << phase(f.loop.braking) << ','
        << units(f.band_counts) << ',' << scope::EndKey(f.end);
    if (r.gains) {
      const usb::TuningValues& g = *r.gains;
      out << ',' << g.p << ',' << g.i << ',' << g.d << ',' << g.acc << ',' << g.max_speed << ',' << g.torque << ','
          << g.f_error << '\n';
    } else {
      out << ",,,,,,,\n";
    }
  }
  out.flush();
  if (out.status() != QTextStream::Ok || file.error() != QFileDevice::NoError || !file.commit()) {
    if (error != nullptr) *error = file.errorString();
    return false;
  }
  return true;
}

bool WriteRunFile(const scope::Run& run, const QString& path, QString* error) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    if (error != nullptr) *error = file.errorString();
    return false;
  }
  const std::string text = scope::WriteRun(run);
  if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
      !file.commit()) {
    if (error != nullptr) *error = file.errorString();
    return false;
  }
  return true;
}

// Reads and checks the file; empty with `error` set when it is not a whole, valid run.
std::optional<scope::Run> ReadRunFile(const QString& path, QString* error) {
  // Not a FIFO or a device, whose reading might never end.
  if (QFileInfo(path).exists() && !QFileInfo(path).isFile()) {
    *error = QStringLiteral("it is not a regular file");
    return std::nullopt;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *error = file.errorString();
    return std::nullopt;
  }
  // One byte more than a run may have: a larger file is refused without reading it all.
  const QByteArray bytes = file.read(static_cast<qint64>(scope::kMostRunFileBytes) + 1);
  if (file.error() != QFileDevice::NoError) {
    *error = file.errorString();
    return std::nullopt;
  }
  scope::RunRead read = scope::ReadRun(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  if (!read.run) *error = QString::fromStdString(read.error);
  return std::move(read.run);
}

}  // namespace

void frmScope::BuildRunControls(QVBoxLayout* controls) {
  auto button = [this, controls](const char* name, const QString& caption) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(QString::fromLatin1(name));
    controls->addWidget(b);
    return b;
  };
  cmd_save_run_ = button("cmdSaveRun", QStringLiteral("Save run..."));
  cmd_load_run_ = button("cmdLoadRun", QStringLiteral("Load run..."));
  cmd_export_figures_ = button("cmdExportFigures", QStringLiteral("Export figures..."));
  connect(cmd_save_run_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save run"), QStringLiteral("run.json"),
                                                      QStringLiteral("Runs (*.json)"));
    if (!path.isEmpty()) StartSaveRun(path);
  });
  connect(cmd_load_run_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Load run"), QString(),
                                                      QStringLiteral("Runs (*.json)"));
    if (!path.isEmpty()) StartLoadRun(path);
  });
  connect(cmd_export_figures_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export figures"),
                                                      QStringLiteral("figures.csv"), QStringLiteral("CSV (*.csv)"));
    if (!path.isEmpty()) StartExportFigures(path);
  });
  // The loaded run's traces are drawn against a time axis of their own, as
  // long as the window.
  connect(spn_window_, &QSpinBox::valueChanged, this, [this] {
    if (loaded_) ShowLoadedTraces();
  });
}

scope::Run frmScope::RunSnapshot() const {
  scope::Run run;
  run.saved_utc = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
  const QCPRange shown = position_rect_->axis(QCPAxis::atBottom)->range();
  for (const std::size_t axis : ShownAxes()) {
    scope::RunAxis a;
    a.axis = static_cast<std::int64_t>(axis);
    a.name = AxisName(axis).toStdString();
    a.unit = UnitOf(axis).toStdString();
    a.counts_per_unit = CountsPerUnit(axis);
    a.gains = recorder_.SentGains(axis);
    const scope::Ring<scope::ScopeSample>& ring = recorder_.Samples(axis);
    for (std::size_t k = 0; k < ring.Size(); ++k) {
      const double t = static_cast<double>(ring[k].time_us) / 1e6;
      if (t >= shown.lower && t <= shown.upper) a.samples.push_back(ring[k]);
    }
    const scope::Ring<StepFigures>& moves = recorder_.Moves(axis);
    for (std::size_t k = 0; k < moves.Size(); ++k) a.moves.push_back(moves[k]);
    if (auto current = recorder_.MoveInProgress(axis)) a.moves.push_back(*current);
    run.axes.push_back(std::move(a));
  }
  return run;
}

void frmScope::StartSaveRun(const QString& path) {
  RunExport([run = RunSnapshot(), path](QString* error) { return WriteRunFile(run, path, error); }, path);
}

void frmScope::StartExportFigures(const QString& path) {
  std::vector<FiguresRow> rows;
  const scope::Run live = RunSnapshot();
  auto add = [&rows](const QString& source, const scope::Run& run) {
    for (const scope::RunAxis& a : run.axes) {
      for (const StepFigures& f : a.moves) {
        rows.push_back({source, a.axis, QString::fromStdString(a.name), QString::fromStdString(a.unit),
                        a.counts_per_unit, a.gains, f});
      }
    }
  };
  add(QStringLiteral("live"), live);
  if (loaded_) add(loaded_->file, loaded_->run);
  RunExport([rows = std::move(rows), path](QString* error) { return WriteFiguresCsv(rows, path, error); }, path);
}

void frmScope::StartLoadRun(const QString& path) {
  if (exporting_) return;
  if (export_thread_.joinable()) export_thread_.join();
  exporting_ = true;
  for (QPushButton* b : {cmd_export_csv_, cmd_export_png_, cmd_save_run_, cmd_load_run_, cmd_export_figures_}) {
    b->setEnabled(false);
  }
  export_thread_ = std::thread([this, path] {
    RunBehindThePoll();
    QString error;
    std::optional<scope::Run> run = ReadRunFile(path, &error);
    QMetaObject::invokeMethod(
        this, [this, run = std::move(run), path, error]() mutable { LoadDone(std::move(run), path, error); },
        Qt::QueuedConnection);
  });
}

void frmScope::LoadDone(std::optional<scope::Run> run, const QString& path, const QString& error) {
  if (export_thread_.joinable()) export_thread_.join();
  exporting_ = false;
  for (QPushButton* b : {cmd_export_csv_, cmd_export_png_, cmd_save_run_, cmd_load_run_, cmd_export_figures_}) {
    b->setEnabled(true);
  }
  if (!run) {
    // The run shown before, if any, stays as it was.
    const QString message = QStringLiteral("Could not load a run from %1: %2. Nothing was loaded.").arg(path, error);
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Scope"), message, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("msgLoadFailed"));
    box->setTextFormat(Qt::PlainText);  // the path and the file's own text are not markup
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    emit RunLoaded(false, message);
    return;
  }
  if (loaded_) {
    for (QCPGraph* g : loaded_->graphs) plot_->removeGraph(g);
  }
  loaded_ = RunShown{QFileInfo(path).fileName(), std::move(*run), {}};
  ShowLoadedTraces();
  drawn_moves_ = UINT64_MAX;
  sized_for_moves_ = UINT64_MAX;
  Refresh();
  emit RunLoaded(true, QString());
}

void frmScope::ShowLoadedTraces() {
  for (QCPGraph* g : loaded_->graphs) plot_->removeGraph(g);
  loaded_->graphs.clear();
  // Times from the run's first sample, on the top axes of the position and
  // following-error plots.
  std::int64_t first_us = INT64_MAX;
  for (const scope::RunAxis& a : loaded_->run.axes) {
    if (!a.samples.empty()) first_us = std::min(first_us, a.samples.front().time_us);
  }
  const double window_s = spn_window_->value();
  for (QCPAxisRect* r : {position_rect_, following_rect_}) {
    QCPAxis* top = r->axis(QCPAxis::atTop);
    top->setVisible(true);
    top->setTickLabels(true);
    top->setLabel(QStringLiteral("Loaded run %1: time (s)").arg(loaded_->file));
    top->setRange(0, window_s);
  }
  const QColor grey(110, 110, 110);
  for (const scope::RunAxis& a : loaded_->run.axes) {
    const QString name = QStringLiteral("%1 (%2)").arg(QString::fromStdString(a.name), loaded_->file);
    QCPGraph* actual = plot_->addGraph(position_rect_->axis(QCPAxis::atTop), position_axes_.front());
    QCPGraph* ideal = plot_->addGraph(position_rect_->axis(QCPAxis::atTop), position_axes_.front());
    QCPGraph* following = plot_->addGraph(following_rect_->axis(QCPAxis::atTop), following_axes_.front());
    actual->setPen(QPen(grey, 1));
    ideal->setPen(QPen(grey.lighter(140), 1));
    following->setPen(QPen(grey, 1));
    actual->setName(name + QStringLiteral(" actual"));
    ideal->setName(name + QStringLiteral(" ideal"));
    following->setName(name);
    for (const scope::ScopeSample& s : a.samples) {
      const double t = static_cast<double>(s.time_us - first_us) / 1e6;
      actual->addData(t, s.position / a.counts_per_unit);
      ideal->addData(t, s.ideal_position / a.counts_per_unit);
      following->addData(t, (static_cast<double>(s.position) - s.ideal_position) / a.counts_per_unit);
    }
    actual->addToLegend();
    loaded_->graphs.insert(loaded_->graphs.end(), {actual, ideal, following});
  }
  RedrawAll();
}

void frmScope::FillLoadedMoves(int first_row) {
  if (!loaded_) return;
  int row = first_row;
  for (const scope::RunAxis& a : loaded_->run.axes) {
    const QString name = QStringLiteral("%1 (%2)").arg(QString::fromStdString(a.name), loaded_->file);
    const QString suffix = QLatin1Char(' ') + QString::fromStdString(a.unit);
    for (StepFigures f : a.moves) {
      // The file keeps the gains last sent per axis, not per move.
      if (!f.gains) f.gains = a.gains;
      SetFiguresRow(row++, name, f, a.counts_per_unit, suffix);
    }
  }
}

}  // namespace stage::ui
