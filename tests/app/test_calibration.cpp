// The Calibrations page's calibration record: a read fills the tree block by block and enables the
// export, a read that fails says at which index and leaves nothing to export, and the export is the
// file efis-cli calibration backup writes.
#include "settings_file/settings_file.h"
#include "tests/app/app_tests.h"

using namespace app_tests;

namespace {

constexpr uint32_t kRequestCalibration = 0x330;

QStringList texts(const QTreeWidgetItem* item)
{
    return {item->text(0), item->text(1), item->text(2)};
}

} // namespace

class CalibrationTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void read_fills_the_tree_and_export_writes_it();
    void a_failed_read_names_the_index();
};

void CalibrationTest::read_fills_the_tree_and_export_writes_it()
{
    auto [unit, w] = open_on();
    auto* tree = child<QTreeWidget>(*w, "treeWidget_calibration");
    QCOMPARE(child<QGroupBox>(*w, "groupBox_calibration")->title(), QString("Calibration record"));
    QVERIFY(!child<QWidget>(*w, "pushButton_export_calibration")->isEnabled());
    click(*w, "pushButton_read_calibration");
    QCOMPARE(status(*w), QString("Calibration read from EFIS"));
    QStringList blocks;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        blocks << tree->topLevelItem(i)->text(0) + "|" + tree->topLevelItem(i)->text(1);
    }
    QCOMPARE(blocks, (QStringList{"record header|", "inertial sensor|", "magnetometer (initial)|",
                                  "magnetometer (LIS)|blank", "pressure offsets|", "pitot coefficients|",
                                  "static coefficients|", "outside air temperature|"}));
    QCOMPARE(texts(tree->topLevelItem(1)->child(8)), (QStringList{"lsm_gyro_bias_x", "0.0125", "0x3C4CCCCD"}));
    QCOMPARE(texts(tree->topLevelItem(3)->child(4)), (QStringList{"lis_mag_bias_0_0", "0xFFFFFFFF", "0xFFFFFFFF"}));

    const support::TempDir dir;
    const QString path = QString::fromStdString((dir.path() / "c.json").string());
    support::chooseFileInNextDialog(path);
    click(*w, "pushButton_export_calibration");
    QCOMPARE(status(*w), QString("Calibration exported to c.json"));
    settings_file::CalibrationDocument doc;
    std::string error;
    QVERIFY2(settings_file::read_calibration_document_file(path.toStdString(), &doc, &error), error.c_str());
    QVERIFY(doc.unit && doc.unit->serial == 0x00C0FFEEu);
    QCOMPARE(doc.calibration.size(), settings_file::calibration_fields().size());
    const SENSOR_CALIB_t held = unit->calibration();
    for (const auto& [index, word] : doc.calibration) {
        QCOMPARE(word, calib_get_value(&held, static_cast<sensor_calib_struct_index>(index)));
    }
    QCOMPARE(support::count_requests(*unit, 0x350) + support::count_requests(*unit, 0x360), size_t(0));

    // Without a unit there is nothing to read.
    sim::unplug_all();
    look(*w);
    QVERIFY(!child<QWidget>(*w, "pushButton_read_calibration")->isEnabled());
}

void CalibrationTest::a_failed_read_names_the_index()
{
    auto [unit, w] = open_on();
    click(*w, "pushButton_read_calibration");
    unit->inject(sim::Fault{sim::FaultKind::NoReply, kRequestCalibration, 9, 1, 0, -1});
    click(*w, "pushButton_read_calibration");
    QCOMPARE(status(*w), QString("Error: Reading the calibration failed at index 9"));
    QCOMPARE(child<QTreeWidget>(*w, "treeWidget_calibration")->topLevelItemCount(), 0);
    QVERIFY(!child<QWidget>(*w, "pushButton_export_calibration")->isEnabled());
}

APP_TEST(CalibrationTest);
#include "test_calibration.moc"
