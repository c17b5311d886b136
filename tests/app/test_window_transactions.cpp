// Load, update, save and reboot through the real window and its buttons, against virtual units of
// both firmware generations.
#include <QtTest>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>

#include <cstring>
#include <memory>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "efis_shared/get_set.h"
#include "tests/support/window.h"

Q_DECLARE_METATYPE(sim::UnitConfig)

using support::child;
using support::open_window;
using support::status;

namespace {

void click(MainWindow& w, const char* button)
{
    child<QPushButton>(w, button)->click();
}

sim::UnitConfig current(uint8_t minor, uint8_t patch)
{
    sim::UnitConfig c;
    c.version.version = 0;
    c.version.minor = minor;
    c.version.patch = patch;
    return c;
}

sim::UnitConfig legacy()
{
    sim::UnitConfig c;
    c.generation = sim::Generation::Legacy;
    return c;
}

// A unit of the given kind holding the demo unit's settings.
std::shared_ptr<sim::VirtualUnit> plug(const sim::UnitConfig& config)
{
    auto unit = support::plug_unit(config);
    unit->load_settings(sim::make_demo_unit()->working_settings());
    return unit;
}

size_t count_requests(const sim::VirtualUnit& unit, uint32_t id)
{
    size_t n = 0;
    for (const COMMS_MSG_t& f : unit.requests()) {
        n += f.can_ID == id ? 1 : 0;
    }
    return n;
}

} // namespace

class WindowTransactionsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }

    void edit_update_save_reload_data();
    void edit_update_save_reload();
    void stored_all_ones_word_loads_as_itself();
    void load_with_an_ordinary_index_unanswered();
    void load_with_the_checksum_unanswered();
    void load_outcomes_that_are_not_a_success();
    void save_keeps_what_the_form_cannot_show();
    void update_with_one_failing_index();
    void save_without_flash_acknowledgement();
    void save_refused_by_the_unit();
    void reboot_sends_exactly_one_frame();
};

void WindowTransactionsTest::edit_update_save_reload_data()
{
    QTest::addColumn<sim::UnitConfig>("config");
    QTest::addColumn<uint32_t>("set_id");
    QTest::newRow("current 0.2.12") << current(2, 12) << uint32_t{0x390};
    QTest::newRow("current 0.2.11") << current(2, 11) << uint32_t{0x378};
    QTest::newRow("legacy") << legacy() << uint32_t{0x378};
}

void WindowTransactionsTest::edit_update_save_reload()
{
    QFETCH(sim::UnitConfig, config);
    QFETCH(uint32_t, set_id);
    auto unit = plug(config);
    auto w = open_window();
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));

    child<QSpinBox>(*w, "spinBox_vfe")->setValue(92);
    child<QDoubleSpinBox>(*w, "max_volt_alert_value")->setValue(16.1);
    child<QComboBox>(*w, "comboBox_pressure")->setCurrentIndex(1);
    child<QComboBox>(*w, "comboBox_emitter_cat")->setCurrentIndex(7);
    child<QPlainTextEdit>(*w, "text_registration_num")->setPlainText("777ZX");
    child<QSlider>(*w, "backlight_slider")->setValue(3);
    child<QDoubleSpinBox>(*w, "roll_corr_spinbox")->setValue(1.5);
    const size_t edited = w->changedValues().size();
    QCOMPARE(edited, size_t{9}); // units, Vfe, alert, emitter, three registration words, brightness, roll

    support::QtStreamCapture out(1);
    click(*w, "pushButton_update");
    QCOMPARE(status(*w), QString("Successfully sent %1 configuration value(s) to device").arg(edited));
    QCOMPARE(count_requests(*unit, set_id), edited);
    QVERIFY(w->changedValues().empty());

    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString("Configuration saved to EEPROM successfully"));
    const auto saves = unit->saves();
    QCOMPARE(saves.size(), size_t{1});
    QVERIFY(saves[0].matched && saves[0].committed);
    Settings_t expected = user_config;
    expected.crc32 = 0;
    QCOMPARE(saves[0].crc_received, settings_CalcCRC(&expected));
    const Settings_t stored = unit->stored_settings();
    QCOMPARE(std::memcmp(&stored.magic, &user_config.magic, sizeof(Settings_t) - 4), 0);

    // A fresh load shows the edits.
    std::memset(&user_config, 0, sizeof user_config);
    click(*w, "pushButton_load");
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vfe")->value(), 92);
    QCOMPARE(child<QDoubleSpinBox>(*w, "max_volt_alert_value")->value(), 16.1);
    QCOMPARE(child<QComboBox>(*w, "comboBox_pressure")->currentText(), QString("Mbar"));
    QCOMPARE(child<QComboBox>(*w, "comboBox_emitter_cat")->currentIndex(), 7);
    QCOMPARE(child<QPlainTextEdit>(*w, "text_registration_num")->toPlainText(), QString("777ZX"));
    QCOMPARE(child<QSlider>(*w, "backlight_slider")->value(), 3);
    QCOMPARE(child<QDoubleSpinBox>(*w, "roll_corr_spinbox")->value(), 1.5);
    QVERIFY(out.text().find("CRC Check Passed.\n") != std::string::npos);
}

