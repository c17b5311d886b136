// The guided firmware update in the window: the image judged and the user asked before anything is
// sent, the update operation run on a worker thread, each of its steps shown as a line of the
// Firmware Update page as it starts and ends, and its result worded for the status bar. What runs,
// and in which order, is the operation's business; here it is only shown.
#include <QAbstractItemView>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>
#include <QMetaObject>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QThread>

#include <cmath>
#include <memory>

#include "app/mainwindow.h"
#include "app/upload_progress.h"
#include "comms/comms.h"
#include "operations/operations.h"
#include "settings_file/settings_file.h"
#include "ui_mainwindow.h"

namespace {

using operations::UpdateStep;

// Lines of the step list wrap at spaces and, where a backup path is wider than the list, inside the
// path: the whole path stays readable, with no horizontal scrolling, in the list and in a screenshot.
class WrappingLineDelegate : public QStyledItemDelegate {
public:
    explicit WrappingLineDelegate(QListWidget* list) : QStyledItemDelegate(list), list_(list) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        QTextLayout layout(opt.text, opt.font);
        layOut(layout);
        opt.text.clear(); // the style draws background and selection, the layout the text
        list_->style()->drawControl(QStyle::CE_ItemViewItem, &opt, painter, list_);
        painter->save();
        painter->setPen(opt.palette.color(
            QPalette::Normal, (opt.state & QStyle::State_Selected) != 0 ? QPalette::HighlightedText : QPalette::Text));
        layout.draw(painter, QPointF(opt.rect.left() + kMargin, opt.rect.top() + kMargin));
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        QTextLayout layout(opt.text, opt.font);
        const qreal height = layOut(layout);
        return {textWidth() + 2 * kMargin, static_cast<int>(std::ceil(height)) + 2 * kMargin};
    }

private:
    static constexpr int kMargin = 2;

    // Room for the text: the list's inside less a vertical scroll bar, shown or not, so that a line
    // laid out before the bar appears still fits after.
    int textWidth() const
    {
        return list_->width() - 2 * list_->frameWidth() - list_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) -
               2 * kMargin;
    }

    qreal layOut(QTextLayout& layout) const
    {
        QTextOption wrap;
        wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(wrap);
        qreal y = 0;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(textWidth());
            line.setPosition(QPointF(0, y));
            y += line.height();
        }
        layout.endLayout();
        return y;
    }

    QListWidget* list_;
};

const char* step_text(UpdateStep step)
{
    switch (step) {
    case UpdateStep::CheckImage:
        return "Checking the image";
    case UpdateStep::Backup:
        return "Backing up the settings and calibration";
    case UpdateStep::Upload:
        return "Uploading the image";
    case UpdateStep::Restart:
        return "Restarting the EFIS";
    case UpdateStep::Wait:
        return "Waiting for the EFIS to come back";
    case UpdateStep::Confirm:
        return "Confirming the firmware version";
    case UpdateStep::Restore:
        return "Restoring the settings";
    case UpdateStep::Calibration:
        return "Comparing the calibration";
    case UpdateStep::Done:
        break;
    }
    return "Finishing";
}

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

QString version_of(const fwversion_t& fw)
{
    return q(operations::release_text(fw));
}

// "60 s", "0.3 s"
QString seconds_text(std::chrono::milliseconds t)
{
    if (t.count() % 1000 == 0) {
        return QString("%1 s").arg(t.count() / 1000);
    }
    return QString("%1 s").arg(static_cast<double>(t.count()) / 1000.0, 0, 'g', 3);
}

// The firmware a unit ran before the update, as a sentence part.
QString old_firmware(const operations::UnitIdentity& u)
{
    return u.version_reported ? "firmware " + version_of(u.firmware) : QString("its old firmware");
}

// Why an image cannot go to the guided update; empty when it can.
QString image_problem(const operations::UpdateImage& image, const QString& file, const QString& keepSettings)
{
    switch (image.verdict) {
    case operations::ImageVerdict::Accepted:
        break;
    case operations::ImageVerdict::Unreadable:
        return QString("%1 cannot be read (%2)").arg(file, q(image.inspection.error));
    case operations::ImageVerdict::Refused:
        return QString("%1 is not an image the EFIS takes: %2").arg(file, q(image.inspection.refusal));
    case operations::ImageVerdict::NoVersion:
        return QString("%1 states no firmware version: the guided update needs one (uncheck \"%2\" for a "
                       "plain upload)")
            .arg(file, keepSettings);
    case operations::ImageVerdict::Downgrade:
        return QString("%1 holds firmware %2, older than the EFIS's; the downgrade was not confirmed")
            .arg(file, version_of(image.version));
    }
    return {};
}

