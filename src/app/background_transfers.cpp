// The firmware and airport database tabs: choosing a file, running its upload on a worker thread
// and showing the worker's throttled progress.
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QMetaObject>
#include <QThread>

#include <memory>

#include "app/mainwindow.h"
#include "app/upload_progress.h"
#include "comms/comms.h"
#include "firmware_ops/firmware_ops.h"
#include "ui_mainwindow.h"

namespace {

// Called on the worker thread for every report; posts only what the throttle lets through, by
// value, to the GUI thread.
void fw_progress_callback(uint32_t current, uint32_t total, int phase, void* user_data)
{
    auto* ctx = static_cast<ThrottledUploadProgressCtx*>(user_data);
    if (ctx == nullptr || ctx->window == nullptr) {
        return;
    }
    const uint32_t bar = ctx->compute_bar(current, total, phase);
    if (!ctx->should_emit(bar, phase, current, total)) {
        return;
    }
    const QString status = phase == 0 ? QString("Erasing: %1 / %2 blocks").arg(current).arg(total)
                                      : QString("Uploading: %1 / %2 bytes").arg(current).arg(total);
    MainWindow* w = ctx->window;
    QMetaObject::invokeMethod(
        w, [w, bar, status]() { w->applyFirmwareUploadProgress(static_cast<int>(bar), status); }, Qt::QueuedConnection);
}

void airport_progress_callback(uint32_t current, uint32_t total, int phase, void* user_data)
{
    auto* ctx = static_cast<ThrottledUploadProgressCtx*>(user_data);
    if (ctx == nullptr || ctx->window == nullptr) {
        return;
    }
    const uint32_t bar = ctx->compute_bar(current, total, phase);
    if (!ctx->should_emit(bar, phase, current, total)) {
        return;
    }
    const QString status = phase == 0 ? QString("Erasing airport region: %1 / %2 blocks").arg(current).arg(total)
                                      : QString("Uploading airport database: %1 / %2 bytes").arg(current).arg(total);
    MainWindow* w = ctx->window;
    QMetaObject::invokeMethod(
        w, [w, bar, status]() { w->applyAirportUploadProgress(static_cast<int>(bar), status); }, Qt::QueuedConnection);
}

QString failure_text(const char* what, const TransferResult& r)
{
    QString text = QString("Error: %1 failed: %2").arg(what, transfer_step_text(r.step));
    if (r.bytes_total != 0) {
        text += QString(" (%1 of %2 bytes sent)").arg(r.bytes_sent).arg(r.bytes_total);
    }
    return text;
}

} // namespace

void MainWindow::applyFirmwareUploadProgress(int bar_0_10000, const QString& status)
{
    ui->progressBar_firmware->setRange(0, static_cast<int>(kUploadBarMax));
    ui->progressBar_firmware->setValue(bar_0_10000);
    ui->statusbar->showMessage(status);
}

void MainWindow::applyAirportUploadProgress(int bar_0_10000, const QString& status)
{
    ui->progressBar_airports->setRange(0, static_cast<int>(kUploadBarMax));
    ui->progressBar_airports->setValue(bar_0_10000);
    ui->statusbar->showMessage(status);
}

void MainWindow::onBrowseClicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Select Firmware File"), QString(),
                                                      tr("Firmware Files (*.bin);;All Files (*)"));
    if (path.isEmpty()) {
        return;
    }
    firmwareFilePath = path;
    ui->text_firmware_file->setText(QFileInfo(path).fileName());
    ui->text_firmware_file->setEnabled(true);
    ui->pushButton_start_update->setEnabled(true);
    ui->progressBar_firmware->setEnabled(true);
}

void MainWindow::onBrowseAirportsClicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Select Airport Database"), QString(),
                                                      tr("Database Files (*.db);;All Files (*)"));
    if (path.isEmpty()) {
        return;
    }
    airportDbFilePath = path;
    ui->text_firmware_file_2->setPlainText(QFileInfo(path).fileName());
    ui->text_firmware_file_2->setEnabled(true);
    ui->pushButton_start_airport->setEnabled(true);
    ui->progressBar_airports->setEnabled(true);
}

void MainWindow::setSettingsActionsEnabled(bool enabled)
{
    ui->pushButton_load->setEnabled(enabled);
    ui->pushButton_update->setEnabled(enabled);
    ui->pushButton_save->setEnabled(enabled);
    ui->pushButton_reboot->setEnabled(enabled);
}

