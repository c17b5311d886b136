// The window at start-up and the binding between the settings form and the record, through the
// real window and a virtual unit.
#include <QtTest>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>

#include <bit>
#include <cstring>
#include <memory>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "efis_shared/get_set.h"
#include "tests/support/window.h"

using support::child;
using support::open_window;
using support::status;

namespace {

Settings_t with(Settings_t s, std::initializer_list<std::pair<settings_struct_index, uint32_t>> values)
{
    for (auto [index, value] : values) {
        settings_set_value(&s, index, &value);
    }
    return s;
}

void set_registration_bytes(Settings_t& s, const char* bytes, size_t n)
{
    std::memset(s.registration, 0, sizeof s.registration);
    std::memcpy(s.registration, bytes, n);
    s.crc32 = 0;
    s.crc32 = settings_CalcCRC(&s);
}

} // namespace

class WindowFormTest : public QObject {
    Q_OBJECT

private slots:
    void init() { sim::unplug_all(); }
    void cleanup() { sim::unplug_all(); }

    void startup_with_unit_loads_the_record();
    void startup_without_unit_leaves_form_and_link_alone_data();
    void startup_without_unit_leaves_form_and_link_alone();
    void startup_with_a_unit_that_cannot_be_opened();
    void record_edge_values_shown_clamped();
    void registration_shown_split_data();
    void registration_shown_split();
    void form_reads_back_the_record_it_shows();
    void unmatched_registration_survives_a_save();
    void units_word_zero_kept_until_edited();
    void field_edits_update_record_and_mark_changes();
    void icao_field_parsing_data();
    void icao_field_parsing();
    void registration_edits_pack_bytes();
    void colour_dialog_choice_and_cancel();
    void icao_radio_switch_runs_slot_for_both_buttons();
};

void WindowFormTest::startup_with_unit_loads_the_record()
{
    auto unit = support::plug_demo_unit();
    support::QtStreamCapture out(1);
    MainWindow w;
    const std::string printed = out.text();
    out.restore();

    QCOMPARE(status(w), QString("Configuration successfully loaded from device"));
    QVERIFY(w.changedValues().empty());
    QVERIFY(printed.find("Connected via USB HID\n") != std::string::npos);
    QVERIFY(printed.find("CRC Check Passed.\n") != std::string::npos);
    const Settings_t onUnit = unit->working_settings();
    QCOMPARE(std::memcmp(&user_config.units, &onUnit.units, sizeof(Settings_t) - 16), 0);
    QCOMPARE(child<QSpinBox>(w, "spinBox_vne")->value(), 160);
    QCOMPARE(child<QComboBox>(w, "comboBox_airspeed")->currentText(), QString("Knots"));
    QCOMPARE(child<QComboBox>(w, "comboBox_reg_prefix")->currentText(), QString("N"));
    QCOMPARE(child<QPlainTextEdit>(w, "text_registration_num")->toPlainText(), QString("12345"));
    QCOMPARE(child<QPlainTextEdit>(w, "text_icao")->toPlainText(), QString("A1B2C3"));
    QCOMPARE(child<QComboBox>(w, "comboBox_map_view")->currentText(), QString("Track Up"));
}

void WindowFormTest::startup_without_unit_leaves_form_and_link_alone_data()
{
    QTest::addColumn<bool>("unit_on_other_page");
    QTest::newRow("no unit") << false;
    QTest::newRow("unit only on another usage page") << true;
}

