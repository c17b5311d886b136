// The File menu: the form's settings exported to a settings file, imported from one as if typed,
// and compared with one. Nothing here talks to the unit.
#include <QDate>
#include <QDebug>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "comms/comms.h"
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"
#include "ui_mainwindow.h"

namespace {

QString fileFilter()
{
    return QCoreApplication::translate("MainWindow", "Settings Files (*.json);;All Files (*)");
}

// A registration as a file name part: letters, digits and dashes only.
QString fileNamePart(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        out += c.isLetterOrNumber() || c == '-' ? c : QChar('_');
    }
    return out;
}

QString displayName(const QString& path)
{
    return QFileInfo(path).fileName();
}

} // namespace

Settings_t MainWindow::formRecord() const
{
    Settings_t record = user_config;
    readFormInto(&record);
    return record;
}

QString MainWindow::settingsFileDialogDir() const
{
    return lastSettingsFile.isEmpty() ? QDir::homePath() : QFileInfo(lastSettingsFile).absolutePath();
}

bool MainWindow::openSettingsFile(const QString& caption, const char* refusal, QString* path,
                                  settings_file::Document* doc)
{
    *path = QFileDialog::getOpenFileName(this, caption, settingsFileDialogDir(), fileFilter());
    if (path->isEmpty()) {
        return false; // cancelled
    }
    lastSettingsFile = *path;
    std::string error;
    if (!settings_file::read_document_file(path->toStdString(), doc, &error)) {
        ui->statusbar->showMessage(
            QString("Error: %1 %2: %3").arg(displayName(*path), refusal, QString::fromStdString(error)));
        return false;
    }
    return true;
}

void MainWindow::onExportSettingsTriggered()
{
    const Settings_t record = formRecord();
    // Kept edits of a unit that has since been replaced by another are not that other's settings.
    const bool unitKnown = comms != nullptr && comms->isConnected() && (!formSerial || *formSerial == unit.serial);

    // With nothing loaded from a unit, every field not edited holds the form's start values (V-speeds
    // 0, colours transparent black): restored, such a file would blank a unit. Only the settings
    // edited or imported are written then, as in a file written by hand.
    std::optional<settings_file::Values> editedOnly;
    if (!loadedHeader.valid) {
        const settings_file::Values all = settings_file::values_of(record);
        editedOnly.emplace();
        for (const settings_file::Setting& s : settings_file::all_settings()) {
            for (uint32_t i = s.first; i < s.first + s.count; ++i) {
                if (editedSinceStart.count(static_cast<settings_struct_index>(i)) != 0) {
                    editedOnly->put(s, &all.word[s.first]);
                    break;
                }
            }
        }
        if (editedOnly->count() == 0) {
            ui->statusbar->showMessage("Warning: Nothing to export - no settings were loaded from an EFIS or edited");
            return;
        }
    }

    const settings_file::Setting& registration = *settings_file::find_setting("registration");
    const nlohmann::ordered_json reg =
        settings_file::setting_json(registration, &settings_file::values_of(record).word[registration.first]);
    const QString regText = reg.is_string() ? QString::fromStdString(reg.get<std::string>()) : QString();
    QString proposed = regText.isEmpty() ? QString("efis") : fileNamePart(regText);
    if (unitKnown && !editedOnly) {
        proposed += QString("-%1").arg(unit.serial, 8, 16, QChar('0')).toUpper();
    }
    proposed += "-" + QDate::currentDate().toString("yyyy-MM-dd") + ".json";

    const QString path = QFileDialog::getSaveFileName(this, tr("Export Settings"),
                                                      QDir(settingsFileDialogDir()).filePath(proposed), fileFilter());
    if (path.isEmpty()) {
        return;
    }
    lastSettingsFile = path;

    std::optional<settings_file::UnitInfo> unitBlock;
    if (unitKnown) {
        unitBlock = operations::unit_info(unit);
    }
    std::optional<settings_file::RecordInfo> header;
    if (loadedHeader.valid) {
        header = settings_file::RecordInfo{loadedHeader.version, loadedHeader.num_elements, loadedHeader.checksum};
    }
    const settings_file::Document doc = editedOnly ? settings_file::Document{std::nullopt, std::nullopt, *editedOnly}
                                                   : settings_file::backup_document(record, unitBlock, header);
    std::string error;
    if (!settings_file::write_document_file(path.toStdString(), doc, &error)) {
        qDebug() << "Settings export failed:" << QString::fromStdString(error);
        ui->statusbar->showMessage(
            QString("Error: Could not write %1: %2").arg(displayName(path), QString::fromStdString(error)));
        return;
    }
    ui->statusbar->showMessage(QString("Settings exported to %1").arg(displayName(path)));
}

