// Two units on one bench: the Unit menu lists them, the status bar names the one connected, and a
// unit chosen there is the only one the window connects to from then on.
#include "tests/app/app_tests.h"

#include "comms/can_msg_ids.h"
#include "sim/environment.h"

using namespace app_tests;

namespace {

// 0x00C0FFEE and 0x0BADF00D on the bus, the second plugged first, each with its own vne.
std::vector<std::shared_ptr<sim::VirtualUnit>> plug_two()
{
    sim::unplug_all();
    reset_whoami_fwversion_cache();
    auto units = sim::make_units({.serials = {0x00C0FFEE, 0x0BADF00D}});
    units[0]->load_settings(with(demo_record(), {{VNE_INDEX, 170}}));
    units[1]->load_settings(with(demo_record(), {{VNE_INDEX, 190}}));
    sim::plug(units[1]);
    sim::plug(units[0]);
    return units;
}

// The Unit menu as it shows when opened: each entry's text, "[x]" when checked, "(off)" when disabled.
QStringList unit_entries(MainWindow& w)
{
    QMenu* menu = child<QMenu>(w, "menuUnit");
    emit menu->aboutToShow();
    QStringList out;
    for (QAction* a : menu->actions()) {
        out << a->text() + (a->isChecked() ? " [x]" : "") + (a->isEnabled() ? "" : " (off)");
    }
    return out;
}

// The entry of a unit in the menu as it was last opened.
QAction* entry(MainWindow& w, const QString& serial)
{
    for (QAction* a : child<QMenu>(w, "menuUnit")->actions()) {
        if (a->text().startsWith(serial)) {
            return a;
        }
    }
    qFatal("no entry for %s", qPrintable(serial));
}

// Opens the menu and chooses the unit, as a person does.
void choose(MainWindow& w, const QString& serial)
{
    unit_entries(w);
    entry(w, serial)->trigger();
}

QString unit_label(MainWindow& w)
{
    return child<QLabel>(w, "label_unit")->text();
}

const QString kWaiting = "Error: The EFIS 0x0BADF00D was disconnected - it is reconnected when it is plugged in again";

} // namespace

class UnitsTest : public QObject {
    Q_OBJECT

private slots:
    void menu_lists_the_units();
    void choosing_data();
    void choosing();
    void holding_to_the_chosen_unit();
};
APP_TEST(UnitsTest);

void UnitsTest::menu_lists_the_units()
{
    const auto units = plug_two();
    units[0]->set_generation(sim::Generation::Legacy);
    const auto w = support::open_window(); // the first free one listed
    QCOMPARE(child<QMenu>(*w, "menuUnit")->title(), QString("Unit"));
    QCOMPARE(w->menuBar()->actions().at(1)->menu()->objectName(), QString("menuUnit"));
    QCOMPARE(unit_entries(*w), (QStringList{"0x00C0FFEE - firmware not reported", "0x0BADF00D - firmware 0.2.12 [x]"}));
    QCOMPARE(unit_label(*w), QString("Unit 0x0BADF00D"));
    // Looking at a legacy unit leaves the connected unit's generation as it was.
    click(*w, "pushButton_load");
    QCOMPARE(status(*w), kLoaded);

    operations::LockAttempt cli = operations::take_unit_lock("sim:00C0FFEE:0", "efis-cli");
    QCOMPARE(
        unit_entries(*w),
        (QStringList{QString("0x00C0FFEE - in use by efis-cli (pid %1) (off)").arg(QCoreApplication::applicationPid()),
                     "0x0BADF00D - firmware 0.2.12 [x]"}));
    cli.lock.release();

    sim::unplug_all();
    look(*w);
    QCOMPARE(unit_entries(*w), QStringList{"No EFIS connected (off)"});
    QCOMPARE(unit_label(*w), QString());
}

void UnitsTest::choosing_data()
{
    QTest::addColumn<QString>("answer"); // to the question, when edits are unsent
    QTest::newRow("no edits") << QString();
    QTest::newRow("edits, connect") << "Connect";
    QTest::newRow("edits, cancel") << "Cancel";
}

