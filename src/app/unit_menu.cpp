// Which unit the window talks to: the Unit menu lists the units attached and lets a person move the
// window to another one, and the status bar says which one the form is connected to. Once a unit
// has been chosen, the window holds to it for the rest of the run.
#include <QAction>
#include <QDebug>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScopedValueRollback>
#include <QStatusBar>

#include <algorithm>

#include "app/mainwindow.h"
#include "ui_mainwindow.h"

namespace {

QString serial_text(uint32_t serial)
{
    return "0x" + QString::number(serial, 16).toUpper().rightJustified(8, '0');
}

QString firmware_text(const operations::UnitIdentity& unit)
{
    return unit.version_reported
               ? QString("firmware %1").arg(QString::fromStdString(operations::release_text(unit.firmware)))
               : QString("firmware not reported");
}

} // namespace

void MainWindow::setUpUnitMenu()
{
    unitMenu = new QMenu(tr("Unit"), menuBar());
    unitMenu->setObjectName("menuUnit");
    // Right after File, before whatever follows it.
    const QList<QAction*> entries = menuBar()->actions();
    const auto file = std::find(entries.begin(), entries.end(), ui->menuFile->menuAction());
    if (file != entries.end() && file + 1 != entries.end()) {
        menuBar()->insertMenu(*(file + 1), unitMenu);
    } else {
        menuBar()->addMenu(unitMenu);
    }
    connect(unitMenu, &QMenu::aboutToShow, this, &MainWindow::refreshUnitMenu);

    unitLabel = new QLabel(this);
    unitLabel->setObjectName("label_unit");
    ui->statusbar->addPermanentWidget(unitLabel);
}

std::optional<uint32_t> MainWindow::unitSerial() const
{
    if (comms != nullptr && comms->isConnected()) {
        return unit.serial;
    }
    return chosenSerial ? chosenSerial : lastSerial;
}

void MainWindow::showUnitLabel()
{
    if (unitLabel != nullptr) {
        unitLabel->setText(comms != nullptr && comms->isConnected() ? "Unit " + serial_text(unit.serial) : QString());
    }
}

void MainWindow::refreshUnitMenu()
{
    // Looking opens every unit that nobody holds; a transfer owns the link, so nothing is opened
    // then, and nothing can be chosen.
    if (transferRunning()) {
        for (QAction* a : unitMenu->actions()) {
            a->setEnabled(false);
        }
        return;
    }
    const USBHID* usb = comms != nullptr && comms->isConnected() ? comms->getUSBHID() : nullptr;
    const std::string own = usb != nullptr ? usb->path() : std::string();

    struct Entry {
        uint32_t serial;
        QString text;
        bool enabled;
        bool connected;
    };
    std::vector<Entry> entries;
    std::map<std::string, operations::FoundUnit> seen;
    for (operations::FoundUnit u : operations::listed_units()) {
        // Our own unit is held by our lock, so it is not opened: what it said on connecting stands.
        // Another is identified once while it stays on the bus and free: an old one takes a second.
        const bool connected = !own.empty() && u.path == own;
        const auto known = lookedAt.find(u.path);
        if (known != lookedAt.end() && known->second.probe == operations::ConnectStep::Connected &&
            !operations::unit_lock_holder(u.path)) {
            u = known->second;
        } else if (!connected) {
            operations::look_at_unit(&u, "efis-config");
        }
        seen[u.path] = u;
        const bool identified = connected || u.probe == operations::ConnectStep::Connected;
        const std::optional<uint32_t> serial = connected ? unit.serial : identified ? u.unit.serial : u.listed_serial;
        QString detail;
        if (connected) {
            detail = firmware_text(unit);
        } else if (u.in_use_by) {
            detail = QString("in use by %1 (pid %2)")
                         .arg(QString::fromStdString(u.in_use_by->program))
                         .arg(u.in_use_by->pid);
        } else if (identified) {
            detail = firmware_text(u.unit);
        } else {
            detail = u.probe == operations::ConnectStep::NotOpenable ? "could not be opened" : "not answering";
        }
        entries.push_back({serial.value_or(0),
                           (serial ? serial_text(*serial) : QString::fromStdString(u.path)) + " - " + detail,
                           serial && (connected || !u.in_use_by), connected});
    }
    lookedAt = std::move(seen);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.serial < b.serial; });

    unitMenu->clear();
    for (const Entry& e : entries) {
        QAction* a = unitMenu->addAction(e.text);
        a->setCheckable(true);
        a->setChecked(e.connected);
        a->setEnabled(e.enabled);
        a->setData(e.serial);
        const uint32_t serial = e.serial;
        // Whatever came of the choice, the check mark is the unit connected.
        connect(a, &QAction::triggered, this, [this, serial] {
            chooseUnit(serial);
            for (QAction* other : unitMenu->actions()) {
                other->setChecked(comms->isConnected() && other->data().toUInt() == unit.serial);
            }
        });
    }
    if (entries.empty()) {
        unitMenu->addAction(tr("No EFIS connected"))->setEnabled(false);
    }
}

void MainWindow::chooseUnit(uint32_t serial)
{
    if (comms->isConnected() && unit.serial == serial) {
        chosenSerial = serial;
        return;
    }
    // The workers hold the link for a whole run; it must not be reopened under them.
    if (transferRunning()) {
        ui->statusbar->showMessage("Error: A transfer is in progress - wait until it has finished");
        return;
    }
    // No look may connect another unit while the question is open.
    QScopedValueRollback<bool> busy(watching, true);
    if (!changed_values.empty() &&
        !confirmDiscardingEdits(tr("Connecting to %1 loads its settings and discards them.").arg(serial_text(serial)),
                                tr("Connect"))) {
        return;
    }
    qDebug() << "Unit chosen:" << serial_text(serial);
    chosenSerial = serial;
    const operations::Connection c = connectUnit();
    if (!c.ok()) {
        // Unconnected now; the watch takes the chosen unit as soon as it can be reached.
        setUnitActionsEnabled(false);
        showConnectionFailure(c);
        return;
    }
    startWithUnit();
}