void WindowTransactionsTest::stored_all_ones_word_loads_as_itself()
{
    // The demo unit's airplane and gear colours are opaque white, 0xFFFFFFFF.
    auto unit = plug(current(2, 12));
    support::QtStreamCapture err(2);
    auto w = open_window();
    QCOMPARE(user_config.airplane_color, 0xFFFFFFFFu);
    QCOMPARE(child<QPushButton>(*w, "color_picker_airplane")->styleSheet(), QString("background-color: #ffffff;"));
    QVERIFY(err.text().find("Failed to read value") == std::string::npos);
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));
}

void WindowTransactionsTest::load_with_an_ordinary_index_unanswered()
{
    auto unit = plug(current(2, 12));
    auto w = open_window();
    // The load asks for 252..255 and then 0..35: index 7 is the twelfth request.
    unit->inject({sim::FaultKind::Ignore, 0x370, 11, 1});
    support::QtStreamCapture err(2);
    click(*w, "pushButton_load");
    const std::string log = err.text();
    QVERIFY(log.find("Debug: Warning: Failed to read value for index 7 , setting to 0") != std::string::npos);
    QVERIFY(log.find("Debug: CRC mismatch: Calculated =") != std::string::npos);
    QCOMPARE(user_config.vspeeds.VRef, 0);
    QCOMPARE(user_config.vspeeds.Vlo, 100); // the load went on
    QCOMPARE(status(*w), QString("Warning: Configuration loaded, but 1 value(s) could not be read (index 7)"));
}

void WindowTransactionsTest::load_with_the_checksum_unanswered()
{
    auto unit = plug(current(2, 12));
    auto w = open_window();
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(77);
    unit->inject({sim::FaultKind::Ignore, 0x370, 0, 1});
    click(*w, "pushButton_load");
    QCOMPARE(status(*w), QString("Error: Failed to read checksum from device"));
    const Settings_t zero{};
    QCOMPARE(std::memcmp(&user_config, &zero, sizeof zero), 0);
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vs1")->value(), 77); // the form is left as it was
    QVERIFY(w->changedValues().empty());
}

void WindowTransactionsTest::load_outcomes_that_are_not_a_success()
{
    auto unit = plug(current(2, 12));
    auto w = open_window();
    support::QtStreamCapture out(1);
    support::QtStreamCapture err(2);
    // The load asks for 252..255 and then 0..35: indices 7 and 20 are requests 12 and 25.
    unit->inject({sim::FaultKind::Ignore, 0x370, 11, 1});
    unit->inject({sim::FaultKind::Ignore, 0x370, 24, 1});
    click(*w, "pushButton_load");
    QCOMPARE(status(*w), QString("Warning: Configuration loaded, but 2 value(s) could not be read (index 7, 20)"));
    QCOMPARE(user_config.vspeeds.VRef, 0);

    // Every value read, but the record does not match the checksum the unit reports.
    Settings_t stale = unit->working_settings();
    stale.crc32 ^= 0x1u;
    unit->load_settings(stale);
    click(*w, "pushButton_load");
    QCOMPARE(status(*w), QString("Warning: Configuration CRC verification failed"));
    QCOMPARE(user_config.vspeeds.Vne, stale.vspeeds.Vne); // the form is filled all the same

    unit->load_settings(sim::make_demo_unit()->working_settings());
    click(*w, "pushButton_load");
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));
}