void UnitsTest::choosing()
{
    QFETCH(QString, answer);
    const auto units = plug_two();
    const auto w = support::open_window();
    choose(*w, "0x00C0FFEE");
    QCOMPARE(unit_label(*w), QString("Unit 0x00C0FFEE"));
    QCOMPARE(shown(*w, "spinBox_vne"), QString("170"));
    if (!answer.isEmpty()) {
        edit(*w, "spinBox_vs1", "61");
    }
    units[1]->clear_log();
    {
        support::MessageBoxes boxes(answer.isEmpty() ? "Cancel" : answer);
        choose(*w, "0x0BADF00D");
        QCOMPARE(boxes.seen.size(), answer.isEmpty() ? 0 : 1);
        if (!answer.isEmpty()) {
            QCOMPARE(boxes.seen[0].title + ": " + boxes.seen[0].text,
                     QString("Unsent changes: The form holds changes that were not sent to the EFIS. Connecting to "
                             "0x0BADF00D loads its settings and discards them."));
            QCOMPARE(boxes.seen[0].buttons, (QStringList{"Connect", "Cancel"}));
        }
    }
    const bool kept = answer == "Cancel";
    QCOMPARE(unit_label(*w), kept ? QString("Unit 0x00C0FFEE") : QString("Unit 0x0BADF00D"));
    QCOMPARE(status(*w), kLoaded); // Cancel: as it was
    QCOMPARE(shown(*w, "spinBox_vne"), kept ? QString("170") : QString("190"));
    QCOMPARE(shown(*w, "spinBox_vs1"), kept ? QString("61") : QString("50"));
    QCOMPARE(support::count_requests(*units[1], 0x370) == 0, kept); // its settings read, or not
    QCOMPARE(child<QMenu>(*w, "menuUnit")->actions().at(kept ? 0 : 1)->isChecked(), true);
    QCOMPARE(child<QMenu>(*w, "menuUnit")->actions().at(kept ? 1 : 0)->isChecked(), false);
    if (kept) { // the link is the one it was
        click(*w, "pushButton_load");
        QCOMPARE(status(*w), kLoaded);
        QCOMPARE(shown(*w, "spinBox_vne"), QString("170"));
    }
}

void UnitsTest::holding_to_the_chosen_unit()
{
    const auto units = plug_two();
    const auto w = support::open_window();
    choose(*w, "0x00C0FFEE");
    // A chosen unit that cannot be had leaves the window unconnected, and is taken once it can.
    unit_entries(*w); // free as the menu opens, taken as the entry is chosen
    operations::LockAttempt cli = operations::take_unit_lock("sim:0BADF00D:0", "efis-cli");
    entry(*w, "0x0BADF00D")->trigger();
    QCOMPARE(status(*w), QString("Error: The EFIS is in use by another program (efis-cli, pid %1)")
                             .arg(QCoreApplication::applicationPid()));
    QCOMPARE(unit_label(*w), QString());
    look(*w);
    QCOMPARE(unit_label(*w), QString());
    cli.lock.release();
    look(*w);
    QCOMPARE(unit_label(*w), QString("Unit 0x0BADF00D"));
    QCOMPARE(shown(*w, "spinBox_vne"), QString("190"));

    // When it leaves, the other one there is not taken: the window waits for the chosen one.
    units[1]->unplug_cable();
    look(*w);
    QCOMPARE(status(*w), kWaiting);
    look(*w);
    look(*w);
    QCOMPARE(status(*w), kWaiting);
    QCOMPARE(unit_label(*w), QString());
    QCOMPARE(unit_entries(*w), QStringList{"0x00C0FFEE - firmware 0.2.12"});
    units[1]->plug_in_cable();
    look(*w);
    QCOMPARE(status(*w), kLoaded);
    QCOMPARE(unit_label(*w), QString("Unit 0x0BADF00D"));
}

#include "test_units.moc"
