// The guided firmware update through the real window, against a virtual unit that restarts in a
// fifth of a second: the question before anything is sent, the step list, the final status, the
// form loaded from the unit as it came back, failures naming the step and the backup, and the
// plain upload when the box is unchecked.
#include <QtTest>

#include <QAction>
#include <QCheckBox>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <vector>

#include "app/mainwindow.h"
#include "comms/comms.h"
#include "efis_shared/firmware.h"
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"
#include "tests/support/files.h"
#include "tests/support/window.h"

using namespace std::chrono_literals;
using support::child;
using support::MessageBoxes;
using support::open_window;
using support::status;
using support::wait_idle;

namespace {

constexpr uint32_t kVersion030 = 0x00030000;
constexpr uint32_t kVersion0212 = 0x00020C00;

// A firmware image stating `version` (0: none), with 40 packets of body.
QString write_image(const QTemporaryDir& dir, uint32_t version)
{
    constexpr uint32_t kBytes = 64 * 40;
    firmware_header_t h{};
    h.magic = 0x46575631;
    h.version = version;
    h.total_size = kBytes;
    h.plaintext_size = kBytes;
    h.encrypted_size = kBytes;
    const std::vector<uint8_t> bytes = support::firmware_image(h, support::pattern(kBytes));
    const QString path = dir.filePath(QString("fw-%1.bin").arg(version, 8, 16, QChar('0')));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        qFatal("cannot write %s", qPrintable(path));
    }
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    return path;
}

void choose(MainWindow& w, const QString& path)
{
    support::chooseFileInNextDialog(path);
    child<QPushButton>(w, "pushButton_browse")->click();
}

QStringList step_lines(MainWindow& w)
{
    QStringList lines;
    auto* list = child<QListWidget>(w, "listWidget_update_steps");
    for (int i = 0; i < list->count(); ++i) {
        lines << list->item(i)->text();
    }
    return lines;
}

// Starts the update, answering its question with `answer`; returns what the question said.
MessageBoxes::Seen start(MainWindow& w, const QString& answer)
{
    MessageBoxes boxes(answer);
    child<QPushButton>(w, "pushButton_start_update")->click();
    if (boxes.seen.size() != 1) {
        qWarning("%d questions", static_cast<int>(boxes.seen.size()));
        return {};
    }
    return boxes.seen.front();
}

const QStringList kAllStepsDone = {
    "Checking the image - done",
    "Backing up the settings and calibration - done",
    "Uploading the image - done",
    "Restarting the EFIS - done",
    "Waiting for the EFIS to come back - done",
    "Confirming the firmware version - done",
    "Restoring the settings - done",
    "Comparing the calibration - done",
};

} // namespace

class WindowFirmwareUpdateTest : public QObject {
    Q_OBJECT

    QTemporaryDir state; // backups land here, not in the home directory

    QString backups() const { return state.filePath("efis-config/backups/00C0FFEE/"); }

private slots:
    void initTestCase()
    {
        QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    }
    void cleanup() { sim::unplug_all(); }

    void the_question_comes_before_any_frame();
    void a_full_run_restores_the_settings_and_loads_the_form();
    void a_new_layout_and_a_changed_calibration_are_warnings();
    void failures_name_the_step_and_the_backup();
    void unchecked_box_is_the_plain_upload();
};