// Why the upload ended, and whether the flash was touched by then.
QString upload_failure(const operations::UpdateResult& r)
{
    QString text = QString("The upload failed: %1").arg(transfer_step_text(r.transfer.step));
    if (r.transfer.bytes_total != 0) {
        text += QString(" (%1 of %2 bytes sent)").arg(r.transfer.bytes_sent).arg(r.transfer.bytes_total);
    }
    switch (r.transfer.step) {
    case TransferStep::Erase:
    case TransferStep::SetAddress:
    case TransferStep::HeaderWrite:
    case TransferStep::DataWrite:
    case TransferStep::FileRead:
    case TransferStep::UnexpectedEnd:
        text += QString(". The EFIS was not restarted: it still runs %1 with its settings, and the bank it was "
                        "writing holds an incomplete image")
                    .arg(old_firmware(r.before));
        break;
    default:
        text += QString(". Nothing was written to its flash; the EFIS was not restarted and still runs %1 with "
                        "its settings")
                    .arg(old_firmware(r.before));
        break;
    }
    return text;
}

// A unit that did not come back: why, as far as the last attempt to reach it says.
QString absence(const operations::UpdateResult& r, std::chrono::milliseconds timeout)
{
    if (!r.left_bus) {
        return QString("The EFIS was told to restart but did not within %1: it may still run %2")
            .arg(seconds_text(timeout), old_firmware(r.before));
    }
    QString text =
        r.stopped ? QString("The wait for the EFIS was stopped; it was told to restart")
                  : QString("The EFIS did not come back within %1; it was told to restart").arg(seconds_text(timeout));
    const operations::Connection& c = r.reconnection;
    switch (c.step) {
    case operations::ConnectStep::InUse:
        text +=
            QString(" and came back, but %1 (pid %2) holds it").arg(q(c.holder.program), QString::number(c.holder.pid));
        break;
    case operations::ConnectStep::NotOpenable:
        text += QString(" and came back, but could not be opened (%1)").arg(q(c.open_error));
        break;
    case operations::ConnectStep::NoIdentity:
        text += " and came back, but did not answer";
        break;
    case operations::ConnectStep::LockFailed:
        text += QString(" and came back, but its lock could not be taken (%1)").arg(q(c.lock_error));
        break;
    default:
        break;
    }
    return text;
}

// Where the restore stopped, and what the unit holds because of it.
QString restore_failure(const operations::UpdateResult& r)
{
    const QString started = QString("Firmware %1 started, but ").arg(version_of(r.image.version));
    if (!r.restore_read.ok()) {
        return started + QString("the EFIS did not answer when its settings were read (%1): none were restored, "
                                 "and it holds the settings the new firmware started with")
                             .arg(q(operations::index_name(r.restore_read.failed_index)));
    }
    const operations::Application& a = r.restore_applied;
    switch (a.step) {
    case operations::ApplyStep::Send:
        return started + QString("the EFIS refused %1 while its settings were restored: nothing was committed, "
                                 "and it holds the settings the new firmware started with")
                             .arg(q(operations::index_name(a.refused_index)));
    case operations::ApplyStep::Commit:
        return started + QString("the EFIS did not commit the restored settings (%1): it holds the settings the new "
                                 "firmware started with")
                             .arg(operations::commit_step_text(a.commit.step));
    case operations::ApplyStep::Verify: {
        QStringList names;
        for (const settings_file::Setting* s : operations::mismatched_settings(a.verification)) {
            names << QString::fromUtf8(s->name);
        }
        return started + QString("the restored settings did not all read back as sent (%1): check the ones the "
                                 "EFIS holds")
                             .arg(names.isEmpty() ? QString("the checksum") : names.join(", "));
    }
    case operations::ApplyStep::History:
        return started + QString("the settings history could not be written (%1): none were restored, and it holds "
                                 "the settings the new firmware started with")
                             .arg(q(a.history_error));
    default:
        return started + "the link to the EFIS was lost while its settings were restored";
    }
}

