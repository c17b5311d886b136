// The plain uploads (bar and status as the worker reports, the failed step named, everything else
// that would use the link refused meanwhile) and the guided firmware update against a unit that
// restarts in a fifth of a second: the question before anything is sent, the step list, the final
// status after the form is loaded from the unit as it came back, and the reminder once it is back.
#include "settings_file/settings_file.h"
#include "tests/app/app_tests.h"

using namespace app_tests;
using support::MessageBoxes;

namespace {

struct Upload {
    const char *browse, *start, *file, *bar;
};
const Upload kFirmware{"pushButton_browse", "pushButton_start_update", "text_firmware_file", "progressBar_firmware"};
const Upload kAirports{"pushButton_browse_airports", "pushButton_start_airport", "text_firmware_file_2",
                       "progressBar_airports"};

// Chooses the file for a plain upload (the guided update has its own tests).
void choose(MainWindow& w, const Upload& u, const QString& path)
{
    child<QCheckBox>(w, "checkBox_keep_settings")->setChecked(false);
    choose_file(w, u.browse, path);
}

QString airport_file(const support::TempDir& dir, size_t bytes)
{
    return QString::fromStdString(dir.write("airports.db", support::pattern(bytes)));
}

QString image(const support::TempDir& dir, uint32_t version)
{
    return firmware_file(dir, QString("fw-%1.bin").arg(version, 8, 16, QChar('0')).toStdString(), 64 * 40, version);
}

// Starts the update, answering its question with `answer`; what the question said.
MessageBoxes::Seen start(MainWindow& w, const QString& answer)
{
    MessageBoxes boxes(answer);
    click(w, "pushButton_start_update");
    return boxes.seen.size() == 1 ? boxes.seen.front() : MessageBoxes::Seen{};
}

const QStringList kSteps = QString("Checking the image|Backing up the settings and calibration|Uploading the image|"
                                   "Restarting the EFIS|Waiting for the EFIS to come back|Confirming the firmware "
                                   "version|Restoring the settings|Comparing the calibration")
                               .split('|');

} // namespace

class UploadsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void uploads_run_to_completion_data();
    void uploads_run_to_completion();
    void while_an_upload_runs();
    void the_question_comes_before_any_frame();
    void runs_data();
    void runs();
};

void UploadsTest::uploads_run_to_completion_data()
{
    QTest::addColumn<bool>("firmware");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<bool>("refused"); // the fourth data packet
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<int>("bar");
    QTest::newRow("firmware") << true << 3000 << false
                              << QStringList{"Starting firmware update...", "Erasing: 1 / 1 blocks",
                                             "Uploading: 3000 / 3000 bytes", "Firmware update completed"}
                              << 10000;
    QTest::newRow("airport database") << false << 70000 << false
                                      << QStringList{"Starting airport database transfer...",
                                                     "Erasing airport region: 2 / 2 blocks",
                                                     "Uploading airport database: 70000 / 70000 bytes",
                                                     "Airport database transfer finished"}
                                      << 10000;
    // The bar stays where the run stopped.
    QTest::newRow("firmware, a packet refused")
        << true << 64 * 20 << true
        << QStringList{"Starting firmware update...", "Erasing: 1 / 1 blocks",
                       "Error: Firmware update failed: a data packet was not acknowledged (192 of 1280 bytes sent)"}
        << 1200 + 192 * 8800 / 1280;
}

