// Noticing the unit: one plugged in after start-up is connected and loaded with no click, one that
// goes away is reported at once, and its return brings its settings back (asking first when the
// form holds unsent edits). Looking is enumeration only; no frame is sent. A transfer owns the
// link while it runs, so nothing is looked at then.
#include <QDebug>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

#include "app/mainwindow.h"
#include "ui_mainwindow.h"

namespace {

constexpr int kWatchIntervalMs = 1000;

} // namespace

operations::Connection MainWindow::connectUnit()
{
    // The same manager is reopened on a reconnect: nothing else keeps a pointer that could dangle.
    // Our own lock goes first, or the new attempt would find the unit taken.
    loadedHeader = {};
    firmwareBank.clear();
    comms->disconnect();
    unitLock.release();
    // Once a person has chosen a unit, no other is taken: the same choice as efis-cli --serial.
    operations::Connection c = operations::connect_unit(comms, {chosenSerial, !chosenSerial, "efis-config"});
    unit = c.ok() ? c.unit : operations::UnitIdentity{};
    if (c.ok()) {
        unitLock = std::move(c.lock);
        lastSerial = unit.serial;
    }
    showUnitLabel();
    ui->pushButton_read_calibration->setEnabled(c.ok());
    return c;
}

bool MainWindow::confirmDiscardingEdits(const QString& consequence, const QString& button)
{
    QMessageBox box(QMessageBox::Question, tr("Unsent changes"),
                    tr("The form holds changes that were not sent to the EFIS. %1")
                        .arg(consequence.isEmpty()
                                 ? tr("Reconnecting loads the settings from the unit and discards them.")
                                 : consequence),
                    QMessageBox::NoButton, this);
    QPushButton* reconnect = box.addButton(button.isEmpty() ? tr("Reconnect") : button, QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(cancel);
    box.exec();
    return box.clickedButton() == reconnect;
}

void MainWindow::startWatching()
{
    watchTimer = new QTimer(this);
    watchTimer->setInterval(kWatchIntervalMs);
    connect(watchTimer, &QTimer::timeout, this, &MainWindow::onWatchTick);
    watchTimer->start();
}

void MainWindow::onWatchTick()
{
    if (watching || transferRunning()) {
        return;
    }
    QScopedValueRollback<bool> busy(watching, true);

    const std::vector<operations::FoundUnit> listed = operations::listed_units();
    watchConnection(listed);
    showUnitLabel();
    // A unit another program holds may come back changed (its firmware updated): it is looked at anew.
    std::erase_if(lookedAt, [](const auto& e) { return operations::unit_lock_holder(e.first).has_value(); });
    std::vector<std::string> paths;
    for (const operations::FoundUnit& u : listed) {
        paths.push_back(u.path);
    }
    if (paths != listedPaths) {
        listedPaths = std::move(paths);
        refreshUnitMenu();
    }
}

void MainWindow::watchConnection(const std::vector<operations::FoundUnit>& listed)
{
    if (comms->isConnected()) {
        const USBHID* usb = comms->getUSBHID();
        const std::string path = usb != nullptr ? usb->path() : std::string();
        if (!path.empty() && std::none_of(listed.begin(), listed.end(),
                                          [&](const operations::FoundUnit& u) { return u.path == path; })) {
            unitDisconnected();
        }
        return;
    }
    // The chosen unit is waited for: a unit whose descriptor names another is not even opened.
    if (std::none_of(listed.begin(), listed.end(), [&](const operations::FoundUnit& u) {
            return !chosenSerial || !u.listed_serial || *u.listed_serial == *chosenSerial;
        })) {
        return;
    }

    // A unit is there: connect as File > Reconnect does. A unit that cannot be opened or is in use
    // is tried again at the next look; its status is said once, not every second.
    const QString before = ui->statusbar->currentMessage();
    operations::Connection c = connectUnit();
    if (!c.ok()) {
        // Another unit that states no serial on USB is not the one waited for: nothing to say.
        if (chosenSerial && c.step == operations::ConnectStep::NoMatch) {
            return;
        }
        showConnectionFailure(c);
        if (ui->statusbar->currentMessage() != before) {
            qDebug() << "Failed to establish connection via USB HID or CAN FD";
        }
        return;
    }
    qDebug() << "EFIS found: connected to unit" << QString::fromStdString(c.path);
    setUnitActionsEnabled(true);
    showConnection();
    // Edits not yet sent stay unless the user lets the unit's settings replace them; either way the
    // unit stays connected.
    if (changed_values.empty() || confirmDiscardingEdits()) {
        loadConfigFromDevice();
    }
    remindUnfinishedUpdate();
}

void MainWindow::unitDisconnected()
{
    qDebug() << "The EFIS was disconnected";
    comms->disconnect();
    unitLock.release();
    unit = {};
    firmwareBank.clear();
    setUnitActionsEnabled(false);
    showUnitLabel();
    if (chosenSerial) {
        ui->statusbar->showMessage(
            QString("Error: The EFIS 0x%1 was disconnected - it is reconnected when it is plugged in again")
                .arg(QString::number(*chosenSerial, 16).toUpper().rightJustified(8, '0')));
    } else {
        ui->statusbar->showMessage("Error: The EFIS was disconnected - it is reconnected when it is plugged in again");
    }
}

void MainWindow::setUnitActionsEnabled(bool enabled)
{
    ui->pushButton_load->setEnabled(enabled);
    ui->pushButton_update->setEnabled(enabled);
    ui->pushButton_save->setEnabled(enabled);
    ui->pushButton_reboot->setEnabled(enabled);
    ui->pushButton_start_update->setEnabled(enabled && !firmwareFilePath.isEmpty());
    ui->pushButton_start_airport->setEnabled(enabled && !airportDbFilePath.isEmpty());
    ui->pushButton_read_calibration->setEnabled(enabled);
}