void MainWindow::onStartUpdateClicked()
{
    if (firmwareFilePath.isEmpty()) {
        ui->statusbar->showMessage("No firmware file selected");
        return;
    }
    if (comms == nullptr || !comms->isConnected()) {
        ui->statusbar->showMessage("Device not connected. Please connect to device first.");
        qDebug() << "Firmware update failed: CommsManager not connected";
        return;
    }
    if (!firmwareUploadThread.isNull()) {
        ui->statusbar->showMessage("Firmware update already in progress");
        return;
    }
    if (!airportUploadThread.isNull()) {
        ui->statusbar->showMessage("Finish airport transfer before firmware update");
        return;
    }

    ui->pushButton_browse->setEnabled(false);
    ui->pushButton_start_update->setEnabled(false);
    ui->text_firmware_file->setEnabled(false);
    ui->progressBar_firmware->setEnabled(true);
    ui->progressBar_firmware->setRange(0, static_cast<int>(kUploadBarMax));
    ui->progressBar_firmware->setValue(0);
    setSettingsActionsEnabled(false);
    ui->statusbar->showMessage("Starting firmware update...");
    qDebug() << "Starting firmware update with file:" << firmwareFilePath;

    const QString pathCopy = firmwareFilePath;
    CommsManager* commsPtr = comms;
    MainWindow* w = this;
    auto result = std::make_shared<TransferResult>();
    QThread* worker = QThread::create([w, pathCopy, commsPtr, result]() {
        ThrottledUploadProgressCtx ctx;
        ctx.window = w;
        const QByteArray pathBytes = pathCopy.toLocal8Bit();
        *result = send_fw(commsPtr, pathBytes.constData(), fw_progress_callback, &ctx);
    });
    worker->setParent(this);
    firmwareUploadThread = worker;
    connect(worker, &QThread::finished, this, [this, result]() { finishTransfer(true, *result); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void MainWindow::onStartAirportClicked()
{
    if (airportDbFilePath.isEmpty()) {
        ui->statusbar->showMessage("No airport database file selected");
        return;
    }
    if (comms == nullptr || !comms->isConnected()) {
        ui->statusbar->showMessage("Device not connected. Please connect to device first.");
        qDebug() << "Airport upload failed: CommsManager not connected";
        return;
    }
    if (!airportUploadThread.isNull()) {
        ui->statusbar->showMessage("Airport transfer already in progress");
        return;
    }
    if (!firmwareUploadThread.isNull()) {
        ui->statusbar->showMessage("Finish firmware update before airport transfer");
        return;
    }

    ui->pushButton_browse_airports->setEnabled(false);
    ui->pushButton_start_airport->setEnabled(false);
    ui->text_firmware_file_2->setEnabled(false);
    ui->progressBar_airports->setEnabled(true);
    ui->progressBar_airports->setRange(0, static_cast<int>(kUploadBarMax));
    ui->progressBar_airports->setValue(0);
    setSettingsActionsEnabled(false);
    ui->statusbar->showMessage("Starting airport database transfer...");
    qDebug() << "Airport database upload:" << airportDbFilePath;

    const QString pathCopy = airportDbFilePath;
    CommsManager* commsPtr = comms;
    MainWindow* w = this;
    auto result = std::make_shared<TransferResult>();
    QThread* worker = QThread::create([w, pathCopy, commsPtr, result]() {
        ThrottledUploadProgressCtx ctx;
        ctx.window = w;
        const QByteArray pathBytes = pathCopy.toLocal8Bit();
        *result = send_airport_db(commsPtr, pathBytes.constData(), airport_progress_callback, &ctx);
    });
    worker->setParent(this);
    airportUploadThread = worker;
    connect(worker, &QThread::finished, this, [this, result]() { finishTransfer(false, *result); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

// Runs on the GUI thread after the worker's last progress update. A failed run leaves the bar
// where it stopped and says which step failed; only a complete run shows a full bar.
void MainWindow::finishTransfer(bool firmware, const TransferResult& result)
{
    if (firmware) {
        ui->pushButton_browse->setEnabled(true);
        ui->pushButton_start_update->setEnabled(true);
        ui->text_firmware_file->setEnabled(true);
        if (result.ok()) {
            ui->progressBar_firmware->setValue(static_cast<int>(kUploadBarMax));
            ui->statusbar->showMessage("Firmware update completed");
        } else {
            ui->statusbar->showMessage(failure_text("Firmware update", result));
        }
        qDebug() << "Firmware update process finished";
        firmwareUploadThread = nullptr;
    } else {
        ui->pushButton_browse_airports->setEnabled(true);
        ui->pushButton_start_airport->setEnabled(true);
        ui->text_firmware_file_2->setEnabled(true);
        if (result.ok()) {
            ui->progressBar_airports->setValue(static_cast<int>(kUploadBarMax));
            ui->statusbar->showMessage("Airport database transfer finished");
        } else {
            ui->statusbar->showMessage(failure_text("Airport database transfer", result));
        }
        airportUploadThread = nullptr;
    }
    if (!transferRunning()) {
        setSettingsActionsEnabled(true);
    }
}