// The failed step as a sentence: what went wrong, what the unit holds now and, once the backup
// is written, where it is.
QString failure_sentence(const operations::UpdateResult& r, std::chrono::milliseconds timeout, const QString& file,
                         const QString& keepSettings)
{
    const QString backup = q(r.backup_path);
    switch (r.step) {
    case UpdateStep::CheckImage:
        return image_problem(r.image, file, keepSettings) + "; nothing was sent to the EFIS";
    case UpdateStep::Backup:
        return QString("The settings could not be backed up (%1); nothing was written to the EFIS, which keeps its "
                       "firmware and settings")
            .arg(q(r.backup_error));
    case UpdateStep::Upload:
        return upload_failure(r) + ". A backup of them is in " + backup;
    case UpdateStep::Restart:
        return QString("The restart command could not be sent: the new image is in the EFIS's flash but not "
                       "started, and it still runs %1 with its settings. A backup of them is in %2")
            .arg(old_firmware(r.before), backup);
    case UpdateStep::Wait:
        return absence(r, timeout) + ". Its settings are in " + backup +
               "; once it is back, compare them with what it holds (File > Compare with File...)";
    case UpdateStep::Confirm:
        if (!r.after.version_reported) {
            return QString("The EFIS came back reporting no firmware version, as only firmware before 0.2.12 does, "
                           "not %1: it did not start the new image. Its settings were left as they were; a backup "
                           "of them is in %2")
                .arg(version_of(r.image.version), backup);
        }
        return QString("The EFIS came back with firmware %1, not %2: it did not start the new image. Its settings "
                       "were left as they were; a backup of them is in %3")
            .arg(version_of(r.after.firmware), version_of(r.image.version), backup);
    case UpdateStep::Restore:
        return restore_failure(r) + ". The old settings are in " + backup;
    case UpdateStep::Calibration:
        return QString("Firmware %1 started and the settings were restored, but the EFIS did not answer when "
                       "calibration index %2 was read, so the calibration was not compared. The old values are "
                       "in %3")
            .arg(version_of(r.image.version))
            .arg(r.calibration_failed_index)
            .arg(backup);
    case UpdateStep::Done:
        break;
    }
    return {};
}

} // namespace

void MainWindow::setUpUpdateSteps()
{
    ui->listWidget_update_steps->setItemDelegate(new WrappingLineDelegate(ui->listWidget_update_steps));
}

int MainWindow::addUpdateLine(const QString& text, bool problem)
{
    ui->listWidget_update_steps->addItem(text);
    const int row = ui->listWidget_update_steps->count() - 1;
    setUpdateLine(row, text, problem);
    return row;
}

void MainWindow::setUpdateLine(int row, const QString& text, bool problem)
{
    QListWidgetItem* item = ui->listWidget_update_steps->item(row);
    if (item == nullptr) {
        return;
    }
    item->setText(text);
    if (problem) {
        item->setForeground(QColor(0xB0, 0x00, 0x00));
    }
    // A line that grew (a path, a reason) is laid out anew; the latest line stays in view.
    ui->listWidget_update_steps->doItemsLayout();
    ui->listWidget_update_steps->scrollToBottom();
}

void MainWindow::askFirmwareBank()
{
    // A transfer owns the link while it runs; the question then says the bank is asked later.
    if (comms == nullptr || !comms->isConnected() || transferRunning()) {
        firmwareBank.clear();
        return;
    }
    firmwareBank = q(operations::unit_bank(comms));
}

