// The Calibrations page's calibration record: read from the unit on the settings' transaction
// terms, shown block by block, and exported as efis-cli calibration backup writes it. The tool
// never writes the record.
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include "app/mainwindow.h"
#include "comms/comms.h"
#include "settings_file/settings_file.h"
#include "ui_mainwindow.h"

namespace {

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

void fillTree(QTreeWidget* tree, const settings_file::Calibration& words)
{
    tree->clear();
    for (const settings_file::CalibrationBlockView& b : settings_file::calibration_view(words)) {
        auto* block = new QTreeWidgetItem(tree, {QString::fromUtf8(b.name), b.blank ? QString("blank") : QString()});
        for (const settings_file::CalibrationField* f : b.fields) {
            const uint32_t word = words.at(f->index);
            auto* item = new QTreeWidgetItem(block, {QString::fromUtf8(f->name),
                                                     q(settings_file::calibration_value_text(*f, word)),
                                                     q(settings_file::hex32(word))});
            item->setToolTip(0, QString("index %1").arg(f->index));
        }
    }
    tree->expandAll();
    tree->resizeColumnToContents(0);
    tree->resizeColumnToContents(1);
}

} // namespace

void MainWindow::setUpCalibrationPage()
{
    ui->pushButton_read_calibration->setEnabled(false);
    ui->pushButton_export_calibration->setEnabled(false);
    connect(ui->pushButton_read_calibration, &QPushButton::clicked, this, &MainWindow::onReadCalibrationClicked);
    connect(ui->pushButton_export_calibration, &QPushButton::clicked, this, &MainWindow::onExportCalibrationClicked);
}

void MainWindow::onReadCalibrationClicked()
{
    if (!settingsLinkAvailable()) {
        return;
    }
    const operations::CalibrationRead read = operations::read_calibration(comms);
    if (!read.ok()) {
        // What the tree showed came from an earlier read: it goes, so that nothing shown or
        // exported can be taken for this unit's record.
        calibrationRead.reset();
        ui->treeWidget_calibration->clear();
        ui->pushButton_export_calibration->setEnabled(false);
        qDebug() << "Calibration read failed at" << q(settings_file::calibration_word_name(read.failed_index));
        ui->statusbar->showMessage(QString("Error: Reading the calibration failed at index %1").arg(read.failed_index));
        return;
    }
    calibrationRead = operations::calibration_backup(read, unit);
    fillTree(ui->treeWidget_calibration, read.words);
    ui->pushButton_export_calibration->setEnabled(true);
    qDebug() << "Calibration read from EFIS:" << read.words.size() << "words";
    ui->statusbar->showMessage("Calibration read from EFIS");
}

void MainWindow::onExportCalibrationClicked()
{
    if (!calibrationRead) {
        return;
    }
    QString proposed = "calibration";
    if (calibrationRead->unit && calibrationRead->unit->serial) {
        proposed += QString("-%1").arg(*calibrationRead->unit->serial, 8, 16, QChar('0')).toUpper();
    }
    proposed += "-" + QDate::currentDate().toString("yyyy-MM-dd") + ".json";
    const QString path =
        QFileDialog::getSaveFileName(this, tr("Export Calibration"), QDir(settingsFileDialogDir()).filePath(proposed),
                                     tr("Calibration Files (*.json);;All Files (*)"));
    if (path.isEmpty()) {
        return;
    }
    lastSettingsFile = path;
    std::string error;
    if (!settings_file::write_calibration_document_file(path.toStdString(), *calibrationRead, &error)) {
        qDebug() << "Calibration export failed:" << q(error);
        ui->statusbar->showMessage(QString("Error: Could not write %1: %2").arg(QFileInfo(path).fileName(), q(error)));
        return;
    }
    ui->statusbar->showMessage(QString("Calibration exported to %1").arg(QFileInfo(path).fileName()));
}
