// Moving the user settings between the unit and the tool: load, update, save and reboot.
#include <QDebug>
#include <QStatusBar>
#include <QStringList>
#include <QThread>

#include <cstdio>
#include <cstring>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "comms/comms.h"
#include "efis_shared/get_set.h"
#include "ui_mainwindow.h"

Settings_t user_config;
uint32_t user_config_chk = 0;
uint32_t mem_version = 0;
uint32_t user_config_sizeof = 0;

namespace {

// One settings word for a transaction; on failure logs and shows why, and the transaction ends.
// read_value tells a failed read apart from a stored 0xFFFFFFFF (opaque white, an erased word).
bool read_word(CommsManager* comms, QStatusBar* status, settings_struct_index index, const char* log_text,
               const char* status_text, uint32_t* value)
{
    if (read_value(comms, SETTINGS_COMMS, static_cast<uint8_t>(index), value)) {
        return true;
    }
    qDebug() << log_text;
    status->showMessage(status_text);
    return false;
}

// Commits the record on the unit and logs how far the commit came.
int store_settings_logged(CommsManager* comms, uint32_t crc)
{
    StoreSettingsStep failed = StoreSettingsStep::None;
    const int result = store_settings(comms, crc, &failed);
    switch (failed) {
    case StoreSettingsStep::NotConnected:
        break;
    case StoreSettingsStep::Send:
        qDebug() << "Failed to send store command";
        break;
    case StoreSettingsStep::Erase:
        qDebug() << "Flash erase failed or timeout waiting for MX25 erase status";
        break;
    case StoreSettingsStep::Confirm:
        qDebug() << "Flash erase succeeded";
        qDebug() << "Store command failed: no valid ACK (or NACK) for save settings";
        break;
    case StoreSettingsStep::None:
        qDebug() << "Flash erase succeeded";
        break;
    }
    return result;
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
    LinkHold hold = comms->hold();

    changed_values.clear();
    std::memset(&user_config, 0, sizeof user_config);

    uint32_t value = 0;
    if (!read_word(comms, ui->statusbar, SETTINGS_CHECKSUM_INDEX, "Error reading checksum value",
                   "Error: Failed to read checksum from device", &value)) {
        return;
    }
    user_config_chk = value;
    user_config.crc32 = value;

    if (!read_word(comms, ui->statusbar, SETTINGS_MAGIC_NUM, "Error reading magic value",
                   "Error: Failed to read magic number from device", &value)) {
        return;
    }
    user_config.magic = value;

    if (!read_word(comms, ui->statusbar, SETTINGS_VERSION, "Error reading memory version value",
                   "Error: Failed to read memory version from device", &value)) {
        return;
    }
    mem_version = value;
    user_config.version = value;

    if (!read_word(comms, ui->statusbar, SETTINGS_NUM_ELEMENTS, "Error reading num_elements value",
                   "Error: Failed to read num_elements from device", &value)) {
        return;
    }
    user_config.num_elements = value;
    loadedHeader = {true, mem_version, user_config.num_elements, user_config_chk};

    user_config_sizeof = sizeof(Settings_t);

    QStringList unread;
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const auto index = static_cast<settings_struct_index>(i);
        if (!read_value(comms, SETTINGS_COMMS, static_cast<uint8_t>(i), &value)) {
            qDebug() << "Warning: Failed to read value for index" << i << ", setting to 0";
            value = 0;
            unread << QString::number(i);
        }
        if (!settings_set_value(&user_config, index, &value)) {
            qDebug() << "Error setting value for index" << i;
            ui->statusbar->showMessage("Error: Failed to process configuration data");
            return;
        }
        QThread::msleep(1);
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
    if (set_value(comms, SETTINGS_COMMS, static_cast<uint8_t>(index), value) != 0) {
        qDebug() << "Error updating value for index" << static_cast<unsigned>(index);
        ui->statusbar->showMessage("Error: Failed to send configuration to device");
        return;
    }
    changed_values.insert(index);
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
    LinkHold hold = comms->hold();

    int sent = 0;
    int failed = 0;
    for (const settings_struct_index index : changed_values) {
        const uint32_t value = settings_get_value(&user_config, index);
        if (set_value(comms, SETTINGS_COMMS, static_cast<uint8_t>(index), value) != 0) {
            ++failed;
            qDebug() << "Failed to send value for index" << static_cast<unsigned>(index);
        } else {
            ++sent;
        }
        QThread::msleep(1);
    }
    changed_values.clear();

    if (failed != 0) {
        ui->statusbar->showMessage(QString("Sent %1 value(s), %2 failed").arg(sent).arg(failed));
    } else {
        ui->statusbar->showMessage(QString("Successfully sent %1 configuration value(s) to device").arg(sent));
    }
}

void MainWindow::onSaveClicked()
{
    if (!settingsLinkAvailable()) {
        return;
    }
    LinkHold hold = comms->hold();

    updateConfigFromUI();

    uint32_t value = 0;
    if (!read_word(comms, ui->statusbar, SETTINGS_VERSION, "Error reading memory version value",
                   "Error: Failed to read memory version from device", &value)) {
        return;
    }
    mem_version = value;
    user_config.version = value;

    if (!read_word(comms, ui->statusbar, SETTINGS_NUM_ELEMENTS, "Error reading num_elements value",
                   "Error: Failed to read num_elements from device", &value)) {
        return;
    }
    user_config.num_elements = value;

    user_config.magic = kSettingsMagic;
    user_config.crc32 = 0;
    const uint32_t crc = settings_CalcCRC(&user_config);
    printf("New CRC %08X\n", crc);
    fflush(stdout);

    if (store_settings_logged(comms, crc) != 0) {
        qDebug() << "Error storing configuration to EEPROM";
        ui->statusbar->showMessage("Error: Failed to store configuration to EEPROM");
        return;
    }
    changed_values.clear();
    updateUIFromConfig();
    ui->statusbar->showMessage("Configuration saved to EEPROM successfully");
}

void MainWindow::onRebootClicked()
{
    if (!settingsLinkAvailable()) {
        return;
    }
    if (!send_reboot(comms)) {
        qDebug() << "Failed to send reboot command";
        ui->statusbar->showMessage("Error: Failed to send reboot command");
    } else {
        qDebug() << "Reboot command sent successfully";
        ui->statusbar->showMessage("Reboot command sent to device");
    }
}