bool MainWindow::askUpdate(const operations::UpdateImage& image)
{
    const QString file = QFileInfo(firmwareFilePath).fileName();
    const QString version = version_of(image.version);
    QStringList lines;
    lines << QString("Install firmware %1 from %2 on the EFIS?").arg(version, file) << QString();
    lines << QString("Image: firmware %1, %2 bytes").arg(version).arg(image.inspection.size);
    const QString serial = QString::number(unit.serial, 16).toUpper().rightJustified(8, '0');
    lines << (unit.version_reported
                  ? QString("EFIS: serial 0x%1, firmware %2").arg(serial, version_of(unit.firmware))
                  : QString("EFIS: serial 0x%1, firmware not reported (it cannot be compared with the image)")
                        .arg(serial));
    // The bank was asked when the image was chosen: asking now would send a frame before the user
    // has agreed to anything, and Cancel must leave the unit untouched.
    lines << QString("Bank to be written: %1")
                 .arg(firmwareBank.isEmpty() ? QString("asked at the start of the upload") : firmwareBank);
    lines << QString();
    if (image.downgrade) {
        lines << QString("This image is older than the firmware the EFIS runs: installing it is a downgrade.");
    } else if (image.same_version) {
        lines << QString("The EFIS runs this version already: it is installed again.");
    }
    lines << QString("The settings and calibration are saved to a backup file first. The EFIS then restarts into "
                     "the new firmware, and its settings are restored.");
    if (!changed_values.empty()) {
        lines << QString("The form's changes not saved on the EFIS are replaced by what it holds afterwards.");
    }

    QMessageBox box(image.downgrade ? QMessageBox::Warning : QMessageBox::Question, tr("Update Firmware"),
                    lines.join("\n"), QMessageBox::NoButton, this);
    QPushButton* go = box.addButton(image.downgrade ? tr("Downgrade") : tr("Update"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == go;
}

void MainWindow::startGuidedUpdate()
{
    if (!transferMayStart(true)) {
        return;
    }
    const QString file = QFileInfo(firmwareFilePath).fileName();
    const std::string imagePath = QFile::encodeName(firmwareFilePath).toStdString();

    // The image is judged before the question, from the file alone: a refused one sends nothing.
    // A downgrade is asked about; choosing "Downgrade" is what allows it.
    const operations::UpdateImage image = operations::check_update_image(imagePath, unit, true);
    if (const QString problem = image_problem(image, file, ui->checkBox_keep_settings->text()); !problem.isEmpty()) {
        ui->statusbar->showMessage("Error: " + problem);
        return;
    }
    if (!askUpdate(image)) {
        ui->statusbar->showMessage("Firmware update cancelled - nothing was sent");
        return;
    }

    ui->pushButton_browse->setEnabled(false);
    ui->pushButton_start_update->setEnabled(false);
    ui->text_firmware_file->setEnabled(false);
    ui->checkBox_keep_settings->setEnabled(false);
    ui->progressBar_firmware->setEnabled(true);
    ui->progressBar_firmware->setRange(0, static_cast<int>(kUploadBarMax));
    ui->progressBar_firmware->setValue(0);
    ui->listWidget_update_steps->clear();
    updateStepRow = -1;
    updateBackupPath.clear();
    unfinishedUpdate = {};
    setSettingsActionsEnabled(false);
    ui->statusbar->showMessage("Starting firmware update...");
    qDebug() << "Starting guided firmware update with file:" << firmwareFilePath;

    operations::UpdateOptions options;
    options.allow_downgrade = image.downgrade; // the user chose "Downgrade"
    options.restore = true;
    options.restart_timeout = updateRestartTimeout;
    options.program = "efis-config";

    // The worker has the link, the unit's lock (which the update may replace, should the unit come
    // back under another device path) and a copy of who the unit is. Until it ends, the GUI thread
    // touches none of them: every action that would is refused while firmwareUploadThread is set.
    // Nothing stops it part way: a window destroyed meanwhile waits for it, so the unit gets its
    // settings back before the link goes.
    MainWindow* w = this;
    CommsManager* commsPtr = comms;
    operations::UnitLock* lockPtr = &unitLock;
    const operations::UnitIdentity who = unit;
    auto result = std::make_shared<operations::UpdateResult>();
    QThread* worker = QThread::create([w, commsPtr, lockPtr, who, imagePath, options, result]() {
        ThrottledUploadProgressCtx ctx;
        ctx.window = w;
        operations::UpdateObserver observer;
        observer.step_started = [w](UpdateStep step) {
            QMetaObject::invokeMethod(
                w, [w, step]() { w->updateStepStarted(step); }, Qt::QueuedConnection);
        };
        observer.step_ended = [w](UpdateStep step, bool ok) {
            QMetaObject::invokeMethod(
                w, [w, step, ok]() { w->updateStepEnded(step, ok); }, Qt::QueuedConnection);
        };
        observer.backup_written = [w](const std::string& path) {
            const QString p = QString::fromStdString(path);
            QMetaObject::invokeMethod(
                w, [w, p]() { w->updateBackupPath = p; }, Qt::QueuedConnection);
        };
        observer.upload_progress = post_firmware_upload_progress;
        observer.upload_progress_user = &ctx;
        *result = operations::update_firmware(commsPtr, lockPtr, who, imagePath, options, observer);
    });
    worker->setParent(this); // destroyed with the window at the latest, once it has ended
    firmwareUploadThread = worker;
    guidedUpdateRunning = true;
    connect(worker, &QThread::finished, this, [this, result]() { finishGuidedUpdate(*result); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void MainWindow::updateStepStarted(UpdateStep step)
{
    const QString text = QString(step_text(step)) + "...";
    updateStepRow = addUpdateLine(text);
    // During the upload the progress reports take the status bar over.
    ui->statusbar->showMessage(text);
}

void MainWindow::updateStepEnded(UpdateStep step, bool ok)
{
    QString text = QString(step_text(step)) + (ok ? " - done" : " - failed");
    if (step == UpdateStep::Backup && ok && !updateBackupPath.isEmpty()) {
        text += ": " + updateBackupPath;
    }
    setUpdateLine(updateStepRow, text, !ok);
}

// On the GUI thread after the worker's last report. The unit is taken as it came back, the form is
// loaded from it, and only then is the update's own outcome shown: the load's status must not hide it.
void MainWindow::finishGuidedUpdate(const operations::UpdateResult& r)
{
    firmwareUploadThread = nullptr;
    guidedUpdateRunning = false;
    ui->pushButton_browse->setEnabled(true);
    ui->pushButton_start_update->setEnabled(true);
    ui->text_firmware_file->setEnabled(true);
    ui->checkBox_keep_settings->setEnabled(true);
    setSettingsActionsEnabled(true);
    qDebug() << "Guided firmware update finished:" << (r.ok() ? "done" : step_text(r.step));

    const QString file = QFileInfo(firmwareFilePath).fileName();
    QString status;
    if (r.ok()) {
        ui->progressBar_firmware->setValue(static_cast<int>(kUploadBarMax));
        // The version as the unit reports it; one that reports none is taken at the image's word.
        const QString installed = r.version_confirmed
                                      ? QString("Firmware %1 installed").arg(version_of(r.after.firmware))
                                      : QString("Firmware %1 installed (the EFIS reports no version to confirm it)")
                                            .arg(version_of(r.image.version));
        for (const operations::CalibrationChange& c : r.calibration_changes) {
            QString line = q(operations::calibration_change_text(c));
            line[0] = line[0].toUpper();
            addUpdateLine(line, true);
        }
        const bool relaid = r.restore == operations::RestoreOutcome::RecordVersionChanged;
        const QString outcome =
            installed + (relaid ? QString("; the new firmware keeps its settings in another layout, so none were "
                                          "restored - the old ones are in %1")
                                      .arg(q(r.backup_path))
                                : QString("; %1 setting(s) restored").arg(r.settings_restored));
        addUpdateLine(outcome, relaid);
        status = outcome;
        // A changed block is several words: the status names the first, the list every one.
        const size_t changed = r.calibration_changes.size();
        if (changed != 0) {
            status += "; " + q(operations::calibration_change_text(r.calibration_changes.front()));
        }
        if (changed > 1) {
            status += QString(" (and %1 more calibration value(s): see the step list)").arg(changed - 1);
        }
        if (relaid || changed != 0) {
            status = "Warning: " + status;
        }
    } else {
        const QString sentence = failure_sentence(r, updateRestartTimeout, file, ui->checkBox_keep_settings->text());
        addUpdateLine(sentence, true);
        status = "Error: " + sentence;
    }

    if (r.reconnection.ok()) {
        unit = r.after;
    }
    if (comms->isConnected()) {
        loadConfigFromDevice();
        if (r.step > UpdateStep::Restart) {
            askFirmwareBank(); // a unit that restarted into the new image names the other bank now
        }
    } else {
        // The unit was lost across the restart. The window is left as after any disconnection, so
        // that the watcher's next look connects it when it is back; the lock goes with the link.
        unitLock.release();
        unit = {};
        loadedHeader = {};
        firmwareBank.clear();
        setUnitActionsEnabled(false);
        if (!r.backup_path.empty()) {
            unfinishedUpdate = {r.before.serial, q(r.backup_path)};
        }
    }
    ui->statusbar->showMessage(status);
}

void MainWindow::remindUnfinishedUpdate()
{
    if (unfinishedUpdate.backup.isEmpty() || !comms->isConnected() || unit.serial != unfinishedUpdate.serial) {
        return;
    }
    const QString text = QString("The EFIS is back after the firmware update, which did not restore its settings: "
                                 "the ones it held before are in %1")
                             .arg(unfinishedUpdate.backup);
    addUpdateLine(text, true);
    ui->statusbar->showMessage("Warning: " + text);
    unfinishedUpdate = {};
}