// Each value that differs from the form's goes into it as an edit of its field would put it there,
// to be sent with Update; the count of those taken.
int MainWindow::putInForm(Settings_t record, const settings_file::Values& values)
{
    int changed = 0;
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const auto index = static_cast<settings_struct_index>(i);
        uint32_t word = values.word[i];
        if (values.present[i] && word != settings_get_value(&record, index)) {
            settings_set_value(&record, index, &word);
            changed_values.insert(index);
            editedSinceStart.insert(index);
            ++changed;
        }
    }
    user_config = record;
    updateUIFromConfig();
    return changed;
}

void MainWindow::onImportSettingsTriggered()
{
    QString path;
    settings_file::Document doc;
    if (!openSettingsFile(tr("Import Settings"), "was not imported", &path, &doc)) {
        return;
    }
    if (doc.record && doc.record->version && loadedHeader.valid && *doc.record->version != loadedHeader.version) {
        const auto answer = QMessageBox::question(
            this, tr("Different record version"),
            tr("%1 holds settings of record version %2, but the unit keeps version %3. Import them all the same?")
                .arg(displayName(path))
                .arg(*doc.record->version)
                .arg(loadedHeader.version),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            ui->statusbar->showMessage(QString("%1 was not imported").arg(displayName(path)));
            return;
        }
    }

    // The aircraft's identity comes only from a file of this very unit, unless the user says so.
    // With no unit connected the file cannot be shown to be this unit's, so the window asks.
    Settings_t record = formRecord();
    const bool unitKnown = comms != nullptr && comms->isConnected();
    operations::FileValues taken = operations::values_from_file(
        doc, unitKnown ? std::optional<uint32_t>(unit.serial) : std::nullopt, record, false);
    if (!taken.identity_kept.empty() && askCopyIdentity(taken)) {
        taken = operations::values_from_file(doc, std::nullopt, record, true);
    }
    const bool identityKept = !taken.identity_kept.empty();

    const int changed = putInForm(record, taken.values);
    const QString kept = identityKept ? QString(", keeping the registration and ICAO address") : QString();
    if (changed == 0) {
        ui->statusbar->showMessage(QString("No setting in %1 differs from the form%2").arg(displayName(path), kept));
    } else {
        ui->statusbar->showMessage(
            QString("Imported %1 changed value(s) from %2%3 - press Update and Save to send them to the EFIS")
                .arg(changed)
                .arg(displayName(path), kept));
    }
}

bool MainWindow::askCopyIdentity(const operations::FileValues& taken)
{
    const QString text = taken.origin == operations::FileOrigin::NoUnit
                             ? tr("This file names no unit. Copy its registration and ICAO address too?")
                             : tr("This file is from another unit (%1). Copy its registration and ICAO address too?")
                                   .arg(QString::fromStdString(settings_file::hex32(taken.file_serial)));
    QMessageBox box(QMessageBox::Question, tr("Aircraft identity"), text, QMessageBox::NoButton, this);
    QPushButton* copy = box.addButton(tr("Copy"), QMessageBox::AcceptRole);
    QPushButton* keep = box.addButton(tr("Keep"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    return box.clickedButton() == copy;
}

void MainWindow::onCompareSettingsTriggered()
{
    QString path;
    settings_file::Document doc;
    if (!openSettingsFile(tr("Compare with File"), "could not be compared", &path, &doc)) {
        return;
    }
    const Settings_t record = formRecord();
    const settings_file::Values form = settings_file::values_of(record);
    const auto differing = settings_file::differences(doc.settings, record);

    QDialog dialog(this);
    dialog.setWindowTitle(tr("Compare Settings"));
    auto* layout = new QVBoxLayout(&dialog);
    if (differing.empty()) {
        auto* same = new QLabel(tr("The form and the file hold the same settings"), &dialog);
        same->setObjectName("label_compare_same");
        layout->addWidget(same);
    } else {
        auto* table = new QTableWidget(static_cast<int>(differing.size()), 3, &dialog);
        table->setObjectName("table_compare");
        table->setHorizontalHeaderLabels({tr("Setting"), tr("Form"), tr("File")});
        table->verticalHeader()->hide();
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        int row = 0;
        for (const settings_file::Setting* s : differing) {
            table->setItem(row, 0, new QTableWidgetItem(QString::fromUtf8(s->name)));
            table->setItem(
                row, 1,
                new QTableWidgetItem(QString::fromStdString(settings_file::setting_text(*s, &form.word[s->first]))));
            table->setItem(row, 2,
                           new QTableWidgetItem(
                               QString::fromStdString(settings_file::setting_text(*s, &doc.settings.word[s->first]))));
            ++row;
        }
        table->setSelectionMode(QAbstractItemView::NoSelection);
        table->setFocusPolicy(Qt::NoFocus);
        table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
        table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
        table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
        table->resizeRowsToContents();
        layout->addWidget(table);
        dialog.resize(720, 360);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.exec();
}
