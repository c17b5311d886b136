#include "app/mainwindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "app/log_handler.h"
#include "app/registration_prefix.h"
#include "comms/comms.h"
#include "operations/operations.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), comms(nullptr), firmwareUploadThread(nullptr),
      airportUploadThread(nullptr)
{
    qInstallMessageHandler(customMessageHandler);
    ui->setupUi(this);
    setupHelpMenu();
    ui->statusbar->showMessage("Initializing...");

    for (int i = 0; i < NUM_REGISTRATION_PREFIXES; ++i) {
        ui->comboBox_reg_prefix->addItem(QString::fromLatin1(REGISTRATION_PREFIXES[i]));
    }

    ui->text_firmware_file->setEnabled(false);
    ui->pushButton_start_update->setEnabled(false);
    ui->progressBar_firmware->setEnabled(false);
    connect(ui->pushButton_browse, &QPushButton::clicked, this, &MainWindow::onBrowseClicked);
    connect(ui->pushButton_start_update, &QPushButton::clicked, this, &MainWindow::onStartUpdateClicked);
    setUpUpdateSteps();
    setUpSettingsHistory();

    ui->text_firmware_file_2->setEnabled(false);
    ui->pushButton_start_airport->setEnabled(false);
    ui->progressBar_airports->setEnabled(false);
    connect(ui->pushButton_browse_airports, &QPushButton::clicked, this, &MainWindow::onBrowseAirportsClicked);
    connect(ui->pushButton_start_airport, &QPushButton::clicked, this, &MainWindow::onStartAirportClicked);

    connect(ui->pushButton_save, &QPushButton::clicked, this, &MainWindow::onSaveClicked);
    connect(ui->pushButton_load, &QPushButton::clicked, this, &MainWindow::onLoadClicked);

    connect(ui->color_picker_sky0, &QPushButton::clicked, this, &MainWindow::onSkyColorPickerClicked);
    connect(ui->color_picker_sky1, &QPushButton::clicked, this, &MainWindow::onSkyColor1PickerClicked);
    connect(ui->color_picker_ground0, &QPushButton::clicked, this, &MainWindow::onGroundColorPickerClicked);
    connect(ui->color_picker_ground1, &QPushButton::clicked, this, &MainWindow::onGroundColor1PickerClicked);
    connect(ui->color_picker_app_indi, &QPushButton::clicked, this, &MainWindow::onApproachIndiColorPickerClicked);
    connect(ui->color_picker_airplane, &QPushButton::clicked, this, &MainWindow::onAirplaneColorPickerClicked);
    connect(ui->color_picker_green, &QPushButton::clicked, this, &MainWindow::onGreenArcColorPickerClicked);
    connect(ui->color_picker_yellow, &QPushButton::clicked, this, &MainWindow::onYellowArcColorPickerClicked);
    connect(ui->color_picker_red, &QPushButton::clicked, this, &MainWindow::onRedArcColorPickerClicked);
    connect(ui->color_picker_gear, &QPushButton::clicked, this, &MainWindow::onGearIndiColorPickerClicked);

    connect(ui->comboBox_airspeed, &QComboBox::currentIndexChanged, this, &MainWindow::onUnitsChanged);
    connect(ui->comboBox_altitude, &QComboBox::currentIndexChanged, this, &MainWindow::onUnitsChanged);
    connect(ui->comboBox_temp, &QComboBox::currentIndexChanged, this, &MainWindow::onUnitsChanged);
    connect(ui->comboBox_pressure, &QComboBox::currentIndexChanged, this, &MainWindow::onUnitsChanged);

    connect(ui->spinBox_vmin, &QSpinBox::valueChanged, this, &MainWindow::onVminChanged);
    connect(ui->spinBox_vs0, &QSpinBox::valueChanged, this, &MainWindow::onVs0Changed);
    connect(ui->spinBox_vs1, &QSpinBox::valueChanged, this, &MainWindow::onVs1Changed);
    connect(ui->spinBox_vfe, &QSpinBox::valueChanged, this, &MainWindow::onVfeChanged);
    connect(ui->spinBox_vn0, &QSpinBox::valueChanged, this, &MainWindow::onVn0Changed);
    connect(ui->spinBox_vne, &QSpinBox::valueChanged, this, &MainWindow::onVneChanged);
    connect(ui->spinBox_vref, &QSpinBox::valueChanged, this, &MainWindow::onVrefChanged);
    connect(ui->spinBox_vlo, &QSpinBox::valueChanged, this, &MainWindow::onVloChanged);

    connect(ui->min_volt_warn_value, &QDoubleSpinBox::valueChanged, this, &MainWindow::onMinVoltChanged);
    connect(ui->max_volt_warn_value, &QDoubleSpinBox::valueChanged, this, &MainWindow::onMaxVoltChanged);
    connect(ui->min_volt_alert_value, &QDoubleSpinBox::valueChanged, this, &MainWindow::onMinVoltAlertChanged);
    connect(ui->max_volt_alert_value, &QDoubleSpinBox::valueChanged, this, &MainWindow::onMaxVoltAlertChanged);

    connect(ui->comboBox_reg_prefix, &QComboBox::currentTextChanged, this, &MainWindow::onRegistrationChanged);
    connect(ui->text_registration_num, &QPlainTextEdit::textChanged, this, &MainWindow::onRegistrationChanged);
    connect(ui->text_icao, &QPlainTextEdit::textChanged, this, &MainWindow::onOwnshipIcaoChanged);

    connect(ui->comboBox_emitter_cat, &QComboBox::currentIndexChanged, this, &MainWindow::onEmitterCatChanged);
    connect(ui->comboBox_map_view, &QComboBox::currentIndexChanged, this, &MainWindow::onMapViewChanged);
    connect(ui->comboBox_term_res, &QComboBox::currentIndexChanged, this, &MainWindow::onTermResChanged);

    connect(ui->radioButton_use_icao, &QRadioButton::toggled, this, &MainWindow::onIcaoAddressTypeChanged);
    connect(ui->radioButton_rand_icao, &QRadioButton::toggled, this, &MainWindow::onIcaoAddressTypeChanged);

    connect(ui->backlight_slider, &QSlider::valueChanged, this, &MainWindow::onBacklightBrightnessChanged);
    connect(ui->text_bg_alpha_slider, &QSlider::valueChanged, this, &MainWindow::onTextBgAlphaChanged);

    connect(ui->roll_corr_spinbox, &QDoubleSpinBox::valueChanged, this, &MainWindow::onRollCorrectionChanged);
    connect(ui->pitch_corr_spinbox, &QDoubleSpinBox::valueChanged, this, &MainWindow::onPitchCorrectionChanged);

    connectCannotShowMarks();

    connect(ui->pushButton_update, &QPushButton::clicked, this, &MainWindow::onUpdateClicked);
    connect(ui->pushButton_reboot, &QPushButton::clicked, this, &MainWindow::onRebootClicked);

    connect(ui->actionReconnect, &QAction::triggered, this, &MainWindow::onReconnectTriggered);
    connect(ui->actionExportSettings, &QAction::triggered, this, &MainWindow::onExportSettingsTriggered);
    connect(ui->actionImportSettings, &QAction::triggered, this, &MainWindow::onImportSettingsTriggered);
    connect(ui->actionCompareSettings, &QAction::triggered, this, &MainWindow::onCompareSettingsTriggered);

    QThread::msleep(100);

    comms = new CommsManager();
    setUpUnitMenu();
    setUpCalibrationPage();
    startWatching();
    const operations::Connection c = connectUnit();
    if (!c.ok()) {
        qDebug() << "Failed to establish connection via USB HID or CAN FD";
        showConnectionFailure(c);
        return;
    }
    showConnection();
    loadConfigFromDevice();
}

