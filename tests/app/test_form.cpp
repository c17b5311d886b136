// The settings form: each field's edit goes into its record word and comes back after Update, Save
// and Load; a value a field cannot show is marked and kept. Load, Update, Save and Reboot as the
// status bar words each outcome, and Update's question before it sends implausible settings.
#include <bit>
#include <cstring>
#include <map>

#include "tests/app/app_tests.h"

using namespace app_tests;
using sim::FaultKind;

using Faults = std::vector<sim::Fault>;
Q_DECLARE_METATYPE(Faults)

namespace {

constexpr uint32_t kRead = 0x370, kSet = 0x390, kSave = 0x3A0;

// Field, value, the word it writes (SETTINGS_LAST_INDEX: a later row checks), and what the field
// shows after a load when that is not the value.
const std::tuple<const char*, QString, settings_struct_index, uint32_t, QString> kEdits[] = {
    {"spinBox_vs0", "47", VS0_INDEX, 47, {}},
    {"spinBox_vref", "66", APPROACHSPEED_INDEX, 66, {}},
    {"max_volt_warn_value", "13.7", MAX_VOLTS_INDEX, 137, {}},
    {"min_volt_alert_value", "10.9", MIN_VOLTS_ALERT_INDEX, 109, {}},
    {"max_volt_alert_value", "16.1", MAX_VOLTS_ALERT_INDEX, 161, {}},
    {"roll_corr_spinbox", "1.5", ROLL_CORRECTION_INDEX, std::bit_cast<uint32_t>(1.5f), {}},
    {"pitch_corr_spinbox", "-3.2", PITCH_CORRECTION_INDEX, std::bit_cast<uint32_t>(-3.2f), {}},
    {"backlight_slider", "3", BACKLIGHT_BRIGHTNESS_INDEX, 3, {}},
    {"text_bg_alpha_slider", "0", TEXT_BG_ALPHA_INDEX, 0, {}},
    {"comboBox_pressure", "Mbar", UNITS_VALUE_INDEX, 0x12A, {}},
    {"comboBox_emitter_cat", "B1 : Glider / sailplane", EMITTER_CAT_INDEX, 9, {}},
    {"comboBox_map_view", "North Up", MAP_DIR_INDEX, 0, {}},
    {"comboBox_term_res", "Disable", TERM_RESISTOR_INDEX, 0, {}},
    {"radioButton_rand_icao", "checked", ICAO_ADDR_TYPE_INDEX, 1, {}},
    {"text_icao", "00A1F4", OWNSHIP_ICAO_INDEX, 0x00A1F4, {}},
    {"color_picker_sky1", "#ff0000", SKY_COLOR_1_INDEX, 0xFFFF0000, {}},
    {"comboBox_reg_prefix", "G", SETTINGS_LAST_INDEX, 0, {}},
    // Prefix and number, at most 11 characters of them, packed first byte most significant.
    {"text_registration_num", "ABCDEFGHIJK", REGISTRATION_1_INDEX, 0x47414243, "ABCDEFGHIJ"},
};

// A value beyond what its field shows, in every kind of field: the fields marked, and what their
// marks say the unit holds.
const std::tuple<settings_struct_index, uint32_t, const char*, const char*> kUnshowable[] = {
    {UNITS_VALUE_INDEX, 0, "comboBox_airspeed comboBox_altitude comboBox_temp comboBox_pressure", "\"0x00000000\""},
    {VNE_INDEX, 250, "spinBox_vne", "250"},
    {MIN_VOLTS_INDEX, 20, "min_volt_warn_value", "2.0"},
    {RED_ARC_COLOR_INDEX, 0x80FF0000, "color_picker_red", "\"#80ff0000\""},
    {BACKLIGHT_BRIGHTNESS_INDEX, 40, "backlight_slider", "40"},
    {ROLL_CORRECTION_INDEX, std::bit_cast<uint32_t>(1.2345f), "roll_corr_spinbox", "1.2345"},
    {PITCH_CORRECTION_INDEX, 0x7FC00000, "pitch_corr_spinbox", "\"0x7FC00000\""},
    {TEXT_BG_ALPHA_INDEX, 300, "text_bg_alpha_slider", "300"},
    {OWNSHIP_ICAO_INDEX, 0x01A1B2C3, "text_icao", "\"0x01A1B2C3\""},
    {ICAO_ADDR_TYPE_INDEX, 2, "radioButton_use_icao radioButton_rand_icao", "\"0x00000002\""},
    {EMITTER_CAT_INDEX, 40, "comboBox_emitter_cat", "\"0x00000028\""},
    {TERM_RESISTOR_INDEX, 5, "comboBox_term_res", "\"0x00000005\""},
    {MAP_DIR_INDEX, 5, "comboBox_map_view", "\"0x00000005\""},
};

// The marked fields with what their tool tips say the unit holds.
std::map<QString, QString> marks(MainWindow& w)
{
    std::map<QString, QString> out;
    const QRegularExpression mark("^The EFIS holds (.*); this field cannot show it. It is kept unless you change "
                                  "this field.$");
    for (QFrame* frame : w.findChildren<QFrame*>("cannotShowFrame")) {
        out[frame->parentWidget()->objectName()] = mark.match(frame->parentWidget()->toolTip()).captured(1);
    }
    return out;
}

} // namespace

class FormTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void each_edit_reaches_the_unit_and_comes_back();
    void unshowable_values_are_marked_and_kept();
    void registration_shown_as_prefix_and_number();
    void outcomes_data();
    void outcomes();
    void update_asks_before_sending_implausible_settings();
};

void FormTest::each_edit_reaches_the_unit_and_comes_back()
{
    auto [unit, w] = open_on();
    QVERIFY(marks(*w).empty());
    std::set<settings_struct_index> edited{REGISTRATION_2_INDEX, REGISTRATION_3_INDEX};
    for (const auto& [field, value, index, word, reloaded] : kEdits) {
        edit(*w, field, value);
        if (index != SETTINGS_LAST_INDEX) {
            edited.insert(index);
            QVERIFY2(settings_get_value(&user_config, index) == word, field);
        }
    }
    QCOMPARE(w->changedValues(), edited);
    QCOMPARE(unit->requests().size(), size_t{1 + 40}); // identity and load: edits stay in the window

    click(*w, "pushButton_update");
    QCOMPARE(status(*w), QString("Successfully sent %1 configuration value(s) to device").arg(edited.size()));
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), kSaved);
    std::memset(&user_config, 0, sizeof user_config);
    click(*w, "pushButton_load");
    QCOMPARE(status(*w), kLoaded);
    for (const auto& [field, value, index, word, reloaded] : kEdits) {
        QCOMPARE(shown(*w, field), reloaded.isEmpty() ? value : reloaded);
    }
    // The ICAO field takes hex digits, of which the last six.
    const std::pair<const char*, uint32_t> icao[] = {{"  abcdef\n", 0xABCDEF}, {"1234567", 0x234567}, {"0x12", 0}};
    for (const auto& [text, word] : icao) {
        edit(*w, "text_icao", text);
        QVERIFY2(user_config.ownship_icao == word, text);
    }
}

