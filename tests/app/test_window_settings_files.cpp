// The File menu against the virtual unit: export, import and compare of settings files, with the
// file dialogs answered by the test.
#include <QtTest>

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>

#include <cstring>
#include <fstream>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"
#include "tests/support/window.h"

using support::child;
using support::open_window;
using support::status;

namespace {

void trigger(MainWindow& w, const char* action, const QString& file)
{
    support::chooseFileInNextDialog(file);
    child<QAction>(w, action)->trigger();
}

void write(const QString& path, const std::string& text)
{
    std::ofstream(path.toStdString()) << text;
}

std::string with_settings(const std::string& settings, const std::string& extra = "")
{
    return R"({"format": "efis-config settings", "format_version": 1, )" + extra + R"("settings": )" + settings + "}";
}

struct Snapshot {
    Settings_t record;
    std::set<settings_struct_index> changed;
    int vne;
    QString sky;
};

Snapshot snapshot(MainWindow& w)
{
    return {user_config, w.changedValues(), child<QSpinBox>(w, "spinBox_vne")->value(),
            child<QPushButton>(w, "color_picker_sky0")->styleSheet()};
}

bool same(const Snapshot& a, const Snapshot& b)
{
    return std::memcmp(&a.record, &b.record, sizeof a.record) == 0 && a.changed == b.changed && a.vne == b.vne &&
           a.sky == b.sky;
}

// Runs `act` on the Compare Settings dialog once it shows (after the file dialog has closed).
template <typename F> void onCompareDialog(F act)
{
    support::onNextDialog<QDialog>(
        [act](QDialog* d) {
            act(d);
            d->reject();
        },
        "Compare Settings");
}

} // namespace

class WindowSettingsFilesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }
    void cleanup() { sim::unplug_all(); }

    void menu_and_actions();
    void export_matches_the_unit_and_imports_as_a_no_op();
    void export_without_a_unit();
    void partial_import_is_an_edit_that_update_and_save_send();
    void refused_files_change_nothing_data();
    void refused_files_change_nothing();
    void other_record_version_asks_first();
    void values_the_form_cannot_show_are_kept();
    void compare_lists_exactly_the_differences();
};

void WindowSettingsFilesTest::menu_and_actions()
{
    support::plug_demo_unit();
    auto w = open_window();
    auto* menu = child<QMenu>(*w, "menuFile");
    QCOMPARE(menu->title(), QString("&File"));
    QVERIFY(child<QMenuBar>(*w, "menubar")->actions().contains(menu->menuAction()));
    const QStringList texts = {"Export Settings...", "Import Settings...", "Compare with File..."};
    const char* names[] = {"actionExportSettings", "actionImportSettings", "actionCompareSettings"};
    for (int i = 0; i < 3; ++i) {
        auto* action = child<QAction>(*w, names[i]);
        QCOMPARE(action->text(), texts[i]);
        QVERIFY(menu->actions().contains(action));
        QVERIFY(action->isEnabled());
    }
    // Passing over the menu's items keeps the outcome on the status bar.
    const QString outcome = status(*w);
    QStatusTipEvent tip("");
    QCoreApplication::sendEvent(w.get(), &tip);
    QCOMPARE(status(*w), outcome);
}

void WindowSettingsFilesTest::export_matches_the_unit_and_imports_as_a_no_op()
{
    auto unit = support::plug_demo_unit(); // its airplane and gear colours are opaque white
    auto w = open_window();
    QTemporaryDir dir;
    const QString path = dir.filePath("backup.json");

    QString proposed;
    support::onNextDialog<QFileDialog>([&](QFileDialog* d) {
        proposed = d->findChild<QLineEdit*>("fileNameEdit")->text();
        d->findChild<QLineEdit*>("fileNameEdit")->setText(path);
        static_cast<QDialog*>(d)->accept();
    });
    child<QAction>(*w, "actionExportSettings")->trigger();
    QCOMPARE(proposed, QString("N12345-00C0FFEE-%1.json").arg(QDate::currentDate().toString("yyyy-MM-dd")));
    QCOMPARE(status(*w), QString("Settings exported to backup.json"));

    settings_file::Document doc;
    std::string error;
    QVERIFY2(settings_file::read_document_file(path.toStdString(), &doc, &error), error.c_str());
    const Settings_t onUnit = unit->stored_settings();
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        QVERIFY(doc.settings.present[i]);
        QCOMPARE(doc.settings.word[i], settings_get_value(&onUnit, static_cast<settings_struct_index>(i)));
    }
    QCOMPARE(doc.unit->serial, std::optional<uint32_t>(0x00C0FFEE));
    QCOMPARE(doc.record->checksum, std::optional<uint32_t>(onUnit.crc32));
    QVERIFY(w->changedValues().empty());

    const Snapshot before = snapshot(*w);
    trigger(*w, "actionImportSettings", path);
    QCOMPARE(status(*w), QString("No setting in backup.json differs from the form"));
    QVERIFY(same(before, snapshot(*w)));
}

