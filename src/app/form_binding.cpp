// Binding between the settings form and user_config: filling the form, reading it back, and the
// per-field slots that record edits locally.
#include <QColor>
#include <QColorDialog>
#include <QDebug>
#include <QRegularExpression>
#include <QSignalBlocker>

#include <QDoubleSpinBox>
#include <QSlider>
#include <QSpinBox>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "app/mainwindow.h"
#include "app/registration_prefix.h"
#include "app/settings_store.h"
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"
#include "ui_mainwindow.h"

namespace {

int clamp_to_int(uint32_t v)
{
    return v > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

QString color_style(uint32_t word)
{
    return QString("background-color: %1;").arg(QString::fromStdString(settings_file::colour_rgb_text(word)));
}

const QRegularExpression& color_style_pattern()
{
    static const QRegularExpression re("background-color: #([0-9a-fA-F]{6});");
    return re;
}

// The colour a button's style sheet holds, opaque; false when the sheet holds none.
bool color_from_style(const QRegularExpression& re, const QString& sheet, uint32_t* out)
{
    const QRegularExpressionMatch m = re.match(sheet);
    if (!m.hasMatch()) {
        return false;
    }
    bool ok = false;
    const uint32_t rgb = m.captured(1).toUInt(&ok, 16);
    if (!ok) {
        return false;
    }
    *out = settings_file::opaque_colour(rgb);
    return true;
}

struct RegistrationWords {
    uint32_t w[3];
};

// Prefix and number joined, at most 11 Latin-1 bytes, NUL padded to 12, packed first byte most
// significant. An empty number stores no registration at all.
RegistrationWords encode_registration(const QString& prefix, const QString& number)
{
    unsigned char bytes[kRegistrationBytes] = {};
    if (!number.isEmpty()) {
        const QByteArray latin = (prefix + number).left(11).toLatin1();
        for (int i = 0; i < latin.size() && i < 11; ++i) {
            if (latin[i] == '\0') {
                break;
            }
            bytes[i] = static_cast<unsigned char>(latin[i]);
        }
    }
    RegistrationWords r{};
    settings_file::registration_words(bytes, r.w);
    return r;
}

struct RegistrationView {
    QString prefix;
    QString number;
};

// How the form shows a stored registration: a known nationality prefix and the rest, or prefix N
// and the first 10 characters when no prefix matches.
RegistrationView decode_registration(const char (&registration)[kRegistrationBytes], bool log)
{
    const auto* reg = reinterpret_cast<const unsigned char*>(registration);
    int length = 0;
    while (length < 11 && reg[length] != 0xFF && reg[length] != 0x00) {
        ++length;
    }
    if (length == 0) {
        return {"N", QString()};
    }
    const QString text = QString::fromLatin1(registration, length);
    QString prefix;
    for (int i = 0; i < NUM_REGISTRATION_PREFIXES; ++i) {
        const QString candidate = QString::fromLatin1(REGISTRATION_PREFIXES[i]);
        if (text.startsWith(candidate)) {
            prefix = candidate;
            break;
        }
    }
    if (log) {
        qDebug() << "Created string:" << text;
        qDebug() << "Found prefix:" << prefix;
    }
    if (!prefix.isEmpty()) {
        return {prefix, text.mid(prefix.size(), 11 - prefix.size())};
    }
    return {"N", text.left(10)};
}

uint32_t units_from_form(uint32_t word, int airspeed, int altitude, int temperature, int pressure)
{
    return settings_file::units_with(word, static_cast<unsigned>(airspeed), static_cast<unsigned>(altitude),
                                     static_cast<unsigned>(temperature), static_cast<unsigned>(pressure));
}

} // namespace

void MainWindow::updateConfigValueLocal(settings_struct_index index, uint32_t value)
{
    if (!settings_set_value(&user_config, index, &value)) {
        qDebug() << "Error setting value for index" << static_cast<unsigned>(index);
        return;
    }
    changed_values.insert(index);
    editedSinceStart.insert(index);
}

// What the form shows for a record: each bound widget's value as filling the form from that record
// sets it, with the widgets' own clamping and rounding. Filling the form and reading it back both
// go through this, so a field counts as edited exactly when its widget differs from it.
struct MainWindow::FormView {
    QString color_styles[kColorCount];
    int airspeed, altitude, temperature, pressure;
    int vspeeds[8];
    double volts[4]; // warning min and max, alert min and max
    QString registration_prefix, registration_number;
    int backlight, text_bg_alpha;
    double roll, pitch;
    QString icao;
    int emitter;
    bool random_icao;
    int map_view;
    int term_res;
};

namespace {

int shown_in(const QSpinBox* w, int64_t v)
{
    return static_cast<int>(std::clamp<int64_t>(v, w->minimum(), w->maximum()));
}

int shown_in(const QSlider* w, int64_t v)
{
    return static_cast<int>(std::clamp<int64_t>(v, w->minimum(), w->maximum()));
}

// What the box makes of a value: rounded to its decimals and bounded, NaN and infinities included,
// asked of a box like it rather than imitated.
double shown_in(const QDoubleSpinBox* w, double v)
{
    QDoubleSpinBox probe;
    probe.setDecimals(w->decimals());
    probe.setRange(w->minimum(), w->maximum());
    probe.setValue(v);
    return probe.value();
}

bool same_in(const QDoubleSpinBox* w, double a, double b)
{
    return std::fabs(a - b) < 0.5 * std::pow(10.0, -w->decimals());
}

} // namespace

std::array<MainWindow::ColorField, MainWindow::kColorCount> MainWindow::colorFields() const
{
    return {{
        {ui->color_picker_sky0, SKY_COLOR_0_INDEX},
        {ui->color_picker_sky1, SKY_COLOR_1_INDEX},
        {ui->color_picker_ground0, GROUND_COLOR_0_INDEX},
        {ui->color_picker_ground1, GROUND_COLOR_1_INDEX},
        {ui->color_picker_app_indi, APPROACH_COLOR_INDEX},
        {ui->color_picker_airplane, AIRPLANE_COLOR_INDEX},
        {ui->color_picker_green, GREEN_ARC_COLOR_INDEX},
        {ui->color_picker_yellow, YELLOW_ARC_COLOR_INDEX},
        {ui->color_picker_red, RED_ARC_COLOR_INDEX},
        {ui->color_picker_gear, GEAR_INDI_COLOR_INDEX},
    }};
}

std::array<QSpinBox*, 8> MainWindow::vspeedBoxes() const
{
    return {ui->spinBox_vmin, ui->spinBox_vs0, ui->spinBox_vs1,  ui->spinBox_vfe,
            ui->spinBox_vn0,  ui->spinBox_vne, ui->spinBox_vref, ui->spinBox_vlo};
}

std::array<QDoubleSpinBox*, 4> MainWindow::voltBoxes() const
{
    return {ui->min_volt_warn_value, ui->max_volt_warn_value, ui->min_volt_alert_value, ui->max_volt_alert_value};
}

MainWindow::FormView MainWindow::formViewOf(const Settings_t& c) const
{
    FormView v;
    const auto colors = colorFields();
    for (size_t i = 0; i < kColorCount; ++i) {
        v.color_styles[i] = color_style(settings_get_value(&c, colors[i].index));
    }

    const unit_bits_t& u = c.units.unit_bits;
    v.airspeed = u.is_mph ? 0 : u.is_knots ? 1 : u.is_kph ? 2 : 1;
    v.altitude = u.is_meters ? 1 : 0;
    v.temperature = u.is_celsius ? 1 : 0;
    v.pressure = u.is_mbar ? 1 : 0;

    const auto vspeeds = vspeedBoxes();
    for (size_t i = 0; i < vspeeds.size(); ++i) {
        v.vspeeds[i] = shown_in(vspeeds[i], settings_get_value(&c, static_cast<settings_struct_index>(VMIN_INDEX + i)));
    }
    const uint16_t volts[4] = {c.volt_warnings.min_volts, c.volt_warnings.max_volts, c.volt_alerts.min_volts,
                               c.volt_alerts.max_volts};
    const auto volt_boxes = voltBoxes();
    for (size_t i = 0; i < volt_boxes.size(); ++i) {
        v.volts[i] = shown_in(volt_boxes[i], settings_file::volts_of_tenths(volts[i]));
    }

    const RegistrationView reg = decode_registration(c.registration, false);
    v.registration_prefix = reg.prefix;
    v.registration_number = reg.number;
    v.backlight = shown_in(ui->backlight_slider, clamp_to_int(c.backlight_brightness));
    v.text_bg_alpha = shown_in(ui->text_bg_alpha_slider, c.text_bg_alpha > 254 ? 254 : c.text_bg_alpha);
    v.roll = shown_in(ui->roll_corr_spinbox, static_cast<double>(c.roll_correction));
    v.pitch = shown_in(ui->pitch_corr_spinbox, static_cast<double>(c.pitch_correction));
    v.icao = QString::fromStdString(settings_file::icao_text(c.ownship_icao));

    const int last_emitter = ui->comboBox_emitter_cat->count() - 1;
    const int emitter = static_cast<int32_t>(c.emitter_cat);
    v.emitter = emitter < 0 ? 0 : emitter > last_emitter ? last_emitter : emitter;
    v.random_icao = c.icao_address_type == 1;
    const int map = static_cast<int32_t>(c.map_track);
    v.map_view = map < 0 || map >= ui->comboBox_map_view->count() ? 0 : map;
    v.term_res = c.enable_term_resistor != 0 ? 0 : 1;
    return v;
}

void MainWindow::updateUIFromConfig()
{
    QWidget* const silenced[] = {
        ui->comboBox_airspeed,     ui->comboBox_altitude,     ui->comboBox_temp,        ui->comboBox_pressure,
        ui->spinBox_vmin,          ui->spinBox_vs0,           ui->spinBox_vs1,          ui->spinBox_vfe,
        ui->spinBox_vn0,           ui->spinBox_vne,           ui->spinBox_vref,         ui->spinBox_vlo,
        ui->min_volt_warn_value,   ui->max_volt_warn_value,   ui->min_volt_alert_value, ui->max_volt_alert_value,
        ui->text_registration_num, ui->comboBox_reg_prefix,   ui->backlight_slider,     ui->text_bg_alpha_slider,
        ui->roll_corr_spinbox,     ui->pitch_corr_spinbox,    ui->comboBox_emitter_cat, ui->text_icao,
        ui->radioButton_use_icao,  ui->radioButton_rand_icao, ui->comboBox_map_view,    ui->comboBox_term_res,
    };
    std::vector<QSignalBlocker> blockers;
    blockers.reserve(std::size(silenced));
    for (QWidget* w : silenced) {
        blockers.emplace_back(w);
    }

    const FormView v = formViewOf(user_config);
    const auto colors = colorFields();
    for (size_t i = 0; i < kColorCount; ++i) {
        colors[i].button->setStyleSheet(v.color_styles[i]);
    }

    ui->comboBox_airspeed->setCurrentIndex(v.airspeed);
    ui->comboBox_altitude->setCurrentIndex(v.altitude);
    ui->comboBox_temp->setCurrentIndex(v.temperature);
    ui->comboBox_pressure->setCurrentIndex(v.pressure);

    const auto vspeeds = vspeedBoxes();
    for (size_t i = 0; i < vspeeds.size(); ++i) {
        vspeeds[i]->setValue(v.vspeeds[i]);
    }
    const auto volt_boxes = voltBoxes();
    for (size_t i = 0; i < volt_boxes.size(); ++i) {
        volt_boxes[i]->setValue(v.volts[i]);
    }

    // Logged as the form shows it, once per fill.
    decode_registration(user_config.registration, true);
    ui->comboBox_reg_prefix->setCurrentIndex(ui->comboBox_reg_prefix->findText(v.registration_prefix));
    if (v.registration_number.isEmpty()) {
        ui->text_registration_num->clear();
    } else {
        ui->text_registration_num->setPlainText(v.registration_number);
    }

    ui->backlight_slider->setValue(v.backlight);
    ui->text_bg_alpha_slider->setValue(v.text_bg_alpha);
    ui->roll_corr_spinbox->setValue(v.roll);
    ui->pitch_corr_spinbox->setValue(v.pitch);
    ui->text_icao->setPlainText(v.icao);
    ui->comboBox_emitter_cat->setCurrentIndex(v.emitter);
    if (v.random_icao) {
        ui->radioButton_rand_icao->setChecked(true);
    } else {
        ui->radioButton_use_icao->setChecked(true);
    }
    ui->comboBox_map_view->setCurrentIndex(v.map_view);
    ui->comboBox_term_res->setCurrentIndex(v.term_res);

    markValuesFormCannotShow(unshowableValues(user_config, v));
}

// The fields whose widget shows something other than the record holds: what reading the form back
// as it now stands would store differs from the record's words.
std::vector<MainWindow::Unshowable> MainWindow::unshowableValues(const Settings_t& c, const FormView& v) const
{
    std::vector<Unshowable> out;
    auto check = [&](bool differs, settings_struct_index index, std::initializer_list<QWidget*> widgets) {
        if (differs) {
            out.push_back({index, std::vector<QWidget*>(widgets)});
        }
    };
    auto word = [&c](uint32_t index) { return settings_get_value(&c, static_cast<settings_struct_index>(index)); };

    const auto colors = colorFields();
    for (size_t i = 0; i < kColorCount; ++i) {
        // The button shows no alpha.
        check((word(colors[i].index) >> 24) != 0xFF, colors[i].index, {colors[i].button});
    }

    const uint32_t units = c.units.units_value;
    const uint32_t units_shown = units_from_form(units, v.airspeed, v.altitude, v.temperature, v.pressure);
    QWidget* const unit_boxes[] = {ui->comboBox_airspeed, ui->comboBox_altitude, ui->comboBox_temp,
                                   ui->comboBox_pressure};
    const uint32_t unit_masks[] = {0x007u, 0x018u, 0x060u, 0x180u};
    for (size_t g = 0; g < 4; ++g) {
        check(((units ^ units_shown) & unit_masks[g]) != 0, UNITS_VALUE_INDEX, {unit_boxes[g]});
    }

    const auto vspeeds = vspeedBoxes();
    for (size_t i = 0; i < vspeeds.size(); ++i) {
        const auto index = static_cast<settings_struct_index>(VMIN_INDEX + i);
        check(word(index) != static_cast<uint32_t>(v.vspeeds[i]), index, {vspeeds[i]});
    }
    const settings_struct_index volt_indices[4] = {MIN_VOLTS_INDEX, MAX_VOLTS_INDEX, MIN_VOLTS_ALERT_INDEX,
                                                   MAX_VOLTS_ALERT_INDEX};
    const auto volt_boxes = voltBoxes();
    for (size_t i = 0; i < volt_boxes.size(); ++i) {
        check(word(volt_indices[i]) != (settings_file::tenths_of_volts(v.volts[i]) & 0xFFFFu), volt_indices[i],
              {volt_boxes[i]});
    }

    const RegistrationWords reg = encode_registration(v.registration_prefix, v.registration_number);
    check(reg.w[0] != word(REGISTRATION_1_INDEX) || reg.w[1] != word(REGISTRATION_2_INDEX) ||
              reg.w[2] != word(REGISTRATION_3_INDEX),
          REGISTRATION_1_INDEX, {ui->comboBox_reg_prefix, ui->text_registration_num});

    check(c.backlight_brightness != static_cast<uint32_t>(v.backlight), BACKLIGHT_BRIGHTNESS_INDEX,
          {ui->backlight_slider});
    check(c.text_bg_alpha != static_cast<uint32_t>(v.text_bg_alpha), TEXT_BG_ALPHA_INDEX, {ui->text_bg_alpha_slider});
    check(word(ROLL_CORRECTION_INDEX) != settings_file::degrees_bits(v.roll), ROLL_CORRECTION_INDEX,
          {ui->roll_corr_spinbox});
    check(word(PITCH_CORRECTION_INDEX) != settings_file::degrees_bits(v.pitch), PITCH_CORRECTION_INDEX,
          {ui->pitch_corr_spinbox});
    check(c.ownship_icao > 0x00FFFFFFu, OWNSHIP_ICAO_INDEX, {ui->text_icao});
    check(c.icao_address_type != (v.random_icao ? 1u : 0u), ICAO_ADDR_TYPE_INDEX,
          {ui->radioButton_use_icao, ui->radioButton_rand_icao});
    check(c.emitter_cat != static_cast<uint32_t>(v.emitter), EMITTER_CAT_INDEX, {ui->comboBox_emitter_cat});
    check(static_cast<uint32_t>(c.map_track) != static_cast<uint32_t>(v.map_view), MAP_DIR_INDEX,
          {ui->comboBox_map_view});
    check(c.enable_term_resistor != (v.term_res == 0 ? 1u : 0u), TERM_RESISTOR_INDEX, {ui->comboBox_term_res});
    return out;
}

void MainWindow::updateConfigFromUI()
{
    readFormInto(&user_config);
}

// Stores each widget's value into the record only where the widget differs from what the record
// shows in it. A value the widget cannot show (a text background of 300, a stray unit bit, an
// alpha below 0xFF) stays as stored until its field is edited, so reading the form back never
// rewrites what the user did not touch.
void MainWindow::readFormInto(Settings_t* record) const
{
    auto set = [record](settings_struct_index index, uint32_t value) { settings_set_value(record, index, &value); };
    const FormView shown = formViewOf(*record);

    const QRegularExpression& re = color_style_pattern();
    const auto colors = colorFields();
    for (size_t i = 0; i < kColorCount; ++i) {
        // Compared by colour, not by sheet text: a marked button's sheet also carries its frame.
        uint32_t word;
        uint32_t shown_word;
        const QString sheet = colors[i].button->styleSheet();
        if (color_from_style(re, sheet, &word) && color_from_style(re, shown.color_styles[i], &shown_word) &&
            word != shown_word) {
            set(colors[i].index, word);
        }
    }

    const int airspeed = ui->comboBox_airspeed->currentIndex();
    const int altitude = ui->comboBox_altitude->currentIndex();
    const int temperature = ui->comboBox_temp->currentIndex();
    const int pressure = ui->comboBox_pressure->currentIndex();
    if (airspeed != shown.airspeed || altitude != shown.altitude || temperature != shown.temperature ||
        pressure != shown.pressure) {
        set(UNITS_VALUE_INDEX, units_from_form(record->units.units_value, airspeed, altitude, temperature, pressure));
    }

    const auto vspeeds = vspeedBoxes();
    for (size_t i = 0; i < vspeeds.size(); ++i) {
        if (vspeeds[i]->value() != shown.vspeeds[i]) {
            set(static_cast<settings_struct_index>(VMIN_INDEX + i), static_cast<uint32_t>(vspeeds[i]->value()));
        }
    }
    const settings_struct_index volt_indices[4] = {MIN_VOLTS_INDEX, MAX_VOLTS_INDEX, MIN_VOLTS_ALERT_INDEX,
                                                   MAX_VOLTS_ALERT_INDEX};
    const auto volt_boxes = voltBoxes();
    for (size_t i = 0; i < volt_boxes.size(); ++i) {
        if (!same_in(volt_boxes[i], volt_boxes[i]->value(), shown.volts[i])) {
            set(volt_indices[i], settings_file::tenths_of_volts(volt_boxes[i]->value()));
        }
    }

    const QString regPrefix = ui->comboBox_reg_prefix->currentText();
    const QString regNumber = ui->text_registration_num->toPlainText();
    if (regPrefix != shown.registration_prefix || regNumber != shown.registration_number) {
        const RegistrationWords reg = encode_registration(regPrefix, regNumber);
        set(REGISTRATION_1_INDEX, reg.w[0]);
        set(REGISTRATION_2_INDEX, reg.w[1]);
        set(REGISTRATION_3_INDEX, reg.w[2]);
    }

    if (ui->backlight_slider->value() != shown.backlight) {
        set(BACKLIGHT_BRIGHTNESS_INDEX, static_cast<uint32_t>(ui->backlight_slider->value()));
    }
    if (ui->text_bg_alpha_slider->value() != shown.text_bg_alpha) {
        set(TEXT_BG_ALPHA_INDEX, static_cast<uint32_t>(ui->text_bg_alpha_slider->value()));
    }
    if (!same_in(ui->roll_corr_spinbox, ui->roll_corr_spinbox->value(), shown.roll)) {
        set(ROLL_CORRECTION_INDEX, settings_file::degrees_bits(ui->roll_corr_spinbox->value()));
    }
    if (!same_in(ui->pitch_corr_spinbox, ui->pitch_corr_spinbox->value(), shown.pitch)) {
        set(PITCH_CORRECTION_INDEX, settings_file::degrees_bits(ui->pitch_corr_spinbox->value()));
    }
    if (ui->text_icao->toPlainText() != shown.icao) {
        set(OWNSHIP_ICAO_INDEX, ownshipIcaoFromIcaoField());
    }
    if (ui->radioButton_rand_icao->isChecked() != shown.random_icao) {
        set(ICAO_ADDR_TYPE_INDEX, ui->radioButton_rand_icao->isChecked() ? 1u : 0u);
    }
    if (ui->comboBox_emitter_cat->currentIndex() != shown.emitter) {
        set(EMITTER_CAT_INDEX, static_cast<uint32_t>(ui->comboBox_emitter_cat->currentIndex()));
    }
    if (ui->comboBox_map_view->currentIndex() != shown.map_view) {
        set(MAP_DIR_INDEX, static_cast<uint32_t>(ui->comboBox_map_view->currentIndex()));
    }
    if (ui->comboBox_term_res->currentIndex() != shown.term_res) {
        set(TERM_RESISTOR_INDEX, ui->comboBox_term_res->currentIndex() == 0 ? 1u : 0u);
    }
}

uint32_t MainWindow::ownshipIcaoFromIcaoField() const
{
    const QString text = ui->text_icao->toPlainText().trimmed();
    if (text.isEmpty()) {
        return 0;
    }
    static const QRegularExpression hex("^[\\da-fA-F]+$");
    bool ok = false;
    const uint32_t v = hex.match(text).hasMatch() ? text.toUInt(&ok, 16) : text.toUInt(&ok, 10);
    return ok ? (v & 0x00FFFFFFu) : 0;
}

bool MainWindow::pickColor(QPushButton* button, uint32_t current, const char* caption, int r, int g, int b)
{
    QColorDialog::setCustomColor(1, QColor(r, g, b));
    const QColor chosen = QColorDialog::getColor(QColor(static_cast<QRgb>(current & 0x00FFFFFFu)), this, tr(caption));
    if (!chosen.isValid()) {
        return false; // cancelled
    }
    button->setStyleSheet(QString("background-color: %1;").arg(chosen.name()));
    return true;
}

void MainWindow::colorChanged(QPushButton* button, settings_struct_index index)
{
    clearCannotShowMark({button});
    uint32_t word;
    if (color_from_style(color_style_pattern(), button->styleSheet(), &word)) {
        updateConfigValueLocal(index, word);
    }
}

// Colour pickers: the dialog's choice goes into the button's style sheet, and from there into the
// record through the row's colour-changed slot.

void MainWindow::onSkyColorPickerClicked()
{
    if (pickColor(ui->color_picker_sky0, user_config.sky_color[0], "Select Sky Color 0", 135, 206, 235)) {
        onSkyColor0Changed();
    }
}

void MainWindow::onSkyColor1PickerClicked()
{
    if (pickColor(ui->color_picker_sky1, user_config.sky_color[1], "Select Sky Color 1", 135, 206, 235)) {
        onSkyColor1Changed();
    }
}

void MainWindow::onGroundColorPickerClicked()
{
    if (pickColor(ui->color_picker_ground0, user_config.ground_color[0], "Select Ground Color 0", 34, 139, 34)) {
        onGroundColor0Changed();
    }
}

void MainWindow::onGroundColor1PickerClicked()
{
    if (pickColor(ui->color_picker_ground1, user_config.ground_color[1], "Select Ground Color 1", 34, 139, 34)) {
        onGroundColor1Changed();
    }
}

void MainWindow::onApproachIndiColorPickerClicked()
{
    if (pickColor(ui->color_picker_app_indi, user_config.vref_indi_color, "Select Approach Indicator Color", 255, 255,
                  0)) {
        onApproachIndiColorChanged();
    }
}

void MainWindow::onAirplaneColorPickerClicked()
{
    if (pickColor(ui->color_picker_airplane, user_config.airplane_color, "Select Airplane Color", 255, 255, 255)) {
        onAirplaneColorChanged();
    }
}

void MainWindow::onGreenArcColorPickerClicked()
{
    if (pickColor(ui->color_picker_green, user_config.green_arc_color, "Select Green Arc Color", 0, 255, 0)) {
        onGreenArcColorChanged();
    }
}

void MainWindow::onYellowArcColorPickerClicked()
{
    if (pickColor(ui->color_picker_yellow, user_config.yellow_arc_color, "Select Yellow Arc Color", 255, 255, 0)) {
        onYellowArcColorChanged();
    }
}

void MainWindow::onRedArcColorPickerClicked()
{
    if (pickColor(ui->color_picker_red, user_config.red_arc_color, "Select Red Arc Color", 255, 0, 0)) {
        onRedArcColorChanged();
    }
}

void MainWindow::onGearIndiColorPickerClicked()
{
    if (pickColor(ui->color_picker_gear, user_config.gear_indi_color, "Select Gear Indicator Color", 255, 255, 255)) {
        onGearIndiColorChanged();
    }
}

void MainWindow::onSkyColor0Changed()
{
    colorChanged(ui->color_picker_sky0, SKY_COLOR_0_INDEX);
}

void MainWindow::onSkyColor1Changed()
{
    colorChanged(ui->color_picker_sky1, SKY_COLOR_1_INDEX);
}

void MainWindow::onGroundColor0Changed()
{
    colorChanged(ui->color_picker_ground0, GROUND_COLOR_0_INDEX);
}

void MainWindow::onGroundColor1Changed()
{
    colorChanged(ui->color_picker_ground1, GROUND_COLOR_1_INDEX);
}

void MainWindow::onApproachIndiColorChanged()
{
    colorChanged(ui->color_picker_app_indi, APPROACH_COLOR_INDEX);
}

void MainWindow::onAirplaneColorChanged()
{
    colorChanged(ui->color_picker_airplane, AIRPLANE_COLOR_INDEX);
}

void MainWindow::onGreenArcColorChanged()
{
    colorChanged(ui->color_picker_green, GREEN_ARC_COLOR_INDEX);
}

void MainWindow::onYellowArcColorChanged()
{
    colorChanged(ui->color_picker_yellow, YELLOW_ARC_COLOR_INDEX);
}

void MainWindow::onRedArcColorChanged()
{
    colorChanged(ui->color_picker_red, RED_ARC_COLOR_INDEX);
}

void MainWindow::onGearIndiColorChanged()
{
    colorChanged(ui->color_picker_gear, GEAR_INDI_COLOR_INDEX);
}

void MainWindow::onUnitsChanged()
{
    user_config.units.units_value = units_from_form(
        user_config.units.units_value, ui->comboBox_airspeed->currentIndex(), ui->comboBox_altitude->currentIndex(),
        ui->comboBox_temp->currentIndex(), ui->comboBox_pressure->currentIndex());
    updateConfigValueLocal(UNITS_VALUE_INDEX, user_config.units.units_value);
}

void MainWindow::onVminChanged(int value)
{
    updateConfigValueLocal(VMIN_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onVs0Changed(int value)
{
    updateConfigValueLocal(VS0_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onVs1Changed(int value)
{
    updateConfigValueLocal(VS1_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onVfeChanged(int value)
{
    updateConfigValueLocal(VFE_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onVn0Changed(int value)
{
    updateConfigValueLocal(VN0_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onVneChanged(int value)
{
    updateConfigValueLocal(VNE_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onVrefChanged(int value)
{
    updateConfigValueLocal(APPROACHSPEED_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onVloChanged(int value)
{
    updateConfigValueLocal(VLO_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onMinVoltChanged(double value)
{
    updateConfigValueLocal(MIN_VOLTS_INDEX, settings_file::tenths_of_volts(value));
}

void MainWindow::onMaxVoltChanged(double value)
{
    updateConfigValueLocal(MAX_VOLTS_INDEX, settings_file::tenths_of_volts(value));
}

void MainWindow::onMinVoltAlertChanged(double value)
{
    updateConfigValueLocal(MIN_VOLTS_ALERT_INDEX, settings_file::tenths_of_volts(value));
}

void MainWindow::onMaxVoltAlertChanged(double value)
{
    updateConfigValueLocal(MAX_VOLTS_ALERT_INDEX, settings_file::tenths_of_volts(value));
}

void MainWindow::onRegistrationChanged()
{
    const RegistrationWords reg =
        encode_registration(ui->comboBox_reg_prefix->currentText(), ui->text_registration_num->toPlainText());
    std::memset(user_config.registration, 0, sizeof user_config.registration);
    updateConfigValueLocal(REGISTRATION_1_INDEX, reg.w[0]);
    updateConfigValueLocal(REGISTRATION_2_INDEX, reg.w[1]);
    updateConfigValueLocal(REGISTRATION_3_INDEX, reg.w[2]);
}

void MainWindow::onBacklightBrightnessChanged(int value)
{
    updateConfigValueLocal(BACKLIGHT_BRIGHTNESS_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onTextBgAlphaChanged(int value)
{
    updateConfigValueLocal(TEXT_BG_ALPHA_INDEX, static_cast<uint32_t>(value));
}

void MainWindow::onRollCorrectionChanged(double value)
{
    updateConfigValueLocal(ROLL_CORRECTION_INDEX, settings_file::degrees_bits(value));
}

void MainWindow::onPitchCorrectionChanged(double value)
{
    updateConfigValueLocal(PITCH_CORRECTION_INDEX, settings_file::degrees_bits(value));
}

void MainWindow::onOwnshipIcaoChanged()
{
    updateConfigValueLocal(OWNSHIP_ICAO_INDEX, ownshipIcaoFromIcaoField());
}

void MainWindow::onEmitterCatChanged(int index)
{
    updateConfigValueLocal(EMITTER_CAT_INDEX, static_cast<uint32_t>(index));
}

void MainWindow::onMapViewChanged(int index)
{
    updateConfigValueLocal(MAP_DIR_INDEX, static_cast<uint32_t>(index));
}

void MainWindow::onTermResChanged(int index)
{
    updateConfigValueLocal(TERM_RESISTOR_INDEX, index == 0 ? 1u : 0u);
}

void MainWindow::onIcaoAddressTypeChanged()
{
    updateConfigValueLocal(ICAO_ADDR_TYPE_INDEX, ui->radioButton_rand_icao->isChecked() ? 1u : 0u);
}
