// The File menu's settings files: what an export proposes and records of the unit, Compare's table,
// an import that takes only what differs from the form, and the questions it asks first.
#include "settings_file/settings_file.h"
#include "tests/app/app_tests.h"

using namespace app_tests;
using support::MessageBoxes;

namespace {

// Writes a settings file holding `settings` (and `extra` keys) and chooses it for `action`.
void trigger(MainWindow& w, const char* action, const support::TempDir& dir, const std::string& settings,
             const std::string& extra = "")
{
    const std::string text =
        R"({"format": "efis-config settings", "format_version": 1, )" + extra + R"("settings": )" + settings + "}";
    support::chooseFileInNextDialog(QString::fromStdString(dir.write("file.json", {text.begin(), text.end()})));
    child<QAction>(w, action)->trigger();
}

// What an import or a refusal may change.
QByteArray form(MainWindow& w)
{
    QByteArray out(reinterpret_cast<const char*>(&user_config), sizeof user_config);
    for (const settings_struct_index i : w.changedValues()) {
        out += QByteArray::number(i) + ",";
    }
    return out + shown(w, "spinBox_vne").toLatin1();
}

const char* const kIdentity =
    R"({"vne": 150, "registration": "G-ABCD", "ownship_icao": "ABCDEF", "icao_address_type": "random"})";

} // namespace

class SettingsFilesTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void export_names_the_unit();
    void compare_and_import();
    void identity_is_asked_about_data();
    void identity_is_asked_about();
};

void SettingsFilesTest::export_names_the_unit()
{
    auto [unit, w] = open_on();
    const support::TempDir dir;
    const QString path = QString::fromStdString((dir.path() / "e.json").string());
    QString proposed;
    support::onNextDialog<QFileDialog>([&](QFileDialog* d) {
        proposed = d->findChild<QLineEdit*>("fileNameEdit")->text();
        d->findChild<QLineEdit*>("fileNameEdit")->setText(path);
        static_cast<QDialog*>(d)->accept();
    });
    child<QAction>(*w, "actionExportSettings")->trigger();
    QCOMPARE(proposed, "N12345-00C0FFEE-" + QDate::currentDate().toString("yyyy-MM-dd") + ".json");
    QCOMPARE(status(*w), QString("Settings exported to e.json"));
    settings_file::Document doc;
    std::string error;
    QVERIFY2(settings_file::read_document_file(path.toStdString(), &doc, &error), error.c_str());
    QVERIFY(doc.unit && doc.unit->serial == 0x00C0FFEEu && doc.record && doc.record->checksum == demo_record().crc32);
    // The unit's own file differs in nothing.
    support::chooseFileInNextDialog(path);
    child<QAction>(*w, "actionImportSettings")->trigger();
    QCOMPARE(status(*w), QString("No setting in e.json differs from the form"));
}