void WindowSettingsFilesTest::export_without_a_unit()
{
    auto w = open_window();
    QTemporaryDir dir;
    QString proposed;
    support::onNextDialog<QFileDialog>([&](QFileDialog* d) {
        proposed = d->findChild<QLineEdit*>("fileNameEdit")->text();
        d->findChild<QLineEdit*>("fileNameEdit")->setText(dir.filePath("form.json"));
        static_cast<QDialog*>(d)->accept();
    });
    child<QAction>(*w, "actionExportSettings")->trigger();
    QCOMPARE(proposed, QString("efis-%1.json").arg(QDate::currentDate().toString("yyyy-MM-dd")));
    QCOMPARE(status(*w), QString("Settings exported to form.json"));
    settings_file::Document doc;
    std::string error;
    QVERIFY(settings_file::read_document_file(dir.filePath("form.json").toStdString(), &doc, &error));
    QVERIFY(!doc.unit.has_value());
    QCOMPARE(doc.settings.count(), size_t{34});
}

void WindowSettingsFilesTest::partial_import_is_an_edit_that_update_and_save_send()
{
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    const Settings_t before = unit->stored_settings();
    QTemporaryDir dir;
    const QString path = dir.filePath("fleet.json");
    write(path, with_settings(R"({"vne": 150, "vs0": 45, "sky_color_upper": "#112233", "registration": "G-ABCD"})"));

    // A file naming no unit: its registration is taken when the user says so.
    support::answerNextMessageBox("Aircraft identity", "Copy");
    trigger(*w, "actionImportSettings", path);
    QCOMPARE(status(*w),
             QString("Imported 4 changed value(s) from fleet.json - press Update and Save to send them to the EFIS"));
    // The third registration word is zero in both, so it is no edit.
    QCOMPARE(w->changedValues(), (std::set<settings_struct_index>{VNE_INDEX, REGISTRATION_1_INDEX, REGISTRATION_2_INDEX,
                                                                  SKY_COLOR_0_INDEX}));
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 150);
    QCOMPARE(child<QComboBox>(*w, "comboBox_reg_prefix")->currentText(), QString("G"));
    QCOMPARE(child<QPushButton>(*w, "color_picker_sky0")->styleSheet(), QString("background-color: #112233;"));
    QVERIFY(unit->requests().size() > 0);
    unit->clear_log();

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_update")->click();
    std::vector<uint32_t> sent;
    for (const COMMS_MSG_t& f : unit->requests()) {
        if (f.can_ID == 0x390) {
            sent.push_back(f.data[0]);
        }
    }
    QCOMPARE(sent, (std::vector<uint32_t>{6, 11, 12, 14}));
    child<QPushButton>(*w, "pushButton_save")->click();
    QCOMPARE(status(*w), QString("Configuration saved to EEPROM successfully"));

    const Settings_t after = unit->stored_settings();
    QCOMPARE(after.vspeeds.Vne, 150);
    QCOMPARE(after.sky_color[0], 0xFF112233u);
    QCOMPARE(QByteArray(after.registration), QByteArray("G-ABCD"));
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        if (i != VNE_INDEX && i != SKY_COLOR_0_INDEX && (i < REGISTRATION_1_INDEX || i > REGISTRATION_3_INDEX)) {
            QCOMPARE(settings_get_value(&after, static_cast<settings_struct_index>(i)),
                     settings_get_value(&before, static_cast<settings_struct_index>(i)));
        }
    }
}

void WindowSettingsFilesTest::refused_files_change_nothing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named");
    QTest::newRow("malformed") << QString("{\"format\": ") << "malformed JSON";
    QTest::newRow("unknown key") << QString::fromStdString(with_settings(R"({"vne": 150, "speed": 3})"))
                                 << "unknown key \"speed\"";
    QTest::newRow("out of range") << QString::fromStdString(with_settings(R"({"vne": 300, "vs0": 40})"))
                                  << "settings.vne: 300";
    QTest::newRow("wrong format") << QString(R"({"format": "other", "format_version": 1, "settings": {}})") << "format";
}

