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

using ApplyProgress = void (MainWindow::*)(int, const QString&);

// Called on the worker thread for every report; posts only what the throttle lets through, by
// value, to the GUI thread.
void post_progress(void* user_data, uint32_t current, uint32_t total, int phase, const char* erasing,
                   const char* uploading, ApplyProgress apply)
{
    auto* ctx = static_cast<ThrottledUploadProgressCtx*>(user_data);
    if (ctx == nullptr || ctx->window == nullptr) {
        return;
    }
    const uint32_t bar = ctx->compute_bar(current, total, phase);
    if (!ctx->should_emit(bar, phase, current, total)) {
        return;
    }
    const QString status = QString(phase == 0 ? erasing : uploading).arg(current).arg(total);
    MainWindow* w = ctx->window;
    QMetaObject::invokeMethod(
        w, [w, bar, status, apply]() { (w->*apply)(static_cast<int>(bar), status); }, Qt::QueuedConnection);
}

void fw_progress_callback(uint32_t current, uint32_t total, int phase, void* user_data)
{
    post_progress(user_data, current, total, phase, "Erasing: %1 / %2 blocks", "Uploading: %1 / %2 bytes",
                  &MainWindow::applyFirmwareUploadProgress);
}

void airport_progress_callback(uint32_t current, uint32_t total, int phase, void* user_data)
{
    post_progress(user_data, current, total, phase, "Erasing airport region: %1 / %2 blocks",
                  "Uploading airport database: %1 / %2 bytes", &MainWindow::applyAirportUploadProgress);
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

void post_firmware_upload_progress(uint32_t current, uint32_t total, int phase, void* user_data)
{
    fw_progress_callback(current, total, phase, user_data);
}

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
    if (ui->checkBox_keep_settings->isChecked()) {
        askFirmwareBank();
    }
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
    ui->pushButton_read_calibration->setEnabled(enabled && comms->isConnected());
    // A reconnect would reopen the link under the worker.
    ui->actionReconnect->setEnabled(enabled);
}

void MainWindow::onStartUpdateClicked()
{
    if (ui->checkBox_keep_settings->isChecked()) {
        startGuidedUpdate();
    } else {
        startTransfer(true);
    }
}

void MainWindow::onStartAirportClicked()
{
    startTransfer(false);
}

// The checks of both start actions (and of the guided update), in order, each failure only showing
// its text.
bool MainWindow::transferMayStart(bool firmware)
{
    const QString& path = firmware ? firmwareFilePath : airportDbFilePath;
    const QPointer<QThread>& own = firmware ? firmwareUploadThread : airportUploadThread;
    const QPointer<QThread>& other = firmware ? airportUploadThread : firmwareUploadThread;

    if (path.isEmpty()) {
        ui->statusbar->showMessage(firmware ? "No firmware file selected" : "No airport database file selected");
        return false;
    }
    if (comms == nullptr || !comms->isConnected()) {
        ui->statusbar->showMessage("Device not connected. Please connect to device first.");
        qDebug() << (firmware ? "Firmware update failed: CommsManager not connected"
                              : "Airport upload failed: CommsManager not connected");
        return false;
    }
    if (!own.isNull()) {
        ui->statusbar->showMessage(firmware ? "Firmware update already in progress"
                                            : "Airport transfer already in progress");
        return false;
    }
    if (!other.isNull()) {
        ui->statusbar->showMessage(firmware ? "Finish airport transfer before firmware update"
                                            : "Finish firmware update before airport transfer");
        return false;
    }
    return true;
}

// Both start actions: the checks, then the run on a worker thread of its own. The worker gets
// copies of the path and the link pointer, never the window's fields.
void MainWindow::startTransfer(bool firmware)
{
    if (!transferMayStart(firmware)) {
        return;
    }
    const QString& path = firmware ? firmwareFilePath : airportDbFilePath;
    QPointer<QThread>& own = firmware ? firmwareUploadThread : airportUploadThread;

    QProgressBar* bar = firmware ? ui->progressBar_firmware : ui->progressBar_airports;
    (firmware ? ui->pushButton_browse : ui->pushButton_browse_airports)->setEnabled(false);
    (firmware ? ui->pushButton_start_update : ui->pushButton_start_airport)->setEnabled(false);
    (firmware ? ui->text_firmware_file : ui->text_firmware_file_2)->setEnabled(false);
    bar->setEnabled(true);
    bar->setRange(0, static_cast<int>(kUploadBarMax));
    bar->setValue(0);
    setSettingsActionsEnabled(false);
    if (firmware) {
        // The list belongs to the guided update; a plain upload shows no steps.
        ui->listWidget_update_steps->clear();
        ui->checkBox_keep_settings->setEnabled(false);
        ui->statusbar->showMessage("Starting firmware update...");
        qDebug() << "Starting firmware update with file:" << path;
    } else {
        ui->statusbar->showMessage("Starting airport database transfer...");
        qDebug() << "Airport database upload:" << path;
    }

    const QString pathCopy = path;
    CommsManager* commsPtr = comms;
    MainWindow* w = this;
    auto result = std::make_shared<TransferResult>();
    QThread* worker = QThread::create([w, pathCopy, commsPtr, result, firmware]() {
        ThrottledUploadProgressCtx ctx;
        ctx.window = w;
        const QByteArray pathBytes = pathCopy.toLocal8Bit();
        *result = firmware ? send_fw(commsPtr, pathBytes.constData(), fw_progress_callback, &ctx)
                           : send_airport_db(commsPtr, pathBytes.constData(), airport_progress_callback, &ctx);
    });
    worker->setParent(this); // destroyed with the window at the latest, once it has ended
    own = worker;
    connect(worker, &QThread::finished, this, [this, result, firmware]() { finishTransfer(firmware, *result); });
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
        ui->checkBox_keep_settings->setEnabled(true);
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