void SettingsFilesTest::compare_and_import()
{
    auto [unit, w] = open_on();
    edit(*w, "spinBox_vs1", "61"); // the form, not the unit, is compared; an unsent edit stays
    const support::TempDir dir;
    const QByteArray before = form(*w);
    QStringList rows;
    const auto read_dialog = [&rows](QDialog* d) {
        auto* table = d->findChild<QTableWidget*>("table_compare");
        for (int r = 0; table != nullptr && r < table->rowCount(); ++r) {
            rows << table->item(r, 0)->text() + " " + table->item(r, 1)->text() + " " + table->item(r, 2)->text();
        }
        rows << (table == nullptr ? d->findChild<QLabel*>("label_compare_same")->text() : QString());
        d->reject();
    };
    support::onNextDialog<QDialog>(read_dialog, "Compare Settings");
    trigger(*w, "actionCompareSettings", dir, R"({"vne": 150, "vs0": 45, "vs1": 61, "map_orientation": "north_up"})");
    support::onNextDialog<QDialog>(read_dialog, "Compare Settings");
    trigger(*w, "actionCompareSettings", dir, R"({"vs0": 45, "vs1": 61})");
    QCOMPARE(rows, (QStringList{"vne 160 150", "map_orientation \"track_up\" \"north_up\"", "",
                                "The form and the file hold the same settings"}));
    trigger(*w, "actionCompareSettings", dir, R"({"vs0": )");
    QVERIFY2(status(*w).startsWith("Error: file.json could not be compared: "), qPrintable(status(*w)));
    QCOMPARE(form(*w), before);

    for (const QString answer : {"&No", "&Yes"}) {
        MessageBoxes boxes(answer);
        trigger(*w, "actionImportSettings", dir, R"({"vne": 150})", R"("record": {"version": 2}, )");
        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen[0].text, QString("file.json holds settings of record version 2, but the unit keeps "
                                             "version 1. Import them all the same?"));
        QCOMPARE(boxes.seen[0].defaultButton, QString("&No"));
        QVERIFY(answer == "&Yes" || (form(*w) == before && status(*w) == "file.json was not imported"));
    }
    QCOMPARE(w->changedValues(), (std::set<settings_struct_index>{VS1_INDEX, VNE_INDEX}));

    // Only what differs from the form counts: vne is 150 already, vs0 45, the third registration
    // word zero in both.
    MessageBoxes copy("Copy");
    trigger(*w, "actionImportSettings", dir,
            R"({"vne": 150, "vs0": 45, "vs1": 55, "sky_color_upper": "#112233", "registration": "G-ABCD"})");
    QCOMPARE(status(*w),
             QString("Imported 4 changed value(s) from file.json - press Update and Save to send them to the EFIS"));
    QCOMPARE(shown(*w, "spinBox_vs1"), QString("55"));
    QCOMPARE(shown(*w, "comboBox_reg_prefix"), QString("G"));
    QCOMPARE(shown(*w, "color_picker_sky0"), QString("#112233"));
    unit->clear_log();
    click(*w, "pushButton_update");
    QCOMPARE(support::request_indices(*unit, 0x390), (std::vector<uint32_t>{VS1_INDEX, VNE_INDEX, REGISTRATION_1_INDEX,
                                                                            REGISTRATION_2_INDEX, SKY_COLOR_0_INDEX}));
}

void SettingsFilesTest::identity_is_asked_about_data()
{
    QTest::addColumn<QString>("unitBlock");
    QTest::addColumn<QString>("question"); // empty: none
    const QString other = "This file is from another unit (%1). Copy its registration and ICAO address too?";
    QTest::newRow("another unit") << R"("unit": {"serial": "0x0BADF00D"}, )" << other.arg("0x0BADF00D");
    QTest::newRow("no unit named") << ""
                                   << "This file names no unit. Copy its registration and ICAO address too?";
    QTest::newRow("this unit") << R"("unit": {"serial": "0x00C0FFEE"}, )" << QString();
}

void SettingsFilesTest::identity_is_asked_about()
{
    QFETCH(QString, unitBlock);
    QFETCH(QString, question);
    auto [unit, w] = open_on();
    const support::TempDir dir;
    if (!question.isEmpty()) {
        MessageBoxes keep("Escape");
        trigger(*w, "actionImportSettings", dir, kIdentity, unitBlock.toStdString());
        QCOMPARE(keep.seen.size(), 1);
        QCOMPARE(keep.seen[0].title + ": " + keep.seen[0].text, "Aircraft identity: " + question);
        QCOMPARE(keep.seen[0].buttons, (QStringList{"Copy", "Keep"}));
        QCOMPARE(keep.seen[0].defaultButton + keep.seen[0].escapeButton, QString("KeepKeep"));
        QCOMPARE(QByteArray(user_config.registration), QByteArray("N12345"));
        QCOMPARE(status(*w), QString("Imported 1 changed value(s) from file.json, keeping the registration and ICAO "
                                     "address - press Update and Save to send them to the EFIS"));
    }
    MessageBoxes copy("Copy");
    trigger(*w, "actionImportSettings", dir, kIdentity, unitBlock.toStdString());
    QCOMPARE(copy.seen.size(), question.isEmpty() ? 0 : 1);
    QCOMPARE(QByteArray(user_config.registration), QByteArray("G-ABCD"));
    QCOMPARE(user_config.ownship_icao, 0xABCDEFu);
    QCOMPARE(user_config.icao_address_type, 1u);
}

APP_TEST(SettingsFilesTest);
#include "test_settings_files.moc"
