// The widget tree is the contract every other window part binds to by object name: these tests pin the
// names and classes of the generated form, what the user reads on it, its ranges and initial state, and
// the registration prefix table.
#include "app/registration_prefix.h"
#include "ui_mainwindow.h"

#include <QtTest>

#include <QTextDocument>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// Every named object of the form with its class.
// clang-format off
const char* const kObjects[][2] = {
    {"centralwidget", "QWidget"}, {"tabWidget", "QTabWidget"}, {"tab_settings", "QWidget"},
    {"gridLayoutWidget_6", "QWidget"}, {"volt_layout", "QGridLayout"}, {"label_MaxVolt_alarm", "QLabel"},
    {"min_volt_warn_value", "QDoubleSpinBox"}, {"max_volt_warn_value", "QDoubleSpinBox"},
    {"max_volt_alert_value", "QDoubleSpinBox"}, {"label_MaxVolt_warn", "QLabel"}, {"label_MinVolt_warn", "QLabel"},
    {"label_MinVolt_alert", "QLabel"}, {"min_volt_alert_value", "QDoubleSpinBox"}, {"gridLayoutWidget", "QWidget"},
    {"v_speed_layout", "QGridLayout"}, {"label_vs0", "QLabel"}, {"label_vn0", "QLabel"}, {"label_vmin", "QLabel"},
    {"spinBox_vmin", "QSpinBox"}, {"spinBox_vref", "QSpinBox"}, {"label_vne", "QLabel"}, {"spinBox_vne", "QSpinBox"},
    {"label_vfe", "QLabel"}, {"spinBox_vs1", "QSpinBox"}, {"spinBox_vlo", "QSpinBox"}, {"label_vlo", "QLabel"},
    {"spinBox_vn0", "QSpinBox"}, {"spinBox_vs0", "QSpinBox"}, {"label_vref", "QLabel"}, {"spinBox_vfe", "QSpinBox"},
    {"label_vs1", "QLabel"}, {"layoutWidget_2", "QWidget"}, {"btn_layout", "QHBoxLayout"},
    {"pushButton_load", "QPushButton"}, {"pushButton_update", "QPushButton"}, {"pushButton_save", "QPushButton"},
    {"text_registration_num", "QPlainTextEdit"}, {"comboBox_reg_prefix", "QComboBox"},
    {"backlight_slider", "QSlider"}, {"label_brightness", "QLabel"}, {"layoutWidget", "QWidget"},
    {"colors_layout", "QVBoxLayout"}, {"color_picker_sky0", "QPushButton"}, {"color_picker_sky1", "QPushButton"},
    {"color_picker_ground0", "QPushButton"}, {"color_picker_ground1", "QPushButton"},
    {"color_picker_app_indi", "QPushButton"}, {"color_picker_gear", "QPushButton"},
    {"color_picker_airplane", "QPushButton"}, {"color_picker_green", "QPushButton"},
    {"color_picker_yellow", "QPushButton"}, {"color_picker_red", "QPushButton"}, {"layoutWidget_3", "QWidget"},
    {"colors_label_layout", "QVBoxLayout"}, {"sky_top_label", "QLabel"}, {"sky_bottom_label", "QLabel"},
    {"ground_top_label", "QLabel"}, {"ground_bottom_label", "QLabel"}, {"approach_indi_label", "QLabel"},
    {"gear_label", "QLabel"}, {"airplane_label", "QLabel"}, {"green_label", "QLabel"}, {"yellow_label", "QLabel"},
    {"red_label", "QLabel"}, {"gridLayoutWidget_7", "QWidget"}, {"ang_corr_layout", "QGridLayout"},
    {"label_pitch_corr", "QLabel"}, {"label_roll_corr", "QLabel"}, {"pitch_corr_spinbox", "QDoubleSpinBox"},
    {"roll_corr_spinbox", "QDoubleSpinBox"}, {"text_bg_alpha_slider", "QSlider"}, {"label_text_bg_alpha", "QLabel"},
    {"comboBox_emitter_cat", "QComboBox"}, {"label_emitter_cat", "QLabel"}, {"label_icao_num", "QLabel"},
    {"text_icao", "QPlainTextEdit"}, {"label_icao_anon", "QLabel"}, {"radioButton_use_icao", "QRadioButton"},
    {"radioButton_rand_icao", "QRadioButton"}, {"label_map_view", "QLabel"}, {"comboBox_map_view", "QComboBox"},
    {"layoutWidget1", "QWidget"}, {"verticalLayout", "QVBoxLayout"}, {"label_airspeed_units", "QLabel"},
    {"comboBox_airspeed", "QComboBox"}, {"label_altitude_units", "QLabel"}, {"comboBox_altitude", "QComboBox"},
    {"label_pressure_units", "QLabel"}, {"comboBox_pressure", "QComboBox"}, {"label_temp_units", "QLabel"},
    {"comboBox_temp", "QComboBox"}, {"label_map_view_2", "QLabel"}, {"comboBox_term_res", "QComboBox"},
    {"tab_update", "QWidget"}, {"frame", "QFrame"}, {"pushButton_browse", "QPushButton"},
    {"text_firmware_file", "QTextEdit"}, {"pushButton_start_update", "QPushButton"},
    {"progressBar_firmware", "QProgressBar"}, {"pushButton_reboot", "QPushButton"},
    {"checkBox_keep_settings", "QCheckBox"}, {"listWidget_update_steps", "QListWidget"}, {"tab_airportDB", "QWidget"},
    {"frame_2", "QFrame"}, {"pushButton_browse_airports", "QPushButton"}, {"text_firmware_file_2", "QTextEdit"},
    {"pushButton_start_airport", "QPushButton"}, {"progressBar_airports", "QProgressBar"}, {"tab_cal", "QWidget"},
    {"frame_3", "QFrame"}, {"label_emitter_cat_2", "QLabel"}, {"pushButton_start_Pt_zerocal", "QPushButton"},
    {"progressBar_Pt_zeropoint", "QProgressBar"}, {"menubar", "QMenuBar"}, {"statusbar", "QStatusBar"},
    {"buttonGroup", "QButtonGroup"},
};

