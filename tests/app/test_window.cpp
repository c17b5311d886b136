// The window's fixed layout, which every part binds to by object name, and finding the unit: what
// the status bar says until it can be had, the first look that loads it, and unsent edits never
// replaced without the user's leave.
#include "operations/operations.h"
#include "tests/app/app_tests.h"

using namespace app_tests;

namespace {

const QString kNoUnit = "Failed to connect to EFIS via USB or CAN FD - please check connections";

// Each class, then the names of its objects (the labels' and layouts' aside).
const char* const kObjects[] = {
    "QWidget centralwidget tab_settings tab_update tab_airportDB tab_cal",
    "QDoubleSpinBox min_volt_warn_value max_volt_warn_value min_volt_alert_value max_volt_alert_value "
    "roll_corr_spinbox pitch_corr_spinbox",
    "QSpinBox spinBox_vmin spinBox_vs0 spinBox_vs1 spinBox_vfe spinBox_vn0 spinBox_vne spinBox_vref spinBox_vlo",
    "QPushButton pushButton_load pushButton_update pushButton_save color_picker_sky0 color_picker_sky1 "
    "color_picker_ground0 color_picker_ground1 color_picker_app_indi color_picker_gear color_picker_airplane "
    "color_picker_green color_picker_yellow color_picker_red pushButton_browse pushButton_start_update "
    "pushButton_reboot pushButton_browse_airports pushButton_start_airport pushButton_start_Pt_zerocal",
    "QComboBox comboBox_reg_prefix comboBox_emitter_cat comboBox_map_view comboBox_airspeed comboBox_altitude "
    "comboBox_pressure comboBox_temp comboBox_term_res",
    "QPlainTextEdit text_registration_num text_icao",
    "QSlider backlight_slider text_bg_alpha_slider",
    "QRadioButton radioButton_use_icao radioButton_rand_icao",
    "QTextEdit text_firmware_file text_firmware_file_2",
    "QProgressBar progressBar_firmware progressBar_airports progressBar_Pt_zeropoint",
    "QAction actionReconnect actionExportSettings actionImportSettings actionCompareSettings",
    "QFrame frame frame_2 frame_3",
    "QTabWidget tabWidget",
    "QCheckBox checkBox_keep_settings",
    "QListWidget listWidget_update_steps",
    "QMenuBar menubar",
    "QMenu menuFile",
    "QStatusBar statusbar",
    "QButtonGroup buttonGroup"};

// How many of the unit's controls are on.
int controls_on(MainWindow& w)
{
    int on = 0;
    for (const char* name : {"pushButton_load", "pushButton_update", "pushButton_save", "pushButton_reboot",
                             "pushButton_start_update", "pushButton_start_airport"}) {
        on += child<QWidget>(w, name)->isEnabled() ? 1 : 0;
    }
    return on;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void names_tabs_and_menu();
    void until_the_unit_can_be_had_data();
    void until_the_unit_can_be_had();
    void edits_are_kept_unless_the_user_agrees();
};

void WindowTest::names_tabs_and_menu()
{
    const auto w = support::open_window();
    for (const char* objects : kObjects) {
        const QStringList names = QString(objects).split(' ');
        for (const QString& name : names.mid(1)) {
            const QList<QObject*> found = w->findChildren<QObject*>(name);
            QVERIFY2(found.size() == 1 && found[0]->metaObject()->className() == names[0], qPrintable(name));
        }
    }
    QCOMPARE(w->windowTitle(), QString("Zephrel EFIS Config"));
    QCOMPARE(child<QTabWidget>(*w, "tabWidget")->tabText(3), QString("Calibrations"));
    QStringList menu;
    for (const QAction* a : child<QMenu>(*w, "menuFile")->actions()) {
        menu << (a->isSeparator() ? "-" : a->objectName() + " " + a->text());
    }
    QCOMPARE(menu, (QStringList{"actionReconnect Reconnect to EFIS", "-", "actionExportSettings Export Settings...",
                                "actionImportSettings Import Settings...", "actionCompareSettings Compare with File...",
                                "actionSettingsHistory Settings History..."}));
    // The uploads wait for their files; passing over menu items keeps the outcome on the status bar.
    QCOMPARE(controls_on(*w), 4);
    QStatusTipEvent tip("");
    QCoreApplication::sendEvent(w.get(), &tip);
    QCOMPARE(status(*w), kNoUnit);
}

void WindowTest::until_the_unit_can_be_had_data()
{
    QTest::addColumn<QString>("status");
    QTest::newRow("no unit") << kNoUnit;
    QTest::newRow("cannot be opened") << "Error: The EFIS unit was found but could not be opened (Permission denied) - "
                                         "install the udev rule or check the permissions of its device";
    QTest::newRow("held by another program")
        << QString("Error: The EFIS is in use by another program (efis-cli, pid %1)")
               .arg(QCoreApplication::applicationPid());
}

void WindowTest::until_the_unit_can_be_had()
{
    QFETCH(QString, status);
    const QByteArray row = QTest::currentDataTag();
    auto unit = support::plug_demo_unit();
    operations::LockAttempt other = operations::take_unit_lock(operations::listed_units().at(0).path, "efis-cli");
    if (row != "held by another program") {
        other.lock.release();
    }
    if (row == "no unit") {
        sim::unplug_all();
    }
    sim::refuse_opens(row == "cannot be opened" ? L"Permission denied" : L"");
    auto w = support::open_window();
    look(*w);
    QCOMPARE(support::status(*w), status);
    QVERIFY(unit->requests().empty());
    QMetaObject::invokeMethod(w.get(), "onLoadClicked");
    QCOMPARE(support::status(*w), QString("Error: No communication interface connected (USB HID or CAN FD)"));

    // Once it can be had, the next look connects and loads it.
    unit->load_settings(with(demo_record(), {{VNE_INDEX, 170}}));
    sim::refuse_opens(L"");
    other.lock.release();
    if (row == "no unit") {
        sim::plug(unit);
    }
    look(*w);
    QCOMPARE(support::status(*w), kLoaded);
    QCOMPARE(shown(*w, "spinBox_vne"), QString("170"));
}

void WindowTest::edits_are_kept_unless_the_user_agrees()
{
    auto [unit, w] = open_on();
    edit(*w, "spinBox_vs1", "61");
    unit->unplug_cable();
    look(*w);
    QCOMPARE(status(*w), QString("Error: The EFIS was disconnected - it is reconnected when it is plugged in again"));
    QCOMPARE(controls_on(*w), 0);
    QCOMPARE(sim::open_handle_count(), 0);

    // Back with edits in the form, it is connected; Cancel keeps them, and nothing is read.
    unit->plug_in_cable();
    unit->clear_log();
    {
        support::MessageBoxes cancel("Cancel");
        look(*w);
        look(*w);
        QCOMPARE(cancel.seen.size(), 1);
        QCOMPARE(cancel.seen[0].title + ": " + cancel.seen[0].text,
                 QString("Unsent changes: The form holds changes that were not sent to the EFIS. Reconnecting loads "
                         "the settings from the unit and discards them."));
        QCOMPARE(cancel.seen[0].buttons, (QStringList{"Reconnect", "Cancel"}));
        QCOMPARE(cancel.seen[0].defaultButton, QString("Cancel"));
    }
    QCOMPARE(status(*w), QString("Connected via USB HID"));
    QCOMPARE(controls_on(*w), 4);
    QCOMPARE(support::count_requests(*unit, 0x370), size_t{0});
    QCOMPARE(shown(*w, "spinBox_vs1"), QString("61"));

    support::MessageBoxes reconnect("Reconnect");
    child<QAction>(*w, "actionReconnect")->trigger();
    QCOMPARE(reconnect.seen.size(), 1);
    QCOMPARE(status(*w), kLoaded);
    QVERIFY(w->changedValues().empty());
    QCOMPARE(shown(*w, "spinBox_vs1"), QString("50"));
}

APP_TEST(WindowTest);
#include "test_window.moc"