void WindowFormTest::startup_without_unit_leaves_form_and_link_alone()
{
    QFETCH(bool, unit_on_other_page);
    reset_whoami_fwversion_cache();
    std::shared_ptr<sim::VirtualUnit> unit;
    if (unit_on_other_page) {
        unit = sim::make_demo_unit();
        sim::plug(unit, 0x0001);
    }
    std::memset(&user_config, 0x5A, sizeof user_config);
    const Settings_t before = user_config;

    support::QtStreamCapture err(2);
    auto w = open_window();
    const QString log = QString::fromStdString(err.text());
    err.restore();

    QCOMPARE(status(*w), QString("Failed to connect to EFIS via USB or CAN FD - please check connections"));
    QVERIFY2(log.contains(QRegularExpression(
                 "Debug: Failed to establish connection via USB HID or CAN FD \\(src/app/mainwindow\\.cpp:\\d+, "
                 "MainWindow::MainWindow\\(QWidget\\*\\)\\)\n")),
             qPrintable(log));
    QCOMPARE(std::memcmp(&before, &user_config, sizeof before), 0);
    QCOMPARE(sim::open_handle_count(), 0);
    if (unit) {
        QVERIFY(unit->log().empty());
    }

    // The form keeps its built-in values.
    QCOMPARE(child<QDoubleSpinBox>(*w, "min_volt_warn_value")->value(), 11.5);
    QCOMPARE(child<QDoubleSpinBox>(*w, "max_volt_alert_value")->value(), 15.5);
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vs1")->value(), 0);
    QCOMPARE(child<QSlider>(*w, "backlight_slider")->value(), 10);
    QCOMPARE(child<QSlider>(*w, "text_bg_alpha_slider")->value(), 150);
    QCOMPARE(child<QComboBox>(*w, "comboBox_reg_prefix")->currentIndex(), 0);
    QCOMPARE(child<QComboBox>(*w, "comboBox_reg_prefix")->count(), 193);
    QVERIFY(child<QRadioButton>(*w, "radioButton_use_icao")->isChecked());
    QVERIFY(!child<QPushButton>(*w, "pushButton_start_update")->isEnabled());
    QVERIFY(w->changedValues().empty());

    // Settings actions say why nothing happens.
    child<QPushButton>(*w, "pushButton_load")->click();
    QCOMPARE(status(*w), QString("Error: No communication interface connected (USB HID or CAN FD)"));
}

void WindowFormTest::startup_with_a_unit_that_cannot_be_opened()
{
    auto unit = support::plug_demo_unit();
    sim::refuse_opens(L"Permission denied");
    support::QtStreamCapture out(1);
    MainWindow w;
    const std::string printed = out.text();
    out.restore();
    sim::refuse_opens(L"");

    QCOMPARE(status(w), QString("Error: The EFIS unit was found but could not be opened (Permission denied) - "
                                "install the udev rule or check the permissions of its device"));
    QVERIFY2(printed.find("USB HID device found but could not be opened: Permission denied\n"
                          "Failed to connect to USB HID device\n") != std::string::npos,
             printed.c_str());
    QVERIFY(unit->log().empty());
}