// What the user reads on labels and buttons.
const char* const kTexts[][2] = {
    {"label_MinVolt_alert", "Min Volt Alert"}, {"label_MinVolt_warn", "Min Volt Warning"},
    {"label_MaxVolt_warn", "Max Volt Warning"}, {"label_MaxVolt_alarm", "Max Volt Alert"}, {"label_vmin", "Vmin"},
    {"label_vs0", "Vs0"}, {"label_vs1", "Vs1"}, {"label_vfe", "Vfe"}, {"label_vn0", "Vn0"}, {"label_vne", "Vne"},
    {"label_vref", "Vref"}, {"label_vlo", "Vlo"}, {"pushButton_load", "Load settings from EFIS"},
    {"pushButton_update", "Update Settings on EFIS"}, {"pushButton_save", "Save settings to EFIS"},
    {"label_brightness", "Display Brightness"}, {"sky_top_label", "Sky Upper"}, {"sky_bottom_label", "Sky Lower"},
    {"ground_top_label", "Ground Upper"}, {"ground_bottom_label", "Ground Lower"},
    {"approach_indi_label", "Approach Indicator"}, {"gear_label", "Gear Indicator"}, {"airplane_label", "Airplane"},
    {"green_label", "Green Arc"}, {"yellow_label", "Yellow Arc"}, {"red_label", "Red Arc"},
    {"color_picker_sky0", ""}, {"color_picker_sky1", ""}, {"color_picker_ground0", ""}, {"color_picker_ground1", ""},
    {"color_picker_app_indi", ""}, {"color_picker_gear", ""}, {"color_picker_airplane", ""},
    {"color_picker_green", ""}, {"color_picker_yellow", ""}, {"color_picker_red", ""},
    {"label_roll_corr", "Roll Correction"}, {"label_pitch_corr", "Pitch Correction"},
    {"label_text_bg_alpha", "Text Background Transparency"}, {"label_emitter_cat", "Emitter Catagory"},
    {"label_icao_anon", "ICAO Anonymity"}, {"radioButton_use_icao", "Use ICAO #"},
    {"radioButton_rand_icao", "Random ICAO #"}, {"label_icao_num", "ICAO #"}, {"label_map_view", "Map View"},
    {"label_map_view_2", "Termination Resistor"}, {"label_airspeed_units", "Airspeed Units"},
    {"label_altitude_units", "Altitude Units"}, {"label_pressure_units", "Pressure Units"},
    {"label_temp_units", "Temperature Units"}, {"pushButton_browse", "Select Firmware File"},
    {"pushButton_start_update", "Start Update"}, {"pushButton_reboot", "Reboot EFIS"},
    {"checkBox_keep_settings", "Back up the settings, restart the EFIS and restore them afterwards"},
    {"pushButton_browse_airports", "Select Airport DB File"}, {"pushButton_start_airport", "Start Transfer"},
    {"label_emitter_cat_2", "Perform Pitot Zero Point Calibration"}, {"pushButton_start_Pt_zerocal", "Start"},
};
// clang-format on

} // namespace

