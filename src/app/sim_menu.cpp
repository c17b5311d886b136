#include "app/sim_menu.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include "sim/virtual_unit.h"

QMenu* add_virtual_unit_menu(QMainWindow& window, std::vector<std::shared_ptr<sim::VirtualUnit>> units)
{
    QMenuBar* bar = window.menuBar();
    auto* menu = new QMenu(QObject::tr("Virtual Unit"), bar);
    menu->setObjectName("menuVirtualUnit");
    QAction* unplug = menu->addAction(QObject::tr("Unplug"));
    unplug->setObjectName("actionVirtualUnplug");
    QAction* plug_in = menu->addAction(QObject::tr("Plug In"));
    plug_in->setObjectName("actionVirtualPlugIn");

    // Scheduled cable changes happen without the menu knowing: the states are taken as it opens.
    const auto update = [units, unplug, plug_in] {
        bool any_in = false;
        bool any_out = false;
        for (const auto& unit : units) {
            (unit->cable_in() ? any_in : any_out) = true;
        }
        unplug->setEnabled(any_in);
        plug_in->setEnabled(any_out);
    };
    QObject::connect(unplug, &QAction::triggered, menu, [units, update] {
        for (const auto& unit : units) {
            unit->unplug_cable();
        }
        update();
    });
    QObject::connect(plug_in, &QAction::triggered, menu, [units, update] {
        for (const auto& unit : units) {
            unit->plug_in_cable();
        }
        update();
    });
    QObject::connect(menu, &QMenu::aboutToShow, menu, update);
    update();

    // After "File", before whatever follows it.
    const QList<QAction*> entries = bar->actions();
    QAction* before = nullptr;
    for (qsizetype i = 0; i + 1 < entries.size(); ++i) {
        if (entries[i]->menu() != nullptr && entries[i]->menu()->objectName() == "menuFile") {
            before = entries[i + 1];
        }
    }
    if (before != nullptr) {
        bar->insertMenu(before, menu);
    } else {
        bar->addMenu(menu);
    }
    return menu;
}
