// Save reads back what the unit kept, and a field that cannot show what the unit holds is marked
// instead of silently showing something else: through the real window against virtual units.
#include <QtTest>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>

#include <bit>
#include <map>
#include <memory>
#include <set>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "efis_shared/get_set.h"
#include "tests/support/window.h"

Q_DECLARE_METATYPE(sim::UnitConfig)

using support::child;
using support::open_window;
using support::status;

namespace {

const char* const kSaved = "Configuration saved to EEPROM successfully";

void click(MainWindow& w, const char* button)
{
    child<QPushButton>(w, button)->click();
}

sim::UnitConfig generation(sim::Generation g, uint8_t patch)
{
    sim::UnitConfig c;
    c.generation = g;
    c.version.version = 0;
    if (g == sim::Generation::Current) {
        c.version.minor = 2;
        c.version.patch = patch;
    }
    return c;
}

const Settings_t& demo_record()
{
    static const Settings_t r = sim::make_demo_unit()->working_settings();
    return r;
}

Settings_t with(Settings_t s, std::initializer_list<std::pair<settings_struct_index, uint32_t>> values)
{
    for (auto [index, value] : values) {
        settings_set_value(&s, index, &value);
    }
    return s;
}

// The demo record with a value beyond what its widget shows in every kind of field.
Settings_t unshowable_record()
{
    return with(demo_record(), {
                                   {UNITS_VALUE_INDEX, 0}, // no unit bit at all
                                   {VNE_INDEX, 250},       // the box stops at 240
                                   {MIN_VOLTS_INDEX, 20},  // 2.0 V, the box starts at 5.0
                                   {RED_ARC_COLOR_INDEX, 0x80FF0000},
                                   {BACKLIGHT_BRIGHTNESS_INDEX, 40}, // the slider stops at 21
                                   {ROLL_CORRECTION_INDEX, std::bit_cast<uint32_t>(1.2345f)},
                                   {TEXT_BG_ALPHA_INDEX, 300},
                                   {OWNSHIP_ICAO_INDEX, 0x01A1B2C3},
                                   {ICAO_ADDR_TYPE_INDEX, 2},
                                   {EMITTER_CAT_INDEX, 40},
                                   {TERM_RESISTOR_INDEX, 5},
                                   {MAP_DIR_INDEX, 5},
                               });
}

// What each marked widget's tool tip must say the unit holds, as a settings file writes it.
const std::map<QString, QString>& unshowable_marks()
{
    static const std::map<QString, QString> marks = {
        {"comboBox_airspeed", "\"0x00000000\""},
        {"comboBox_altitude", "\"0x00000000\""},
        {"comboBox_temp", "\"0x00000000\""},
        {"comboBox_pressure", "\"0x00000000\""},
        {"spinBox_vne", "250"},
        {"min_volt_warn_value", "2.0"},
        {"color_picker_red", "\"#80ff0000\""},
        {"backlight_slider", "40"},
        {"roll_corr_spinbox", "1.2345"},
        {"text_bg_alpha_slider", "300"},
        {"text_icao", "\"0x01A1B2C3\""},
        {"radioButton_use_icao", "\"0x00000002\""},
        {"radioButton_rand_icao", "\"0x00000002\""},
        {"comboBox_emitter_cat", "\"0x00000028\""},
        {"comboBox_term_res", "\"0x00000005\""},
        {"comboBox_map_view", "\"0x00000005\""},
    };
    return marks;
}

QString mark_text(const QString& held)
{
    return QString("The EFIS holds %1; this field cannot show it. It is kept unless you change this field.").arg(held);
}

QFrame* frame_of(QWidget* w)
{
    return w->findChild<QFrame*>("cannotShowFrame", Qt::FindDirectChildrenOnly);
}

// The widgets marked now, by name.
std::set<QString> marked(MainWindow& w)
{
    std::set<QString> out;
    for (QWidget* c : w.findChildren<QWidget*>()) {
        if (c->property("efisCannotShow").toBool()) {
            out.insert(c->objectName());
        }
    }
    return out;
}

std::set<QString> names_of(const std::map<QString, QString>& marks)
{
    std::set<QString> out;
    for (const auto& [name, held] : marks) {
        out.insert(name);
    }
    return out;
}

// Every widget's tool tip, by name: what a mark must give back.
std::map<QString, QString> tool_tips(MainWindow& w)
{
    std::map<QString, QString> out;
    for (const auto& [name, held] : unshowable_marks()) {
        out[name] = w.findChild<QWidget*>(name)->toolTip();
    }
    return out;
}

// The indices the window read after its last save frame: its read-back.
std::vector<uint32_t> read_back(const sim::VirtualUnit& unit, uint32_t save_id, uint32_t read_id)
{
    std::vector<uint32_t> out;
    for (const COMMS_MSG_t& f : unit.requests()) {
        const uint32_t id = f.can_ID;
        if (id == save_id) {
            out.clear();
        } else if (id == read_id) {
            out.push_back(f.data[0]);
        }
    }
    return out;
}

} // namespace

class WindowVerifiedSaveTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }

    void save_reads_back_what_the_unit_kept_data();
    void save_reads_back_what_the_unit_kept();
    void demo_record_marks_nothing();
    void unshowable_values_are_marked();
    void marks_go_with_an_edit_or_a_showable_load();
    void marked_colour_keeps_its_alpha_until_edited();
};

void WindowVerifiedSaveTest::save_reads_back_what_the_unit_kept_data()
{
    QTest::addColumn<sim::UnitConfig>("config");
    QTest::addColumn<uint32_t>("read_id");
    QTest::addColumn<uint32_t>("set_id");
    QTest::addColumn<uint32_t>("save_id");
    QTest::newRow("current 0.2.12") << generation(sim::Generation::Current, 12) << 0x370u << 0x390u << 0x3A0u;
    QTest::newRow("current 0.2.11") << generation(sim::Generation::Current, 11) << 0x376u << 0x378u << 0x379u;
    QTest::newRow("legacy") << generation(sim::Generation::Legacy, 0) << 0x376u << 0x378u << 0x379u;
}

void WindowVerifiedSaveTest::save_reads_back_what_the_unit_kept()
{
    QFETCH(sim::UnitConfig, config);
    QFETCH(uint32_t, read_id);
    QFETCH(uint32_t, set_id);
    QFETCH(uint32_t, save_id);
    auto unit = support::plug_unit(config);
    unit->load_settings(demo_record());
    auto w = open_window();
    support::QtStreamCapture out(1);
    support::QtStreamCapture err(2);

    // A clean save: every value and the checksum read back, and the success text stays.
    child<QSpinBox>(*w, "spinBox_vne")->setValue(200);
    click(*w, "pushButton_update");
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString(kSaved));
    std::vector<uint32_t> every;
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        every.push_back(i);
    }
    every.push_back(SETTINGS_CHECKSUM_INDEX);
    QCOMPARE(read_back(*unit, save_id, read_id), every);
    QCOMPARE(unit->stored_settings().vspeeds.Vne, 200);

    // The unit acknowledges the write but keeps its old value, and commits whatever checksum it
    // is sent: Save names the setting, and the form stays as the user left it.
    unit->inject({sim::FaultKind::AckNoStore, set_id, 0, 1});
    unit->inject({sim::FaultKind::SaveUnchecked, save_id, 0, 1});
    child<QSpinBox>(*w, "spinBox_vne")->setValue(210);
    click(*w, "pushButton_update");
    QCOMPARE(status(*w), QString("Successfully sent 1 configuration value(s) to device"));
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString("Error: The EFIS did not keep the saved settings: vne read back different values"));
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 210);
    QCOMPARE(user_config.vspeeds.Vne, 210);
    QCOMPARE(unit->stored_settings().vspeeds.Vne, 200);

    // Several settings, a three-word one among them, and an edit not yet sent: all named in
    // index order, and the unsent edit is still waiting for Update.
    unit->inject({sim::FaultKind::AckNoStore, set_id, 0, -1});
    unit->inject({sim::FaultKind::SaveUnchecked, save_id, 0, 1});
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(58);
    child<QPlainTextEdit>(*w, "text_registration_num")->setPlainText("777ZX");
    click(*w, "pushButton_update");
    child<QSpinBox>(*w, "spinBox_vlo")->setValue(111);
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString("Error: The EFIS did not keep the saved settings: vs1, vne, vlo, registration read "
                                 "back different values"));
    // What the unit did not keep waits for Update again, beside the edit that was never sent.
    QCOMPARE(w->changedValues(), (std::set<settings_struct_index>{VS1_INDEX, VNE_INDEX, VLO_INDEX,
                                                                  REGISTRATION_1_INDEX, REGISTRATION_2_INDEX}));
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vs1")->value(), 58);
    QCOMPARE(child<QPlainTextEdit>(*w, "text_registration_num")->toPlainText(), QString("777ZX"));
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vlo")->value(), 111);

    // Trying again once the unit keeps what it is sent: Update and Save, and it holds the form.
    unit->clear_faults();
    click(*w, "pushButton_update");
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString(kSaved));
    const Settings_t stored = unit->stored_settings();
    QCOMPARE(stored.vspeeds.Vs1, 58);
    QCOMPARE(stored.vspeeds.Vne, 210);
    QCOMPARE(stored.vspeeds.Vlo, 111);
    QCOMPARE(QByteArray(stored.registration), QByteArray("N777ZX"));
}

