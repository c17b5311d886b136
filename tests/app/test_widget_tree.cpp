// The widget tree is the contract every other window part binds to by object name: these tests pin the
// names, classes, placement and initial state of the generated form, and the registration prefix table.
#include "app/registration_prefix.h"
#include "ui_mainwindow.h"

#include <QtTest>

#include <QTextBlock>
#include <QTextDocument>
#include <QToolBar>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct ObjectRow {
    const char* name;
    const char* cls;
    const char* parent;
    QRect geometry; // null: placed by a layout or by its owner
    int pointSize;  // 0: no font set on the widget
};

const char* const kStack = "qt_tabwidget_stackedwidget";

// Every object of the tree, in declaration order.
const std::vector<ObjectRow> kObjects = {
    {"centralwidget", "QWidget", "MainWindow", {}, 0},
    {"tabWidget", "QTabWidget", "centralwidget", {10, 10, 1041, 541}, 0},
    {"tab_settings", "QWidget", kStack, {}, 0},
    {"gridLayoutWidget_6", "QWidget", "tab_settings", {600, 60, 201, 128}, 0},
    {"volt_layout", "QGridLayout", "gridLayoutWidget_6", {}, 0},
    {"label_MaxVolt_alarm", "QLabel", "gridLayoutWidget_6", {}, 12},
    {"min_volt_warn_value", "QDoubleSpinBox", "gridLayoutWidget_6", {}, 0},
    {"max_volt_warn_value", "QDoubleSpinBox", "gridLayoutWidget_6", {}, 0},
    {"max_volt_alert_value", "QDoubleSpinBox", "gridLayoutWidget_6", {}, 0},
    {"label_MaxVolt_warn", "QLabel", "gridLayoutWidget_6", {}, 12},
    {"label_MinVolt_warn", "QLabel", "gridLayoutWidget_6", {}, 12},
    {"label_MinVolt_alert", "QLabel", "gridLayoutWidget_6", {}, 12},
    {"min_volt_alert_value", "QDoubleSpinBox", "gridLayoutWidget_6", {}, 0},
    {"gridLayoutWidget", "QWidget", "tab_settings", {210, 60, 121, 320}, 0},
    {"v_speed_layout", "QGridLayout", "gridLayoutWidget", {}, 0},
    {"label_vs0", "QLabel", "gridLayoutWidget", {}, 12},
    {"label_vn0", "QLabel", "gridLayoutWidget", {}, 12},
    {"label_vmin", "QLabel", "gridLayoutWidget", {}, 12},
    {"spinBox_vmin", "QSpinBox", "gridLayoutWidget", {}, 12},
    {"spinBox_vref", "QSpinBox", "gridLayoutWidget", {}, 12},
    {"label_vne", "QLabel", "gridLayoutWidget", {}, 12},
    {"spinBox_vne", "QSpinBox", "gridLayoutWidget", {}, 12},
    {"label_vfe", "QLabel", "gridLayoutWidget", {}, 12},
    {"spinBox_vs1", "QSpinBox", "gridLayoutWidget", {}, 12},
    {"spinBox_vlo", "QSpinBox", "gridLayoutWidget", {}, 12},
    {"label_vlo", "QLabel", "gridLayoutWidget", {}, 12},
    {"spinBox_vn0", "QSpinBox", "gridLayoutWidget", {}, 12},
    {"spinBox_vs0", "QSpinBox", "gridLayoutWidget", {}, 12},
    {"label_vref", "QLabel", "gridLayoutWidget", {}, 12},
    {"spinBox_vfe", "QSpinBox", "gridLayoutWidget", {}, 12},
    {"label_vs1", "QLabel", "gridLayoutWidget", {}, 12},
    {"layoutWidget_2", "QWidget", "tab_settings", {200, 460, 471, 28}, 0},
    {"btn_layout", "QHBoxLayout", "layoutWidget_2", {}, 0},
    {"pushButton_load", "QPushButton", "layoutWidget_2", {}, 10},
    {"pushButton_update", "QPushButton", "layoutWidget_2", {}, 10},
    {"pushButton_save", "QPushButton", "layoutWidget_2", {}, 10},
    {"text_registration_num", "QPlainTextEdit", "tab_settings", {110, 10, 104, 31}, 12},
    {"comboBox_reg_prefix", "QComboBox", "tab_settings", {30, 10, 71, 30}, 12},
    {"backlight_slider", "QSlider", "tab_settings", {620, 350, 160, 16}, 0},
    {"label_brightness", "QLabel", "tab_settings", {620, 320, 161, 18}, 12},
    {"layoutWidget", "QWidget", "tab_settings", {523, 60, 47, 316}, 0},
    {"colors_layout", "QVBoxLayout", "layoutWidget", {}, 0},
    {"color_picker_sky0", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_sky1", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_ground0", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_ground1", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_app_indi", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_gear", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_airplane", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_green", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_yellow", "QPushButton", "layoutWidget", {}, 0},
    {"color_picker_red", "QPushButton", "layoutWidget", {}, 0},
    {"layoutWidget_3", "QWidget", "tab_settings", {370, 60, 147, 321}, 0},
    {"colors_label_layout", "QVBoxLayout", "layoutWidget_3", {}, 0},
    {"sky_top_label", "QLabel", "layoutWidget_3", {}, 12},
    {"sky_bottom_label", "QLabel", "layoutWidget_3", {}, 12},
    {"ground_top_label", "QLabel", "layoutWidget_3", {}, 12},
    {"ground_bottom_label", "QLabel", "layoutWidget_3", {}, 12},
    {"approach_indi_label", "QLabel", "layoutWidget_3", {}, 12},
    {"gear_label", "QLabel", "layoutWidget_3", {}, 12},
    {"airplane_label", "QLabel", "layoutWidget_3", {}, 12},
    {"green_label", "QLabel", "layoutWidget_3", {}, 12},
    {"yellow_label", "QLabel", "layoutWidget_3", {}, 12},
    {"red_label", "QLabel", "layoutWidget_3", {}, 12},
    {"gridLayoutWidget_7", "QWidget", "tab_settings", {600, 220, 201, 71}, 0},
    {"ang_corr_layout", "QGridLayout", "gridLayoutWidget_7", {}, 0},
    {"label_pitch_corr", "QLabel", "gridLayoutWidget_7", {}, 12},
    {"label_roll_corr", "QLabel", "gridLayoutWidget_7", {}, 12},
    {"pitch_corr_spinbox", "QDoubleSpinBox", "gridLayoutWidget_7", {}, 0},
    {"roll_corr_spinbox", "QDoubleSpinBox", "gridLayoutWidget_7", {}, 0},
    {"text_bg_alpha_slider", "QSlider", "tab_settings", {620, 410, 160, 16}, 0},
    {"label_text_bg_alpha", "QLabel", "tab_settings", {580, 380, 241, 18}, 12},
    {"comboBox_emitter_cat", "QComboBox", "tab_settings", {820, 80, 201, 26}, 0},
    {"label_emitter_cat", "QLabel", "tab_settings", {820, 50, 141, 31}, 12},
    {"label_icao_num", "QLabel", "tab_settings", {820, 210, 141, 31}, 12},
    {"text_icao", "QPlainTextEdit", "tab_settings", {820, 240, 104, 31}, 12},
    {"label_icao_anon", "QLabel", "tab_settings", {820, 120, 191, 31}, 12},
    {"radioButton_use_icao", "QRadioButton", "tab_settings", {820, 150, 101, 23}, 0},
    {"radioButton_rand_icao", "QRadioButton", "tab_settings", {820, 170, 131, 23}, 0},
    {"label_map_view", "QLabel", "tab_settings", {820, 290, 141, 31}, 12},
    {"comboBox_map_view", "QComboBox", "tab_settings", {820, 320, 121, 26}, 0},
    {"layoutWidget1", "QWidget", "tab_settings", {30, 60, 143, 301}, 0},
    {"verticalLayout", "QVBoxLayout", "layoutWidget1", {}, 0},
    {"label_airspeed_units", "QLabel", "layoutWidget1", {}, 12},
    {"comboBox_airspeed", "QComboBox", "layoutWidget1", {}, 0},
    {"label_altitude_units", "QLabel", "layoutWidget1", {}, 12},
    {"comboBox_altitude", "QComboBox", "layoutWidget1", {}, 0},
    {"label_pressure_units", "QLabel", "layoutWidget1", {}, 12},
    {"comboBox_pressure", "QComboBox", "layoutWidget1", {}, 0},
    {"label_temp_units", "QLabel", "layoutWidget1", {}, 12},
    {"comboBox_temp", "QComboBox", "layoutWidget1", {}, 0},
    {"label_map_view_2", "QLabel", "tab_settings", {820, 360, 161, 31}, 12},
    {"comboBox_term_res", "QComboBox", "tab_settings", {820, 390, 121, 26}, 0},
    {"tab_update", "QWidget", kStack, {}, 0},
    {"frame", "QFrame", "tab_update", {370, 100, 241, 281}, 0},
    {"pushButton_browse", "QPushButton", "frame", {40, 20, 161, 31}, 12},
    {"text_firmware_file", "QTextEdit", "frame", {20, 60, 191, 41}, 10},
    {"pushButton_start_update", "QPushButton", "frame", {40, 140, 161, 31}, 12},
    {"progressBar_firmware", "QProgressBar", "frame", {10, 180, 221, 23}, 0},
    {"pushButton_reboot", "QPushButton", "frame", {40, 230, 161, 31}, 12},
    {"tab_airportDB", "QWidget", kStack, {}, 0},
    {"frame_2", "QFrame", "tab_airportDB", {370, 100, 241, 231}, 0},
    {"pushButton_browse_airports", "QPushButton", "frame_2", {30, 20, 171, 31}, 12},
    {"text_firmware_file_2", "QTextEdit", "frame_2", {20, 60, 191, 41}, 10},
    {"pushButton_start_airport", "QPushButton", "frame_2", {40, 140, 161, 31}, 12},
    {"progressBar_airports", "QProgressBar", "frame_2", {10, 180, 221, 23}, 0},
    {"tab_cal", "QWidget", kStack, {}, 0},
    {"frame_3", "QFrame", "tab_cal", {20, 50, 301, 141}, 0},
    {"label_emitter_cat_2", "QLabel", "frame_3", {10, 10, 281, 31}, 12},
    {"pushButton_start_Pt_zerocal", "QPushButton", "frame_3", {10, 50, 81, 31}, 12},
    {"progressBar_Pt_zeropoint", "QProgressBar", "frame_3", {40, 100, 221, 23}, 0},
    {"menubar", "QMenuBar", "MainWindow", {0, 0, 1065, 23}, 0},
    {"statusbar", "QStatusBar", "MainWindow", {}, 0},
    {"buttonGroup", "QButtonGroup", "MainWindow", {}, 0},
};