void UploadsTest::uploads_run_to_completion()
{
    QFETCH(bool, firmware);
    QFETCH(int, bytes);
    QFETCH(bool, refused);
    QFETCH(QStringList, statuses);
    QFETCH(int, bar);
    const Upload& u = firmware ? kFirmware : kAirports;
    const support::TempDir dir;
    auto [unit, w] = open_on();
    choose(*w, u, firmware ? firmware_file(dir, "fw.bin", bytes) : airport_file(dir, bytes));
    QCOMPARE(child<QTextEdit>(*w, u.file)->toPlainText(), QString(firmware ? "fw.bin" : "airports.db"));
    if (refused) {
        unit->inject({sim::FaultKind::Nack, 0x420, 4}); // after the header and three data packets
    }
    QStringList seen;
    connect(child<QStatusBar>(*w, "statusbar"), &QStatusBar::messageChanged, [&seen](const QString& m) { seen << m; });
    click(*w, u.start);
    QVERIFY(!child<QWidget>(*w, u.browse)->isEnabled());
    QVERIFY(support::wait_idle(*w));

    seen.removeIf([&](const QString& s) { return !statuses.contains(s); }); // among the other reports
    seen.removeDuplicates();
    QCOMPARE(seen, statuses);
    QCOMPARE(child<QProgressBar>(*w, u.bar)->value(), bar);
    for (const char* name : {u.browse, u.start, "pushButton_load", "pushButton_reboot"}) {
        QVERIFY2(child<QWidget>(*w, name)->isEnabled(), name);
    }
    unit->unplug_cable();
    look(*w);
    QMetaObject::invokeMethod(w.get(), firmware ? "onStartUpdateClicked" : "onStartAirportClicked");
    QCOMPARE(status(*w), QString("Device not connected. Please connect to device first."));
}

void UploadsTest::while_an_upload_runs()
{
    const support::TempDir dir;
    auto [unit, w] = open_on();
    w->show();
    QMetaObject::invokeMethod(w.get(), "onStartAirportClicked");
    QCOMPARE(status(*w), QString("No airport database file selected"));
    choose(*w, kFirmware, firmware_file(dir, "fw.bin", 64));
    choose(*w, kAirports, airport_file(dir, 64 * 300));
    unit->set_latency(200us);
    click(*w, kAirports.start);

    // Nothing else may use the link: not the other upload, nor this one again, nor a settings
    // action, nor a reconnect, nor the watcher's look.
    click(*w, kFirmware.start);
    QCOMPARE(support::status(*w), QString("Finish airport transfer before firmware update"));
    QMetaObject::invokeMethod(w.get(), "onStartAirportClicked");
    QCOMPARE(support::status(*w), QString("Airport transfer already in progress"));
    QVERIFY(!child<QAction>(*w, "actionReconnect")->isEnabled() && !child<QWidget>(*w, "pushButton_save")->isEnabled());
    for (const char* slot :
         {"onLoadClicked", "onUpdateClicked", "onSaveClicked", "onRebootClicked", "onReconnectTriggered"}) {
        QMetaObject::invokeMethod(w.get(), slot);
        QVERIFY2(status(*w) == "Error: A transfer is in progress - wait until it has finished", slot);
    }
    const int enumerations = sim::enumeration_count();
    look(*w);
    QCOMPARE(sim::enumeration_count(), enumerations);
    {
        support::MessageBoxes close("Escape");
        QVERIFY(!w->close());
        QCOMPARE(close.seen.size(), 1);
        QCOMPARE(close.seen[0].title, QString("A transfer is in progress"));
        QCOMPARE(close.seen[0].text, QString("Closing now would leave the unit's flash partly written. The window can "
                                             "be closed when the transfer has finished."));
    }
    // Gone with the window, it waits for the run to end before the link goes.
    w.reset();
    QVERIFY(unit->airport_db_open());
}

void UploadsTest::the_question_comes_before_any_frame()
{
    const support::TempDir dir;
    auto [unit, w] = open_on();
    choose_file(*w, "pushButton_browse", image(dir, 0x00030000)); // asks which bank would be written
    unit->clear_log();
    MessageBoxes::Seen q = start(*w, "Cancel");
    QCOMPARE(q.title, QString("Update Firmware"));
    QCOMPARE(q.buttons, (QStringList{"Update", "Cancel"}));
    QCOMPARE(q.defaultButton + q.escapeButton, QString("CancelCancel"));
    QCOMPARE(q.text.split('\n').mid(0, 5),
             (QStringList{"Install firmware 0.3.0 from fw-00030000.bin on the EFIS?", "",
                          "Image: firmware 0.3.0, 2624 bytes", "EFIS: serial 0x00C0FFEE, firmware 0.2.12",
                          "Bank to be written: BANK1"}));
    QVERIFY(unit->requests().empty());
    QCOMPARE(status(*w), QString("Firmware update cancelled - nothing was sent"));

    // An older image is a downgrade, and its button says so.
    choose_file(*w, "pushButton_browse", image(dir, 0x00020B00));
    q = start(*w, "Cancel");
    QCOMPARE(q.buttons, (QStringList{"Downgrade", "Cancel"}));
    QVERIFY(q.text.contains("\nThis image is older than the firmware the EFIS runs: installing it is a downgrade.\n"));
}

