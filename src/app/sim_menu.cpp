#include "app/sim_menu.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "app/mainwindow.h"
#include "sim/virtual_unit.h"

QMenu* add_virtual_unit_menu(MainWindow& window, std::vector<std::shared_ptr<sim::VirtualUnit>> units)
{
    QMenuBar* bar = window.menuBar();
    auto* menu = new QMenu(QObject::tr("Virtual Unit"), bar);
    menu->setObjectName("menuVirtualUnit");
    QAction* unplug = menu->addAction(QObject::tr("Unplug"));
    unplug->setObjectName("actionVirtualUnplug");
    QAction* plug_in = menu->addAction(QObject::tr("Plug In"));
    plug_in->setObjectName("actionVirtualPlugIn");

    // The window's unit, found by its serial; the window may change it at any time.
    const auto targets = [&window, units] {
        const std::optional<uint32_t> serial = window.unitSerial();
        std::vector<std::shared_ptr<sim::VirtualUnit>> out;
        for (const auto& unit : units) {
            if (serial && unit->config().serial == *serial) {
                out.push_back(unit);
            }
        }
        return out.empty() ? units : out;
    };
    // Scheduled cable changes happen without the menu knowing: the states are taken as it opens.
    const auto update = [targets, unplug, plug_in] {
        bool any_in = false;
        bool any_out = false;
        for (const auto& unit : targets()) {
            (unit->cable_in() ? any_in : any_out) = true;
        }
        unplug->setEnabled(any_in);
        plug_in->setEnabled(any_out);
    };
    QObject::connect(unplug, &QAction::triggered, menu, [targets, update] {
        for (const auto& unit : targets()) {
            unit->unplug_cable();
        }
        update();
    });
    QObject::connect(plug_in, &QAction::triggered, menu, [targets, update] {
        for (const auto& unit : targets()) {
            unit->plug_in_cable();
        }
        update();
    });
    QObject::connect(menu, &QMenu::aboutToShow, menu, update);
    update();

    // After "Unit" (or "File"), before whatever follows it.
    const QList<QAction*> entries = bar->actions();
    qsizetype after = -1;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QMenu* m = entries[i]->menu();
        if (m != nullptr && (m->objectName() == "menuFile" || m->objectName() == "menuUnit")) {
            after = i;
        }
    }
    QAction* before = after >= 0 && after + 1 < entries.size() ? entries[after + 1] : nullptr;
    if (before != nullptr) {
        bar->insertMenu(before, menu);
    } else {
        bar->addMenu(menu);
    }
    return menu;
}
