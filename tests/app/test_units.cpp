// Two units on one bench: the Unit menu lists them, the status bar names the one connected, and a
// unit chosen there is the only one the window connects to from then on.
#include "tests/app/app_tests.h"

#include "sim/environment.h"

using namespace app_tests;

namespace {

// 0x00C0FFEE (vne 170, of generation `first`) and 0x0BADF00D (vne 190) on the bus, the second plugged first.
std::vector<std::shared_ptr<sim::VirtualUnit>> plug_two(sim::Generation first = sim::Generation::Current)
{
    sim::unplug_all();
    auto units = sim::make_units({.serials = {0x00C0FFEE, 0x0BADF00D}});
    units[0]->set_generation(first);
    units[0]->load_settings(with(demo_record(), {{VNE_INDEX, 170}}));
    units[1]->load_settings(with(demo_record(), {{VNE_INDEX, 190}}));
    std::for_each(units.rbegin(), units.rend(), [](const auto& u) { sim::plug(u); });
    return units;
}

// The Unit menu as it opens ("[x]" checked, "(off)" disabled), then the unit label's text.
QStringList unit_entries(MainWindow& w)
{
    QMenu* menu = child<QMenu>(w, "menuUnit");
    emit menu->aboutToShow();
    QStringList out;
    for (QAction* a : menu->actions()) {
        out << a->text() + (a->isChecked() ? " [x]" : "") + (a->isEnabled() ? "" : " (off)");
    }
    return out << child<QLabel>(w, "label_unit")->text();
}

// Opens the menu and chooses its entry `row`: the serials' order, so 0 is 0x00C0FFEE.
void choose(MainWindow& w, int row)
{
    unit_entries(w);
    child<QMenu>(w, "menuUnit")->actions().at(row)->trigger();
}

const QString kCoffee = "0x00C0FFEE - firmware 0.2.12", kFood = "0x0BADF00D - firmware 0.2.12";

} // namespace

class UnitsTest : public QObject {
    Q_OBJECT

private slots:
    void choosing();
    void holding_to_the_chosen_unit();
    void export_names_no_other_unit();
};
APP_TEST(UnitsTest);

void UnitsTest::choosing()
{
    for (const QString answer : {"", "Connect", "Cancel"}) { // Cancel keeps form, link and status
        const auto units = plug_two();
        const auto w = support::open_window();
        choose(*w, 0);
        if (!answer.isEmpty()) {
            edit(*w, "spinBox_vs1", "61");
        }
        support::MessageBoxes boxes(answer.isEmpty() ? "Cancel" : answer);
        choose(*w, 1);
        QCOMPARE(boxes.seen.size(), answer.isEmpty() ? 0 : 1);
        QVERIFY(answer.isEmpty() ||
                (boxes.seen[0].title + boxes.seen[0].buttons.join('/') == "Unsent changesConnect/Cancel" &&
                 boxes.seen[0].text.endsWith("Connecting to 0x0BADF00D loads its settings and discards them.")));
        const bool kept = answer == "Cancel";
        QCOMPARE(unit_entries(*w), (kept ? QStringList{kCoffee + " [x]", kFood, "Unit 0x00C0FFEE"}
                                         : QStringList{kCoffee, kFood + " [x]", "Unit 0x0BADF00D"}));
        QCOMPARE(status(*w) + shown(*w, "spinBox_vne") + shown(*w, "spinBox_vs1"),
                 kLoaded + (kept ? "17061" : "19050"));
    }
}

void UnitsTest::holding_to_the_chosen_unit()
{
    const auto units = plug_two(sim::Generation::Legacy);
    const QString coffee = "0x00C0FFEE - firmware not reported";
    const auto w = support::open_window(); // on the first free one listed
    QCOMPARE(unit_entries(*w), (QStringList{coffee, kFood + " [x]", "Unit 0x0BADF00D"}));
    // Looking at the legacy unit left the connected unit's generation as it was.
    click(*w, "pushButton_load");
    QCOMPARE(status(*w), kLoaded);
    choose(*w, 0);
    // A chosen unit that cannot be had leaves the window unconnected, and is taken once it can.
    unit_entries(*w); // free as the menu opens, taken as the entry is chosen
    operations::LockAttempt cli = operations::take_unit_lock("sim:0BADF00D:0", "efis-cli");
    child<QMenu>(*w, "menuUnit")->actions().at(1)->trigger();
    const QString pid = QString::number(QCoreApplication::applicationPid());
    QCOMPARE(status(*w), "Error: The EFIS is in use by another program (efis-cli, pid " + pid + ")");
    QCOMPARE(unit_entries(*w), (QStringList{coffee, "0x0BADF00D - in use by efis-cli (pid " + pid + ") (off)", ""}));
    cli.lock.release();
    look(*w);
    QCOMPARE(shown(*w, "spinBox_vne"), QString("190"));

    // When it leaves, the other one there is not taken: the window waits for the chosen one.
    units[1]->unplug_cable();
    look(*w);
    look(*w);
    QCOMPARE(status(*w), "Error: The EFIS 0x0BADF00D was disconnected - it is reconnected when it is plugged in again");
    QCOMPARE(unit_entries(*w), (QStringList{coffee, ""}));
    units[1]->plug_in_cable();
    look(*w);
    QCOMPARE(unit_entries(*w), (QStringList{coffee, kFood + " [x]", "Unit 0x0BADF00D"}));
    sim::unplug_all();
    look(*w);
    QCOMPARE(unit_entries(*w), (QStringList{"No EFIS connected (off)", ""}));
}

void UnitsTest::export_names_no_other_unit() // of edits kept when the window took another, unchosen
{
    const auto units = plug_two();
    const auto w = support::open_window();
    edit(*w, "spinBox_vs1", "61");
    units[1]->unplug_cable();
    look(*w);
    support::MessageBoxes cancel("Cancel");
    look(*w);
    const support::TempDir dir;
    support::chooseFileInNextDialog(QString::fromStdString((dir.path() / "e.json").string()));
    child<QAction>(*w, "actionExportSettings")->trigger();
    settings_file::Document doc;
    QVERIFY(unit_entries(*w).last() == "Unit 0x00C0FFEE" && cancel.seen.size() == 1 &&
            settings_file::read_document_file((dir.path() / "e.json").string(), &doc, nullptr) && !doc.unit);
}

#include "test_units.moc"