// Values the widgets cannot show survive a Save the user did not ask to change them in: the
// checksum sent is the unit's own, and the unit keeps every word. An edited field is stored.
void WindowTransactionsTest::save_keeps_what_the_form_cannot_show()
{
    auto unit = plug(current(2, 12));
    Settings_t odd = unit->working_settings();
    const std::pair<settings_struct_index, uint32_t> values[] = {
        {UNITS_VALUE_INDEX, 0xAAu | 0x400u}, // a stray bit above the unit bits
        {VNE_INDEX, 250},                    // the box stops at 240
        {MIN_VOLTS_INDEX, 20},               // 2.0 V, below the box's 5.0
        {MAX_VOLTS_ALERT_INDEX, 700},        // 70.0 V, above its 65.0
        {SKY_COLOR_0_INDEX, 0x803C78D8},     // alpha below 0xFF
        {AIRPLANE_COLOR_INDEX, 0x00FFFFFF},
        {BACKLIGHT_BRIGHTNESS_INDEX, 40},
        {ROLL_CORRECTION_INDEX, 0x3F9E0419},  // 1.2345 degrees, shown as 1.2
        {PITCH_CORRECTION_INDEX, 0x7FC00000}, // NaN
        {TEXT_BG_ALPHA_INDEX, 300},
        {OWNSHIP_ICAO_INDEX, 0xFF000ABC},
        {ICAO_ADDR_TYPE_INDEX, 2},
        {EMITTER_CAT_INDEX, 40},
        {TERM_RESISTOR_INDEX, 5},
        {MAP_DIR_INDEX, 5},
    };
    for (auto [index, value] : values) {
        settings_set_value(&odd, index, &value);
    }
    unit->load_settings(odd);
    auto w = open_window();
    support::QtStreamCapture out(1);
    click(*w, "pushButton_save");
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const auto index = static_cast<settings_struct_index>(i);
        QCOMPARE(settings_get_value(&user_config, index), settings_get_value(&odd, index));
    }
    QCOMPARE(status(*w), QString("Configuration saved to EEPROM successfully"));
    QVERIFY(unit->saves().back().committed);

    child<QSlider>(*w, "text_bg_alpha_slider")->setValue(100);
    // 2.0 V for the low-voltage warning is below its alert: sent as the user confirms.
    support::answerNextMessageBox("Check these settings", "Send Anyway");
    click(*w, "pushButton_update");
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString("Configuration saved to EEPROM successfully"));
    const Settings_t stored = unit->stored_settings();
    QCOMPARE(stored.text_bg_alpha, 100u);
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const auto index = static_cast<settings_struct_index>(i);
        if (index != TEXT_BG_ALPHA_INDEX) {
            QCOMPARE(settings_get_value(&stored, index), settings_get_value(&odd, index));
        }
    }
}

void WindowTransactionsTest::update_with_one_failing_index()
{
    auto unit = plug(current(2, 12));
    auto w = open_window();
    child<QSpinBox>(*w, "spinBox_vmin")->setValue(40);
    child<QSpinBox>(*w, "spinBox_vs0")->setValue(41);
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(42);
    unit->inject({sim::FaultKind::Nack, 0x390, 1, 1});
    support::QtStreamCapture out(1);
    click(*w, "pushButton_update");
    QCOMPARE(status(*w), QString("Sent 2 value(s), 1 failed"));
    QVERIFY(out.text().find("NACK received for command CAN ID 0x390.") != std::string::npos);
    QCOMPARE(unit->working_settings().vspeeds.Vs0, sim::make_demo_unit()->working_settings().vspeeds.Vs0);
    QCOMPARE(unit->working_settings().vspeeds.Vs1, 42);
    click(*w, "pushButton_update");
    QCOMPARE(status(*w), QString("No changes to send"));
}

void WindowTransactionsTest::save_without_flash_acknowledgement()
{
    auto unit = plug(current(2, 12));
    auto w = open_window();
    unit->inject({sim::FaultKind::NoReply, 0x3A0, 0, 1, 0, 0}); // drop only the erase acknowledgement
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(42);
    support::QtStreamCapture err(2);
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString("Error: Failed to store configuration to EEPROM"));
    const std::string log = err.text();
    QVERIFY(log.find("Flash erase failed or timeout waiting for MX25 erase status") != std::string::npos);
    QVERIFY(log.find("Store command failed") == std::string::npos); // no wait for the second reply
    QCOMPARE(w->changedValues(), std::set<settings_struct_index>{VS1_INDEX});
    QCOMPARE(count_requests(*unit, 0x3A0), size_t{1});
}

void WindowTransactionsTest::save_refused_by_the_unit()
{
    // Edits not sent with Update leave the unit's record behind the form: the unit refuses a save
    // whose checksum is not its own, and the window says so.
    auto unit = plug(current(2, 12));
    auto w = open_window();
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(42);
    support::QtStreamCapture out(1);
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString("Error: Failed to store configuration to EEPROM"));
    QVERIFY(!unit->saves().at(0).matched);
    QVERIFY(!unit->saves().at(0).committed);
}

void WindowTransactionsTest::reboot_sends_exactly_one_frame()
{
    for (const sim::UnitConfig& config : {current(2, 12), legacy()}) {
        auto unit = plug(config);
        auto w = open_window();
        const size_t before = unit->requests().size();
        click(*w, "pushButton_reboot");
        QCOMPARE(status(*w), QString("Reboot command sent to device"));
        const auto frames = unit->requests();
        QCOMPARE(frames.size(), before + 1);
        const COMMS_MSG_t& f = frames.back();
        QCOMPARE(f.can_ID, config.generation == sim::Generation::Legacy ? 0x399u : 0x3B0u);
        QCOMPARE(int(f.msg_len), 1);
        QCOMPARE(int(f.data[0]), 0x48);
        QCOMPARE(unit->reboot_count(), 1);
        QVERIFY(w->commsManager()->isConnected());
        sim::unplug_all();
    }
}

QTEST_MAIN(WindowTransactionsTest)
#include "test_window_transactions.moc"