void WindowFirmwareUpdateTest::the_question_comes_before_any_frame()
{
    QTemporaryDir dir;
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    QVERIFY(child<QCheckBox>(*w, "checkBox_keep_settings")->isChecked());
    support::QtStreamCapture out(1);

    // The bank is asked when the image is chosen; the question and Cancel send nothing.
    choose(*w, write_image(dir, kVersion030));
    const size_t before = unit->requests().size();
    MessageBoxes::Seen q = start(*w, "Cancel");
    QCOMPARE(q.title, QString("Update Firmware"));
    QCOMPARE(q.buttons, (QStringList{"Update", "Cancel"}));
    QCOMPARE(q.defaultButton, QString("Cancel"));
    QCOMPARE(q.escapeButton, QString("Cancel"));
    for (const char* line :
         {"Install firmware 0.3.0 from fw-00030000.bin on the EFIS?", "Image: firmware 0.3.0, 2624 bytes",
          "EFIS: serial 0x00C0FFEE, firmware 0.2.12", "Bank to be written: BANK1"}) {
        QVERIFY2(q.text.split('\n').contains(line), qPrintable(q.text));
    }
    QCOMPARE(unit->requests().size(), before);
    QCOMPARE(status(*w), QString("Firmware update cancelled - nothing was sent"));
    QVERIFY(!w->transferRunning());
    QVERIFY(step_lines(*w).isEmpty());

    // An image with no version is refused before any question, and nothing is sent.
    choose(*w, write_image(dir, 0));
    const size_t refused_before = unit->requests().size();
    {
        MessageBoxes none("Cancel");
        child<QPushButton>(*w, "pushButton_start_update")->click();
        QVERIFY(none.seen.isEmpty());
    }
    QCOMPARE(status(*w), QString("Error: fw-00000000.bin states no firmware version: the guided update needs one "
                                 "(uncheck \"Back up the settings, restart the EFIS and restore them afterwards\" "
                                 "for a plain upload)"));
    QCOMPARE(unit->requests().size(), refused_before);
    w.reset();
    sim::unplug_all();

    // Chosen with the box unchecked, the bank was not asked: the question says when it will be. The
    // same version is installed again; an older image is a downgrade, which the button says.
    unit = support::plug_demo_unit();
    unit->set_version(0, 3, 0);
    w = open_window();
    child<QCheckBox>(*w, "checkBox_keep_settings")->setChecked(false);
    choose(*w, write_image(dir, kVersion030));
    child<QCheckBox>(*w, "checkBox_keep_settings")->setChecked(true);
    q = start(*w, "Cancel");
    QCOMPARE(q.buttons, (QStringList{"Update", "Cancel"}));
    QVERIFY(q.text.contains("The EFIS runs this version already: it is installed again."));
    QVERIFY(q.text.split('\n').contains("Bank to be written: asked at the start of the upload"));

    choose(*w, write_image(dir, kVersion0212));
    q = start(*w, "Cancel");
    QCOMPARE(q.buttons, (QStringList{"Downgrade", "Cancel"}));
    QCOMPARE(q.defaultButton, QString("Cancel"));
    QVERIFY(q.text.contains("This image is older than the firmware the EFIS runs: installing it is a downgrade."));
    QVERIFY(q.text.split('\n').contains("Bank to be written: BANK1"));
    QCOMPARE(unit->restart_count(), 0);
    QCOMPARE(unit->erase_count(), 0u);
}

