// Moving the user settings between the unit and the tool: load, update, save and reboot. The
// exchanges themselves are the operations the command line uses too; here they are worded for the
// window.
#include <QDebug>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "efis_shared/get_set.h"
#include "operations/operations.h"
#include "ui_mainwindow.h"

Settings_t user_config;
uint32_t user_config_chk = 0;
uint32_t mem_version = 0;
uint32_t user_config_sizeof = 0;

namespace {

using namespace std::chrono_literals;

// The load and the update give the unit a breath after each value.
constexpr auto kPauseAfterValue = 1ms;

struct HeaderText {
    uint32_t index;
    const char* log;
    const char* status;
};

constexpr HeaderText kHeaderTexts[] = {
    {SETTINGS_CHECKSUM_INDEX, "Error reading checksum value", "Error: Failed to read checksum from device"},
    {SETTINGS_MAGIC_NUM, "Error reading magic value", "Error: Failed to read magic number from device"},
    {SETTINGS_VERSION, "Error reading memory version value", "Error: Failed to read memory version from device"},
    {SETTINGS_NUM_ELEMENTS, "Error reading num_elements value", "Error: Failed to read num_elements from device"},
};

const HeaderText& header_text(uint32_t index)
{
    for (const HeaderText& h : kHeaderTexts) {
        if (h.index == index) {
            return h;
        }
    }
    return kHeaderTexts[0];
}

// How far the commit came, in the lines the save has always logged.
void log_commit(operations::CommitStep step)
{
    switch (step) {
    case operations::CommitStep::Send:
        qDebug() << "Failed to send store command";
        break;
    case operations::CommitStep::Erase:
        qDebug() << "Flash erase failed or timeout waiting for MX25 erase status";
        break;
    case operations::CommitStep::Confirm:
        qDebug() << "Flash erase succeeded";
        qDebug() << "Store command failed: no valid ACK (or NACK) for save settings";
        break;
    case operations::CommitStep::Done:
        qDebug() << "Flash erase succeeded";
        break;
    case operations::CommitStep::NotConnected:
    case operations::CommitStep::ReadVersion:
    case operations::CommitStep::ReadNumElements:
        break;
    }
}

// What a read-back that did not match says: the settings by the names a settings file gives them.
QString verification_failure(const operations::Verification& v)
{
    switch (v.step) {
    case operations::VerifyStep::Values:
    case operations::VerifyStep::Checksum: {
        QStringList names;
        for (const settings_file::Setting* s : operations::mismatched_settings(v)) {
            names << QString::fromUtf8(s->name);
        }
        if (names.isEmpty()) {
            names << "checksum";
        }
        return QString("Error: The EFIS did not keep the saved settings: %1 read back different values")
            .arg(names.join(", "));
    }
    case operations::VerifyStep::ReadValue:
        return QString("Error: The EFIS saved the settings but did not answer when %1 was read back")
            .arg(QString::fromStdString(operations::index_name(v.failed_index)));
    case operations::VerifyStep::ReadChecksum:
        return "Error: The EFIS saved the settings but did not answer when its checksum was read back";
    case operations::VerifyStep::NotConnected:
        return "Error: No communication interface connected (USB HID or CAN FD)";
    case operations::VerifyStep::Done:
        break;
    }
    return QString();
}

} // namespace

bool MainWindow::settingsLinkAvailable()
{
    if (comms == nullptr || !comms->isConnected()) {
        qDebug() << "No communication interface connected";
        ui->statusbar->showMessage("Error: No communication interface connected (USB HID or CAN FD)");
        return false;
    }
    // An upload owns the link until it ends; a settings exchange now would interleave its frames
    // with the upload's and take its replies.
    if (transferRunning()) {
        qDebug() << "Settings action refused: a transfer is in progress";
        ui->statusbar->showMessage("Error: A transfer is in progress - wait until it has finished");
        return false;
    }
    return true;
}