class TestWidgetTree : public QObject {
    Q_OBJECT

    Ui::MainWindow ui;
    QMainWindow* win = nullptr;

    template <typename T> T* get(const char* name)
    {
        auto* obj = win->findChild<T*>(QString::fromLatin1(name));
        if (!obj)
            qFatal("no %s named %s", T::staticMetaObject.className(), name);
        return obj;
    }

private slots:
    void initTestCase()
    {
        win = new QMainWindow;
        ui.setupUi(win);
    }
    void cleanupTestCase() { delete win; }

    void objects_data()
    {
        QTest::addColumn<QString>("cls");
        for (const auto& r : kObjects)
            QTest::newRow(r[0]) << QString::fromLatin1(r[1]);
    }
    void objects()
    {
        QFETCH(QString, cls);
        const auto found = win->findChildren<QObject*>(QString::fromLatin1(QTest::currentDataTag()));
        QCOMPARE(found.size(), 1);
        QCOMPARE(QString::fromLatin1(found.first()->metaObject()->className()), cls);
    }

    void texts()
    {
        for (const auto& [name, text] : kTexts) {
            auto* label = qobject_cast<QLabel*>(get<QWidget>(name));
            auto* button = qobject_cast<QAbstractButton*>(get<QWidget>(name));
            QVERIFY2(label || button, name);
            const QString actual = label ? label->text() : button->text();
            QVERIFY2(actual == QString::fromUtf8(text), name);
        }
    }

    void ranges_data()
    {
        QTest::addColumn<double>("minimum");
        QTest::addColumn<double>("maximum");
        QTest::addColumn<double>("step");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<double>("value");
        for (const char* name : {"min_volt_alert_value", "min_volt_warn_value"})
            QTest::newRow(name) << 5.0 << 65.0 << 0.1 << 1 << 11.5;
        for (const char* name : {"max_volt_warn_value", "max_volt_alert_value"})
            QTest::newRow(name) << 5.0 << 65.0 << 0.1 << 1 << 15.5;
        for (const char* name : {"roll_corr_spinbox", "pitch_corr_spinbox"})
            QTest::newRow(name) << -90.0 << 90.0 << 0.1 << 1 << 0.0;
        QTest::newRow("spinBox_vmin") << 0.0 << 255.0 << 10.0 << -1 << 0.0;
        for (const char* name :
             {"spinBox_vs0", "spinBox_vs1", "spinBox_vfe", "spinBox_vn0", "spinBox_vref", "spinBox_vlo"})
            QTest::newRow(name) << 0.0 << 255.0 << 1.0 << -1 << 0.0;
        QTest::newRow("spinBox_vne") << 0.0 << 240.0 << 1.0 << -1 << 0.0;
        QTest::newRow("backlight_slider") << 0.0 << 21.0 << 1.0 << -1 << 10.0;
        QTest::newRow("text_bg_alpha_slider") << 0.0 << 254.0 << 1.0 << -1 << 150.0;
    }
    void ranges()
    {
        QFETCH(double, minimum);
        QFETCH(double, maximum);
        QFETCH(double, step);
        QFETCH(int, decimals);
        QFETCH(double, value);
        // The boxes and sliders share these property names; integer widgets have no decimals.
        const QWidget* w = get<QWidget>(QTest::currentDataTag());
        QList<double> actual;
        for (const char* property : {"minimum", "maximum", "singleStep", "value"})
            actual << w->property(property).toDouble();
        QCOMPARE(actual, QList<double>({minimum, maximum, step, value}));
        const QVariant places = w->property("decimals");
        QCOMPARE(places.isValid() ? places.toInt() : -1, decimals);
    }