void WindowFirmwareUpdateTest::a_full_run_restores_the_settings_and_loads_the_form()
{
    QTemporaryDir dir;
    auto unit = support::plug_demo_unit();
    unit->set_latency(0us);
    unit->set_restart_time(200ms);
    unit->set_update_resets_settings(true);
    const Settings_t before = unit->stored_settings();
    // What the new image starts with is a fresh unit's record: every setting that differs from it
    // is restored, the registration counting as one.
    const Settings_t blank = sim::VirtualUnit().stored_settings();
    const size_t differing = settings_file::differences(settings_file::values_of(before), blank).size();
    QVERIFY(differing > 3);

    auto w = open_window();
    w->show();
    const int vne = child<QSpinBox>(*w, "spinBox_vne")->value();
    QVERIFY(vne != 0);
    choose(*w, write_image(dir, kVersion030));
    QStringList statuses;
    connect(child<QStatusBar>(*w, "statusbar"), &QStatusBar::messageChanged,
            [&statuses](const QString& m) { statuses << m; });

    support::QtStreamCapture out(1);
    QCOMPARE(start(*w, "Update").title, QString("Update Firmware"));
    QVERIFY(w->transferRunning());

    // While it runs the link is the update's: reconnecting and the settings actions are refused...
    QVERIFY(!child<QAction>(*w, "actionReconnect")->isEnabled());
    QVERIFY(!child<QCheckBox>(*w, "checkBox_keep_settings")->isEnabled());
    for (const char* slot : {"onReconnectTriggered", "onLoadClicked", "onUpdateClicked", "onSaveClicked",
                             "onRebootClicked", "onStartUpdateClicked"}) {
        QMetaObject::invokeMethod(w.get(), slot);
        QVERIFY2(status(*w) == "Error: A transfer is in progress - wait until it has finished" ||
                     status(*w) == "Firmware update already in progress",
                 slot);
    }
    // ... and so is closing the window.
    {
        MessageBoxes close("Escape");
        QVERIFY(!w->close());
        QCOMPARE(close.seen.size(), 1);
        QCOMPARE(close.seen[0].title, QString("A transfer is in progress"));
    }
    QVERIFY(wait_idle(*w));
    out.restore();

    // Every step done, the backup named on its line, the outcome last; the form loaded before the
    // final status.
    const QStringList lines = step_lines(*w);
    QCOMPARE(lines.size(), kAllStepsDone.size() + 1);
    for (int i = 0; i < kAllStepsDone.size(); ++i) {
        QVERIFY2(lines[i].startsWith(kAllStepsDone[i]), qPrintable(lines[i]));
    }
    QVERIFY2(lines[1].startsWith(kAllStepsDone[1] + ": " + backups()), qPrintable(lines[1]));
    const QString backup = lines[1].mid(kAllStepsDone[1].size() + 2);
    QVERIFY2(backup.endsWith("-before-0.3.0.json") && QFile::exists(backup), qPrintable(backup));
    const QString done = QString("Firmware 0.3.0 installed; %1 setting(s) restored").arg(differing);
    QCOMPARE(status(*w), done);
    QCOMPARE(lines.last(), done);
    const qsizetype loaded = statuses.lastIndexOf("Configuration successfully loaded from device");
    QVERIFY(loaded >= 0 && loaded < statuses.lastIndexOf(done));
    QVERIFY(statuses.contains("Erasing: 1 / 1 blocks"));
    QVERIFY(statuses.contains("Restarting the EFIS..."));
    QCOMPARE(child<QProgressBar>(*w, "progressBar_firmware")->value(), 10000);
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), vne);
    QCOMPARE(settings_get_value(&before, VNE_INDEX), [&] {
        const Settings_t after = unit->stored_settings();
        return settings_get_value(&after, VNE_INDEX);
    }());
    QVERIFY(child<QPushButton>(*w, "pushButton_load")->isEnabled());
    QVERIFY(child<QAction>(*w, "actionReconnect")->isEnabled());
    QCOMPARE(unit->restart_count(), 1);

    // The window knows the unit as it came back: its new version, and the other bank.
    const MessageBoxes::Seen again = start(*w, "Cancel");
    QVERIFY2(again.text.split('\n').contains("EFIS: serial 0x00C0FFEE, firmware 0.3.0"), qPrintable(again.text));
    QVERIFY2(again.text.split('\n').contains("Bank to be written: BANK2"), qPrintable(again.text));
}

void WindowFirmwareUpdateTest::a_new_layout_and_a_changed_calibration_are_warnings()
{
    QTemporaryDir dir;
    auto unit = support::plug_demo_unit();
    unit->set_latency(0us);
    unit->set_restart_time(200ms);
    unit->set_update_resets_settings(true);
    unit->set_update_record_version(2);
    unit->on_image_start([](sim::ImageStart& start) {
        uint32_t word = 0x3F800001;
        calib_set_value(&start.calibration, MMC_INITIAL_B_VECTOR_0_INDEX, &word);
    });
    const Settings_t blank = sim::VirtualUnit().stored_settings();
    auto w = open_window();
    choose(*w, write_image(dir, kVersion030));
    support::QtStreamCapture out(1);
    start(*w, "Update");
    QVERIFY(wait_idle(*w));

    const QStringList lines = step_lines(*w);
    QCOMPARE(lines.size(), kAllStepsDone.size() + 2);
    const QString backup = lines[1].mid(kAllStepsDone[1].size() + 2);
    const QString calibration = QString("Calibration changed at index %1 (magnetometer): the unit may need calibrating "
                                        "again; the backup holds the old values")
                                    .arg(MMC_INITIAL_B_VECTOR_0_INDEX);
    QCOMPARE(lines[8], calibration);
    QCOMPARE(lines[9], QString("Firmware 0.3.0 installed; the new firmware keeps its settings in another layout, so "
                               "none were restored - the old ones are in %1")
                           .arg(backup));
    QCOMPARE(status(*w), QString("Warning: %1; calibration changed at index %2 (magnetometer): the unit may need "
                                 "calibrating again; the backup holds the old values")
                             .arg(lines[9])
                             .arg(MMC_INITIAL_B_VECTOR_0_INDEX));
    // The form shows what the unit holds now, not what it held before.
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), static_cast<int>(settings_get_value(&blank, VNE_INDEX)));
    QVERIFY(unit->saves().empty());
}