void WindowVerifiedSaveTest::demo_record_marks_nothing()
{
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));
    QVERIFY(marked(*w).empty());
    QVERIFY(w->findChildren<QFrame*>("cannotShowFrame").isEmpty());
}

void WindowVerifiedSaveTest::unshowable_values_are_marked()
{
    auto unit = support::plug_unit();
    unit->load_settings(unshowable_record());
    auto w = open_window();
    QCOMPARE(status(*w), QString("Configuration successfully loaded from device"));
    QVERIFY(w->changedValues().empty()); // filling the form is no edit

    QCOMPARE(marked(*w), names_of(unshowable_marks()));
    for (const auto& [name, held] : unshowable_marks()) {
        QWidget* field = w->findChild<QWidget*>(name);
        QCOMPARE(field->toolTip(), mark_text(held));
        QVERIFY2(frame_of(field) != nullptr, qPrintable(name));
    }
    QCOMPARE(w->findChildren<QFrame*>("cannotShowFrame").size(), qsizetype(unshowable_marks().size()));

    // Each shows its nearest value meanwhile.
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 240);
    QCOMPARE(child<QSlider>(*w, "text_bg_alpha_slider")->value(), 254);
    QCOMPARE(child<QComboBox>(*w, "comboBox_emitter_cat")->currentIndex(),
             child<QComboBox>(*w, "comboBox_emitter_cat")->count() - 1);
    QCOMPARE(child<QPushButton>(*w, "color_picker_red")->styleSheet(), QString("background-color: #ff0000;"));

    // The frame covers its field once the window is laid out and shown, not only as first made.
    w->resize(1400, 1000);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    for (const auto& [name, held] : unshowable_marks()) {
        QWidget* field = w->findChild<QWidget*>(name);
        QCOMPARE(frame_of(field)->geometry(), field->rect());
        QVERIFY2(frame_of(field)->isVisible(), qPrintable(name));
    }
}