void WindowFormTest::record_edge_values_shown_clamped()
{
    auto unit = support::plug_demo_unit();
    unit->load_settings(with(unit->working_settings(), {{UNITS_VALUE_INDEX, 0},
                                                        {MIN_VOLTS_INDEX, 125},
                                                        {TEXT_BG_ALPHA_INDEX, 300},
                                                        {EMITTER_CAT_INDEX, 40},
                                                        {MAP_DIR_INDEX, 5},
                                                        {OWNSHIP_ICAO_INDEX, 0xFF000ABC},
                                                        {TERM_RESISTOR_INDEX, 0},
                                                        {ICAO_ADDR_TYPE_INDEX, 1},
                                                        {BACKLIGHT_BRIGHTNESS_INDEX, 0x80000000},
                                                        {VNE_INDEX, 250},
                                                        {SKY_COLOR_0_INDEX, 0x0000FF00},
                                                        {ROLL_CORRECTION_INDEX, std::bit_cast<uint32_t>(-12.5f)}}));
    auto w = open_window();

    QCOMPARE(child<QComboBox>(*w, "comboBox_airspeed")->currentText(), QString("Knots"));
    QCOMPARE(child<QComboBox>(*w, "comboBox_altitude")->currentText(), QString("Feet"));
    QCOMPARE(child<QComboBox>(*w, "comboBox_temp")->currentText(), QString("Fahrenheit"));
    QCOMPARE(child<QComboBox>(*w, "comboBox_pressure")->currentText(), QString("InHg"));
    QCOMPARE(child<QDoubleSpinBox>(*w, "min_volt_warn_value")->value(), 12.5);
    QCOMPARE(child<QSlider>(*w, "text_bg_alpha_slider")->value(), 254);
    QCOMPARE(child<QComboBox>(*w, "comboBox_emitter_cat")->currentIndex(), 21);
    QCOMPARE(child<QComboBox>(*w, "comboBox_map_view")->currentText(), QString("North Up"));
    QCOMPARE(child<QPlainTextEdit>(*w, "text_icao")->toPlainText(), QString("000ABC"));
    QCOMPARE(child<QComboBox>(*w, "comboBox_term_res")->currentText(), QString("Disable"));
    QVERIFY(child<QRadioButton>(*w, "radioButton_rand_icao")->isChecked());
    QCOMPARE(child<QSlider>(*w, "backlight_slider")->value(), 21); // huge values clamp high, not to 0
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 240);
    QCOMPARE(child<QPushButton>(*w, "color_picker_sky0")->styleSheet(), QString("background-color: #00ff00;"));
    QCOMPARE(child<QDoubleSpinBox>(*w, "roll_corr_spinbox")->value(), -12.5);
    // The record keeps the unit's values until the fields are edited or the form is read back.
    QCOMPARE(user_config.text_bg_alpha, 300u);
    QCOMPARE(user_config.vspeeds.Vne, 250);
    QVERIFY(w->changedValues().empty());
}

void WindowFormTest::registration_shown_split_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("number");
    QTest::newRow("erased") << QByteArray(12, '\xFF') << "N"
                            << "";
    QTest::newRow("starts with NUL") << QByteArray("\0ABC", 4) << "N"
                                     << "";
    QTest::newRow("N12345") << QByteArray("N12345") << "N"
                            << "12345";
    QTest::newRow("C precedes CC") << QByteArray("CC123") << "C"
                                   << "C123";
    QTest::newRow("two-letter prefix") << QByteArray("EC-ABC") << "EC"
                                       << "-ABC";
    QTest::newRow("no prefix matches") << QByteArray("QQ123456789") << "N"
                                       << "QQ12345678";
    QTest::newRow("12th byte ignored") << QByteArray("G1234567890Z") << "G"
                                       << "1234567890";
}

void WindowFormTest::registration_shown_split()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, prefix);
    QFETCH(QString, number);
    auto unit = support::plug_demo_unit();
    Settings_t s = unit->working_settings();
    set_registration_bytes(s, bytes.constData(), static_cast<size_t>(bytes.size()));
    unit->load_settings(s);
    auto w = open_window();
    QCOMPARE(child<QComboBox>(*w, "comboBox_reg_prefix")->currentText(), prefix);
    QCOMPARE(child<QPlainTextEdit>(*w, "text_registration_num")->toPlainText(), number);
}

void WindowFormTest::form_reads_back_the_record_it_shows()
{
    // Saving reads the whole form back into the record; the unit accepts the save only when the
    // checksum matches its own record, so every field must survive form and back unchanged.
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    const Settings_t shown = user_config;
    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_save")->click();
    out.restore();
    QCOMPARE(status(*w), QString("Configuration saved to EEPROM successfully"));
    QCOMPARE(std::memcmp(&shown.units, &user_config.units, sizeof(Settings_t) - 16), 0);
    const auto saves = unit->saves();
    QCOMPARE(saves.size(), size_t{1});
    QVERIFY(saves[0].matched);
}

void WindowFormTest::unmatched_registration_survives_a_save()
{
    // Shown as prefix N and a cut number; saving without touching it must not turn the stored
    // registration into "NQQ12345678".
    auto unit = support::plug_demo_unit();
    Settings_t s = unit->working_settings();
    set_registration_bytes(s, "QQ123456789", 11);
    unit->load_settings(s);
    auto w = open_window();
    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_save")->click();
    QCOMPARE(QByteArray(user_config.registration, 11), QByteArray("QQ123456789"));
    QVERIFY(unit->saves().at(0).matched);

    // An edit is stored as typed.
    child<QPlainTextEdit>(*w, "text_registration_num")->setPlainText("ABC");
    QCOMPARE(QByteArray(user_config.registration, 12), QByteArray("NABC\0\0\0\0\0\0\0\0", 12));
}

