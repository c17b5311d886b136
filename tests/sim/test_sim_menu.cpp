// The "Virtual Unit" menu of efis-config-sim, added to the real window.
#include <QtTest>

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "app/sim_menu.h"
#include "sim/environment.h"
#include "tests/support/window.h"

class SimMenuTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void after_file_acting_on_every_unit();
};

void SimMenuTest::after_file_acting_on_every_unit()
{
    const auto units = sim::make_units({.serials = {0x00C0FFEE, 0x0BADF00D}});
    for (const auto& unit : units) {
        sim::plug(unit);
    }
    auto w = support::open_window();
    w->menuBar()->addMenu("Later"); // a menu after File: the new one goes between
    QMenu* menu = add_virtual_unit_menu(*w, units);
    const QList<QAction*> entries = w->menuBar()->actions();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries[0]->menu()->objectName(), QString("menuFile"));
    QCOMPARE(entries[1]->menu(), menu);
    QCOMPARE(menu->title(), QString("Virtual Unit"));
    const QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), 2);
    QAction* unplug = actions[0];
    QAction* plug_in = actions[1];
    QCOMPARE(unplug->text(), QString("Unplug"));
    QCOMPARE(plug_in->text(), QString("Plug In"));
    QVERIFY(unplug->isEnabled() && !plug_in->isEnabled());

    unplug->trigger();
    QVERIFY(!units[0]->present() && !units[1]->present());
    QVERIFY(!unplug->isEnabled() && plug_in->isEnabled());
    plug_in->trigger();
    QVERIFY(units[0]->present() && units[1]->present());

    // A cable that went by itself (a schedule) shows as the menu opens: both entries then apply.
    units[1]->unplug_cable();
    emit menu->aboutToShow();
    QVERIFY(unplug->isEnabled() && plug_in->isEnabled());
}

QTEST_MAIN(SimMenuTest)
#include "test_sim_menu.moc"