void MainWindow::loadConfigFromDevice()
{
    if (!settingsLinkAvailable()) {
        return;
    }
    changed_values.clear();
    unitRecord.reset(); // known again once this load has read it whole
    std::memset(&user_config, 0, sizeof user_config);

    // A value the unit does not answer is shown as 0 and named; the rest of the record still loads.
    const operations::RecordRead read =
        operations::read_settings(comms, {operations::UnreadValues::FillWithZero, kPauseAfterValue});

    // What was read before any failure stays, zero elsewhere; the form keeps showing what it showed.
    user_config = read.record;
    if (read.header_read(SETTINGS_CHECKSUM_INDEX)) {
        user_config_chk = read.unit_checksum;
    }
    if (read.header_read(SETTINGS_VERSION)) {
        mem_version = read.record.version;
    }
    if (read.step == operations::ReadStep::NotConnected) {
        qDebug() << "No communication interface connected";
        ui->statusbar->showMessage("Error: No communication interface connected (USB HID or CAN FD)");
        return;
    }
    if (read.step == operations::ReadStep::Header) {
        const HeaderText& h = header_text(read.failed_index);
        qDebug() << h.log;
        ui->statusbar->showMessage(h.status);
        return;
    }
    loadedHeader = {true, mem_version, user_config.num_elements, user_config_chk};
    user_config_sizeof = sizeof(Settings_t);

    QStringList unread;
    for (const uint32_t i : read.unread) {
        qDebug() << "Warning: Failed to read value for index" << i << ", setting to 0";
        unread << QString::number(i);
    }
    if (read.step == operations::ReadStep::Process) {
        qDebug() << "Error setting value for index" << read.failed_index;
        ui->statusbar->showMessage("Error: Failed to process configuration data");
        return;
    }

    const uint32_t calculated = settings_CalcCRC(&user_config);
    printf("app: 0x%08lX, device: 0x%08lX \n", static_cast<unsigned long>(calculated),
           static_cast<unsigned long>(user_config_chk));
    const bool crc_ok = calculated == user_config_chk;
    if (!crc_ok) {
        qDebug() << "CRC mismatch: Calculated =" << Qt::hex << calculated << "Stored=" << user_config_chk;
        ui->statusbar->showMessage("Warning: Configuration CRC verification failed");
    } else {
        printf("CRC Check Passed.\n");
    }
    fflush(stdout);

    // Only a whole record is one the unit holds; after a partial one a Save asks the unit again.
    if (read.unread.empty()) {
        unitRecord = read.record;
    }
    formSerial = unit.serial;
    updateUIFromConfig();
    // A load that had to put zeros in place of values, or whose record does not match the unit's
    // checksum, is not reported as a success.
    if (!unread.isEmpty()) {
        ui->statusbar->showMessage(
            QString("Warning: Configuration loaded, but %1 value(s) could not be read (index %2)")
                .arg(unread.size())
                .arg(unread.join(", ")));
    } else if (crc_ok) {
        ui->statusbar->showMessage("Configuration successfully loaded from device");
    }
}

void MainWindow::onLoadClicked()
{
    loadConfigFromDevice();
}

void MainWindow::updateConfigValueAndSend(settings_struct_index index, uint32_t value)
{
    if (!settingsLinkAvailable()) {
        return;
    }
    if (!settings_set_value(&user_config, index, &value)) {
        qDebug() << "Error setting value for index" << static_cast<unsigned>(index);
        ui->statusbar->showMessage("Error: Failed to update configuration");
        return;
    }
    const uint32_t indices[] = {index};
    const operations::SendOutcome sent =
        operations::send_values(comms, user_config, indices, operations::RefusedValues::Stop);
    if (sent.sent.empty()) {
        qDebug() << "Error updating value for index" << static_cast<unsigned>(index);
        ui->statusbar->showMessage("Error: Failed to send configuration to device");
        return;
    }
    changed_values.insert(index);
    editedSinceStart.insert(index);
    ui->statusbar->showMessage("Configuration updated successfully");
}

void MainWindow::onUpdateClicked()
{
    if (!settingsLinkAvailable()) {
        return;
    }
    if (changed_values.empty()) {
        ui->statusbar->showMessage("No changes to send");
        return;
    }
    // The record the form would leave on the unit, checked as a whole before anything is sent.
    if (const std::vector<std::string> broken = settings_file::implausible_values(formRecord());
        !broken.empty() && !askSendImplausible(broken)) {
        ui->statusbar->showMessage("Update cancelled - nothing was sent");
        return;
    }
    // Every changed value is tried, in ascending order; one the unit refuses does not stop the rest.
    const std::vector<uint32_t> indices(changed_values.begin(), changed_values.end());
    const operations::SendOutcome outcome =
        operations::send_values(comms, user_config, indices, operations::RefusedValues::KeepGoing, kPauseAfterValue);
    for (const uint32_t index : outcome.refused) {
        qDebug() << "Failed to send value for index" << index;
    }
    changed_values.clear();

    const auto sent = static_cast<int>(outcome.sent.size());
    const auto failed = static_cast<int>(indices.size()) - sent;
    if (failed != 0) {
        ui->statusbar->showMessage(QString("Sent %1 value(s), %2 failed").arg(sent).arg(failed));
    } else {
        ui->statusbar->showMessage(QString("Successfully sent %1 configuration value(s) to device").arg(sent));
    }
}

