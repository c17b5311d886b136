// The application's one window: the settings form, the two upload tabs and the connection to the
// unit it owns.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QThread>

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "efis_shared/settings_types.h"
#include "firmware_ops/firmware_ops.h"
#include "operations/operations.h"

class CommsManager;
namespace settings_file {
struct Document;
}
class QDoubleSpinBox;
class QLabel;
class QMenu;
class QPushButton;
class QSpinBox;
class QTimer;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    void applyFirmwareUploadProgress(int bar_0_10000, const QString& status);
    void applyAirportUploadProgress(int bar_0_10000, const QString& status);

    // For callers that need to observe the window (tests, diagnostics).
    const std::set<settings_struct_index>& changedValues() const { return changed_values; }
    CommsManager* commsManager() const { return comms; }
    bool transferRunning() const { return !firmwareUploadThread.isNull() || !airportUploadThread.isNull(); }
    // How long the guided firmware update waits for the unit to come back after its restart.
    void setUpdateRestartTimeout(std::chrono::milliseconds timeout) { updateRestartTimeout = timeout; }
    // The unit connected, else the one the window holds to or was last connected to; none before any.
    std::optional<uint32_t> unitSerial() const;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    void onSaveClicked();
    void onLoadClicked();
    void onBrowseClicked();
    void onStartUpdateClicked();
    void onBrowseAirportsClicked();
    void onStartAirportClicked();
    void onSkyColorPickerClicked();
    void onSkyColor1PickerClicked();
    void onGroundColorPickerClicked();
    void onGroundColor1PickerClicked();
    void onApproachIndiColorPickerClicked();
    void onAirplaneColorPickerClicked();
    void onGreenArcColorPickerClicked();
    void onYellowArcColorPickerClicked();
    void onRedArcColorPickerClicked();
    void onGearIndiColorPickerClicked();
    void onUnitsChanged();
    void onVminChanged(int value);
    void onVs0Changed(int value);
    void onVs1Changed(int value);
    void onVfeChanged(int value);
    void onVn0Changed(int value);
    void onVneChanged(int value);
    void onVrefChanged(int value);
    void onVloChanged(int value);
    void onMinVoltChanged(double value);
    void onMaxVoltChanged(double value);
    void onMinVoltAlertChanged(double value);
    void onMaxVoltAlertChanged(double value);
    void onRegistrationChanged();
    void onSkyColor0Changed();
    void onSkyColor1Changed();
    void onGroundColor0Changed();
    void onGroundColor1Changed();
    void onApproachIndiColorChanged();
    void onAirplaneColorChanged();
    void onGreenArcColorChanged();
    void onYellowArcColorChanged();
    void onRedArcColorChanged();
    void onGearIndiColorChanged();
    void onBacklightBrightnessChanged(int value);
    void onTextBgAlphaChanged(int value);
    void onRollCorrectionChanged(double value);
    void onPitchCorrectionChanged(double value);
    void onOwnshipIcaoChanged();
    void onEmitterCatChanged(int index);
    void onMapViewChanged(int index);
    void onTermResChanged(int index);
    void onIcaoAddressTypeChanged();
    void onUpdateClicked();
    void onRebootClicked();

    // File menu: reconnecting, and settings files.
    void onReconnectTriggered();
    void onExportSettingsTriggered();
    void onImportSettingsTriggered();
    void onCompareSettingsTriggered();

    // The Calibrations page: the calibration record read from the unit, shown and exported.
    void onReadCalibrationClicked();
    void onExportCalibrationClicked();