    void comboItems_data()
    {
        QTest::addColumn<QStringList>("items");
        // Exact strings, the trailing space of A5 and the en dashes of C1 and C2 included.
        // clang-format off
        QTest::newRow("comboBox_emitter_cat") << QStringList{
            "A0 : Reserved", "A1 : Light (< 15.5k lbs)", "A2 : Small (15.5k to 75k lbs)",
            "A3 : Large (75k to 300k lbs)", "A4 : High vortex large", "A5 : Heavy (> 300k lbs) ",
            "A6 : High Perf > 5g & 400 kts", "A7 : Rotorcraft",
            "B0 : Reserved", "B1 : Glider / sailplane", "B2 : Lighter-than-air", "B3 : Parachutist / skydiver",
            "B4 : Ultralight / hang-glider / paraglider", "B5 : Reserved", "B6 : Unmanned aerial vehicle",
            "B7 : Space / trans-atmospheric vehicle", "C0 : Reserved",
            QString::fromUtf8("C1 : Surface vehicle \u2013 emergency vehicle"),
            QString::fromUtf8("C2 : Surface vehicle \u2013 service vehicle"),
            "C3 : Point obstacle (includes tethered balloons)", "C4 : Cluster obstacle", "C5 : Line obstacle"};
        // clang-format on
        QTest::newRow("comboBox_map_view") << QStringList{"North Up", "Track Up"};
        QTest::newRow("comboBox_term_res") << QStringList{"Enable", "Disable"};
        QTest::newRow("comboBox_airspeed") << QStringList{"MPH", "Knots", "KPH"};
        QTest::newRow("comboBox_altitude") << QStringList{"Feet", "Meters"};
        QTest::newRow("comboBox_pressure") << QStringList{"InHg", "Mbar"};
        QTest::newRow("comboBox_temp") << QStringList{"Fahrenheit", "Celsius"};
        // Filled by the window from the prefix table, not by the form.
        QTest::newRow("comboBox_reg_prefix") << QStringList{};
    }
    void comboItems()
    {
        QFETCH(QStringList, items);
        auto* box = get<QComboBox>(QTest::currentDataTag());
        QStringList actual;
        for (int i = 0; i < box->count(); ++i)
            actual << box->itemText(i);
        QCOMPARE(actual, items);
        QCOMPARE(box->currentIndex(), items.isEmpty() ? -1 : 0);
        QVERIFY(!box->isEditable());
    }

    // The visible text of the V-speed tips, line by line.
    void vSpeedToolTips()
    {
        const std::pair<const char*, const char*> tips[] = {
            {"label_vmin", "Minimum airspeed that will be displayed"},
            {"label_vs0", "Dirty stall speed (Bottom of white arc)\n"
                          "Stall speed or minimum flight speed in landing configuration"},
            {"label_vs1", "Clean stall speed (Bottom of green arc)\nStall speed or minimum steady flight speed for "
                          "which the aircraft is still controllable in a specific configuration"},
            {"label_vfe", "Maximum flap extension speed (Top of white arc)"},
            {"label_vn0", "Maximum structural cruising speed (Top of green arc)\n"
                          "Maximum structural cruising speed or maximum speed for normal operations."},
            {"label_vne", "Never exceed speed (Bottom of red arc)"},
            {"label_vref", "Approach speed (Magenta indicator)\nLanding reference speed or threshold crossing speed"},
            {"label_vlo", "Gear operating speed (**placeholder**)\nMaximum landing gear operating speed"},
        };
        for (const auto& [name, text] : tips) {
            QTextDocument doc;
            doc.setHtml(get<QWidget>(name)->toolTip());
            QVERIFY2(doc.toPlainText() == QString::fromUtf8(text), name);
        }
    }