void WindowSettingsFilesTest::refused_files_change_nothing()
{
    QFETCH(QString, text);
    QFETCH(QString, named);
    support::plug_demo_unit();
    auto w = open_window();
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(61); // an edit not yet sent stays as it is
    const Snapshot before = snapshot(*w);
    QTemporaryDir dir;
    const QString path = dir.filePath("bad.json");
    write(path, text.toStdString());

    trigger(*w, "actionImportSettings", path);
    QVERIFY2(status(*w).startsWith("Error: "), qPrintable(status(*w)));
    QVERIFY2(status(*w).contains(named), qPrintable(status(*w)));
    QVERIFY(same(before, snapshot(*w)));

    trigger(*w, "actionCompareSettings", path);
    QVERIFY2(status(*w).startsWith("Error: "), qPrintable(status(*w)));
    QVERIFY(same(before, snapshot(*w)));
}

void WindowSettingsFilesTest::other_record_version_asks_first()
{
    support::plug_demo_unit(); // record version 1
    auto w = open_window();
    QTemporaryDir dir;
    const QString path = dir.filePath("v2.json");
    write(path, with_settings(R"({"vne": 150})", R"("record": {"version": 2}, )"));
    const Snapshot before = snapshot(*w);

    for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        support::chooseFileInNextDialog(path);
        QString question;
        support::onNextDialog<QMessageBox>([&question, answer](QMessageBox* box) {
            question = box->text();
            box->button(answer)->click();
        });
        child<QAction>(*w, "actionImportSettings")->trigger();
        QVERIFY2(question.contains("record version 2") && question.contains("version 1"), qPrintable(question));
        if (answer == QMessageBox::No) {
            QVERIFY(same(before, snapshot(*w)));
        }
    }
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 150);
    QCOMPARE(w->changedValues(), std::set<settings_struct_index>{VNE_INDEX});
}

// Imported values that no widget can show are treated as values loaded from the unit: kept in
// the record, shown clamped, and sent and saved as they are.
void WindowSettingsFilesTest::values_the_form_cannot_show_are_kept()
{
    auto unit = support::plug_demo_unit();
    auto w = open_window();
    QTemporaryDir dir;
    const QString path = dir.filePath("odd.json");
    write(path, with_settings(R"({"text_bg_alpha": 300, "units": "0x000004AA", "map_orientation": "0x00000005"})"));
    trigger(*w, "actionImportSettings", path);
    QCOMPARE(user_config.text_bg_alpha, 300u);
    QCOMPARE(child<QSlider>(*w, "text_bg_alpha_slider")->value(), 254);

    support::QtStreamCapture out(1);
    child<QPushButton>(*w, "pushButton_update")->click();
    child<QPushButton>(*w, "pushButton_save")->click();
    QCOMPARE(status(*w), QString("Configuration saved to EEPROM successfully"));
    const Settings_t stored = unit->stored_settings();
    QCOMPARE(stored.text_bg_alpha, 300u);
    QCOMPARE(stored.units.units_value, 0x4AAu);
    QCOMPARE(static_cast<uint32_t>(stored.map_track), 5u);
}

void WindowSettingsFilesTest::compare_lists_exactly_the_differences()
{
    support::plug_demo_unit();
    auto w = open_window();
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(55); // the form, not the unit, is compared
    QTemporaryDir dir;
    const QString path = dir.filePath("other.json");
    write(path, with_settings(R"({"vne": 150, "vs0": 45, "vs1": 55, "map_orientation": "north_up"})"));
    const Snapshot before = snapshot(*w);

    QList<QStringList> rows;
    support::chooseFileInNextDialog(path);
    onCompareDialog([&rows](QDialog* d) {
        auto* table = d->findChild<QTableWidget*>("table_compare");
        for (int r = 0; table != nullptr && r < table->rowCount(); ++r) {
            rows.append({table->item(r, 0)->text(), table->item(r, 1)->text(), table->item(r, 2)->text()});
        }
    });
    child<QAction>(*w, "actionCompareSettings")->trigger();
    QCOMPARE(rows, (QList<QStringList>{{"vne", "160", "150"}, {"map_orientation", "\"track_up\"", "\"north_up\""}}));
    QVERIFY(same(before, snapshot(*w)));

    write(path, with_settings(R"({"vs0": 45, "vs1": 55})"));
    QString text;
    support::chooseFileInNextDialog(path);
    onCompareDialog([&text](QDialog* d) { text = d->findChild<QLabel*>("label_compare_same")->text(); });
    child<QAction>(*w, "actionCompareSettings")->trigger();
    QCOMPARE(text, QString("The form and the file hold the same settings"));
}

QTEST_MAIN(WindowSettingsFilesTest)
#include "test_window_settings_files.moc"