private:
    void startWithUnit();
    int putInForm(Settings_t record, const settings_file::Values& values);
    struct FormView;
    static constexpr size_t kColorCount = 10;
    struct ColorField {
        QPushButton* button;
        settings_struct_index index;
    };

    void updateUIFromConfig();
    void updateConfigFromUI();
    // A record value the form cannot show as it is: the setting (by its first index) and the
    // widgets that show it in their nearest way.
    struct Unshowable {
        settings_struct_index index;
        std::vector<QWidget*> widgets;
    };
    std::vector<Unshowable> unshowableValues(const Settings_t& record, const FormView& view) const;
    // Frames the widgets of each such value in red and says in their tool tip what the unit holds;
    // every other field's mark goes.
    void markValuesFormCannotShow(const std::vector<Unshowable>& values);
    // Ends the mark of the field `w` belongs to, when the user edits it.
    void connectCannotShowMarks();
    void clearCannotShowMark(std::initializer_list<QWidget*> widgets);
    // The form read into `record` as Save reads it into user_config: only fields whose widget
    // differs from what the record shows are stored.
    void readFormInto(Settings_t* record) const;
    FormView formViewOf(const Settings_t& record) const;
    std::array<ColorField, kColorCount> colorFields() const;
    std::array<QSpinBox*, 8> vspeedBoxes() const;
    std::array<QDoubleSpinBox*, 4> voltBoxes() const;
    void loadConfigFromDevice();
    uint32_t ownshipIcaoFromIcaoField() const;
    void updateConfigValueAndSend(settings_struct_index index, uint32_t value);
    void updateConfigValueLocal(settings_struct_index index, uint32_t value);

    // Connects (closing any link first and releasing its lock) and keeps who answered and the lock.
    operations::Connection connectUnit();
    // The "Unsent changes" question: true when the user lets a load discard the unsent edits.
    // Without a consequence, that of File > Reconnect.
    bool confirmDiscardingEdits(const QString& consequence = QString(), const QString& button = QString());
    // Watching the unit: looking for one every second while none is connected, checking every
    // second that the connected one is still there; never while a transfer runs.
    void startWatching();
    void onWatchTick();
    void watchConnection(const std::vector<operations::FoundUnit>& listed);
    void unitDisconnected();
    // The Unit menu and the status bar's unit label: the units there are, the one connected, and
    // choosing another, to which the window then holds.
    void setUpUnitMenu();
    void refreshUnitMenu();
    void chooseUnit(uint32_t serial);
    void showUnitLabel();
    // The settings, reboot and upload buttons (an upload's only when its file is chosen).
    void setUnitActionsEnabled(bool enabled);
    // The status of a connection attempt that failed, and of one that succeeded.
    void showConnectionFailure(const operations::Connection& c);
    void showConnection();
    // Guard of every settings transaction: a connected link that no transfer is using.
    bool settingsLinkAvailable();
    bool pickColor(QPushButton* button, uint32_t current, const char* caption, int r, int g, int b);
    void colorChanged(QPushButton* button, settings_struct_index index);
    void setSettingsActionsEnabled(bool enabled);
    // The start actions' checks, in order; false (with the status saying why) when nothing may start.
    bool transferMayStart(bool firmware);
    void startTransfer(bool firmware);
    void finishTransfer(bool firmware, const TransferResult& result);

    // The guided firmware update (backup, upload, restart, restore): its step list, the question
    // before it, the run on a worker thread and the result worded at its end.
    void setUpUpdateSteps();
    void startGuidedUpdate();
    bool askUpdate(const operations::UpdateImage& image);
    void updateStepStarted(operations::UpdateStep step);
    void updateStepEnded(operations::UpdateStep step, bool ok);
    void finishGuidedUpdate(const operations::UpdateResult& result);
    int addUpdateLine(const QString& text, bool problem = false);
    void setUpdateLine(int row, const QString& text, bool problem = false);
    // Asks the connected unit which bank it would write, for the update question; only while no
    // transfer uses the link.
    void askFirmwareBank();
    // After an update that lost the unit: once it is connected again, says that its settings were
    // not restored and where the backup is.
    void remindUnfinishedUpdate();

    void setUpCalibrationPage();

    // Settings files: where the dialogs start, and the form as a record (read as Save reads it,
    // into a copy).
    void setUpSettingsHistory();
    void showSettingsHistory();
    void putHistoryEntryInForm(const operations::HistoryEntry& entry);
    operations::HistoryEntryFile startSaveHistoryEntry(bool* refused);

    QString settingsFileDialogDir() const;
    Settings_t formRecord() const;
    // Asks for a settings file and reads it; false when cancelled, or refused (the status then says
    // "Error: <file> <refusal>: <reason>").
    bool openSettingsFile(const QString& caption, const char* refusal, QString* path, settings_file::Document* doc);
    // Import and Update ask before they take what may hurt: whether to copy the aircraft's
    // identity from a file of another unit, or of none; whether to send settings that are not
    // plausible together (`broken` says why).
    bool askCopyIdentity(const operations::FileValues& taken);
    bool askSendImplausible(const std::vector<std::string>& broken);

    // The Help menu (help_menu.cpp): the connection checks, the support report and About; and the
    // status bar's texts in the program's log.
    void setupHelpMenu();
    operations::DoctorOptions checkOptions() const;
    void showConnectionCheck();
    void saveSupportReport();
    void showAbout();

    Ui::MainWindow* ui;
    QString firmwareFilePath;
    QString airportDbFilePath;
    CommsManager* comms;
    operations::UnitIdentity unit; // who answered the last connection; zero when none did
    operations::UnitLock unitLock; // held while the unit is connected
    QTimer* watchTimer = nullptr;
    bool watching = false; // a look is under way (it may ask a question); the next tick waits

    // The Unit menu and label.
    QMenu* unitMenu = nullptr;
    QLabel* unitLabel = nullptr;
    std::vector<std::string> listedPaths;                  // the units the last look found
    std::map<std::string, operations::FoundUnit> lookedAt; // the units the menu last showed, by path
    std::optional<uint32_t> chosenSerial; // chosen in the Unit menu: the only unit connected from then on
    std::optional<uint32_t> lastSerial;   // the unit last connected
    std::optional<uint32_t> formSerial;   // the unit whose settings the form last loaded

    std::set<settings_struct_index> changed_values;
    // The record header as the last load read it (for the files the File menu writes and reads).
    struct LoadedHeader {
        bool valid = false;
        uint32_t version = 0;
        uint32_t num_elements = 0;
        uint32_t checksum = 0;
    } loadedHeader;
    QString lastSettingsFile;
    // The record the unit holds committed, as last loaded or saved: what a Save's history entry
    // keeps as the record before it.
    std::optional<Settings_t> unitRecord;
    std::set<settings_struct_index> editedSinceStart; // edited or imported: what an Export with nothing loaded writes
    QPointer<QThread> firmwareUploadThread;
    QPointer<QThread> airportUploadThread;

    // The guided firmware update.
    bool guidedUpdateRunning = false;                      // firmwareUploadThread runs it
    std::chrono::milliseconds updateRestartTimeout{60000}; // the wait for the restarted unit
    QString firmwareBank;                                  // the bank the unit named, or empty
    QString updateBackupPath;                              // the running update's backup
    int updateStepRow = -1;                                // the running step's line
    // The calibration as the last read took it (with the unit it came from), for the export.
    std::optional<settings_file::CalibrationDocument> calibrationRead;
    struct UnfinishedUpdate {
        uint32_t serial = 0;
        QString backup; // empty: none
    } unfinishedUpdate;
};
