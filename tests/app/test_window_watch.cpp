// The window notices the unit by itself: one that appears later is loaded with no click, one that
// leaves is reported within two seconds with its controls off, one that comes back is loaded (or,
// with unsent edits, asked about), a unit another program holds is left alone until it is free,
// and nothing is looked at while a transfer owns the link.
#include <QtTest>

#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>

#include "app/mainwindow.h"
#include "efis_shared/get_set.h"
#include "operations/operations.h"
#include "tests/support/files.h"
#include "tests/support/window.h"

using support::child;
using support::open_window;
using support::status;

namespace {

const QString kLoaded = "Configuration successfully loaded from device";
const QString kDisconnected = "Error: The EFIS was disconnected - it is reconnected when it is plugged in again";
// A look every second: within two of them any change is seen.
constexpr int kWithin = 2500;

size_t count(const sim::VirtualUnit& unit, uint32_t id)
{
    size_t n = 0;
    for (const COMMS_MSG_t& f : unit.requests()) {
        n += f.can_ID == id ? 1 : 0;
    }
    return n;
}

bool unit_controls_enabled(MainWindow& w)
{
    return child<QPushButton>(w, "pushButton_load")->isEnabled() &&
           child<QPushButton>(w, "pushButton_update")->isEnabled() &&
           child<QPushButton>(w, "pushButton_save")->isEnabled() &&
           child<QPushButton>(w, "pushButton_reboot")->isEnabled();
}

bool unit_controls_disabled(MainWindow& w)
{
    return !child<QPushButton>(w, "pushButton_load")->isEnabled() &&
           !child<QPushButton>(w, "pushButton_update")->isEnabled() &&
           !child<QPushButton>(w, "pushButton_save")->isEnabled() &&
           !child<QPushButton>(w, "pushButton_reboot")->isEnabled() &&
           !child<QPushButton>(w, "pushButton_start_update")->isEnabled() &&
           !child<QPushButton>(w, "pushButton_start_airport")->isEnabled();
}

} // namespace

class WindowWatchTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }
    void cleanup() { sim::unplug_all(); }

    void unit_that_appears_later_is_loaded();
    void unit_that_leaves_and_comes_back();
    void unit_back_with_unsent_edits_is_asked_about();
    void unit_in_use_by_another_program();
    void nothing_is_looked_at_during_a_transfer();
};

void WindowWatchTest::unit_that_appears_later_is_loaded()
{
    sim::unplug_all();
    support::QtStreamCapture out(1);
    auto w = open_window();
    QCOMPARE(status(*w), QString("Failed to connect to EFIS via USB or CAN FD - please check connections"));

    auto unit = sim::make_demo_unit();
    sim::plug(unit);
    QTRY_COMPARE_WITH_TIMEOUT(status(*w), kLoaded, kWithin);
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 160);
    QCOMPARE(count(*unit, 0x010), size_t{1}); // one identity exchange, then the record
    QCOMPARE(count(*unit, 0x370), size_t{4 + SETTINGS_LAST_INDEX});
    QVERIFY(unit_controls_enabled(*w));
}

void WindowWatchTest::unit_that_leaves_and_comes_back()
{
    auto unit = support::plug_demo_unit();
    support::QtStreamCapture out(1);
    auto w = open_window();
    QCOMPARE(status(*w), kLoaded);

    // Unplugged: said within two seconds, the controls off, the form as it was.
    unit->unplug_cable();
    QElapsedTimer seen;
    seen.start();
    QTRY_COMPARE_WITH_TIMEOUT(status(*w), kDisconnected, kWithin);
    QVERIFY2(seen.elapsed() <= 2000 + 250, qPrintable(QString::number(seen.elapsed())));
    QVERIFY(unit_controls_disabled(*w));
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 160);
    QCOMPARE(sim::open_handle_count(), 0); // the link was closed

    // While it is away, looking sends nothing and the status stays.
    Settings_t changed = unit->stored_settings();
    uint32_t vne = 170;
    settings_set_value(&changed, VNE_INDEX, &vne);
    unit->load_settings(changed);
    unit->clear_log();
    QTest::qWait(1200);
    QCOMPARE(status(*w), kDisconnected);
    QVERIFY(unit->requests().empty());

    // Back: connected and loaded as File > Reconnect does.
    unit->plug_in_cable();
    QTRY_COMPARE_WITH_TIMEOUT(status(*w), kLoaded, kWithin);
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 170);
    QVERIFY(unit_controls_enabled(*w));
}