// Captions that carry an empty rich-text tool tip.
const char* const kEmptyTipLabels[] = {
    "label_emitter_cat",    "label_icao_anon",      "label_icao_num",       "label_map_view",   "label_map_view_2",
    "label_airspeed_units", "label_altitude_units", "label_pressure_units", "label_temp_units", "label_emitter_cat_2"};

constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignVCenter;
constexpr Qt::Alignment kLeft = Qt::AlignLeft | Qt::AlignVCenter;

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
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<int>("pointSize");
        for (const auto& r : kObjects)
            QTest::newRow(r.name) << r.cls << r.parent << r.geometry << r.pointSize;
    }
    void objects()
    {
        QFETCH(QString, cls);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(int, pointSize);
        const QString name = QString::fromLatin1(QTest::currentDataTag());

        const auto found = win->findChildren<QObject*>(name);
        QCOMPARE(found.size(), 1);
        QObject* obj = found.first();
        QCOMPARE(QString::fromLatin1(obj->metaObject()->className()), cls);
        QVERIFY(obj->parent());
        QCOMPARE(obj->parent()->objectName(), parent);

        auto* w = qobject_cast<QWidget*>(obj);
        if (!w)
            return;
        if (!geometry.isNull())
            QCOMPARE(w->geometry(), geometry);
        if (pointSize == 0) {
            QVERIFY(!w->testAttribute(Qt::WA_SetFont));
        } else {
            QCOMPARE(w->font().pointSize(), pointSize);
            // Size only: the family must follow the application font.
            QCOMPARE(w->font().family(), QApplication::font().family());
        }
    }

    // Grid cells as (row, column); box layouts as (position, -1).
    void layoutPlacement_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        struct Cell {
            const char* widget;
            const char* layout;
            int row, column;
        };
        const Cell cells[] = {
            {"label_MinVolt_alert", "volt_layout", 0, 0},   {"min_volt_alert_value", "volt_layout", 0, 1},
            {"label_MinVolt_warn", "volt_layout", 1, 0},    {"min_volt_warn_value", "volt_layout", 1, 1},
            {"label_MaxVolt_warn", "volt_layout", 2, 0},    {"max_volt_warn_value", "volt_layout", 2, 1},
            {"label_MaxVolt_alarm", "volt_layout", 3, 0},   {"max_volt_alert_value", "volt_layout", 3, 1},
            {"label_vmin", "v_speed_layout", 0, 0},         {"spinBox_vmin", "v_speed_layout", 0, 1},
            {"label_vs0", "v_speed_layout", 1, 0},          {"spinBox_vs0", "v_speed_layout", 1, 1},
            {"label_vs1", "v_speed_layout", 2, 0},          {"spinBox_vs1", "v_speed_layout", 2, 1},
            {"label_vfe", "v_speed_layout", 3, 0},          {"spinBox_vfe", "v_speed_layout", 3, 1},
            {"label_vn0", "v_speed_layout", 4, 0},          {"spinBox_vn0", "v_speed_layout", 4, 1},
            {"label_vne", "v_speed_layout", 5, 0},          {"spinBox_vne", "v_speed_layout", 5, 1},
            {"label_vref", "v_speed_layout", 6, 0},         {"spinBox_vref", "v_speed_layout", 6, 1},
            {"label_vlo", "v_speed_layout", 7, 0},          {"spinBox_vlo", "v_speed_layout", 7, 1},
            {"label_roll_corr", "ang_corr_layout", 0, 0},   {"roll_corr_spinbox", "ang_corr_layout", 0, 1},
            {"label_pitch_corr", "ang_corr_layout", 1, 0},  {"pitch_corr_spinbox", "ang_corr_layout", 1, 1},
            {"pushButton_load", "btn_layout", 0, -1},       {"pushButton_update", "btn_layout", 1, -1},
            {"pushButton_save", "btn_layout", 2, -1},       {"label_airspeed_units", "verticalLayout", 0, -1},
            {"comboBox_airspeed", "verticalLayout", 1, -1}, {"label_altitude_units", "verticalLayout", 2, -1},
            {"comboBox_altitude", "verticalLayout", 3, -1}, {"label_pressure_units", "verticalLayout", 4, -1},
            {"comboBox_pressure", "verticalLayout", 5, -1}, {"label_temp_units", "verticalLayout", 6, -1},
            {"comboBox_temp", "verticalLayout", 7, -1},
        };
        for (const auto& c : cells)
            QTest::newRow(c.widget) << c.layout << c.row << c.column;
        // Colour captions and buttons pair up row by row.
        const char* const captions[] = {
            "sky_top_label", "sky_bottom_label", "ground_top_label", "ground_bottom_label", "approach_indi_label",
            "gear_label",    "airplane_label",   "green_label",      "yellow_label",        "red_label"};
        const char* const buttons[] = {"color_picker_sky0",     "color_picker_sky1",     "color_picker_ground0",
                                       "color_picker_ground1",  "color_picker_app_indi", "color_picker_gear",
                                       "color_picker_airplane", "color_picker_green",    "color_picker_yellow",
                                       "color_picker_red"};
        for (int i = 0; i < 10; ++i) {
            QTest::newRow(captions[i]) << "colors_label_layout" << i << -1;
            QTest::newRow(buttons[i]) << "colors_layout" << i << -1;
        }
    }
    void layoutPlacement()
    {
        QFETCH(QString, layout);
        QFETCH(int, row);
        QFETCH(int, column);
        auto* w = get<QWidget>(QTest::currentDataTag());
        auto* l = win->findChild<QLayout*>(layout);
        QVERIFY(l);
        QCOMPARE(w->parentWidget()->layout(), l);
        QCOMPARE(l->contentsMargins(), QMargins());
        const int index = l->indexOf(w);
        QVERIFY(index >= 0);
        if (auto* grid = qobject_cast<QGridLayout*>(l)) {
            int r, c, rs, cs;
            grid->getItemPosition(index, &r, &c, &rs, &cs);
            QCOMPARE(QList<int>({r, c, rs, cs}), QList<int>({row, column, 1, 1}));
            QCOMPARE(grid->itemAtPosition(r, c)->alignment(), Qt::Alignment());
        } else {
            QCOMPARE(index, row);
            QCOMPARE(qobject_cast<QBoxLayout*>(l)->stretch(index), 0);
        }
    }

    void layoutSpacingIsDefault()
    {
        QWidget probe;
        const int grid = QGridLayout(&probe).spacing();
        for (const char* name : {"volt_layout", "v_speed_layout", "btn_layout", "colors_layout", "colors_label_layout",
                                 "ang_corr_layout", "verticalLayout"})
            QCOMPARE(get<QLayout>(name)->spacing(), grid);
    }

    void spinBoxes_data()
    {
        QTest::addColumn<double>("minimum");
        QTest::addColumn<double>("maximum");
        QTest::addColumn<double>("step");
        QTest::addColumn<int>("decimals"); // -1: integer box
        QTest::addColumn<double>("value");
        QTest::newRow("min_volt_alert_value") << 5.0 << 65.0 << 0.1 << 1 << 11.5;
        QTest::newRow("min_volt_warn_value") << 5.0 << 65.0 << 0.1 << 1 << 11.5;
        QTest::newRow("max_volt_warn_value") << 5.0 << 65.0 << 0.1 << 1 << 15.5;
        QTest::newRow("max_volt_alert_value") << 5.0 << 65.0 << 0.1 << 1 << 15.5;
        QTest::newRow("roll_corr_spinbox") << -90.0 << 90.0 << 0.1 << 1 << 0.0;
        QTest::newRow("pitch_corr_spinbox") << -90.0 << 90.0 << 0.1 << 1 << 0.0;
        QTest::newRow("spinBox_vmin") << 0.0 << 255.0 << 10.0 << -1 << 0.0;
        for (const char* name :
             {"spinBox_vs0", "spinBox_vs1", "spinBox_vfe", "spinBox_vn0", "spinBox_vref", "spinBox_vlo"})
            QTest::newRow(name) << 0.0 << 255.0 << 1.0 << -1 << 0.0;
        QTest::newRow("spinBox_vne") << 0.0 << 240.0 << 1.0 << -1 << 0.0;
    }
    void spinBoxes()
    {
        QFETCH(double, minimum);
        QFETCH(double, maximum);
        QFETCH(double, step);
        QFETCH(int, decimals);
        QFETCH(double, value);
        auto* box = get<QAbstractSpinBox>(QTest::currentDataTag());
        if (decimals < 0) {
            auto* s = qobject_cast<QSpinBox*>(box);
            QVERIFY(s);
            QCOMPARE(QList<int>({s->minimum(), s->maximum(), s->singleStep(), s->value()}),
                     QList<int>({int(minimum), int(maximum), int(step), int(value)}));
        } else {
            auto* d = qobject_cast<QDoubleSpinBox*>(box);
            QVERIFY(d);
            QCOMPARE(d->decimals(), decimals);
            QCOMPARE(d->minimum(), minimum);
            QCOMPARE(d->maximum(), maximum);
            QCOMPARE(d->singleStep(), step);
            QCOMPARE(d->value(), value);
        }
        QCOMPARE(box->correctionMode(), QAbstractSpinBox::CorrectToPreviousValue);
    }

    void spinBoxDetails()
    {
        QCOMPARE(get<QWidget>("spinBox_vlo")->layoutDirection(), Qt::LeftToRight);
        const QSizePolicy p = get<QWidget>("min_volt_alert_value")->sizePolicy();
        QCOMPARE(p.horizontalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(p.verticalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(get<QWidget>("max_volt_alert_value")->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    }

    void texts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("alignment"); // labels only; 0 for other widgets
        const int right = int(kRight), left = int(kLeft), plain = int(kLeft);
        struct Row {
            const char* name;
            const char* text;
            int alignment;
        };
        const Row rows[] = {
            {"label_MinVolt_alert", "Min Volt Alert", right},
            {"label_MinVolt_warn", "Min Volt Warning", right},
            {"label_MaxVolt_warn", "Max Volt Warning", right},
            {"label_MaxVolt_alarm", "Max Volt Alert", right},
            {"label_vmin", "Vmin", plain},
            {"label_vs0", "Vs0", plain},
            {"label_vs1", "Vs1", plain},
            {"label_vfe", "Vfe", plain},
            {"label_vn0", "Vn0", plain},
            {"label_vne", "Vne", plain},
            {"label_vref", "Vref", plain},
            {"label_vlo", "Vlo", plain},
            {"pushButton_load", "Load settings from EFIS", 0},
            {"pushButton_update", "Update Settings on EFIS", 0},
            {"pushButton_save", "Save settings to EFIS", 0},
            {"label_brightness", "Display Brightness", left},
            {"sky_top_label", "Sky Upper", right},
            {"sky_bottom_label", "Sky Lower", right},
            {"ground_top_label", "Ground Upper", right},
            {"ground_bottom_label", "Ground Lower", right},
            {"approach_indi_label", "Approach Indicator", right},
            {"gear_label", "Gear Indicator", right},
            {"airplane_label", "Airplane", right},
            {"green_label", "Green Arc", right},
            {"yellow_label", "Yellow Arc", right},
            {"red_label", "Red Arc", right},
            {"color_picker_sky0", "", 0},
            {"color_picker_sky1", "", 0},
            {"color_picker_ground0", "", 0},
            {"color_picker_ground1", "", 0},
            {"color_picker_app_indi", "", 0},
            {"color_picker_gear", "", 0},
            {"color_picker_airplane", "", 0},
            {"color_picker_green", "", 0},
            {"color_picker_yellow", "", 0},
            {"color_picker_red", "", 0},
            {"label_roll_corr", "Roll Correction", right},
            {"label_pitch_corr", "Pitch Correction", right},
            {"label_text_bg_alpha", "Text Background Transparency", left},
            {"label_emitter_cat", "Emitter Catagory", plain},
            {"label_icao_anon", "ICAO Anonymity", plain},
            {"radioButton_use_icao", "Use ICAO #", 0},
            {"radioButton_rand_icao", "Random ICAO #", 0},
            {"label_icao_num", "ICAO #", plain},
            {"label_map_view", "Map View", plain},
            {"label_map_view_2", "Termination Resistor", plain},
            {"label_airspeed_units", "Airspeed Units", plain},
            {"label_altitude_units", "Altitude Units", plain},
            {"label_pressure_units", "Pressure Units", plain},
            {"label_temp_units", "Temperature Units", plain},
            {"pushButton_browse", "Select Firmware File", 0},
            {"pushButton_start_update", "Start Update", 0},
            {"pushButton_reboot", "Reboot EFIS", 0},
            {"pushButton_browse_airports", "Select Airport DB File", 0},
            {"pushButton_start_airport", "Start Transfer", 0},
            {"label_emitter_cat_2", "Perform Pitot Zero Point Calibration", plain},
            {"pushButton_start_Pt_zerocal", "Start", 0},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString::fromUtf8(r.text) << r.alignment;
    }
    void texts()
    {
        QFETCH(QString, text);
        QFETCH(int, alignment);
        QObject* obj = get<QWidget>(QTest::currentDataTag());
        if (auto* label = qobject_cast<QLabel*>(obj)) {
            QCOMPARE(label->text(), text);
            QCOMPARE(int(label->alignment()), alignment);
        } else {
            auto* button = qobject_cast<QAbstractButton*>(obj);
            QVERIFY(button);
            QCOMPARE(button->text(), text);
        }
    }

    void comboItems_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::newRow("comboBox_emitter_cat") << QStringList{
            "A0 : Reserved",
            "A1 : Light (< 15.5k lbs)",
            "A2 : Small (15.5k to 75k lbs)",
            "A3 : Large (75k to 300k lbs)",
            "A4 : High vortex large",
            "A5 : Heavy (> 300k lbs) ",
            "A6 : High Perf > 5g & 400 kts",
            "A7 : Rotorcraft",
            "B0 : Reserved",
            "B1 : Glider / sailplane",
            "B2 : Lighter-than-air",
            "B3 : Parachutist / skydiver",
            "B4 : Ultralight / hang-glider / paraglider",
            "B5 : Reserved",
            "B6 : Unmanned aerial vehicle",
            "B7 : Space / trans-atmospheric vehicle",
            "C0 : Reserved",
            QString::fromUtf8("C1 : Surface vehicle \u2013 emergency vehicle"),
            QString::fromUtf8("C2 : Surface vehicle \u2013 service vehicle"),
            "C3 : Point obstacle (includes tethered balloons)",
            "C4 : Cluster obstacle",
            "C5 : Line obstacle",
        };
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
        for (int i = 0; i < box->count(); ++i) {
            actual << box->itemText(i);
            QVERIFY(!box->itemData(i).isValid());
        }
        QCOMPARE(actual, items);
        QCOMPARE(box->currentIndex(), items.isEmpty() ? -1 : 0);
        QVERIFY(!box->isEditable());
    }

    void toolTips_data()
    {
        QTest::addColumn<bool>("rich");
        QTest::addColumn<QString>("boldTitle");
        QTest::addColumn<QString>("plainText");
        QTest::newRow("label_vmin") << false << ""
                                    << "Minimum airspeed that will be displayed";
        QTest::newRow("label_vs0") << true << "Dirty stall speed"
                                   << "Dirty stall speed (Bottom of white arc)\n"
                                      "Stall speed or minimum flight speed in landing configuration";
        QTest::newRow("label_vs1") << true << "Clean stall speed"
                                   << "Clean stall speed (Bottom of green arc)\n"
                                      "Stall speed or minimum steady flight speed for which the aircraft is still "
                                      "controllable in a specific configuration";
        QTest::newRow("label_vfe") << true << "Maximum flap extension speed "
                                   << "Maximum flap extension speed (Top of white arc)";
        QTest::newRow("label_vn0") << true << "Maximum structural cruising speed "
                                   << "Maximum structural cruising speed (Top of green arc)\n"
                                      "Maximum structural cruising speed or maximum speed for normal operations.";
        QTest::newRow("label_vne") << true << "Never exceed speed"
                                   << "Never exceed speed (Bottom of red arc)";
        QTest::newRow("label_vref") << true << "Approach speed"
                                    << "Approach speed (Magenta indicator)\n"
                                       "Landing reference speed or threshold crossing speed";
        QTest::newRow("label_vlo") << true << "Gear operating speed"
                                   << "Gear operating speed (**placeholder**)\nMaximum landing gear operating speed";
        for (const char* name : kEmptyTipLabels)
            QTest::newRow(name) << true << QString() << QString();
    }
    void toolTips()
    {
        QFETCH(bool, rich);
        QFETCH(QString, boldTitle);
        QFETCH(QString, plainText);
        const QString tip = get<QWidget>(QTest::currentDataTag())->toolTip();
        QVERIFY(!tip.isEmpty());
        QCOMPARE(Qt::mightBeRichText(tip), rich);
        if (!rich) {
            QCOMPARE(tip, plainText);
            return;
        }
        QTextDocument doc;
        doc.setHtml(tip);
        if (plainText.isEmpty()) {
            // One paragraph holding nothing but a line break.
            QCOMPARE(doc.blockCount(), 1);
            QVERIFY(doc.toPlainText().trimmed().isEmpty());
            return;
        }
        QCOMPARE(doc.toPlainText(), plainText);
        // The title alone is bold: the first fragment, trailing space included where there is one.
        QTextBlock::iterator it = doc.begin().begin();
        QCOMPARE(it.fragment().text(), boldTitle);
        QCOMPARE(it.fragment().charFormat().fontWeight(), 700);
        for (++it; !it.atEnd(); ++it)
            QVERIFY(it.fragment().charFormat().fontWeight() < 700);
    }

    void otherWidgetsHaveNoToolTip()
    {
        const auto widgets = win->findChildren<QWidget*>();
        for (QWidget* w : widgets) {
            const QString name = w->objectName();
            const bool tipped =
                name.startsWith(QLatin1String("label_v")) ||
                std::find(std::begin(kEmptyTipLabels), std::end(kEmptyTipLabels), name) != std::end(kEmptyTipLabels);
            if (!name.isEmpty() && !tipped)
                QVERIFY2(w->toolTip().isEmpty(), qPrintable(name));
        }
    }

    void sliders_data()
    {
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");
        QTest::newRow("backlight_slider") << 21 << 10;
        QTest::newRow("text_bg_alpha_slider") << 254 << 150;
    }
    void sliders()
    {
        QFETCH(int, maximum);
        QFETCH(int, value);
        auto* s = get<QSlider>(QTest::currentDataTag());
        QCOMPARE(s->orientation(), Qt::Horizontal);
        QCOMPARE(s->minimum(), 0);
        QCOMPARE(s->maximum(), maximum);
        QCOMPARE(s->value(), value);
        QVERIFY(!s->invertedAppearance());
    }

    void textFields()
    {
        for (const char* name : {"text_registration_num", "text_icao"}) {
            auto* e = get<QPlainTextEdit>(name);
            QCOMPARE(e->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
            QCOMPARE(e->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
            QCOMPARE(e->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
            QCOMPARE(e->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
            QVERIFY(e->isEnabled());
            QVERIFY(e->toPlainText().isEmpty());
        }
        QCOMPARE(get<QComboBox>("comboBox_reg_prefix")->sizeAdjustPolicy(), QComboBox::AdjustToContentsOnFirstShow);
        for (const char* name : {"text_firmware_file", "text_firmware_file_2"}) {
            auto* e = get<QTextEdit>(name);
            QVERIFY(!e->isEnabled());
            QCOMPARE(e->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
            QCOMPARE(e->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
            QCOMPARE(e->lineWrapMode(), QTextEdit::NoWrap);
            QCOMPARE(e->placeholderText(), QStringLiteral("*,bin"));
            QVERIFY(e->toPlainText().isEmpty());
        }
    }

    void transferPages_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::newRow("pushButton_browse") << true;
        QTest::newRow("pushButton_start_update") << false;
        QTest::newRow("progressBar_firmware") << false;
        QTest::newRow("pushButton_reboot") << true;
        QTest::newRow("pushButton_browse_airports") << true;
        QTest::newRow("pushButton_start_airport") << false;
        QTest::newRow("progressBar_airports") << false;
        QTest::newRow("pushButton_start_Pt_zerocal") << true;
        QTest::newRow("progressBar_Pt_zeropoint") << false;
    }
    void transferPages()
    {
        QFETCH(bool, enabled);
        auto* w = get<QWidget>(QTest::currentDataTag());
        QCOMPARE(w->isEnabled(), enabled);
        if (auto* bar = qobject_cast<QProgressBar*>(w)) {
            QCOMPARE(bar->value(), 0);
            QCOMPARE(bar->minimum(), 0);
            QCOMPARE(bar->maximum(), 100);
        }
        auto* frame = qobject_cast<QFrame*>(w->parentWidget());
        QVERIFY(frame);
        QCOMPARE(frame->frameShape(), QFrame::StyledPanel);
        QCOMPARE(frame->frameShadow(), QFrame::Raised);
    }

    void icaoRadioButtonsAreExclusive()
    {
        auto* group = get<QButtonGroup>("buttonGroup");
        auto* use = get<QRadioButton>("radioButton_use_icao");
        auto* random = get<QRadioButton>("radioButton_rand_icao");
        QCOMPARE(group->buttons(), (QList<QAbstractButton*>{use, random}));
        QVERIFY(group->exclusive());
        QCOMPARE(group->id(use), -2);
        QCOMPARE(group->id(random), -3);
        QCOMPARE(group->checkedButton(), use);

        random->click();
        QVERIFY(!use->isChecked());
        QCOMPARE(group->checkedButton(), random);
        random->click();
        QVERIFY(random->isChecked());
        use->click();
        QVERIFY(!random->isChecked());
        QCOMPARE(group->checkedButton(), use);
    }

    void window()
    {
        QCOMPARE(win->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(win->windowTitle(), QStringLiteral("Zephrel EFIS Config"));
        QCOMPARE(win->size(), QSize(1065, 598));
        QCOMPARE(win->centralWidget(), get<QWidget>("centralwidget"));
        QCOMPARE(win->menuBar(), get<QMenuBar>("menubar"));
        QVERIFY(win->menuBar()->actions().isEmpty());
        QCOMPARE(win->statusBar(), get<QStatusBar>("statusbar"));
        QVERIFY(win->findChildren<QToolBar*>().isEmpty());

        auto* tabs = get<QTabWidget>("tabWidget");
        const QStringList titles{"Settings", "Firmware Update", "Airport Database", "Calibrations"};
        const QStringList pages{"tab_settings", "tab_update", "tab_airportDB", "tab_cal"};
        QCOMPARE(tabs->count(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(tabs->tabText(i), titles[i]);
            QCOMPARE(tabs->widget(i)->objectName(), pages[i]);
        }
        QCOMPARE(tabs->currentIndex(), 0);
    }

    // No explicit tab order: the focus chain is the creation order, so it is part of the form.
    void focusChain()
    {
        const QStringList expected{
            "min_volt_warn_value", "max_volt_warn_value", "max_volt_alert_value", "min_volt_alert_value",
            "spinBox_vmin", "spinBox_vref", "spinBox_vne", "spinBox_vs1", "spinBox_vlo", "spinBox_vn0", "spinBox_vs0",
            "spinBox_vfe", "pushButton_load", "pushButton_update", "pushButton_save", "text_registration_num",
            "comboBox_reg_prefix", "backlight_slider", "color_picker_sky0", "color_picker_sky1", "color_picker_ground0",
            "color_picker_ground1", "color_picker_app_indi", "color_picker_gear", "color_picker_airplane",
            "color_picker_green", "color_picker_yellow", "color_picker_red", "pitch_corr_spinbox", "roll_corr_spinbox",
            "text_bg_alpha_slider", "comboBox_emitter_cat", "text_icao", "radioButton_use_icao",
            "radioButton_rand_icao", "comboBox_map_view", "comboBox_airspeed", "comboBox_altitude", "comboBox_pressure",
            "comboBox_temp", "comboBox_term_res",
            // Other pages.
            "pushButton_browse", "text_firmware_file", "pushButton_start_update", "progressBar_firmware",
            "pushButton_reboot", "pushButton_browse_airports", "text_firmware_file_2", "pushButton_start_airport",
            "progressBar_airports", "pushButton_start_Pt_zerocal", "progressBar_Pt_zeropoint"};
        QStringList chain;
        for (QWidget* w = win->nextInFocusChain(); w != win; w = w->nextInFocusChain()) {
            if (expected.contains(w->objectName()))
                chain << w->objectName();
            QVERIFY(chain.size() <= expected.size());
        }
        QCOMPARE(chain, expected);
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
