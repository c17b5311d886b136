// Firmware and airport database uploads through the real window: file choice, worker thread,
// throttled progress, finish handling, refusals and shutdown during a run.
#include <QtTest>

#include <QCheckBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextEdit>

#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "app/mainwindow.h"
#include "efis_shared/firmware.h"
#include "efis_shared/mem_layout.h"
#include "tests/support/files.h"
#include "tests/support/window.h"

using support::child;
using support::open_window;
using support::status;
using support::wait_idle;

namespace {

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        b = static_cast<uint8_t>(rng());
    }
    return v;
}

// A firmware image: header sized for `encrypted` bytes, then those bytes.
std::vector<uint8_t> firmware_image(uint32_t encrypted, unsigned seed)
{
    firmware_header_t h{};
    h.magic = 0x46575631;
    h.total_size = encrypted;
    h.plaintext_size = encrypted;
    h.encrypted_size = encrypted;
    return support::firmware_image(h, random_bytes(encrypted, seed));
}

QString write_file(const QTemporaryDir& dir, const char* name, const std::vector<uint8_t>& bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        qFatal("cannot write %s", qPrintable(path));
    }
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    return path;
}

void choose(MainWindow& w, const char* browse_button, const QString& path)
{
    // The plain uploads: the guided firmware update has tests of its own.
    child<QCheckBox>(w, "checkBox_keep_settings")->setChecked(false);
    support::chooseFileInNextDialog(path);
    child<QPushButton>(w, browse_button)->click();
}

} // namespace

class WindowTransfersTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }
    void cleanup() { sim::unplug_all(); }

    void firmware_upload_runs_to_completion();
    void airport_upload_runs_to_completion();
    void start_actions_refuse();
    void failing_upload_shows_the_failed_step();
    void short_firmware_file_is_refused_before_any_erase();
    void one_transfer_at_a_time_and_settings_kept_off_the_link();
    void closing_the_window_during_an_upload_is_safe();
    void close_is_refused_while_a_transfer_runs();
};

void WindowTransfersTest::firmware_upload_runs_to_completion()
{
    QTemporaryDir dir;
    const auto image = firmware_image(3000, 1);
    const QString path = write_file(dir, "fw.bin", image);
    auto unit = support::plug_demo_unit();
    unit->set_latency(std::chrono::microseconds(0));
    auto w = open_window();

    choose(*w, "pushButton_browse", path);
    QCOMPARE(child<QTextEdit>(*w, "text_firmware_file")->toPlainText(), QString("fw.bin"));
    QVERIFY(child<QPushButton>(*w, "pushButton_start_update")->isEnabled());

    auto* bar = child<QProgressBar>(*w, "progressBar_firmware");
    QSignalSpy barSpy(bar, &QProgressBar::valueChanged);
    std::vector<QString> statuses;
    connect(child<QStatusBar>(*w, "statusbar"), &QStatusBar::messageChanged,
            [&statuses](const QString& m) { statuses.push_back(m); });

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_start_update")->click();
    QVERIFY(!child<QPushButton>(*w, "pushButton_browse")->isEnabled());
    QVERIFY(wait_idle(*w));
    out.restore();

    QCOMPARE(status(*w), QString("Firmware update completed"));
    QCOMPARE(bar->value(), 10000);
    QVERIFY(child<QPushButton>(*w, "pushButton_browse")->isEnabled());
    QVERIFY(child<QPushButton>(*w, "pushButton_start_update")->isEnabled());

    // The bar only ever moved forward, through erase then upload reports, to the full bar.
    QVERIFY(barSpy.count() >= 3);
    int last = -1;
    for (const QList<QVariant>& call : barSpy) {
        QVERIFY(call.at(0).toInt() >= last);
        last = call.at(0).toInt();
    }
    QCOMPARE(statuses.front(), QString("Starting firmware update..."));
    QVERIFY(std::find(statuses.begin(), statuses.end(), QString("Erasing: 1 / 1 blocks")) != statuses.end());
    QVERIFY(std::find(statuses.begin(), statuses.end(), QString("Uploading: 3000 / 3000 bytes")) != statuses.end());
    QCOMPARE(statuses.back(), QString("Firmware update completed"));

    QCOMPARE(unit->flash(FW_BANK1_FIRST_BLOCK * MX25_BLOCK_SIZE, static_cast<uint32_t>(image.size())), image);
    QVERIFY(unit->nor_faults().empty());
}