void WindowFormTest::units_word_zero_kept_until_edited()
{
    auto unit = support::plug_demo_unit();
    unit->load_settings(with(unit->working_settings(), {{UNITS_VALUE_INDEX, 0x00000000u | (0x3Fu << 9)}}));
    auto w = open_window();
    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_save")->click();
    // The form shows Knots, Feet, Fahrenheit and InHg, but nobody chose them: Save keeps the word.
    QCOMPARE(user_config.units.units_value, 0x3Fu << 9);
    child<QComboBox>(*w, "comboBox_airspeed")->setCurrentIndex(2);
    QCOMPARE(user_config.units.units_value, 0xACu | (0x3Fu << 9)); // bits 9.. preserved
    child<QComboBox>(*w, "comboBox_airspeed")->setCurrentIndex(0);
    QCOMPARE(user_config.units.units_value, 0xA9u | (0x3Fu << 9));
    child<QComboBox>(*w, "comboBox_altitude")->setCurrentIndex(1);
    child<QComboBox>(*w, "comboBox_temp")->setCurrentIndex(1);
    child<QComboBox>(*w, "comboBox_pressure")->setCurrentIndex(1);
    child<QComboBox>(*w, "comboBox_airspeed")->setCurrentIndex(1);
    QCOMPARE(user_config.units.units_value, 0x152u | (0x3Fu << 9));
    QVERIFY(w->changedValues().count(UNITS_VALUE_INDEX) == 1);
}

void WindowFormTest::field_edits_update_record_and_mark_changes()
{
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    child<QSpinBox>(*w, "spinBox_vs0")->setValue(47);
    child<QDoubleSpinBox>(*w, "max_volt_warn_value")->setValue(13.7);
    child<QDoubleSpinBox>(*w, "min_volt_alert_value")->setValue(10.9);
    child<QSlider>(*w, "backlight_slider")->setValue(21);
    child<QSlider>(*w, "text_bg_alpha_slider")->setValue(0);
    child<QDoubleSpinBox>(*w, "pitch_corr_spinbox")->setValue(-3.2);
    child<QComboBox>(*w, "comboBox_emitter_cat")->setCurrentIndex(9);
    child<QComboBox>(*w, "comboBox_map_view")->setCurrentIndex(0);
    child<QComboBox>(*w, "comboBox_term_res")->setCurrentIndex(1);

    QCOMPARE(user_config.vspeeds.Vs0, 47);
    QCOMPARE(user_config.volt_warnings.max_volts, 137);
    QCOMPARE(user_config.volt_alerts.min_volts, 109);
    QCOMPARE(user_config.backlight_brightness, 21u);
    QCOMPARE(user_config.text_bg_alpha, 0u);
    QCOMPARE(user_config.pitch_correction, -3.2f);
    QCOMPARE(user_config.emitter_cat, 9u);
    QCOMPARE(user_config.map_track, map_north_up);
    QCOMPARE(user_config.enable_term_resistor, 0u);
    QCOMPARE(user_config.crc32, settings_CalcCRC(&user_config));
    const std::set<settings_struct_index> expected = {
        VS0_INDEX,           MAX_VOLTS_INDEX,        MIN_VOLTS_ALERT_INDEX, BACKLIGHT_BRIGHTNESS_INDEX,
        TEXT_BG_ALPHA_INDEX, PITCH_CORRECTION_INDEX, EMITTER_CAT_INDEX,     MAP_DIR_INDEX,
        TERM_RESISTOR_INDEX};
    QCOMPARE(w->changedValues(), expected);
    QCOMPARE(unit->requests().size(), size_t{1 + 40}); // WHOAMI and the load; edits stay local
}

