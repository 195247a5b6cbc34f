// Why this exists: a replay of the adversarial device library. Each seed
// draws a plan of hostile answers (statuses, counts, product strings,
// handles, byte counts, replies) and drives the real windows through it:
// start-up, OK, a run of polling cycles, then Exit. Whatever the plan, the
// run ends on one of the designed paths with its designed message, and no
// call ever reaches the library after the end or with a handle it did not
// give out. STAGE_CAMPAIGN_SEEDS sets how many seeds run (default 300, a
// few seconds); STAGE_CAMPAIGN_FIRST_SEED where they start.
#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <cstdlib>
#include <memory>

#include "stage/axis/modKVT_USB.h"
#include "tests/hostile/hostile_devices.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/command_button.h"
#include "ui/common/control_family.h"
#include "ui/common/fonts.h"
#include "ui/common/program_exit.h"
#include "ui/main/frmMain.h"
#include "ui/select/frmSelect.h"

using stage::hostile::HostileDevices;
using stage::hostile::Plan;
using namespace stage::ui;

namespace {

constexpr int kTicks = 40;

std::uint64_t FromEnvironment(const char* name, std::uint64_t otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::strtoull(value, nullptr, 10) : otherwise;
}

// What the plan says about start-up, worked out independently of the console.
bool CountFails(const Plan& plan) {
  return plan.count_status != 0 || plan.count == 0 || plan.count > stage::kMaxControllers;
}
int FirstRefusedOpen(const Plan& plan) {
  for (std::size_t k = 0; k < plan.count; ++k) {
    const stage::usb::Handle handle = plan.open_handles[k];
    bool repeated = false;
    for (std::size_t j = 0; j < k; ++j) repeated = repeated || plan.open_handles[j] == handle;
    if (plan.open_status[k] != 0 || handle == 0 || repeated) return static_cast<int>(k);
  }
  return -1;
}

bool IsDesignedTransferFailure(const QString& message) {
  return message.startsWith(QStringLiteral("Error writing to USB. Wrote  ")) ||
         message.startsWith(QStringLiteral("Error reading from USB. Read  ")) ||
         message.startsWith(QStringLiteral("Invalid reply from USB device "));
}

}  // namespace

class HostileCampaignTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  void every_seed_ends_on_a_designed_path() {
    const std::uint64_t first = FromEnvironment("STAGE_CAMPAIGN_FIRST_SEED", 1);
    const std::uint64_t seeds = FromEnvironment("STAGE_CAMPAIGN_SEEDS", 300);
    int counted = 0, refused = 0, failed_in_polling = 0, exited = 0;
    for (std::uint64_t seed = first; seed < first + seeds; ++seed) {
      const Plan plan = Plan::FromSeed(seed);
      const QByteArray context = "seed " + QByteArray::number(seed) + ": " + QByteArray::fromStdString(plan.Describe());
      HostileDevices devices(plan, seed);
      stage::modKVT_USB tables;
      RecordingExit exit;
      auto select = std::make_unique<frmSelect>(ConsoleContext{tables, devices, exit});

      if (CountFails(plan)) {
        QVERIFY2(exit.FatalMessages().size() == 1 && exit.FatalMessages()[0].startsWith(QStringLiteral(
                                                         "Error finding USB device. Aborting application.\n")),
                 context);
        QVERIFY2(devices.calls == 1, context);
        ++counted;
        continue;
      }
      QVERIFY2(!exit.Ended(), context);
      // Device text is plain wherever it is shown; a blank one is never
      // shown blank.
      auto* list = select->findChild<QComboBox*>(QStringLiteral("cmbDevice"));
      const auto caption = [list](int k) {
        return list->itemText(k).isEmpty() ? QStringLiteral("device %1").arg(k) : list->itemText(k);
      };
      for (int k = 0; k <= tables.AxisCount; ++k) {
        const auto* label = FindElement<QLabel>(select.get(), QStringLiteral("Label6"), k);
        QVERIFY2(label->textFormat() == Qt::PlainText && label->text() == caption(k), context);
      }

      QTest::mouseClick(select->findChild<CommandButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
      auto* main = dynamic_cast<frmMain*>(select->MainWindow());
      if (main != nullptr) main->Timer1().stop();
      const int refused_at = FirstRefusedOpen(plan);
      if (refused_at >= 0) {
        QVERIFY2(exit.FatalMessages().size() == 1, context);
        const QString& message = exit.FatalMessages()[0];
        QVERIFY2(message.startsWith(QStringLiteral("Error opening device: ") + caption(refused_at) +
                                    QStringLiteral(". Axis ")) &&
                     message.endsWith(QStringLiteral(". Application is aborting. Reset hardware and try again.")),
                 context);
        QVERIFY2(devices.closed == std::vector<stage::usb::Handle>(plan.open_handles.begin(),
                                                                   plan.open_handles.begin() + refused_at),
                 context);
        ++refused;
      } else {
        QVERIFY2(main != nullptr && !exit.Ended(), context);
        for (int tick = 0; tick < kTicks && !exit.Ended(); ++tick) main->Tick();
        if (exit.Ended()) {
          QVERIFY2(exit.FatalMessages().size() == 1 && IsDesignedTransferFailure(exit.FatalMessages()[0]),
                   context);
          QVERIFY2(devices.closed.empty(), context);
          ++failed_in_polling;
        } else {
          QTest::mouseClick(main->cmdExit(), Qt::LeftButton);
          QVERIFY2(exit.Status() == 0 && exit.FatalMessages().isEmpty(), context);
          QVERIFY2(devices.closed == plan.open_handles, context);
          ++exited;
        }
      }
      // Nothing reaches the library once the program has been asked to end.
      const std::uint64_t calls = devices.calls;
      if (main != nullptr) main->Tick();
      select.reset();
      QVERIFY2(devices.calls == calls, context);
      QVERIFY2(devices.misuse == 0, context);
    }
    qInfo("%llu seeds: %d failed counts, %d refused opens, %d failed in polling, %d ended by Exit",
          static_cast<unsigned long long>(seeds), counted, refused, failed_in_polling, exited);
    QVERIFY(seeds < 50 || (counted > 0 && refused > 0 && failed_in_polling > 0 && exited > 0));
  }
};

STAGE_UI_TEST_MAIN(HostileCampaignTest)
#include "hostile_campaign_test.moc"