void WindowTransfersTest::airport_upload_runs_to_completion()
{
    QTemporaryDir dir;
    const auto db = random_bytes(70000, 2); // two blocks
    const QString path = write_file(dir, "airports.db", db);
    auto unit = support::plug_demo_unit();
    unit->set_latency(std::chrono::microseconds(0));
    auto w = open_window();

    choose(*w, "pushButton_browse_airports", path);
    QCOMPARE(child<QTextEdit>(*w, "text_firmware_file_2")->toPlainText(), QString("airports.db"));

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_start_airport")->click();
    QCOMPARE(status(*w), QString("Starting airport database transfer..."));
    QVERIFY(wait_idle(*w));
    out.restore();

    QCOMPARE(status(*w), QString("Airport database transfer finished"));
    QCOMPARE(child<QProgressBar>(*w, "progressBar_airports")->value(), 10000);
    QCOMPARE(unit->flash(0, static_cast<uint32_t>(db.size())), db);
    QVERIFY(unit->nor_faults().empty());
    QVERIFY(unit->airport_db_open());
}

void WindowTransfersTest::start_actions_refuse()
{
    QTemporaryDir dir;
    const QString fw = write_file(dir, "fw.bin", firmware_image(64, 3));
    const QString db = write_file(dir, "a.db", random_bytes(10, 3));

    // Nothing chosen yet.
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    QMetaObject::invokeMethod(w.get(), "onStartUpdateClicked");
    QCOMPARE(status(*w), QString("No firmware file selected"));
    QMetaObject::invokeMethod(w.get(), "onStartAirportClicked");
    QCOMPARE(status(*w), QString("No airport database file selected"));

    // Cancelling the dialog keeps the earlier choice and widget states.
    choose(*w, "pushButton_browse", fw);
    support::cancelNextFileDialog();
    child<QPushButton>(*w, "pushButton_browse")->click();
    QCOMPARE(child<QTextEdit>(*w, "text_firmware_file")->toPlainText(), QString("fw.bin"));
    QVERIFY(child<QPushButton>(*w, "pushButton_start_update")->isEnabled());
    w.reset();

    // No unit: the start actions say so and nothing runs.
    sim::unplug_all();
    reset_whoami_fwversion_cache();
    w = open_window();
    choose(*w, "pushButton_browse", fw);
    choose(*w, "pushButton_browse_airports", db);
    support::QtStreamCapture err(2);
    child<QPushButton>(*w, "pushButton_start_update")->click();
    QCOMPARE(status(*w), QString("Device not connected. Please connect to device first."));
    child<QPushButton>(*w, "pushButton_start_airport")->click();
    QCOMPARE(status(*w), QString("Device not connected. Please connect to device first."));
    const std::string log = err.text();
    QVERIFY(log.find("Debug: Firmware update failed: CommsManager not connected") != std::string::npos);
    QVERIFY(log.find("Debug: Airport upload failed: CommsManager not connected") != std::string::npos);
    QVERIFY(!w->transferRunning());
}

void WindowTransfersTest::failing_upload_shows_the_failed_step()
{
    QTemporaryDir dir;
    const QString path = write_file(dir, "fw.bin", firmware_image(64 * 20, 4));
    auto unit = support::plug_demo_unit();
    unit->set_latency(std::chrono::microseconds(0));
    auto w = open_window();
    choose(*w, "pushButton_browse", path);
    unit->inject({sim::FaultKind::Nack, 0x420, 4, 1}); // header and three data packets go through

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_start_update")->click();
    QVERIFY(wait_idle(*w));
    const std::string printed = out.text();
    out.restore();

    QCOMPARE(status(*w),
             QString("Error: Firmware update failed: a data packet was not acknowledged (192 of 1280 bytes sent)"));
    const int bar = child<QProgressBar>(*w, "progressBar_firmware")->value();
    QCOMPARE(bar, 1200 + 192 * 8800 / 1280); // where the run stopped, not a full bar
    QVERIFY(printed.find("send_fw: MX25 write acknowledgment failed at packet 3\n") != std::string::npos);
    QVERIFY(child<QPushButton>(*w, "pushButton_start_update")->isEnabled());
    QVERIFY(child<QPushButton>(*w, "pushButton_load")->isEnabled());
}