void WindowVerifiedSaveTest::marks_go_with_an_edit_or_a_showable_load()
{
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    support::QtStreamCapture out(1);
    // Fields with tool tips of their own, which a mark stands in for while it lasts.
    for (const auto& [name, held] : unshowable_marks()) {
        w->findChild<QWidget*>(name)->setToolTip("what " + name + " is for");
    }
    const std::map<QString, QString> own_tips = tool_tips(*w);

    unit->load_settings(unshowable_record());
    click(*w, "pushButton_load");
    QCOMPARE(marked(*w), names_of(unshowable_marks()));

    // An edit ends the mark of its field, and only that one; the field's own tool tip comes back.
    child<QSpinBox>(*w, "spinBox_vne")->setValue(239);
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->toolTip(), own_tips.at("spinBox_vne"));
    QVERIFY(frame_of(child<QSpinBox>(*w, "spinBox_vne")) == nullptr);
    QVERIFY(w->changedValues().count(VNE_INDEX) == 1);
    // A units edit writes the whole word: all four boxes lose their mark. Likewise both radio buttons.
    child<QComboBox>(*w, "comboBox_pressure")->setCurrentIndex(1);
    child<QRadioButton>(*w, "radioButton_rand_icao")->setChecked(true);
    child<QPlainTextEdit>(*w, "text_icao")->setPlainText("A1B2C4");
    support::chooseColorInNextDialog(QColor(0, 0, 255));
    click(*w, "color_picker_red");
    QCOMPARE(user_config.red_arc_color, 0xFF0000FFu);

    const std::set<QString> edited = {"spinBox_vne",           "comboBox_airspeed", "comboBox_altitude",
                                      "comboBox_temp",         "comboBox_pressure", "radioButton_use_icao",
                                      "radioButton_rand_icao", "text_icao",         "color_picker_red"};
    std::set<QString> left = names_of(unshowable_marks());
    for (const QString& name : edited) {
        left.erase(name);
        QCOMPARE(w->findChild<QWidget*>(name)->toolTip(), own_tips.at(name));
    }
    QCOMPARE(marked(*w), left);

    // A load brings a value a marked field can show: its mark goes. One it still cannot show is
    // marked with what the unit now holds.
    unit->load_settings(with(demo_record(), {{VNE_INDEX, 245}}));
    click(*w, "pushButton_load");
    QCOMPARE(marked(*w), std::set<QString>{"spinBox_vne"});
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->toolTip(), mark_text("245"));
    for (const auto& [name, tip] : own_tips) {
        if (name != "spinBox_vne") {
            QCOMPARE(w->findChild<QWidget*>(name)->toolTip(), tip);
        }
    }
    unit->load_settings(demo_record());
    click(*w, "pushButton_load");
    QVERIFY(marked(*w).empty());
    QVERIFY(w->findChildren<QFrame*>("cannotShowFrame").isEmpty());
    QCOMPARE(tool_tips(*w), own_tips);
    QVERIFY(w->changedValues().empty());
}

// The button shows no alpha: a Save that did not touch the colour leaves the unit's word, mark
// and all; an edit replaces it with the opaque colour chosen.
void WindowVerifiedSaveTest::marked_colour_keeps_its_alpha_until_edited()
{
    auto unit = support::plug_unit();
    unit->load_settings(with(demo_record(), {{RED_ARC_COLOR_INDEX, 0x80FF0000}}));
    auto w = open_window();
    support::QtStreamCapture out(1);
    QCOMPARE(marked(*w), std::set<QString>{"color_picker_red"});

    child<QSpinBox>(*w, "spinBox_vs1")->setValue(57);
    click(*w, "pushButton_update");
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString(kSaved));
    QCOMPARE(unit->stored_settings().red_arc_color, 0x80FF0000u);
    QCOMPARE(unit->stored_settings().vspeeds.Vs1, 57);
    QCOMPARE(marked(*w), std::set<QString>{"color_picker_red"});

    support::chooseColorInNextDialog(QColor(255, 0, 0)); // the colour it shows, chosen
    click(*w, "color_picker_red");
    QVERIFY(marked(*w).empty());
    click(*w, "pushButton_update");
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), QString(kSaved));
    QCOMPARE(unit->stored_settings().red_arc_color, 0xFFFF0000u);
}

QTEST_MAIN(WindowVerifiedSaveTest)
#include "test_window_verified_save.moc"
