// The settings history in the window: a Save is recorded before the unit commits, and File >
// Settings History... lists the connected unit's entries, one of which can be put in the form.
#include <QAction>
#include <QDebug>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "comms/comms.h"
#include "efis_shared/get_set.h"
#include "ui_mainwindow.h"

void MainWindow::setUpSettingsHistory()
{
    QAction* history = new QAction(tr("Settings History..."), this);
    history->setObjectName("actionSettingsHistory");
    ui->menuFile->insertAction(nullptr, history);
    connect(history, &QAction::triggered, this, &MainWindow::showSettingsHistory);
}

operations::HistoryEntryFile MainWindow::startSaveHistoryEntry(bool* refused)
{
    *refused = false;
    // With no record loaded, the unit says what it holds; values Update sent since it was last
    // committed are among them then, and so missing from the entry's changes.
    Settings_t before{};
    std::optional<settings_file::RecordInfo> header;
    if (unitRecord) {
        before = *unitRecord;
        if (loadedHeader.valid) {
            header = settings_file::RecordInfo{loadedHeader.version, loadedHeader.num_elements, loadedHeader.checksum};
        }
    } else {
        const operations::RecordRead read = operations::read_settings(comms);
        if (!read.ok()) {
            qDebug() << "Save refused: the record before it could not be read for the settings history";
            ui->statusbar->showMessage("Error: The EFIS did not answer when its settings were read for the settings "
                                       "history - nothing was saved");
            *refused = true;
            return {};
        }
        before = read.record;
        header = operations::record_info(read);
    }
    operations::HistoryEntryFile entry =
        operations::start_history_entry(unit, before, header, user_config, {true, "efis-config", "Save"});
    if (!entry.written && !entry.error.empty()) {
        qDebug() << "Save refused: the settings history cannot be written:" << QString::fromStdString(entry.error);
        ui->statusbar->showMessage(QString("Error: The settings history cannot be written (%1) - nothing was saved")
                                       .arg(QString::fromStdString(entry.error)));
        *refused = true;
    }
    return entry;
}

void MainWindow::showSettingsHistory()
{
    if (comms == nullptr || !comms->isConnected()) {
        ui->statusbar->showMessage("Error: No EFIS connected - connect one to see its settings history");
        return;
    }
    const std::vector<operations::HistoryEntry> entries = operations::list_history(unit.serial);

    QDialog dialog(this);
    dialog.setObjectName("dialog_history");
    dialog.setWindowTitle(tr("Settings History"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* table = new QTableWidget(static_cast<int>(entries.size()), 3, &dialog);
    table->setObjectName("table_history");
    table->setHorizontalHeaderLabels({tr("Time"), tr("Program"), tr("Changes")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    int row = 0;
    for (const operations::HistoryEntry& e : entries) {
        const std::string outcome = e.outcome();
        QString changes = QString::fromStdString(operations::history_changes_text(e.change));
        if (outcome != "committed") {
            changes += QString(" (%1)").arg(QString::fromStdString(outcome));
        }
        const QString command = QString::fromStdString(e.change.value("command", std::string()));
        table->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(e.time)));
        table->setItem(row, 1, new QTableWidgetItem(QString::fromStdString(e.change.value("program", std::string()))));
        table->setItem(row, 2, new QTableWidgetItem(changes));
        for (int column = 0; column < 3; ++column) {
            table->item(row, column)->setToolTip(command);
        }
        ++row;
    }
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    layout->addWidget(table);
    if (entries.empty()) {
        auto* none = new QLabel(tr("No settings of this EFIS were committed from this computer yet"), &dialog);
        none->setObjectName("label_history_empty");
        layout->addWidget(none);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QPushButton* put = buttons->addButton(tr("Put in Form"), QDialogButtonBox::ActionRole);
    put->setObjectName("button_history_put");
    put->setEnabled(false);
    connect(table, &QTableWidget::itemSelectionChanged, put,
            [table, put] { put->setEnabled(!table->selectedItems().isEmpty()); });
    connect(put, &QPushButton::clicked, &dialog, [&] {
        const int selected = table->currentRow();
        if (selected >= 0 && selected < static_cast<int>(entries.size())) {
            putHistoryEntryInForm(entries[static_cast<size_t>(selected)]);
            dialog.accept();
        }
    });
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(820, 380);
    dialog.exec();
}

void MainWindow::putHistoryEntryInForm(const operations::HistoryEntry& entry)
{
    const QString time = QString::fromStdString(entry.time);
    const std::optional<settings_file::RecordInfo>& header = entry.before.record;
    if (header && header->version && loadedHeader.valid && *header->version != loadedHeader.version) {
        ui->statusbar->showMessage(QString("Error: The entry of %1 holds settings of record version %2, but the EFIS "
                                           "keeps version %3 - nothing was put in the form")
                                       .arg(time)
                                       .arg(*header->version)
                                       .arg(loadedHeader.version));
        return;
    }
    // The entry is this unit's own record: every setting is taken, the identity included.
    const int changed = putInForm(formRecord(), entry.before.settings);
    if (changed == 0) {
        ui->statusbar->showMessage(QString("The form already holds the settings from before %1").arg(time));
    } else {
        ui->statusbar->showMessage(
            QString("Put %1 changed value(s) from before %2 in the form - press Update and Save to send them to the "
                    "EFIS")
                .arg(changed)
                .arg(time));
    }
}