void WindowFirmwareUpdateTest::failures_name_the_step_and_the_backup()
{
    QTemporaryDir dir;
    const QString image = write_image(dir, kVersion030);

    // The unit restarts into its old image: the version is not confirmed, nothing is restored.
    auto unit = support::plug_demo_unit();
    unit->set_latency(0us);
    unit->set_restart_time(200ms);
    unit->set_reject_images(true);
    auto w = open_window();
    choose(*w, image);
    support::QtStreamCapture out(1);
    start(*w, "Update");
    QVERIFY(wait_idle(*w));
    QStringList lines = step_lines(*w);
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines.mid(0, 5).join('|').count(" - done"), 5);
    QCOMPARE(lines[5], QString("Confirming the firmware version - failed"));
    const QString backup = lines[1].mid(kAllStepsDone[1].size() + 2);
    QVERIFY(QFile::exists(backup));
    QCOMPARE(lines[6], QString("The EFIS came back with firmware 0.2.12, not 0.3.0: it did not start the new image. "
                               "Its settings were left as they were; a backup of them is in %1")
                           .arg(backup));
    QCOMPARE(status(*w), "Error: " + lines[6]);
    QVERIFY(w->commsManager()->isConnected());
    QVERIFY(child<QPushButton>(*w, "pushButton_load")->isEnabled());
    QVERIFY(unit->saves().empty());
    w.reset();
    sim::unplug_all();

    // The unit does not come back in time: the window lets go of it, and says what happened once
    // the watcher has it again.
    unit = support::plug_demo_unit();
    unit->set_latency(0us);
    unit->set_restart_time(60s);
    w = open_window();
    w->setUpdateRestartTimeout(300ms);
    choose(*w, image);
    start(*w, "Update");
    QVERIFY(wait_idle(*w));
    lines = step_lines(*w);
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines[4], QString("Waiting for the EFIS to come back - failed"));
    const QString second_backup = lines[1].mid(kAllStepsDone[1].size() + 2);
    QCOMPARE(lines[5], QString("The EFIS did not come back within 0.3 s; it was told to restart. Its settings are in "
                               "%1; once it is back, compare them with what it holds (File > Compare with File...)")
                           .arg(second_backup));
    QCOMPARE(status(*w), "Error: " + lines[5]);
    QVERIFY(!w->commsManager()->isConnected());
    QVERIFY(!child<QPushButton>(*w, "pushButton_load")->isEnabled());
    QVERIFY(!child<QPushButton>(*w, "pushButton_start_update")->isEnabled());

    sim::unplug_all();
    unit = support::plug_demo_unit();
    QVERIFY(QTest::qWaitFor([&] { return w->commsManager()->isConnected(); }, 10000));
    QCOMPARE(status(*w), QString("Warning: The EFIS is back after the firmware update, which did not restore its "
                                 "settings: the ones it held before are in %1")
                             .arg(second_backup));
}

void WindowFirmwareUpdateTest::unchecked_box_is_the_plain_upload()
{
    QTemporaryDir dir;
    auto unit = support::plug_demo_unit();
    unit->set_latency(0us);
    unit->set_restart_time(200ms);
    auto w = open_window();
    child<QCheckBox>(*w, "checkBox_keep_settings")->setChecked(false);
    support::QtStreamCapture out(1);

    const qsizetype backups_before = QDir(backups()).entryList(QDir::Files).size();
    const size_t before = unit->requests().size();
    choose(*w, write_image(dir, 0)); // a plain upload needs no version
    QCOMPARE(unit->requests().size(), before);
    MessageBoxes none("Cancel");
    child<QPushButton>(*w, "pushButton_start_update")->click();
    QCOMPARE(status(*w), QString("Starting firmware update..."));
    QVERIFY(wait_idle(*w));
    QVERIFY(none.seen.isEmpty());
    QCOMPARE(status(*w), QString("Firmware update completed"));
    QCOMPARE(unit->reboot_count(), 0);
    QCOMPARE(unit->restart_count(), 0);
    QVERIFY(step_lines(*w).isEmpty());
    QCOMPARE(QDir(backups()).entryList(QDir::Files).size(), backups_before);
}

QTEST_MAIN(WindowFirmwareUpdateTest)
#include "test_window_firmware_update.moc"