void WindowTransfersTest::short_firmware_file_is_refused_before_any_erase()
{
    QTemporaryDir dir;
    auto image = firmware_image(64 * 20, 8);
    image.resize(image.size() - 1);
    const QString path = write_file(dir, "fw.bin", image);
    auto unit = support::plug_demo_unit();
    unit->set_latency(std::chrono::microseconds(0));
    auto w = open_window();
    choose(*w, "pushButton_browse", path);

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_start_update")->click();
    QVERIFY(wait_idle(*w));
    const std::string printed = out.text();
    out.restore();

    QCOMPARE(status(*w), QString("Error: Firmware update failed: the file is shorter than its header announces"));
    QVERIFY(printed.find("send_fw: Error: File holds 1279 bytes after the header, but its header announces 1280\n") !=
            std::string::npos);
    QCOMPARE(unit->erase_count(), 0u);
    QVERIFY(child<QPushButton>(*w, "pushButton_start_update")->isEnabled());
}

void WindowTransfersTest::one_transfer_at_a_time_and_settings_kept_off_the_link()
{
    QTemporaryDir dir;
    const QString fw = write_file(dir, "fw.bin", firmware_image(64 * 200, 5));
    const QString db = write_file(dir, "a.db", random_bytes(1000, 6));
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    choose(*w, "pushButton_browse", fw);
    choose(*w, "pushButton_browse_airports", db);
    unit->set_latency(std::chrono::milliseconds(2)); // long enough to act while it runs

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_start_update")->click();
    QVERIFY(w->transferRunning());

    child<QPushButton>(*w, "pushButton_start_airport")->click();
    QCOMPARE(status(*w), QString("Finish firmware update before airport transfer"));
    QMetaObject::invokeMethod(w.get(), "onStartUpdateClicked");
    QCOMPARE(status(*w), QString("Firmware update already in progress"));

    // Settings actions are off while the link is busy; edits still work locally.
    for (const char* b : {"pushButton_load", "pushButton_update", "pushButton_save", "pushButton_reboot"}) {
        QVERIFY2(!child<QPushButton>(*w, b)->isEnabled(), b);
    }
    const size_t before = unit->requests().size();
    for (const char* slot : {"onLoadClicked", "onUpdateClicked", "onSaveClicked", "onRebootClicked"}) {
        QMetaObject::invokeMethod(w.get(), slot);
        QCOMPARE(status(*w), QString("Error: A transfer is in progress - wait until it has finished"));
    }
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(61);
    QCOMPARE(w->changedValues(), std::set<settings_struct_index>{VS1_INDEX});
    QVERIFY(w->transferRunning());
    const auto frames = unit->requests();
    for (size_t i = before; i < frames.size(); ++i) {
        const uint32_t id = frames[i].can_ID;
        QVERIFY(id != 0x370 && id != 0x390 && id != 0x3A0 && id != 0x3B0);
    }

    QVERIFY(wait_idle(*w));
    QCOMPARE(status(*w), QString("Firmware update completed"));
    QVERIFY(child<QPushButton>(*w, "pushButton_load")->isEnabled());
    QVERIFY(unit->nor_faults().empty());
}

void WindowTransfersTest::closing_the_window_during_an_upload_is_safe()
{
    QTemporaryDir dir;
    const auto db = random_bytes(64 * 300, 7);
    const QString path = write_file(dir, "a.db", db);
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    choose(*w, "pushButton_browse_airports", path);
    unit->set_latency(std::chrono::microseconds(500));

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_start_airport")->click();
    QTest::qWait(20);
    QVERIFY(w->transferRunning());
    w.reset(); // waits for the worker before the link goes away
    out.restore();

    QCOMPARE(unit->flash(0, static_cast<uint32_t>(db.size())), db);
    QVERIFY(unit->airport_db_open());
    QCOMPARE(sim::open_handle_count(), 0);
    QCoreApplication::processEvents(); // queued progress for the dead window is dropped
}

void WindowTransfersTest::close_is_refused_while_a_transfer_runs()
{
    QTemporaryDir dir;
    const QString path = write_file(dir, "a.db", random_bytes(64 * 300, 8));
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    w->show();
    choose(*w, "pushButton_browse_airports", path);
    unit->set_latency(std::chrono::microseconds(500));

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_start_airport")->click();
    QVERIFY(w->transferRunning());
    QString title;
    QString text;
    support::onNextDialog<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        box->accept();
    });
    QVERIFY(!w->close());
    QCOMPARE(title, QString("A transfer is in progress"));
    QCOMPARE(text, QString("Closing now would leave the unit's flash partly written. The window can be closed when "
                           "the transfer has finished."));
    QVERIFY(w->isVisible());
    QVERIFY(w->transferRunning());

    QVERIFY(wait_idle(*w));
    QCOMPARE(status(*w), QString("Airport database transfer finished"));
    QVERIFY(w->close());
    QVERIFY(!w->isVisible());
}

QTEST_MAIN(WindowTransfersTest)
#include "test_window_transfers.moc"