bool MainWindow::askSendImplausible(const std::vector<std::string>& broken)
{
    QStringList lines;
    for (const std::string& line : broken) {
        lines << QString::fromStdString(line);
    }
    QMessageBox box(QMessageBox::Warning, tr("Check these settings"), lines.join("\n"), QMessageBox::NoButton, this);
    QPushButton* send = box.addButton(tr("Send Anyway"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == send;
}

void MainWindow::onSaveClicked()
{
    if (!settingsLinkAvailable()) {
        return;
    }
    // The commit and its read-back are one transaction on the link.
    LinkHold hold = comms->hold();

    updateConfigFromUI();

    // The record before the save goes into the history before the unit is told to commit.
    bool refused = false;
    operations::HistoryEntryFile entry = startSaveHistoryEntry(&refused);
    if (refused) {
        return;
    }
    const auto finish = [&](const char* outcome) {
        if (entry.written && !operations::finish_history_entry(&entry, outcome)) {
            qDebug() << "Could not write the outcome to the settings history:" << QString::fromStdString(entry.error);
        }
    };

    const operations::Commit commit = operations::commit_settings(comms, &user_config);
    switch (commit.step) {
    case operations::CommitStep::NotConnected:
        finish("failed: not connected");
        qDebug() << "No communication interface connected";
        ui->statusbar->showMessage("Error: No communication interface connected (USB HID or CAN FD)");
        return;
    case operations::CommitStep::ReadVersion: {
        finish("failed: commit");
        const HeaderText& h = header_text(SETTINGS_VERSION);
        qDebug() << h.log;
        ui->statusbar->showMessage(h.status);
        return;
    }
    case operations::CommitStep::ReadNumElements: {
        finish("failed: commit");
        mem_version = user_config.version;
        const HeaderText& h = header_text(SETTINGS_NUM_ELEMENTS);
        qDebug() << h.log;
        ui->statusbar->showMessage(h.status);
        return;
    }
    case operations::CommitStep::Send:
    case operations::CommitStep::Erase:
    case operations::CommitStep::Confirm:
    case operations::CommitStep::Done:
        break;
    }
    mem_version = user_config.version;
    printf("New CRC %08X\n", commit.checksum);
    fflush(stdout);

    log_commit(commit.step);
    if (!commit.ok()) {
        finish("failed: commit");
        qDebug() << "Error storing configuration to EEPROM";
        ui->statusbar->showMessage("Error: Failed to store configuration to EEPROM");
        return;
    }

    // The unit confirmed the save; what it holds now must be what was saved. If not, the form and
    // its unsent edits stay as they are, so the user can try again.
    const operations::Verification check = operations::verify_settings(comms, user_config, commit.checksum);
    if (!check.ok()) {
        finish("failed: verify");
        unitRecord.reset(); // what it holds now is not known
        // What the unit did not keep counts as unsent again, so that Update sends it once more.
        for (const operations::Mismatch& m : check.mismatches) {
            changed_values.insert(static_cast<settings_struct_index>(m.index));
        }
        qDebug() << "Saved settings did not read back as saved:" << verification_failure(check);
        ui->statusbar->showMessage(verification_failure(check));
        return;
    }
    finish("committed");
    unitRecord = user_config;
    changed_values.clear();
    updateUIFromConfig();
    ui->statusbar->showMessage("Configuration saved to EEPROM successfully");
}

void MainWindow::onRebootClicked()
{
    if (!settingsLinkAvailable()) {
        return;
    }
    if (!operations::reboot_unit(comms)) {
        qDebug() << "Failed to send reboot command";
        ui->statusbar->showMessage("Error: Failed to send reboot command");
    } else {
        qDebug() << "Reboot command sent successfully";
        firmwareBank.clear(); // a restart may start the image in that bank, and the unit names the other one
        ui->statusbar->showMessage("Reboot command sent to device");
    }
}
