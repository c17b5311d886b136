// Reconnect to EFIS: a unit attached after start, a unit that comes back with another firmware
// generation, unsent edits, and transfers that keep the link.
#include <QtTest>

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>

#include "app/mainwindow.h"
#include "efis_shared/settings_types.h"
#include "tests/support/files.h"
#include "tests/support/window.h"

using support::child;
using support::open_window;
using support::status;

namespace {

size_t count(const sim::VirtualUnit& unit, uint32_t id)
{
    size_t n = 0;
    for (const COMMS_MSG_t& f : unit.requests()) {
        n += f.can_ID == id ? 1 : 0;
    }
    return n;
}

void reconnect(MainWindow& w)
{
    support::QtStreamCapture out(1);
    child<QAction>(w, "actionReconnect")->trigger();
}

// Answers the "Unsent changes" question with the button of the given text; returns its text.
void answerUnsentChanges(const QString& button, QString* question)
{
    support::onNextDialog<QMessageBox>([button, question](QMessageBox* box) {
        *question = box->windowTitle() + "|" + box->text() + "|" + box->defaultButton()->text();
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == button) {
                b->click();
                return;
            }
        }
    });
}

} // namespace

class WindowReconnectTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }
    void cleanup() { sim::unplug_all(); }

    void first_in_the_file_menu();
    void unit_attached_after_start();
    void unit_back_with_another_generation();
    void unsent_edits_are_asked_about();
    void off_while_a_transfer_runs();
};

void WindowReconnectTest::first_in_the_file_menu()
{
    auto w = open_window();
    const QList<QAction*> actions = child<QMenu>(*w, "menuFile")->actions();
    QVERIFY(actions.size() >= 2);
    QCOMPARE(actions[0], child<QAction>(*w, "actionReconnect"));
    QCOMPARE(actions[0]->text(), QString("Reconnect to EFIS"));
    QVERIFY(actions[1]->isSeparator());
}

void WindowReconnectTest::unit_attached_after_start()
{
    sim::unplug_all();
    auto w = open_window();
    QCOMPARE(status(*w), QString("Failed to connect to EFIS via USB or CAN FD - please check connections"));

    // Still nobody there: the same text again.
    reconnect(*w);
    QCOMPARE(status(*w), QString("Failed to connect to EFIS via USB or CAN FD - please check connections"));

    auto unit = sim::make_demo_unit();
    sim::plug(unit);
    reconnect(*w);
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 160);
    QCOMPARE(count(*unit, 0x010), size_t{1}); // one WHOAMI exchange
    QCOMPARE(count(*unit, 0x370), size_t{4 + SETTINGS_LAST_INDEX});
    QCOMPARE(unit->requests().size(), size_t{1 + 4 + SETTINGS_LAST_INDEX});
    QCOMPARE(sim::open_handle_count(), 1);
}

void WindowReconnectTest::unit_back_with_another_generation()
{
    auto unit = support::plug_demo_unit(); // 0.2.12
    auto w = open_window();

    // Rebooted into older firmware: the legacy unit answers only the legacy WHOAMI.
    sim::unplug_all();
    auto legacy = sim::make_demo_unit();
    legacy->set_generation(sim::Generation::Legacy);
    sim::plug(legacy);
    reconnect(*w);
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));
    QCOMPARE(count(*legacy, 0x376), size_t{4 + SETTINGS_LAST_INDEX}); // legacy reads

    child<QSpinBox>(*w, "spinBox_vne")->setValue(150);
    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_update")->click();
    QCOMPARE(count(*legacy, 0x378), size_t{1});
    QCOMPARE(count(*legacy, 0x390), size_t{0});
    QCOMPARE(legacy->working_settings().vspeeds.Vne, 150);
    QCOMPARE(sim::open_handle_count(), 1); // the old handle was closed
}

void WindowReconnectTest::unsent_edits_are_asked_about()
{
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(61);
    unit->clear_log();

    QString question;
    answerUnsentChanges("Cancel", &question);
    reconnect(*w);
    QCOMPARE(question, QString("Unsent changes|The form holds changes that were not sent to the EFIS. Reconnecting "
                               "loads the settings from the unit and discards them.|Cancel"));
    QVERIFY(unit->requests().empty());
    QCOMPARE(w->changedValues(), std::set<settings_struct_index>{VS1_INDEX});
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vs1")->value(), 61);

    answerUnsentChanges("Reconnect", &question);
    reconnect(*w);
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));
    QVERIFY(w->changedValues().empty());
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vs1")->value(), 50);
    QCOMPARE(count(*unit, 0x010), size_t{1});
}

void WindowReconnectTest::off_while_a_transfer_runs()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.db");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    const auto bytes = support::pattern(64 * 300);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    f.close();

    auto unit = support::plug_demo_unit();
    auto w = open_window();
    support::chooseFileInNextDialog(path);
    child<QPushButton>(*w, "pushButton_browse_airports")->click();
    unit->set_latency(std::chrono::microseconds(500));

    support::QtStreamCapture out(1);
    auto* action = child<QAction>(*w, "actionReconnect");
    QVERIFY(action->isEnabled());
    child<QPushButton>(*w, "pushButton_start_airport")->click();
    QVERIFY(w->transferRunning());
    QVERIFY(!action->isEnabled());
    QMetaObject::invokeMethod(w.get(), "onReconnectTriggered");
    QCOMPARE(status(*w), QString("Error: A transfer is in progress - wait until it has finished"));

    QVERIFY(support::wait_idle(*w));
    QVERIFY(action->isEnabled());
    QCOMPARE(unit->flash(0, static_cast<uint32_t>(bytes.size())), bytes);
}

QTEST_MAIN(WindowReconnectTest)
#include "test_window_reconnect.moc"
