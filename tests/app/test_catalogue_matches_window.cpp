// The settings catalogue says what the window offers for each setting; the command line repeats it
// to people who never open the window. This holds the two together: every range and every list of
// items in the catalogue is the widget's own, and every input field of the settings page is in the
// catalogue.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QSlider>
#include <QSpinBox>
#include <QtTest>

#include "settings_file/settings_file.h"
#include "tests/support/window.h"

using settings_file::WindowField;

class CatalogueMatchesWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { sim::unplug_all(); }
    void every_field_is_the_widgets_own();
    void every_input_on_the_settings_page_is_catalogued();
};

namespace {

QStringList texts(std::span<const char* const> items)
{
    QStringList out;
    for (const char* item : items) {
        out << QString::fromUtf8(item);
    }
    return out;
}

QString where(const settings_file::CatalogueEntry& e, const WindowField& f)
{
    return QString("%1 (%2)").arg(e.setting->name, f.widget);
}

} // namespace

void CatalogueMatchesWindowTest::every_field_is_the_widgets_own()
{
    const auto window = support::open_window();
    for (const settings_file::CatalogueEntry& e : settings_file::catalogue()) {
        for (const WindowField& f : e.window) {
            QObject* o = window->findChild<QObject*>(f.widget);
            QVERIFY2(o != nullptr, qPrintable(where(e, f) + ": no such widget"));
            switch (f.kind) {
            case WindowField::Kind::Range:
                if (auto* box = qobject_cast<QSpinBox*>(o)) {
                    QCOMPARE(box->minimum(), f.minimum);
                    QCOMPARE(box->maximum(), f.maximum);
                    QCOMPARE(f.decimals, 0);
                } else if (auto* slider = qobject_cast<QSlider*>(o)) {
                    QCOMPARE(slider->minimum(), f.minimum);
                    QCOMPARE(slider->maximum(), f.maximum);
                    QCOMPARE(f.decimals, 0);
                } else if (auto* dbox = qobject_cast<QDoubleSpinBox*>(o)) {
                    QCOMPARE(dbox->minimum(), f.minimum);
                    QCOMPARE(dbox->maximum(), f.maximum);
                    QCOMPARE(dbox->decimals(), f.decimals);
                } else {
                    QFAIL(qPrintable(where(e, f) + ": not a spin box or slider"));
                }
                break;
            case WindowField::Kind::Items: {
                auto* combo = qobject_cast<QComboBox*>(o);
                QVERIFY2(combo != nullptr, qPrintable(where(e, f) + ": not a combo box"));
                QStringList shown;
                for (int i = 0; i < combo->count(); ++i) {
                    shown << combo->itemText(i);
                }
                QCOMPARE(shown, texts(f.items));
                break;
            }
            case WindowField::Kind::RadioButtons: {
                auto* group = qobject_cast<QButtonGroup*>(o);
                QVERIFY2(group != nullptr, qPrintable(where(e, f) + ": not a button group"));
                QStringList shown;
                for (QAbstractButton* b : group->buttons()) {
                    shown << b->text();
                }
                QCOMPARE(shown, texts(f.items));
                break;
            }
            case WindowField::Kind::Text:
                QVERIFY2(qobject_cast<QPlainTextEdit*>(o) != nullptr || qobject_cast<QComboBox*>(o) != nullptr,
                         qPrintable(where(e, f) + ": not a text field or list"));
                break;
            case WindowField::Kind::ColourPicker:
                QVERIFY2(qobject_cast<QPushButton*>(o) != nullptr, qPrintable(where(e, f) + ": not a button"));
                break;
            }
        }
    }
}

// A field added to the form but not to the catalogue would leave the listing short of it.
void CatalogueMatchesWindowTest::every_input_on_the_settings_page_is_catalogued()
{
    const auto window = support::open_window();
    QSet<QString> catalogued;
    for (const settings_file::CatalogueEntry& e : settings_file::catalogue()) {
        for (const WindowField& f : e.window) {
            catalogued << f.widget;
            if (f.kind == WindowField::Kind::RadioButtons) {
                for (QAbstractButton* b : window->findChild<QButtonGroup*>(f.widget)->buttons()) {
                    catalogued << b->objectName();
                }
            }
        }
    }
    const QSet<QString> commands{"pushButton_load", "pushButton_update", "pushButton_save"};
    QWidget* page = support::child<QWidget>(*window, "tab_settings");
    for (QWidget* w : page->findChildren<QWidget*>()) {
        const bool input = qobject_cast<QAbstractSpinBox*>(w) != nullptr || qobject_cast<QSlider*>(w) != nullptr ||
                           qobject_cast<QComboBox*>(w) != nullptr || qobject_cast<QPlainTextEdit*>(w) != nullptr ||
                           qobject_cast<QAbstractButton*>(w) != nullptr;
        if (input && !commands.contains(w->objectName()) && !w->objectName().startsWith("qt_")) {
            QVERIFY2(catalogued.contains(w->objectName()), qPrintable(w->objectName() + " is not in the catalogue"));
        }
    }
}

QTEST_MAIN(CatalogueMatchesWindowTest)
#include "test_catalogue_matches_window.moc"
