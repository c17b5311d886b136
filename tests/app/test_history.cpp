// The settings history in the window: a Save leaves an entry, the dialog lists it and puts its
// record in the form; and an export with nothing loaded writes only what was edited.
#include "operations/operations.h"
#include "settings_file/settings_file.h"
#include "tests/app/app_tests.h"

using namespace app_tests;

class HistoryTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void save_is_recorded_and_put_back_in_the_form();
    void export_with_nothing_loaded();
};

void HistoryTest::save_is_recorded_and_put_back_in_the_form()
{
    auto [unit, w] = open_on();
    edit(*w, "spinBox_vne", "170");
    click(*w, "pushButton_update");
    click(*w, "pushButton_save");
    QCOMPARE(status(*w), kSaved);
    const std::vector<operations::HistoryEntry> entries = operations::list_history(0x00C0FFEE);
    QVERIFY(!entries.empty());
    QCOMPARE(QString::fromStdString(entries[0].change.dump()),
             QString(R"({"program":"efis-config","command":"Save","outcome":"committed",)"
                     R"("changes":[{"setting":"vne","from":160,"to":170}]})"));

    QStringList row;
    support::onNextDialog<QDialog>(
        [&](QDialog* d) {
            auto* table = d->findChild<QTableWidget*>("table_history");
            for (int c = 0; c < table->columnCount(); ++c) {
                row << table->item(0, c)->text();
            }
            table->selectRow(0);
            d->findChild<QPushButton*>("button_history_put")->click();
        },
        "Settings History");
    child<QAction>(*w, "actionSettingsHistory")->trigger();
    QCOMPARE(row.mid(1), (QStringList{"efis-config", "vne 160 -> 170"}));
    QCOMPARE(row[0], QString::fromStdString(entries[0].time));
    QVERIFY2(status(*w).startsWith("Put 1 changed value(s) from before "), qPrintable(status(*w)));
    QCOMPARE(shown(*w, "spinBox_vne"), QString("160"));
    QVERIFY(w->changedValues().count(VNE_INDEX) == 1);
    QCOMPARE(unit->stored_settings().vspeeds.Vne, 170); // sent only with Update and Save
}

void HistoryTest::export_with_nothing_loaded()
{
    sim::unplug_all();
    const auto w = support::open_window();
    // A file dialog opened now would be a file of start values about to be written.
    int dialogs = 0;
    QTimer refuse;
    connect(&refuse, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            ++dialogs;
            d->reject();
        }
    });
    refuse.start(10);
    child<QAction>(*w, "actionExportSettings")->trigger();
    refuse.stop();
    QCOMPARE(status(*w), QString("Warning: Nothing to export - no settings were loaded from an EFIS or edited"));
    QCOMPARE(dialogs, 0);

    edit(*w, "spinBox_vne", "150");
    const support::TempDir dir;
    const QString path = QString::fromStdString((dir.path() / "e.json").string());
    support::onNextDialog<QFileDialog>([&](QFileDialog* d) {
        d->findChild<QLineEdit*>("fileNameEdit")->setText(path);
        static_cast<QDialog*>(d)->accept();
    });
    child<QAction>(*w, "actionExportSettings")->trigger();
    settings_file::Document doc;
    std::string error;
    QVERIFY2(settings_file::read_document_file(path.toStdString(), &doc, &error), error.c_str());
    QVERIFY(!doc.unit && !doc.record);
    QCOMPARE(doc.settings.count(), size_t{1});
    QCOMPARE(doc.settings.word[VNE_INDEX], 150u);
}

APP_TEST(HistoryTest);
#include "test_history.moc"
