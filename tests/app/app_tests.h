// What the window tests share: the test classes main runs, and the steps every flow takes (a
// window on a unit, a click, what a field shows and an edit of it, a look for the unit, an image).
#pragma once

#include <QtTest>
#include <QtWidgets>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "efis_shared/get_set.h"
#include "tests/support/files.h"
#include "tests/support/window.h"

namespace app_tests {

using namespace std::chrono_literals;
using support::child;
using support::status;

// Each test class adds itself with APP_TEST(Class); main runs them.
inline std::vector<QObject* (*)()>& registry()
{
    static std::vector<QObject* (*)()> classes;
    return classes;
}
#define APP_TEST(Class)                                                                                                \
    static const bool registered_##Class =                                                                             \
        (app_tests::registry().push_back([]() -> QObject* { return new Class; }), true)

inline const QString kLoaded = "Configuration successfully loaded from device";
inline const QString kSaved = "Configuration saved to EEPROM successfully";

inline const Settings_t& demo_record()
{
    static const Settings_t record = sim::make_demo_unit()->working_settings();
    return record;
}

inline Settings_t with(Settings_t s, std::initializer_list<std::pair<settings_struct_index, uint32_t>> values)
{
    for (auto [index, value] : values) {
        settings_set_value(&s, index, &value);
    }
    return s;
}

// A window that has connected to the demo unit (holding `record`) and loaded it.
struct Bench {
    std::shared_ptr<sim::VirtualUnit> unit;
    std::unique_ptr<MainWindow> w;
};
inline Bench open_on(const Settings_t& record = demo_record())
{
    auto unit = support::plug_demo_unit();
    unit->load_settings(record);
    return {unit, support::open_window()};
}

inline void click(MainWindow& w, const char* button)
{
    child<QAbstractButton>(w, button)->click();
}

// What a field shows: a number, a list's item, a text, whether it is checked, or a colour.
inline QString shown(MainWindow& w, const char* name)
{
    QWidget* f = child<QWidget>(w, name);
    if (auto* box = qobject_cast<QDoubleSpinBox*>(f)) {
        return QString::number(box->value());
    }
    for (const char* property : {"value", "currentText", "plainText"}) { // boxes and sliders, lists, texts
        if (f->property(property).isValid()) {
            return f->property(property).toString();
        }
    }
    if (qobject_cast<QRadioButton*>(f) != nullptr) {
        return f->property("checked").toBool() ? "checked" : "unchecked";
    }
    return f->styleSheet().section(' ', 1).chopped(1); // "background-color: #rrggbb;"
}

// Edits a field as a person would, to `value` as shown() gives it; a colour is picked in its dialog.
inline void edit(MainWindow& w, const char* name, const QString& value)
{
    QWidget* f = child<QWidget>(w, name);
    if (auto* list = qobject_cast<QComboBox*>(f)) {
        list->setCurrentIndex(list->findText(value));
    } else if (f->property("value").isValid() || f->property("plainText").isValid()) {
        f->setProperty(f->property("value").isValid() ? "value" : "plainText", value);
    } else {
        if (qobject_cast<QRadioButton*>(f) == nullptr) {
            support::chooseColorInNextDialog(QColor(value));
        }
        click(w, name);
    }
}

// One look of the watcher, now rather than at its next second. Its timer stops, so that only the
// test's looks happen.
inline void look(MainWindow& w)
{
    for (QTimer* t : w.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (t->interval() == 1000) {
            t->stop();
            QMetaObject::invokeMethod(t, "timeout");
            return;
        }
    }
    qFatal("the window has no watch timer");
}

// A firmware image file: a header stating `version` (0: none), then `bytes` bytes.
inline QString firmware_file(const support::TempDir& dir, const std::string& name, uint32_t bytes, uint32_t version = 0)
{
    firmware_header_t h{};
    h.magic = 0x46575631;
    h.version = version;
    h.total_size = h.plaintext_size = h.encrypted_size = bytes;
    return QString::fromStdString(dir.write(name, support::firmware_image(h, support::pattern(bytes))));
}

inline void choose_file(MainWindow& w, const char* browse, const QString& path)
{
    support::chooseFileInNextDialog(path);
    click(w, browse);
}

} // namespace app_tests