    // Transfers start disabled until a file is chosen; the bars show nothing until one runs.
    void transferPages()
    {
        for (const char* name : {"pushButton_browse", "pushButton_reboot", "pushButton_browse_airports",
                                 "pushButton_start_Pt_zerocal", "text_registration_num", "text_icao"})
            QVERIFY2(get<QWidget>(name)->isEnabled(), name);
        for (const char* name :
             {"pushButton_start_update", "progressBar_firmware", "pushButton_start_airport", "progressBar_airports",
              "progressBar_Pt_zeropoint", "text_firmware_file", "text_firmware_file_2"})
            QVERIFY2(!get<QWidget>(name)->isEnabled(), name);
        for (const char* name : {"progressBar_firmware", "progressBar_airports", "progressBar_Pt_zeropoint"}) {
            auto* bar = get<QProgressBar>(name);
            QCOMPARE(QList<int>({bar->minimum(), bar->maximum(), bar->value()}), QList<int>({0, 100, 0}));
        }
        for (const char* name : {"text_firmware_file", "text_firmware_file_2"}) {
            auto* e = get<QTextEdit>(name);
            QCOMPARE(e->placeholderText(), QStringLiteral("*,bin"));
            QVERIFY(e->toPlainText().isEmpty());
        }
    }

    void icaoRadioButtonsAreExclusive()
    {
        auto* group = get<QButtonGroup>("buttonGroup");
        auto* use = get<QRadioButton>("radioButton_use_icao");
        auto* random = get<QRadioButton>("radioButton_rand_icao");
        QCOMPARE(group->buttons(), (QList<QAbstractButton*>{use, random}));
        QVERIFY(group->exclusive());
        QCOMPARE(group->checkedButton(), use);
        random->click();
        QVERIFY(!use->isChecked());
        random->click();
        QVERIFY(random->isChecked());
        use->click();
        QCOMPARE(group->checkedButton(), use);
    }

    void window()
    {
        QCOMPARE(win->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(win->windowTitle(), QStringLiteral("Zephrel EFIS Config"));
        QCOMPARE(win->size(), QSize(1065, 598));

        auto* tabs = get<QTabWidget>("tabWidget");
        QCOMPARE(tabs->geometry(), QRect(10, 10, 1041, 541));
        const QStringList titles{"Settings", "Firmware Update", "Airport Database", "Calibrations"};
        const QStringList pages{"tab_settings", "tab_update", "tab_airportDB", "tab_cal"};
        QStringList actualTitles, actualPages;
        for (int i = 0; i < tabs->count(); ++i) {
            actualTitles << tabs->tabText(i);
            actualPages << tabs->widget(i)->objectName();
        }
        QCOMPARE(actualTitles, titles);
        QCOMPARE(actualPages, pages);
        QCOMPARE(tabs->currentIndex(), 0);
    }

    void registrationPrefixes()
    {
        QCOMPARE(NUM_REGISTRATION_PREFIXES, 193);
        QCOMPARE(QLatin1String(REGISTRATION_PREFIXES[0]), QLatin1String("N"));
        QCOMPARE(QLatin1String(REGISTRATION_PREFIXES[192]), QLatin1String("9Z"));

        std::map<std::string, std::vector<int>> positions;
        for (int i = 0; i < NUM_REGISTRATION_PREFIXES; ++i) {
            const char* p = REGISTRATION_PREFIXES[i];
            QVERIFY(p);
            const size_t n = std::strlen(p);
            QVERIFY2(n >= 1 && n <= 4, p);
            for (size_t k = 0; k < n; ++k)
                QVERIFY2((p[k] >= 'A' && p[k] <= 'Z') || (p[k] >= '0' && p[k] <= '9'), p);
            positions[p].push_back(i);
        }
        std::map<std::string, std::vector<int>> duplicates;
        for (const auto& [prefix, at] : positions)
            if (at.size() > 1)
                duplicates[prefix] = at;
        const std::map<std::string, std::vector<int>> expected{{"9A", {18, 167}}, {"9H", {31, 174}}, {"9V", {32, 188}},
                                                               {"9M", {39, 179}}, {"7T", {79, 149}}, {"5Y", {84, 130}},
                                                               {"5H", {85, 113}}, {"5X", {86, 129}}, {"9Q", {87, 183}},
                                                               {"9J", {88, 176}}, {"9K", {89, 177}}};
        QVERIFY(duplicates == expected);

        // Matching takes the first entry a registration begins with, so these orders are load-bearing.
        QVERIFY(positions.at("C").front() < positions.at("CC").front());
        QVERIFY(positions.at("RDPL") == std::vector<int>{49});
        QVERIFY(positions.at("A9C") == std::vector<int>{92});
    }
};

QTEST_MAIN(TestWidgetTree)
#include "test_widget_tree.moc"