void UploadsTest::runs_data()
{
    QTest::addColumn<int>("done");
    QTest::addColumn<QStringList>("tail"); // %1: the backup
    QTest::addColumn<QString>("status");
    // Every setting where the demo record differs from what a fresh image starts with is restored.
    const QString installed = QString("Firmware 0.3.0 installed; %1 setting(s) restored")
                                  .arg(settings_file::differences(settings_file::values_of(demo_record()),
                                                                  sim::VirtualUnit().stored_settings())
                                           .size());
    QTest::newRow("done") << 8 << QStringList{installed} << installed;
    const QString away = "The EFIS did not come back within 0.3 s; it was told to restart. Its settings are in %1; "
                         "once it is back, compare them with what it holds (File > Compare with File...)";
    QTest::newRow("not back in time") << 4 << QStringList{"Waiting for the EFIS to come back - failed", away}
                                      << "Error: " + away;
}

void UploadsTest::runs()
{
    QFETCH(int, done);
    QFETCH(QStringList, tail);
    QFETCH(QString, status);
    const QByteArray row = QTest::currentDataTag();
    const support::TempDir dir;
    auto [unit, w] = open_on();
    unit->set_restart_time(row == "not back in time" ? 60s : 200ms);
    unit->set_update_resets_settings(true);
    if (row == "not back in time") {
        w->setUpdateRestartTimeout(300ms);
    }
    choose_file(*w, "pushButton_browse", image(dir, 0x00030000));
    QCOMPARE(start(*w, "Update").title, QString("Update Firmware"));

    QVERIFY(!child<QWidget>(*w, "checkBox_keep_settings")->isEnabled()); // while it runs
    QVERIFY(support::wait_idle(*w));

    // The steps done (the backup's naming its file), then the outcome, which the status bar shows
    // after the form is loaded from the unit as it came back.
    QStringList lines;
    auto* list = child<QListWidget>(*w, "listWidget_update_steps");
    for (int i = 0; i < list->count(); ++i) {
        lines << list->item(i)->text();
    }
    const QString backup = lines.value(1).mid(kSteps[1].size() + 9); // after " - done: "
    QVERIFY2(backup.startsWith(qgetenv("XDG_STATE_HOME") + "/efis-config/backups/00C0FFEE/") &&
                 backup.contains("-before-0.3.0") && QFile::exists(backup),
             qPrintable(backup));
    QStringList expected;
    for (int i = 0; i < done; ++i) {
        expected << kSteps[i] + " - done" + (i == 1 ? ": " + backup : QString());
    }
    for (const QString& line : tail) {
        expected << QString(line).arg(backup);
    }
    QCOMPARE(lines, expected);
    QCOMPARE(support::status(*w), QString(status).arg(backup));
    const bool lost = row == "not back in time";
    QCOMPARE(shown(*w, "spinBox_vne"), lost ? QString("160") : QString::number(unit->stored_settings().vspeeds.Vne));
    QVERIFY(child<QWidget>(*w, "pushButton_load")->isEnabled() != lost &&
            child<QAction>(*w, "actionReconnect")->isEnabled());
    if (row == "done") { // the window knows the unit as it came back: its new version, and the other bank
        QVERIFY(start(*w, "Cancel").text.contains("firmware 0.3.0\nBank to be written: BANK2\n"));
    }
    if (lost) {
        unit = support::plug_demo_unit();
        look(*w);
        QCOMPARE(support::status(*w), QString("Warning: The EFIS is back after the firmware update, which did not "
                                              "restore its settings: the ones it held before are in %1")
                                          .arg(backup));
    }
}

APP_TEST(UploadsTest);
#include "test_uploads.moc"
