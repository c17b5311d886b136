// The Help menu as a person meets it: last in the menu bar, the connection checks in their dialog
// (the window's own unit read over its link), the support report saved without the aircraft's
// identity, and About.
#include "tests/app/app_tests.h"

using namespace app_tests;

class HelpTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::unplug_all(); }
    void menu_and_connection_check();
    void support_report_and_about();
};
APP_TEST(HelpTest);

void HelpTest::menu_and_connection_check()
{
    const Bench b = open_on();
    const QList<QAction*> bar = b.w->menuBar()->actions();
    QMenu* help = bar.last()->menu();
    QVERIFY(help != nullptr);
    QStringList entries;
    for (QAction* a : help->actions()) {
        if (!a->isSeparator()) {
            entries << a->text();
        }
    }
    QCOMPARE(help->title() + ": " + entries.join(", "),
             QString("Help: Connection Check..., Save Support Report..., About EFIS Config"));

    QString shown;
    QGuiApplication::clipboard()->clear();
    support::onNextDialog<QDialog>(
        [&shown](QDialog* d) {
            shown = d->findChild<QPlainTextEdit*>("connectionCheckText")->toPlainText();
            for (QPushButton* button : d->findChildren<QPushButton*>()) {
                if (button->text() == "Copy") {
                    button->click();
                }
            }
            for (QPushButton* button : d->findChildren<QPushButton*>()) {
                if (button->text() == "Close") {
                    button->click();
                }
            }
        },
        "Connection Check");
    child<QAction>(*b.w, "actionConnectionCheck")->trigger();
    QVERIFY2(shown.contains("ok  unit 0x00C0FFEE, firmware 0.2.12 (current), connected to efis-config\n"
                            "ok  settings record version 1, 31 elements, checksum verifies\n"),
             qPrintable(shown));
    QVERIFY(shown.startsWith("note  efis-config 0.1.0, hidapi "));
    QCOMPARE(QGuiApplication::clipboard()->text(), shown);
    QVERIFY(b.w->commsManager()->isConnected()); // the window's link is as it was
}

void HelpTest::support_report_and_about()
{
    const Bench b = open_on();
    const support::TempDir dir;
    const QString path = QString::fromStdString((dir.path() / "report.txt").string());
    support::chooseFileInNextDialog(path);
    child<QAction>(*b.w, "actionSaveSupportReport")->trigger();
    QCOMPARE(status(*b.w), "Support report saved to " + path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.contains("\n== settings ==\n") && text.contains("\"registration\": \"(withheld)\"") &&
                 text.contains("name: efis-config\n") && text.contains("\nQt: 6."),
             qPrintable(text));
    QVERIFY(!text.contains("N12345") && !text.contains("A1B2C3"));

    support::MessageBoxes boxes("OK");
    child<QAction>(*b.w, "actionAbout")->trigger();
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen[0].title, QString("About EFIS Config"));
    QVERIFY2(boxes.seen[0].text.startsWith("EFIS Config 0.1.0\nQt 6.") &&
                 boxes.seen[0].text.endsWith("\nUnit 0x00C0FFEE, firmware 0.2.12 (current)"),
             qPrintable(boxes.seen[0].text));
}

#include "test_help.moc"