void FormTest::unshowable_values_are_marked_and_kept()
{
    auto [unit, w] = open_on();
    child<QWidget>(*w, "spinBox_vne")->setToolTip("Never exceed"); // given back when the mark goes
    Settings_t record = demo_record();
    std::map<QString, QString> held;
    for (const auto& [index, word, fields, text] : kUnshowable) {
        record = with(record, {{index, word}});
        for (const QString& field : QString(fields).split(' ')) {
            held[field] = text;
        }
    }
    unit->load_settings(record);
    click(*w, "pushButton_load");
    QVERIFY(w->changedValues().empty());
    QCOMPARE(marks(*w), held);
    // Each shows its nearest value meanwhile.
    for (const QString& nearest : QString("comboBox_airspeed=Knots|spinBox_vne=240|min_volt_warn_value=5|"
                                          "backlight_slider=21|text_bg_alpha_slider=254|color_picker_red=#ff0000|"
                                          "roll_corr_spinbox=1.2|comboBox_emitter_cat=C5 : Line obstacle")
                                      .split('|')) {
        QCOMPARE(shown(*w, nearest.section('=', 0, 0).toLatin1()), nearest.section('=', 1));
    }
    // Save keeps every word the form could not show.
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), kSaved);
    const Settings_t stored = unit->stored_settings();
    QCOMPARE(std::memcmp(&stored, &record, sizeof stored), 0);

    // An edit ends its field's mark (a units edit all four boxes', an ICAO type both buttons'), and
    // the field's own tool tip is back.
    edit(*w, "spinBox_vne", "239");
    edit(*w, "comboBox_pressure", "Mbar");
    edit(*w, "radioButton_rand_icao", "checked");
    QCOMPARE(user_config.units.units_value, 0x12Au);
    for (const char* gone : {"spinBox_vne", "comboBox_airspeed", "comboBox_altitude", "comboBox_temp",
                             "comboBox_pressure", "radioButton_use_icao", "radioButton_rand_icao"}) {
        held.erase(gone);
    }
    QCOMPARE(marks(*w), held);
    QCOMPARE(child<QWidget>(*w, "spinBox_vne")->toolTip(), QString("Never exceed"));

    // A load the fields can show ends every mark.
    unit->load_settings(demo_record());
    click(*w, "pushButton_load");
    QVERIFY(marks(*w).empty());
}

// A known nationality prefix and the rest, or prefix N and the first ten characters when none
// matches; saved untouched, the registration is kept as it is, never as prefix and number joined.
void FormTest::registration_shown_as_prefix_and_number()
{
    const struct {
        QByteArray bytes;
        const char* prefix;
        const char* number;
    } rows[] = {{QByteArray(12, '\xFF'), "N", ""},
                {"CC123", "C", "C123"},
                {"EC-ABC", "EC", "-ABC"},
                {"QQ123456789", "N", "QQ12345678"},
                {"G1234567890Z", "G", "1234567890"}};
    for (const auto& row : rows) {
        Settings_t s = demo_record();
        std::memset(s.registration, 0, sizeof s.registration);
        std::memcpy(s.registration, row.bytes.constData(), static_cast<size_t>(row.bytes.size()));
        s.crc32 = 0;
        s.crc32 = settings_CalcCRC(&s);
        auto [unit, w] = open_on(s);
        QCOMPARE(shown(*w, "comboBox_reg_prefix") + "|" + shown(*w, "text_registration_num"),
                 QString(row.prefix) + "|" + row.number);
        click(*w, "pushButton_save");
        QCOMPARE(QByteArray(unit->stored_settings().registration, 12), QByteArray(s.registration, 12));
    }
}