void MainWindow::onReconnectTriggered()
{
    // The workers hold the link for a whole run; it must not be reopened under them.
    if (transferRunning()) {
        ui->statusbar->showMessage("Error: A transfer is in progress - wait until it has finished");
        return;
    }
    if (!changed_values.empty() && !confirmDiscardingEdits()) {
        return;
    }

    const operations::Connection c = connectUnit();
    if (!c.ok()) {
        qDebug() << "Failed to establish connection via USB HID or CAN FD";
        showConnectionFailure(c);
        return;
    }
    startWithUnit();
}

// A unit just connected: its actions on, who it is shown, its settings in the form.
void MainWindow::startWithUnit()
{
    setUnitActionsEnabled(true);
    showConnection();
    loadConfigFromDevice();
    remindUnfinishedUpdate();
}

void MainWindow::showConnectionFailure(const operations::Connection& c)
{
    if (c.step == operations::ConnectStep::NotOpenable) {
        // Listed but not openable: on Linux almost always the missing udev rule, which no amount of
        // checking cables mends.
        ui->statusbar->showMessage(QString("Error: The EFIS unit was found but could not be opened (%1) - "
                                           "install the udev rule or check the permissions of its device")
                                       .arg(QString::fromStdString(c.open_error)));
    } else if (c.step == operations::ConnectStep::InUse) {
        ui->statusbar->showMessage(QString("Error: The EFIS is in use by another program (%1, pid %2)")
                                       .arg(QString::fromStdString(c.holder.program))
                                       .arg(c.holder.pid));
    } else if (c.step == operations::ConnectStep::LockFailed) {
        ui->statusbar->showMessage(QString("Error: The EFIS unit was not opened: its lock could not be taken (%1)")
                                       .arg(QString::fromStdString(c.lock_error)));
    } else {
        ui->statusbar->showMessage("Failed to connect to EFIS via USB or CAN FD - please check connections");
    }
}

