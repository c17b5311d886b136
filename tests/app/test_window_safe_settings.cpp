// The window's questions before what may hurt, against the virtual unit: Import asks before it
// copies the aircraft's identity from a file of another unit, or of none; Update asks before it
// sends settings that are not plausible together.
#include <QtTest>

#include <QAction>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cstring>
#include <fstream>

#include "app/mainwindow.h"
#include "app/settings_store.h"
#include "tests/support/window.h"

using support::child;
using support::MessageBoxes;
using support::open_window;
using support::status;

namespace {

void import(MainWindow& w, const QString& path)
{
    support::chooseFileInNextDialog(path);
    child<QAction>(w, "actionImportSettings")->trigger();
}

QString write(const QTemporaryDir& dir, const char* name, const std::string& unit_block)
{
    const QString path = dir.filePath(name);
    std::ofstream(path.toStdString()) << R"({"format": "efis-config settings", "format_version": 1, )" << unit_block
                                      << R"("settings": {"vne": 150, "registration": "G-ABCD", "ownship_icao": "ABCDEF",
                                                         "icao_address_type": "random"}})";
    return path;
}

// The registration as the form's record holds it.
QByteArray registration()
{
    return QByteArray(user_config.registration);
}

size_t sent_values(const sim::VirtualUnit& unit)
{
    return support::count_requests(unit, 0x390);
}

} // namespace

class WindowSafeSettingsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }
    // A window with no unit loads nothing: the record must not be the previous test's.
    void init() { std::memset(&user_config, 0, sizeof user_config); }
    void cleanup() { sim::unplug_all(); }

    void import_asks_before_copying_the_identity_data();
    void import_asks_before_copying_the_identity();
    void import_from_this_unit_does_not_ask();
    void update_asks_before_sending_implausible_settings();
};

void WindowSafeSettingsTest::import_asks_before_copying_the_identity_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("unitBlock");
    QTest::addColumn<QString>("question");
    const QString other = "This file is from another unit (0x0BADF00D). Copy its registration and ICAO address too?";
    const QString none = "This file names no unit. Copy its registration and ICAO address too?";
    QTest::newRow("another unit") << true << R"("unit": {"serial": "0x0BADF00D"}, )" << other;
    QTest::newRow("no unit named") << true << "" << none;
    // With no unit connected the file cannot be shown to be its.
    QTest::newRow("no unit connected") << false << R"("unit": {"serial": "0x00C0FFEE"}, )"
                                       << "This file is from another unit (0x00C0FFEE). Copy its registration and "
                                          "ICAO address too?";
}

void WindowSafeSettingsTest::import_asks_before_copying_the_identity()
{
    QFETCH(bool, connected);
    QFETCH(QString, unitBlock);
    QFETCH(QString, question);
    if (connected) {
        support::plug_demo_unit();
    }
    auto w = open_window();
    const QByteArray before = registration();
    QTemporaryDir dir;
    const QString path = write(dir, "settings.json", unitBlock.toStdString());

    {
        MessageBoxes keep("Escape");
        import(*w, path);
        QCOMPARE(keep.seen.size(), 1);
        QCOMPARE(keep.seen[0].title, QString("Aircraft identity"));
        QCOMPARE(keep.seen[0].text, question);
        QCOMPARE(keep.seen[0].buttons, (QStringList{"Copy", "Keep"}));
        QCOMPARE(keep.seen[0].defaultButton, QString("Keep"));
        QCOMPARE(keep.seen[0].escapeButton, QString("Keep"));
    }
    // Kept: everything else is imported.
    QCOMPARE(child<QSpinBox>(*w, "spinBox_vne")->value(), 150);
    QCOMPARE(registration(), before);
    QCOMPARE(w->changedValues(), std::set<settings_struct_index>{VNE_INDEX});
    QVERIFY2(status(*w).contains("keeping the registration and ICAO address"), qPrintable(status(*w)));

    {
        MessageBoxes copy("Copy");
        import(*w, path);
        QCOMPARE(copy.seen.size(), 1);
    }
    QCOMPARE(registration(), QByteArray("G-ABCD"));
    QCOMPARE(user_config.ownship_icao, 0xABCDEFu);
    QCOMPARE(user_config.icao_address_type, 1u);
}

void WindowSafeSettingsTest::import_from_this_unit_does_not_ask()
{
    support::plug_demo_unit();
    auto w = open_window();
    QTemporaryDir dir;
    MessageBoxes none("Keep");
    import(*w, write(dir, "own.json", R"("unit": {"serial": "0x00C0FFEE"}, )"));
    QCOMPARE(none.seen.size(), 0);
    QCOMPARE(registration(), QByteArray("G-ABCD"));
    QCOMPARE(user_config.ownship_icao, 0xABCDEFu);
}

void WindowSafeSettingsTest::update_asks_before_sending_implausible_settings()
{
    auto unit = support::plug_demo_unit(); // vs0 45, vs1 50, vfe 85, vn0 130, vne 160
    auto w = open_window();
    support::QtStreamCapture out(1);
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(140);
    child<QSpinBox>(*w, "spinBox_vfe")->setValue(40);
    unit->clear_log();
    {
        MessageBoxes cancel("Escape");
        child<QPushButton>(*w, "pushButton_update")->click();
        QCOMPARE(cancel.seen.size(), 1);
        QCOMPARE(cancel.seen[0].title, QString("Check these settings"));
        QCOMPARE(cancel.seen[0].text, QString("vs1 140 is not below vn0 130\nvs0 45 is not below vfe 40"));
        QCOMPARE(cancel.seen[0].buttons, (QStringList{"Send Anyway", "Cancel"}));
        QCOMPARE(cancel.seen[0].defaultButton, QString("Cancel"));
    }
    // Cancelled: nothing sent, the edits kept.
    QCOMPARE(sent_values(*unit), size_t{0});
    QCOMPARE(w->changedValues(), (std::set<settings_struct_index>{VS1_INDEX, VFE_INDEX}));
    QCOMPARE(status(*w), QString("Update cancelled - nothing was sent"));

    {
        MessageBoxes send("Send Anyway");
        child<QPushButton>(*w, "pushButton_update")->click();
        QCOMPARE(send.seen.size(), 1);
    }
    QCOMPARE(sent_values(*unit), size_t{2});
    QCOMPARE(unit->working_settings().vspeeds.Vs1, 140);

    // Plausible again: sent without a question.
    child<QSpinBox>(*w, "spinBox_vs1")->setValue(50);
    child<QSpinBox>(*w, "spinBox_vfe")->setValue(85);
    MessageBoxes none("Cancel");
    child<QPushButton>(*w, "pushButton_update")->click();
    QCOMPARE(none.seen.size(), 0);
    QCOMPARE(sent_values(*unit), size_t{4});
}

QTEST_MAIN(WindowSafeSettingsTest)
#include "test_window_safe_settings.moc"