void FormTest::outcomes_data()
{
    QTest::addColumn<QString>("edits"); // field=value ...
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QString>("buttons");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QList<int>>("unsent"); // what waits for Update afterwards
    const QString kept = "Error: Failed to store configuration to EEPROM";
    // The load asks for 252..255 and then 0..35: index 7 is the twelfth request.
    QTest::newRow("load, a value unanswered") << "" << Faults{{FaultKind::Ignore, kRead, 11}} << "load"
                                              << "Warning: Configuration loaded, but 1 value(s) could not be read "
                                                 "(index 7)"
                                              << QList<int>{};
    QTest::newRow("load, the checksum unanswered") << "spinBox_vs1=61" << Faults{{FaultKind::Ignore, kRead}} << "load"
                                                   << "Error: Failed to read checksum from device" << QList<int>{};
    QTest::newRow("load, the checksum not the record's")
        << "" << Faults{} << "load"
        << "Warning: Configuration CRC verification failed" << QList<int>{};
    QTest::newRow("update, nothing edited") << "" << Faults{} << "update"
                                            << "No changes to send" << QList<int>{};
    QTest::newRow("update, one value refused")
        << "spinBox_vmin=40 spinBox_vs0=41 spinBox_vs1=42" << Faults{{FaultKind::Nack, kSet, 1}} << "update"
        << "Sent 2 value(s), 1 failed" << QList<int>{};
    QTest::newRow("save, the erase unacknowledged")
        << "spinBox_vs1=42" << Faults{{FaultKind::NoReply, kSave, 0, 1, 0, 0}} << "save" << kept
        << QList<int>{VS1_INDEX};
    // The unit acknowledges the write but keeps its old value, and commits any checksum it is sent.
    QTest::newRow("save, a value not kept")
        << "spinBox_vne=210 spinBox_vs1=55"
        << Faults{{FaultKind::AckNoStore, kSet, 1}, {FaultKind::SaveUnchecked, kSave}} << "update save"
        << "Error: The EFIS did not keep the saved settings: vne read back different values" << QList<int>{VNE_INDEX};
    // After the record's version and length, the read-back asks for 0..35: vne is the ninth request.
    QTest::newRow("save, the read-back unanswered")
        << "" << Faults{{FaultKind::Ignore, kRead, 8}} << "save"
        << "Error: The EFIS saved the settings but did not answer when vne (index 6) was read back" << QList<int>{};
    QTest::newRow("reboot") << "" << Faults{} << "reboot"
                            << "Reboot command sent to device" << QList<int>{};
}

void FormTest::outcomes()
{
    QFETCH(QString, edits);
    QFETCH(Faults, faults);
    QFETCH(QString, buttons);
    QFETCH(QString, status);
    QFETCH(QList<int>, unsent);
    auto [unit, w] = open_on();
    for (const QString& e : edits.split(' ', Qt::SkipEmptyParts)) {
        edit(*w, e.section('=', 0, 0).toLatin1(), e.section('=', 1));
    }
    if (QByteArray(QTest::currentDataTag()) == "load, the checksum not the record's") {
        Settings_t stale = demo_record();
        stale.crc32 ^= 1;
        unit->load_settings(stale);
    }
    for (const sim::Fault& f : faults) {
        unit->inject(f);
    }
    const QString before = shown(*w, "spinBox_vs1");
    for (const QString& button : buttons.split(' ')) {
        click(*w, ("pushButton_" + button).toLatin1());
    }
    QCOMPARE(support::status(*w), status);
    QCOMPARE(QList<int>(w->changedValues().begin(), w->changedValues().end()), unsent);
    if (status.startsWith("Error")) {
        QCOMPARE(shown(*w, "spinBox_vs1"), before); // the form is left as it was
    }
}

void FormTest::update_asks_before_sending_implausible_settings()
{
    auto [unit, w] = open_on(); // vs0 45, vs1 50, vfe 85, vn0 130
    edit(*w, "spinBox_vs1", "140");
    edit(*w, "spinBox_vfe", "40");
    unit->clear_log();
    {
        support::MessageBoxes cancel("Escape");
        click(*w, "pushButton_update");
        QCOMPARE(cancel.seen.size(), 1);
        QCOMPARE(cancel.seen[0].title + ": " + cancel.seen[0].text,
                 QString("Check these settings: vs1 140 is not below vn0 130\nvs0 45 is not below vfe 40"));
        QCOMPARE(cancel.seen[0].buttons, (QStringList{"Send Anyway", "Cancel"}));
        QCOMPARE(cancel.seen[0].defaultButton, QString("Cancel"));
    }
    QVERIFY(unit->requests().empty());
    QCOMPARE(w->changedValues(), (std::set<settings_struct_index>{VS1_INDEX, VFE_INDEX}));
    QCOMPARE(support::status(*w), QString("Update cancelled - nothing was sent"));
    {
        support::MessageBoxes send("Send Anyway");
        click(*w, "pushButton_update");
        QCOMPARE(send.seen.size(), 1);
    }
    QCOMPARE(support::request_indices(*unit, kSet), (std::vector<uint32_t>{VS1_INDEX, VFE_INDEX}));
}

APP_TEST(FormTest);
#include "test_form.moc"
