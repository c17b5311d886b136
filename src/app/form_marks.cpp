// Fields that cannot show what the unit holds (a V-speed beyond its box, a colour with alpha, an
// emitter category the list lacks): the widget shows its nearest value, framed in red, and its
// tool tip says what the unit holds and that it is kept unless the field is edited.
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFrame>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>

#include <map>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"
#include "ui_mainwindow.h"

namespace {

constexpr const char* kMarkedProperty = "efisCannotShow";
constexpr const char* kPlainToolTipProperty = "efisPlainToolTip";
constexpr const char* kFrameName = "cannotShowFrame";

// Laid over its field at the field's size, which changes after the first load has marked it: the
// window is laid out when it is first shown, and again whenever it is resized.
class CannotShowFrame : public QFrame {
public:
    explicit CannotShowFrame(QWidget* field) : QFrame(field)
    {
        field->installEventFilter(this);
        setGeometry(field->rect());
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == parent() && event->type() == QEvent::Resize) {
            setGeometry(parentWidget()->rect());
        }
        return QFrame::eventFilter(watched, event);
    }
};

// The red frame is a child laid over the widget, not a style sheet: a colour button keeps its
// colour in its style sheet, and the other widgets keep their native look. It lets the mouse
// through, so the widget and its tool tip work as before.
void set_mark(QWidget* w, const QString& held)
{
    if (!w->property(kMarkedProperty).toBool()) {
        w->setProperty(kPlainToolTipProperty, w->toolTip());
    }
    w->setProperty(kMarkedProperty, true);
    auto* frame = w->findChild<QFrame*>(kFrameName, Qt::FindDirectChildrenOnly);
    if (frame == nullptr) {
        frame = new CannotShowFrame(w);
        frame->setObjectName(kFrameName);
        frame->setAttribute(Qt::WA_TransparentForMouseEvents);
        frame->setStyleSheet(QString("#%1 { border: 2px solid red; background: transparent; }").arg(kFrameName));
    }
    frame->raise();
    frame->show();
    w->setToolTip(
        QString("The EFIS holds %1; this field cannot show it. It is kept unless you change this field.").arg(held));
}

void clear_mark(QWidget* w)
{
    if (!w->property(kMarkedProperty).toBool()) {
        return;
    }
    w->setProperty(kMarkedProperty, false);
    delete w->findChild<QFrame*>(kFrameName, Qt::FindDirectChildrenOnly);
    w->setToolTip(w->property(kPlainToolTipProperty).toString());
}

// The setting a record index belongs to, as the settings file names it, and its words' text.
QString held_text(const Settings_t& record, settings_struct_index index)
{
    const settings_file::Values values = settings_file::values_of(record);
    for (const settings_file::Setting& s : settings_file::all_settings()) {
        if (index >= s.first && index < s.first + s.count) {
            return QString::fromStdString(settings_file::setting_text(s, &values.word[s.first]));
        }
    }
    return QString::fromStdString(settings_file::hex32(settings_get_value(&record, index)));
}

} // namespace

void MainWindow::markValuesFormCannotShow(const std::vector<Unshowable>& values)
{
    std::map<QWidget*, QString> marks;
    for (const Unshowable& u : values) {
        for (QWidget* w : u.widgets) {
            marks[w] = held_text(user_config, u.index);
        }
    }
    const QList<QWidget*> bound = {
        ui->color_picker_sky0,     ui->color_picker_sky1,     ui->color_picker_ground0,
        ui->color_picker_ground1,  ui->color_picker_app_indi, ui->color_picker_airplane,
        ui->color_picker_green,    ui->color_picker_yellow,   ui->color_picker_red,
        ui->color_picker_gear,     ui->comboBox_airspeed,     ui->comboBox_altitude,
        ui->comboBox_temp,         ui->comboBox_pressure,     ui->spinBox_vmin,
        ui->spinBox_vs0,           ui->spinBox_vs1,           ui->spinBox_vfe,
        ui->spinBox_vn0,           ui->spinBox_vne,           ui->spinBox_vref,
        ui->spinBox_vlo,           ui->min_volt_warn_value,   ui->max_volt_warn_value,
        ui->min_volt_alert_value,  ui->max_volt_alert_value,  ui->comboBox_reg_prefix,
        ui->text_registration_num, ui->backlight_slider,      ui->text_bg_alpha_slider,
        ui->roll_corr_spinbox,     ui->pitch_corr_spinbox,    ui->text_icao,
        ui->radioButton_use_icao,  ui->radioButton_rand_icao, ui->comboBox_emitter_cat,
        ui->comboBox_map_view,     ui->comboBox_term_res,
    };
    for (QWidget* w : bound) {
        if (const auto it = marks.find(w); it != marks.end()) {
            set_mark(w, it->second);
        } else {
            clear_mark(w);
        }
    }
}

void MainWindow::clearCannotShowMark(std::initializer_list<QWidget*> widgets)
{
    for (QWidget* w : widgets) {
        clear_mark(w);
    }
}

void MainWindow::connectCannotShowMarks()
{
    // An edit replaces what the unit held with what the field shows: the mark has said its piece.
    // A units edit writes all four groups, the registration both of its widgets.
    for (QComboBox* box : {ui->comboBox_airspeed, ui->comboBox_altitude, ui->comboBox_temp, ui->comboBox_pressure}) {
        connect(box, &QComboBox::currentIndexChanged, this, [this]() {
            clearCannotShowMark(
                {ui->comboBox_airspeed, ui->comboBox_altitude, ui->comboBox_temp, ui->comboBox_pressure});
        });
    }
    for (QSpinBox* box : vspeedBoxes()) {
        connect(box, &QSpinBox::valueChanged, this, [this, box]() { clearCannotShowMark({box}); });
    }
    for (QDoubleSpinBox* box : voltBoxes()) {
        connect(box, &QDoubleSpinBox::valueChanged, this, [this, box]() { clearCannotShowMark({box}); });
    }
    for (QDoubleSpinBox* box : {ui->roll_corr_spinbox, ui->pitch_corr_spinbox}) {
        connect(box, &QDoubleSpinBox::valueChanged, this, [this, box]() { clearCannotShowMark({box}); });
    }
    for (QSlider* slider : {ui->backlight_slider, ui->text_bg_alpha_slider}) {
        connect(slider, &QSlider::valueChanged, this, [this, slider]() { clearCannotShowMark({slider}); });
    }
    const auto registration = [this]() { clearCannotShowMark({ui->comboBox_reg_prefix, ui->text_registration_num}); };
    connect(ui->comboBox_reg_prefix, &QComboBox::currentTextChanged, this, registration);
    connect(ui->text_registration_num, &QPlainTextEdit::textChanged, this, registration);
    connect(ui->text_icao, &QPlainTextEdit::textChanged, this, [this]() { clearCannotShowMark({ui->text_icao}); });
    for (QRadioButton* radio : {ui->radioButton_use_icao, ui->radioButton_rand_icao}) {
        connect(radio, &QRadioButton::toggled, this, [this]() {
            clearCannotShowMark({ui->radioButton_use_icao, ui->radioButton_rand_icao});
        });
    }
    for (QComboBox* box : {ui->comboBox_emitter_cat, ui->comboBox_map_view, ui->comboBox_term_res}) {
        connect(box, &QComboBox::currentIndexChanged, this, [this, box]() { clearCannotShowMark({box}); });
    }
}