void WindowWatchTest::unit_back_with_unsent_edits_is_asked_about()
{
    auto unit = support::plug_demo_unit();
    support::QtStreamCapture out(1);
    auto w = open_window();
    unit->unplug_cable();
    QTRY_COMPARE_WITH_TIMEOUT(status(*w), kDisconnected, kWithin);
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(61);

    QString question;
    support::onNextDialog<QMessageBox>([&question](QMessageBox* box) {
        question = box->windowTitle() + "|" + box->defaultButton()->text();
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == "Cancel") {
                b->click();
            }
        }
    });
    unit->clear_log();
    unit->plug_in_cable();
    QTRY_COMPARE_WITH_TIMEOUT(question, QString("Unsent changes|Cancel"), kWithin);
    QTRY_COMPARE(status(*w), QString("Connected via USB HID"));
    // Cancel: the edits stay, the unit stays connected, nothing of the record was read.
    QCOMPARE(w->changedValues(), std::set<settings_struct_index>{VS1_INDEX});
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vs1")->value(), 61);
    QVERIFY(w->commsManager()->isConnected());
    QVERIFY(unit_controls_enabled(*w));
    QCOMPARE(count(*unit, 0x370), size_t{0});

    // And it is not asked again a second later: the unit is connected.
    QTest::qWait(1200);
    QCOMPARE(count(*unit, 0x010), size_t{1});
}

void WindowWatchTest::unit_in_use_by_another_program()
{
    auto unit = support::plug_demo_unit();
    const std::string path = operations::listed_units().at(0).path;
    operations::LockAttempt other = operations::take_unit_lock(path, "efis-cli");
    QCOMPARE(other.outcome, operations::LockOutcome::Taken);

    support::QtStreamCapture out(1);
    auto w = open_window();
    const QString in_use = QString("Error: The EFIS is in use by another program (efis-cli, pid %1)")
                               .arg(QCoreApplication::applicationPid());
    QCOMPARE(status(*w), in_use);
    QVERIFY(unit->requests().empty()); // not opened at all
    QTest::qWait(1200);
    QCOMPARE(status(*w), in_use);
    QVERIFY(unit->requests().empty());

    other.lock.release();
    QTRY_COMPARE_WITH_TIMEOUT(status(*w), kLoaded, kWithin);
}

void WindowWatchTest::nothing_is_looked_at_during_a_transfer()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.db");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    const auto bytes = support::pattern(64 * 3000);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    f.close();

    auto unit = support::plug_demo_unit();
    support::QtStreamCapture out(1);
    auto w = open_window();
    support::chooseFileInNextDialog(path);
    child<QPushButton>(*w, "pushButton_browse_airports")->click();
    // Slow enough that the transfer spans more than one look.
    unit->set_latency(std::chrono::microseconds(1000));

    child<QPushButton>(*w, "pushButton_start_airport")->click();
    QVERIFY(w->transferRunning());
    const int before = sim::enumeration_count();
    QTest::qWait(1300);
    QVERIFY(w->transferRunning());
    QCOMPARE(sim::enumeration_count(), before);

    QVERIFY(support::wait_idle(*w));
    QCOMPARE(status(*w), QString("Airport database transfer finished"));
    QTRY_VERIFY_WITH_TIMEOUT(sim::enumeration_count() > before, kWithin); // looking again
}

QTEST_MAIN(WindowWatchTest)
#include "test_window_watch.moc"
