// The Help menu: the connection checks, the support report and About; and the status bar's texts
// in the program's log.
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QVBoxLayout>

#include "app/mainwindow.h"
#include "comms/comms.h"
#include "operations/operations.h"
#include "ui_mainwindow.h"

#ifndef EFIS_VERSION
#define EFIS_VERSION "0"
#endif

namespace {

const char* kTransferRunning = "Error: A transfer is in progress - wait until it has finished";

} // namespace

void MainWindow::setupHelpMenu()
{
    connect(ui->statusbar, &QStatusBar::messageChanged, this, [](const QString& text) {
        if (!text.isEmpty()) {
            operations::program_log("status: " + text.toStdString() + "\n");
        }
    });

    QMenu* help = menuBar()->addMenu(tr("Help"));
    help->setObjectName("menuHelp");
    QAction* check = help->addAction(tr("Connection Check..."));
    check->setObjectName("actionConnectionCheck");
    connect(check, &QAction::triggered, this, &MainWindow::showConnectionCheck);
    QAction* report = help->addAction(tr("Save Support Report..."));
    report->setObjectName("actionSaveSupportReport");
    connect(report, &QAction::triggered, this, &MainWindow::saveSupportReport);
    help->addSeparator();
    QAction* about = help->addAction(tr("About EFIS Config"));
    about->setObjectName("actionAbout");
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);
}

operations::DoctorOptions MainWindow::checkOptions() const
{
    operations::DoctorOptions o;
    o.program = "efis-config";
    o.version = EFIS_VERSION;
    // The window's own unit is looked at over its link: opening it again would fail on its lock.
    if (comms != nullptr && comms->isConnected() && comms->getUSBHID() != nullptr) {
        o.own_link = comms;
        o.own_path = comms->getUSBHID()->path();
    }
    return o;
}

void MainWindow::showConnectionCheck()
{
    // The workers hold the link for a whole run: nothing else may talk to the unit meanwhile.
    if (transferRunning()) {
        ui->statusbar->showMessage(kTransferRunning);
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString text = QString::fromStdString(operations::checks_text(operations::run_checks(checkOptions()).checks));
    QApplication::restoreOverrideCursor();

    QDialog dialog(this);
    dialog.setWindowTitle(tr("Connection Check"));
    auto* lines = new QPlainTextEdit(text, &dialog);
    lines->setObjectName("connectionCheckText");
    lines->setReadOnly(true);
    lines->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    lines->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    lines->setMinimumSize(820, 280);
    auto* buttons = new QDialogButtonBox(&dialog);
    QPushButton* copy = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
    buttons->addButton(tr("Close"), QDialogButtonBox::RejectRole);
    connect(copy, &QPushButton::clicked, &dialog, [text] { QGuiApplication::clipboard()->setText(text); });
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(lines);
    layout->addWidget(buttons);
    dialog.exec();
}

void MainWindow::saveSupportReport()
{
    if (transferRunning()) {
        ui->statusbar->showMessage(kTransferRunning);
        return;
    }
    const bool connected = comms != nullptr && comms->isConnected();
    const auto now = std::chrono::system_clock::now();
    const QString proposed = QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
                                 .filePath(QString::fromStdString(operations::default_report_name(
                                     connected ? std::optional<uint32_t>(unit.serial) : std::nullopt, now)));
    const QString path = QFileDialog::getSaveFileName(this, tr("Save Support Report"), proposed,
                                                      tr("Text Files (*.txt);;All Files (*)"));
    if (path.isEmpty()) {
        return;
    }
    // The dialog ran the event loop: the unit may have gone, or come, meanwhile.
    const bool still_connected = comms != nullptr && comms->isConnected();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    operations::ReportOptions options;
    options.program = "efis-config";
    options.version = EFIS_VERSION;
    options.qt_version = qVersion();
    options.include_identity = false; // the window's report never holds the aircraft's identity
    options.doctor = checkOptions();
    options.unit_link = still_connected ? comms : nullptr;
    options.now = now;
    const operations::Report report = operations::support_report(options);
    std::string error;
    const bool written = settings_file::write_file_safely(path.toStdString(), report.text, &error);
    QApplication::restoreOverrideCursor();
    if (!written) {
        ui->statusbar->showMessage(
            QString("Error: The support report could not be saved: %1").arg(QString::fromStdString(error)));
        return;
    }
    ui->statusbar->showMessage(QString("Support report saved to %1").arg(path));
}

void MainWindow::showAbout()
{
    QString unit_text = tr("No unit connected");
    if (comms != nullptr && comms->isConnected()) {
        unit_text = QString("Unit %1, firmware %2 (%3)")
                        .arg(QString::fromStdString(settings_file::hex32(unit.serial)),
                             unit.version_reported ? QString::fromStdString(operations::version_text(unit.firmware))
                                                   : QString("not reported"),
                             unit.legacy ? "legacy" : "current");
    }
    QMessageBox::about(this, tr("About EFIS Config"),
                       QString("EFIS Config %1\nQt %2, hidapi %3\n%4")
                           .arg(EFIS_VERSION, qVersion(), QString::fromStdString(USBHID::hidapiVersion()), unit_text));
}