void MainWindow::showConnection()
{
    const COMM_INTERFACE_t active = comms->getActiveInterface();
    USBHID* usb = comms->getUSBHID();
    CANFD* can = comms->getCANFD();
    if (usb != nullptr && usb->isConnected() && can != nullptr && can->isConnected()) {
        ui->statusbar->showMessage("Connected via both USB HID and CAN FD");
    } else if (active == USB_HID) {
        ui->statusbar->showMessage("Connected via USB HID");
    } else if (active == CAN_FD) {
        ui->statusbar->showMessage("Connected via CAN FD");
    }
}

bool MainWindow::event(QEvent* event)
{
    // The status bar carries every outcome, with no time-out. Menus announce the status tip of
    // each item they pass over (none here), which would wipe it; so tips are not shown.
    if (event->type() == QEvent::StatusTip) {
        return true;
    }
    return QMainWindow::event(event);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // An upload cannot be cancelled half way; leaving the window would hide it while it goes on,
    // and ending the program would cut it off with the flash partly written.
    if (transferRunning()) {
        QMessageBox::warning(this, tr("A transfer is in progress"),
                             guidedUpdateRunning
                                 ? tr("Closing now would stop the firmware update part way: the EFIS could be left "
                                      "without its settings. The window can be closed when the update has finished.")
                                 : tr("Closing now would leave the unit's flash partly written. The window can be "
                                      "closed when the transfer has finished."),
                             QMessageBox::Ok);
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

MainWindow::~MainWindow()
{
    // A worker still running holds a pointer to comms: the link must outlive it. The first wait
    // is bounded as usual; a transfer that is still going after it is waited out, never cut off.
    for (QPointer<QThread>* t : {&firmwareUploadThread, &airportUploadThread}) {
        if (!t->isNull() && (*t)->isRunning()) {
            if (!(*t)->wait(QDeadlineTimer(120000))) {
                qDebug() << "Transfer still running; waiting for it to end before closing the link";
                (*t)->wait();
            }
        }
    }

    if (comms != nullptr) {
        delete comms;
        comms = nullptr;
    }
    delete ui;
}
