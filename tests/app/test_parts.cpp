// The window's smaller parts: the catalogue's account of every field is the widget's own, the log
// handler's lines, the upload bar and its throttle, and the sim program's "Virtual Unit" menu.
#include "app/log_handler.h"
#include "app/sim_menu.h"
#include "app/upload_progress.h"
#include "settings_file/settings_file.h"
#include "sim/environment.h"
#include "tests/app/app_tests.h"

using namespace app_tests;
using settings_file::WindowField;

class PartsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void catalogue_is_the_widgets_own();
    void log_lines_data();
    void log_lines();
    void upload_bar_and_throttle();
    void virtual_unit_menu();
};
APP_TEST(PartsTest);

void PartsTest::catalogue_is_the_widgets_own()
{
    const auto w = support::open_window();
    for (const settings_file::CatalogueEntry& e : settings_file::catalogue()) {
        for (const WindowField& f : e.window) {
            QObject* o = w->findChild<QObject*>(f.widget);
            QVERIFY2(o != nullptr, f.widget);
            QStringList offered;
            if (auto* box = qobject_cast<QDoubleSpinBox*>(o)) {
                offered << QString::number(box->minimum()) << QString::number(box->maximum())
                        << QString::number(box->decimals());
            } else if (o->property("minimum").isValid()) { // spin boxes and sliders
                offered << o->property("minimum").toString() << o->property("maximum").toString() << "0";
            } else if (auto* list = qobject_cast<QComboBox*>(o); list != nullptr && !f.items.empty()) {
                for (int i = 0; i < list->count(); ++i) {
                    offered << list->itemText(i);
                }
            } else if (auto* group = qobject_cast<QButtonGroup*>(o)) {
                for (QAbstractButton* b : group->buttons()) {
                    offered << b->text();
                }
            }
            QStringList catalogued;
            if (f.kind == WindowField::Kind::Range) {
                catalogued << QString::number(f.minimum) << QString::number(f.maximum) << QString::number(f.decimals);
            }
            for (const char* item : f.items) {
                catalogued << QString::fromUtf8(item);
            }
            QVERIFY2(offered == catalogued, qPrintable(QString(f.widget) + ": " + offered.join(',')));
        }
    }
}

void PartsTest::log_lines_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("context");
    QTest::addColumn<QString>("line");
    QTest::newRow("debug") << int(QtDebugMsg) << true << "Debug: hello (file.cpp:42, void f())\n";
    QTest::newRow("info") << int(QtInfoMsg) << true << "Info: hello (file.cpp:42, void f())\n";
    QTest::newRow("warning") << int(QtWarningMsg) << true << "Warning: hello (file.cpp:42, void f())\n";
    QTest::newRow("critical") << int(QtCriticalMsg) << true << "Critical: hello (file.cpp:42, void f())\n";
    QTest::newRow("no context") << int(QtDebugMsg) << false << "Debug: hello (:0, )\n";
}

void PartsTest::log_lines()
{
    QFETCH(int, type);
    QFETCH(bool, context);
    QFETCH(QString, line);
    support::QtStreamCapture err(2);
    customMessageHandler(static_cast<QtMsgType>(type),
                         context ? QMessageLogContext("file.cpp", 42, "void f()", nullptr) : QMessageLogContext(),
                         "hello");
    QCOMPARE(QString::fromStdString(err.text()), line);
}

void PartsTest::upload_bar_and_throttle()
{
    ThrottledUploadProgressCtx ctx;
    QCOMPARE(ctx.compute_bar(3, 4, 0), 900u); // the erase fills the first 12 %
    QCOMPARE(ctx.compute_bar(32768, 65536, 1), 5600u);
    QCOMPARE(ctx.compute_bar(5, 0, 1), 0u);
    QCOMPARE(ctx.compute_bar(0xFFFFFFFFu, 0xFFFFFFFFu, 1), 10000u); // no wrap at 4 GiB
    const auto t0 = std::chrono::steady_clock::now();
    QVERIFY(ctx.should_emit_at(2000, 1, 10, 100, t0));         // a phase's first report
    QVERIFY(!ctx.should_emit_at(2040, 1, 11, 100, t0 + 10ms)); // moved by 40: not enough
    QVERIFY(ctx.should_emit_at(2041, 1, 12, 100, t0 + 10ms));
    QVERIFY(!ctx.should_emit_at(2050, 1, 13, 100, t0 + 49ms));
    QVERIFY(ctx.should_emit_at(2050, 1, 13, 100, t0 + 50ms));  // 40 ms since the last post
    QVERIFY(ctx.should_emit_at(2051, 1, 100, 100, t0 + 51ms)); // a phase's last report
}

void PartsTest::virtual_unit_menu()
{
    const auto units = sim::make_units({.serials = {0x00C0FFEE, 0x0BADF00D}});
    for (const auto& unit : units) {
        sim::plug(unit);
    }
    const auto w = support::open_window();
    w->menuBar()->addMenu("Later");
    QMenu* menu = add_virtual_unit_menu(*w, units);
    QCOMPARE(w->menuBar()->actions().at(2)->menu(), menu); // after File and Unit
    QAction* unplug = menu->actions().at(0);
    QAction* plug_in = menu->actions().at(1);
    QCOMPARE(w->menuBar()->actions().at(1)->text() + menu->title() + unplug->text() + plug_in->text(),
             QString("UnitVirtual UnitUnplugPlug In"));
    QVERIFY(unplug->isEnabled() && !plug_in->isEnabled());
    unplug->trigger();
    QVERIFY(!units[0]->present() && units[1]->present() && plug_in->isEnabled() && !unplug->isEnabled());
    plug_in->trigger();
    QVERIFY(units[0]->present() && units[1]->present());
    units[1]->unplug_cable(); // by itself, and not the window's unit
    emit menu->aboutToShow();
    QVERIFY(unplug->isEnabled() && !plug_in->isEnabled());
}

#include "test_parts.moc"