void WindowFormTest::icao_field_parsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("stored");
    QTest::newRow("hex with zeros") << "00A1F4" << 0x00A1F4u;
    QTest::newRow("digits read as hex") << "123456" << 0x123456u;
    QTest::newRow("lower case, spaces") << "  abcdef\n" << 0xABCDEFu;
    QTest::newRow("0x prefix") << "0x12" << 0u;
    QTest::newRow("word") << "hello" << 0u;
    QTest::newRow("low 24 bits") << "1234567" << 0x234567u;
    QTest::newRow("overflow") << "123456789" << 0u;
    QTest::newRow("empty") << "" << 0u;
}

void WindowFormTest::icao_field_parsing()
{
    QFETCH(QString, text);
    QFETCH(uint, stored);
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    child<QPlainTextEdit>(*w, "text_icao")->setPlainText(text);
    QCOMPARE(user_config.ownship_icao, stored);
    QVERIFY(w->changedValues().count(OWNSHIP_ICAO_INDEX) == 1);
}

void WindowFormTest::registration_edits_pack_bytes()
{
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    auto* prefix = child<QComboBox>(*w, "comboBox_reg_prefix");
    auto* number = child<QPlainTextEdit>(*w, "text_registration_num");

    prefix->setCurrentIndex(prefix->findText("G"));
    number->setPlainText("ABCDEFGHIJK");
    QCOMPARE(QByteArray(user_config.registration, 12), QByteArray("GABCDEFGHIJ\0", 12));
    QCOMPARE(settings_get_value(&user_config, REGISTRATION_1_INDEX), 0x47414243u);

    number->setPlainText("");
    QCOMPARE(QByteArray(user_config.registration, 12), QByteArray(12, '\0')); // prefix alone is not stored

    number->setPlainText(QString::fromUtf8("\xC3\xA9\xE2\x80\x93"));
    QCOMPARE(QByteArray(user_config.registration, 12), QByteArray("G\xE9?\0\0\0\0\0\0\0\0\0", 12));
    const std::set<settings_struct_index> regs = {REGISTRATION_1_INDEX, REGISTRATION_2_INDEX, REGISTRATION_3_INDEX};
    QCOMPARE(w->changedValues(), regs);
}

void WindowFormTest::colour_dialog_choice_and_cancel()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    const uint32_t before = user_config.gear_indi_color;

    support::cancelNextColorDialog();
    child<QPushButton>(*w, "color_picker_gear")->click();
    QCOMPARE(user_config.gear_indi_color, before);
    QVERIFY(w->changedValues().empty());

    support::chooseColorInNextDialog(QColor(255, 0, 0));
    child<QPushButton>(*w, "color_picker_sky1")->click();
    QCOMPARE(user_config.sky_color[1], 0xFFFF0000u);
    QCOMPARE(child<QPushButton>(*w, "color_picker_sky1")->styleSheet(), QString("background-color: #ff0000;"));
    QCOMPARE(w->changedValues(), std::set<settings_struct_index>{SKY_COLOR_1_INDEX});
}

void WindowFormTest::icao_radio_switch_runs_slot_for_both_buttons()
{
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    auto* use = child<QRadioButton>(*w, "radioButton_use_icao");
    auto* rnd = child<QRadioButton>(*w, "radioButton_rand_icao");
    QSignalSpy useSpy(use, &QRadioButton::toggled);
    QSignalSpy rndSpy(rnd, &QRadioButton::toggled);
    rnd->click();
    QCOMPARE(useSpy.count() + rndSpy.count(), 2);
    QVERIFY(!use->isChecked());
    QCOMPARE(user_config.icao_address_type, 1u);
    use->click();
    QCOMPARE(user_config.icao_address_type, 0u);
    QCOMPARE(w->changedValues(), std::set<settings_struct_index>{ICAO_ADDR_TYPE_INDEX});
}

QTEST_MAIN(WindowFormTest)
#include "test_window_form.moc"
